// The dashboard's queries made of the store's basic ones: correct for every store, and
// overridden by the stores that can ask their database directly (store/sqlite_store.cpp).
#include <algorithm>
#include <ctime>
#include <map>

#include "station_health.h"
#include "store.h"

namespace sigpat::store {

std::vector<DetectionRow> Store::DetectionsById(const DetectionFilter& f, bool descending, std::int64_t beforeId) {
  DetectionFilter all = f;
  all.limit = 0;
  std::vector<DetectionRow> rows = Detections(all);
  if (beforeId > 0) std::erase_if(rows, [&](const DetectionRow& d) { return d.id >= beforeId; });
  std::sort(rows.begin(), rows.end(), [&](const DetectionRow& a, const DetectionRow& b) {
    return descending ? a.id > b.id : a.id < b.id;
  });
  if (f.limit > 0 && rows.size() > static_cast<std::size_t>(f.limit)) rows.resize(f.limit);
  return rows;
}

std::optional<DetectionRow> Store::DetectionById(std::int64_t id) {
  DetectionFilter f;
  f.afterId = id - 1;
  for (DetectionRow& d : Detections(f))
    if (d.id == id) return std::move(d);
  return std::nullopt;
}

std::vector<DetectionRow> Store::LastDetectionPerStation() {
  std::map<std::string, DetectionRow> last;
  for (DetectionRow& d : Detections({})) {
    auto it = last.find(d.station);
    if (it == last.end() || it->second.id < d.id) last[d.station] = std::move(d);
  }
  std::vector<DetectionRow> rows;
  for (auto& [station, d] : last) rows.push_back(std::move(d));
  return rows;
}

std::vector<StationEventRow> Store::LastEventPerStation() {
  std::map<std::string, StationEventRow> last;
  for (StationEventRow& e : Events({}, std::nullopt, std::nullopt)) {
    auto it = last.find(e.station);
    if (it == last.end() || it->second.id < e.id) last[e.station] = std::move(e);
  }
  std::vector<StationEventRow> rows;
  for (auto& [station, e] : last) rows.push_back(std::move(e));
  return rows;
}

std::vector<StationEventRow> Store::LastHealthEventPerStation() {
  std::map<std::string, StationEventRow> last;
  for (StationEventRow& e : Events({}, std::nullopt, std::nullopt)) {
    if (HealthAfter(e.event) == Health::kUnchanged) continue;
    auto it = last.find(e.station);
    if (it == last.end() || it->second.id < e.id) last[e.station] = std::move(e);
  }
  std::vector<StationEventRow> rows;
  for (auto& [station, e] : last) rows.push_back(std::move(e));
  return rows;
}

std::vector<StationEventRow> Store::EventsAfter(std::int64_t afterId, int limit) {
  std::vector<StationEventRow> rows = Events({}, std::nullopt, std::nullopt);
  std::erase_if(rows, [&](const StationEventRow& e) { return e.id <= afterId; });
  std::sort(rows.begin(), rows.end(), [](const StationEventRow& a, const StationEventRow& b) { return a.id < b.id; });
  if (limit > 0 && rows.size() > static_cast<std::size_t>(limit)) rows.resize(limit);
  return rows;
}

std::vector<Store::PatternDayCount> Store::CountsPerPatternPerDay(const DetectionFilter& f) {
  DetectionFilter all = f;
  all.afterId = 0;
  all.limit = 0;
  std::map<std::pair<std::string, std::string>, std::int64_t> counts;
  for (const DetectionRow& d : Detections(all)) {
    if (!d.beginUtc) continue;
    std::time_t seconds = static_cast<std::time_t>(*d.beginUtc / 1000000 - (*d.beginUtc % 1000000 < 0 ? 1 : 0));
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
    ++counts[{day, d.patternHash}];
  }
  std::vector<PatternDayCount> rows;
  for (const auto& [key, n] : counts) rows.push_back({key.second, key.first, n});
  return rows;
}

}  // namespace sigpat::store
