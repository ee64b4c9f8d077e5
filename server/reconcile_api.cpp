// The reconciliation of an uploaded schedule (reconcile_api.h).
#include "reconcile_api.h"

#include <algorithm>
#include <set>

#include "api.h"
#include "reconcile.h"
#include "reconcile_store.h"
#include "schedule.h"

namespace sigpat::server {

using nlohmann::json;

json ReconcileJson(store::Store& s, std::string_view csv, std::optional<store::UtcMicros> from,
                   std::optional<store::UtcMicros> to) {
  proof::Schedule schedule = proof::ParseSchedule(csv);
  if (schedule.bookings.empty() && !schedule.problems.empty() && schedule.problems.front().line <= 1)
    throw BadRequest("schedule: " + proof::FormatProblem("schedule", schedule.problems.front()));
  std::vector<proof::ScheduleProblem> problems = schedule.problems;
  const auto patterns = s.Patterns();
  std::vector<proof::ResolvedBooking> bookings = proof::ResolveBookings(schedule.bookings, s.Stations(), patterns, problems);
  std::erase_if(bookings, [&](const proof::ResolvedBooking& r) {
    return (from && r.booking.windowStart < *from) || (to && r.booking.windowStart >= *to);
  });
  proof::ReconcileOptions options;
  options.from = from;
  options.to = to;
  const proof::Reconciliation result = proof::ReconcileStore(s, bookings, patterns, options);

  auto time = [](const std::optional<store::UtcMicros>& t) { return t ? json(FormatUtc(*t)) : json(nullptr); };
  json rows = json::array();
  for (const auto& r : result.rows) {
    json row{{"station", r.station}, {"spot", r.spot}, {"window_start", time(r.windowStart)},
             {"window_end", time(r.windowEnd)}, {"status", proof::StatusName(r.status)},
             {"detected_spot", r.detectedSpot}, {"note", r.note}, {"line", r.line},
             {"offset_s", r.offsetSeconds ? json(*r.offsetSeconds) : json(nullptr)}};
    if (r.airing) {
      row["detection_id"] = r.airing->id;
      row["aired_start"] = time(r.airing->beginUtc);
      row["aired_end"] = time(r.airing->endUtc);
      row["seen"] = r.airing->seen;
      row["evidence_url"] = r.airing->evidence.empty() ? json(nullptr) : json("/api/evidence/" + r.airing->evidence);
    } else {
      row["detection_id"] = row["aired_start"] = row["aired_end"] = row["seen"] = row["evidence_url"] = nullptr;
    }
    rows.push_back(std::move(row));
  }
  json summary = json::array();
  for (const auto& st : result.stations)
    summary.push_back(json{{"station", st.station}, {"bookings", st.bookings}, {"aired", st.aired},
                           {"aired_outside_window", st.outsideWindow}, {"not_aired", st.notAired},
                           {"wrong_version", st.wrongVersion}, {"truncated", st.truncated},
                           {"unbooked", st.unbooked}, {"unverified", st.unverified}, {"error_rate", st.ErrorRate()}});
  std::stable_sort(problems.begin(), problems.end(), [](auto& a, auto& b) { return a.line < b.line; });
  json refused = json::array();
  for (const auto& p : problems) refused.push_back(json{{"line", p.line}, {"message", p.message}});
  return json{{"from", FormatUtc(result.from)}, {"to", FormatUtc(result.to)}, {"problems", refused},
              {"rows", rows}, {"stations", summary}};
}

}  // namespace sigpat::server
