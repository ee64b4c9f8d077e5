#include "reconcile_store.h"

#include <set>
#include <string>

namespace sigpat::proof {

Reconciliation ReconcileStore(store::Store& db, const std::vector<ResolvedBooking>& bookings,
                              const std::vector<PatternRow>& patterns, const ReconcileOptions& options) {
  store::DetectionFilter filter;
  std::set<std::string> stations;
  for (const auto& r : bookings) stations.insert(r.booking.station);
  filter.stations.assign(stations.begin(), stations.end());
  UtcMicros spanFrom = 0, spanTo = 0;
  SearchSpan(bookings, options, spanFrom, spanTo);
  filter.from = spanFrom;
  filter.to = spanTo;
  std::vector<store::DetectionRow> detections;
  std::vector<store::StationEventRow> events;
  if (!bookings.empty()) {
    detections = db.Detections(filter);
    // A day before the span too: a station that went down before a window and stayed down.
    events = db.Events(filter.stations, spanFrom - kMicrosPerDay, spanTo);
  }
  return Reconcile(bookings, patterns, detections, events, options);
}

}  // namespace sigpat::proof
