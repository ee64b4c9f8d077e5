#include "postgres_rows.h"

#include <map>
#include <utility>

#include "postgres_store.h"

namespace sigpat::store {

std::vector<PatternRow> MergePatternRows(const std::vector<PatternRow>& rows) {
  std::vector<PatternRow> merged;
  std::map<std::string, std::size_t> at;  // content hash -> index in merged
  for (const PatternRow& p : rows) {
    auto [it, added] = at.emplace(p.contentHash, merged.size());
    if (added) {
      merged.push_back(p);
      continue;
    }
    PatternRow& m = merged[it->second];
    m.name = p.name;
    if (p.durationSeconds > 0) m.durationSeconds = p.durationSeconds;
    for (auto [to, from] : {std::pair{&m.spotId, &p.spotId}, std::pair{&m.advertiser, &p.advertiser},
                            std::pair{&m.campaign, &p.campaign}, std::pair{&m.version, &p.version},
                            std::pair{&m.title, &p.title}})
      if (!from->empty()) *to = *from;
  }
  return merged;
}

std::string InsertPatternsSql(std::size_t rows) {
  std::string sql = "INSERT INTO patterns (content_hash, name, duration_s, spot_id, advertiser, campaign, version, title) VALUES ";
  for (std::size_t i = 0; i < rows; ++i) {
    sql += i == 0 ? "(" : ", (";
    for (std::size_t c = 0; c < 8; ++c) sql += (c == 0 ? "$" : ", $") + std::to_string(i * 8 + c + 1);
    sql += ")";
  }
  return sql + " ON CONFLICT (content_hash) DO UPDATE SET name = EXCLUDED.name, "
               "duration_s = CASE WHEN EXCLUDED.duration_s > 0 THEN EXCLUDED.duration_s ELSE patterns.duration_s END, "
               "spot_id = CASE WHEN EXCLUDED.spot_id <> '' THEN EXCLUDED.spot_id ELSE patterns.spot_id END, "
               "advertiser = CASE WHEN EXCLUDED.advertiser <> '' THEN EXCLUDED.advertiser ELSE patterns.advertiser END, "
               "campaign = CASE WHEN EXCLUDED.campaign <> '' THEN EXCLUDED.campaign ELSE patterns.campaign END, "
               "version = CASE WHEN EXCLUDED.version <> '' THEN EXCLUDED.version ELSE patterns.version END, "
               "title = CASE WHEN EXCLUDED.title <> '' THEN EXCLUDED.title ELSE patterns.title END "
               "RETURNING content_hash, id";
}

DetectionRow DetectionAt(const pg::Result& r, int i) {
  DetectionRow d;
  d.id = r.Int(i, 0);
  d.key = r.Text(i, 1);
  d.station = r.Text(i, 2);
  d.patternHash = r.Text(i, 3);
  d.patternName = r.Text(i, 4);
  d.beginSample = r.Int(i, 5);
  d.endSample = r.Int(i, 6);
  d.beginSeconds = r.Real(i, 7);
  d.endSeconds = r.Real(i, 8);
  d.beginUtc = r.OptInt(i, 9);
  d.endUtc = r.OptInt(i, 10);
  d.clock = r.Text(i, 11);
  d.rule = r.Text(i, 12);
  d.confidence = r.Real(i, 13);
  d.distance = r.Real(i, 14);
  d.threshold = r.Real(i, 15);
  d.seen = r.Real(i, 16);
  d.match = r.Text(i, 17);
  d.evidence = r.Text(i, 18);
  d.json = r.Text(i, 19);
  d.storedUtc = r.Int(i, 20);
  return d;
}

std::string UrlWithoutPassword(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const std::size_t at = url.find('@', scheme + 3);
  const std::size_t slash = url.find('/', scheme + 3);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) return url;
  const std::size_t colon = url.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon) + url.substr(at);
}

}  // namespace sigpat::store
