// Fuzz target: a schedule file as `sigpat reconcile --schedule` reads it. Whatever the bytes,
// reading ends with bookings and problems that account for its rows; every booking has a station,
// a spot and a window that does not end before it starts; and the reconciliation of those
// bookings, written as CSV, reads back into the same stations, spots and windows, so that no
// name or time is cut, merged or split by the writer.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>

#include "csv_out.h"
#include "html.h"
#include "reconcile.h"
#include "schedule.h"

using namespace sigpat::proof;


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Schedule s = ParseSchedule(text);
  std::vector<StationRow> stations;
  std::vector<PatternRow> patterns;
  std::set<std::string> seenStations, seenSpots;
  using Key = std::tuple<std::string, std::string, UtcMicros, UtcMicros>;
  std::set<Key> expected;
  int lastLine = 1;
  for (const Booking& b : s.bookings) {
    if (b.station.empty() || b.spot.empty() || b.windowEnd < b.windowStart || b.line <= lastLine) std::abort();
    lastLine = b.line;
    if (seenStations.insert(b.station).second) stations.push_back({0, b.station, ""});
    if (seenSpots.insert(b.spot).second) {
      PatternRow p;
      p.contentHash = std::to_string(patterns.size());
      p.spotId = p.name = b.spot;
      patterns.push_back(p);
    }
    expected.emplace(b.station, b.spot, b.windowStart, b.windowEnd);
  }
  for (const ScheduleProblem& p : s.problems)
    if (p.line < 0 || p.message.empty()) std::abort();
  std::vector<ScheduleProblem> problems;
  const auto resolved = ResolveBookings(s.bookings, stations, patterns, problems);
  if (!problems.empty() || resolved.size() != s.bookings.size()) std::abort();
  const Reconciliation r = Reconcile(resolved, patterns, {}, {}, ReconcileOptions{});
  const Schedule back = ParseSchedule(ReconciliationCsv(r));
  if (!back.problems.empty() || back.bookings.size() != expected.size()) std::abort();
  for (const Booking& b : back.bookings)
    if (!expected.count(Key(b.station, b.spot, b.windowStart, b.windowEnd))) std::abort();

  for (const Booking& b : s.bookings)
    if (HtmlEscape(b.station).find_first_of("<>\"'") != std::string::npos) std::abort();
  return 0;
}
