// Reconciliation: what was booked (a schedule) against what aired (detections in the store).
// A pure function of the bookings, the store's stations, patterns, detections and station
// events, so that the dashboard and the tests run exactly what `sigpat reconcile` runs. The
// rules: docs/reconciliation.md.
#ifndef SIGPAT_PROOF_RECONCILE_H
#define SIGPAT_PROOF_RECONCILE_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "schedule.h"

namespace sigpat::proof {

using store::DetectionRow;
using store::PatternRow;
using store::StationEventRow;
using store::StationRow;

enum class Status { kAired, kAiredOutsideWindow, kNotAired, kWrongVersion, kTruncated, kUnbooked };
const char* StatusName(Status s);

struct ReconcileOptions {
  double slackSeconds = 3600.0;  // how far outside its window an airing of the spot is looked for
  double truncatedBelow = 0.9;   // an airing with less of the clip seen is cut short
  // The reconciled span: unbooked airings are those that began in [from, to). Unset: from the
  // earliest window start to the latest window end of the bookings.
  std::optional<UtcMicros> from, to;
};

// A booking whose station and spot are known, with the patterns the spot stands for.
struct ResolvedBooking {
  Booking booking;
  std::set<std::string> hashes;  // patterns of the spot (its name, or its catalogue spot ID)
  std::string family;            // "campaign:X" or "advertiser:Y" of those patterns; "" none
};

// Checks each booking's station and spot against the store; unknown ones become problems.
std::vector<ResolvedBooking> ResolveBookings(const std::vector<Booking>& bookings,
                                             const std::vector<StationRow>& stations,
                                             const std::vector<PatternRow>& patterns,
                                             std::vector<ScheduleProblem>& problems);

// One row of the result: a booking, or an airing no booking matched.
struct ReconcileRow {
  std::string station, spot;                    // spot: as booked, or the unbooked airing's spot
  std::optional<UtcMicros> windowStart, windowEnd;  // absent for unbooked airings
  Status status = Status::kNotAired;
  std::optional<DetectionRow> airing;           // what aired (absent for not_aired)
  std::string detectedSpot;                     // the airing's spot ID, else its pattern name
  std::optional<double> offsetSeconds;          // aired_outside_window: < 0 early, > 0 late
  std::string note;                             // "station_down", "truncated" (see the docs)
  int line = 0;                                 // the booking's schedule line; 0 unbooked
};

struct StationSummary {
  std::string station;
  int bookings = 0, aired = 0, outsideWindow = 0, notAired = 0, wrongVersion = 0, truncated = 0, unbooked = 0;
  int unverified = 0;  // not aired while the station was down: counted apart, not as errors
  // Share of the verifiable bookings (bookings - unverified) that did not air as booked.
  double ErrorRate() const;
};

struct Reconciliation {
  std::vector<ReconcileRow> rows;  // by station, then time (window start, or airing start)
  std::vector<StationSummary> stations;
  UtcMicros from = 0, to = 0;      // the span reconciled
};

// The detections and events the reconciliation needs lie within the bookings' windows widened by
// the slack on both sides, and the span [from, to): this is that interval.
void SearchSpan(const std::vector<ResolvedBooking>& bookings, const ReconcileOptions& options, UtcMicros& from,
                UtcMicros& to);

Reconciliation Reconcile(const std::vector<ResolvedBooking>& bookings, const std::vector<PatternRow>& patterns,
                         const std::vector<DetectionRow>& detections, const std::vector<StationEventRow>& events,
                         const ReconcileOptions& options);

// The station's down intervals from its events: a dropped/failed/ended stream or dead air opens
// one, the next connected/dead_air_end (or the like) closes it; a gap is a moment down.
struct DownInterval {
  UtcMicros from, to;  // to: INT64_MAX when never closed
  std::string event;
};
std::vector<DownInterval> DownIntervals(const std::vector<StationEventRow>& events, const std::string& station);

}  // namespace sigpat::proof

#endif
