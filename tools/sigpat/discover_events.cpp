// "new_repeated_clip" station events (see discover_events.h).
#include "discover_events.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "utc.h"

namespace sigpat {

namespace {

constexpr store::UtcMicros kSameAiring = 1000000;  // airings whose begins are this close are one

}  // namespace

int RaiseNewRepeatedClips(store::Store& store, const std::string& station, const std::vector<RepeatedClip>& clips,
                          int minCount) {
  // The airings earlier events named.
  std::vector<store::UtcMicros> known;
  for (const store::StationEventRow& e : store.Events({station}, std::nullopt, std::nullopt)) {
    if (e.event != kNewRepeatedClipEvent) continue;
    const nlohmann::json j = nlohmann::json::parse(e.json, nullptr, false);
    if (!j.is_object() || !j.contains("airings") || !j["airings"].is_array()) continue;
    for (const nlohmann::json& a : j["airings"])
      if (a.is_object() && a.contains("begin_utc") && a["begin_utc"].is_string())
        if (const auto t = store::ParseUtc(a["begin_utc"].get<std::string>())) known.push_back(*t);
  }
  std::sort(known.begin(), known.end());
  const auto isKnown = [&](store::UtcMicros t) {
    const auto it = std::lower_bound(known.begin(), known.end(), t - kSameAiring);
    return it != known.end() && *it <= t + kSameAiring;
  };
  int raised = 0;
  for (const RepeatedClip& clip : clips) {
    if (static_cast<int>(clip.airings.size()) < minCount) continue;
    if (std::any_of(clip.airings.begin(), clip.airings.end(), [&](const auto& a) { return isKnown(a.first); })) continue;
    const store::UtcMicros when = clip.airings[static_cast<std::size_t>(minCount - 1)].first;
    nlohmann::json j;
    j["event"] = kNewRepeatedClipEvent;
    j["station"] = station;
    j["time_utc"] = store::FormatUtcMillis(when);
    j["length_s"] = std::round(clip.lengthSeconds * 1000.0) / 1000.0;
    j["kind"] = clip.kind;
    j["count"] = clip.airings.size();
    j["pattern"] = clip.pattern;
    j["evidence"] = clip.evidence;
    nlohmann::json airings = nlohmann::json::array();
    for (const auto& [b, e] : clip.airings)
      airings.push_back({{"begin_utc", store::FormatUtcMillis(b)}, {"end_utc", store::FormatUtcMillis(e)}});
    j["airings"] = airings;
    store.AddEvent({0, station, when, kNewRepeatedClipEvent, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
    ++raised;
  }
  return raised;
}

}  // namespace sigpat
