// The dashboard's queries made of the store's basic ones: correct for every store, and
// overridden by the stores that can ask their database directly (store/sqlite_store.cpp).
#include <algorithm>
#include <ctime>
#include <map>

#include "station_health.h"
#include "store.h"

namespace sigpat::store {

namespace {

// The row of every station with the highest id, by station name.
template <typename Row>
std::vector<Row> NewestPerStation(std::vector<Row> rows) {
  std::map<std::string, Row> last;
  for (Row& r : rows) {
    auto it = last.find(r.station);
    if (it == last.end() || it->second.id < r.id) last[r.station] = std::move(r);
  }
  std::vector<Row> out;
  for (auto& [station, r] : last) out.push_back(std::move(r));
  return out;
}

}  // namespace

void AppendFilterConditions(const DetectionFilter& f, std::string& sql, std::vector<std::string>& texts,
                            const std::function<std::string(std::size_t)>& placeholder) {
  std::size_t k = 0;
  const auto in = [&](const char* column, const std::vector<std::string>& values) {
    if (values.empty()) return;
    sql += std::string(" AND ") + column + " IN (";
    for (std::size_t i = 0; i < values.size(); ++i) {
      sql += (i == 0 ? "" : ", ") + placeholder(k++);
      texts.push_back(values[i]);
    }
    sql += ")";
  };
  in("s.label", f.stations);
  in("p.content_hash", f.patternHashes);
  in("p.spot_id", f.spotIds);
  in("p.campaign", f.campaigns);
  in("p.advertiser", f.advertisers);
  if (f.from) sql += " AND d.begin_utc >= " + placeholder(k++);
  if (f.to) sql += " AND d.begin_utc < " + placeholder(k++);
}

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

std::vector<DetectionRow> Store::LastDetectionPerStation() { return NewestPerStation(Detections({})); }

std::vector<StationEventRow> Store::LastEventPerStation() {
  return NewestPerStation(Events({}, std::nullopt, std::nullopt));
}

std::vector<StationEventRow> Store::LastHealthEventPerStation() {
  std::vector<StationEventRow> events = Events({}, std::nullopt, std::nullopt);
  std::erase_if(events, [](const StationEventRow& e) { return HealthAfter(e.event) == Health::kUnchanged; });
  return NewestPerStation(std::move(events));
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
