#include "postgres_rows.h"

#include <map>
#include <set>
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

namespace {

// "($1, $2, ...), ($n, ...)": rows of `columns` parameters, numbered from 1; casts[c] (may be
// empty) follows parameter c of each row.
std::string ValueRows(std::size_t rows, const std::vector<std::string>& casts) {
  std::string sql;
  int n = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    sql += i == 0 ? "(" : ", (";
    for (std::size_t c = 0; c < casts.size(); ++c) sql += (c == 0 ? "$" : ", $") + std::to_string(++n) + casts[c];
    sql += ")";
  }
  return sql;
}

}  // namespace

std::vector<Statement> InsertDetectionStatements(const std::vector<DetectionRow>& rows) {
  Statement stations, patterns, detections;
  std::set<std::string> labels, hashes, keys;
  std::size_t nStations = 0, nPatterns = 0, nDetections = 0;
  for (const DetectionRow& d : rows) {
    if (labels.insert(d.station).second) stations.params << d.station, ++nStations;
    if (hashes.insert(d.patternHash).second) patterns.params << d.patternHash << d.patternName, ++nPatterns;
    if (!keys.insert(d.key).second) continue;
    detections.params << static_cast<std::int64_t>(nDetections++) << d.key << d.station << d.patternHash
                      << d.patternName << d.beginSample << d.endSample << d.beginSeconds << d.endSeconds << d.beginUtc
                      << d.endUtc << d.clock << d.rule << d.confidence << d.distance << d.threshold << d.seen << d.match
                      << d.evidence << d.json << d.storedUtc;
  }
  if (rows.empty()) return {};
  stations.sql = "INSERT INTO stations (label, url) SELECT v.label, '' FROM (VALUES " + ValueRows(nStations, {"::text"}) +
                 ") AS v(label) ON CONFLICT (label) DO NOTHING";
  patterns.sql = "INSERT INTO patterns (content_hash, name) VALUES " + ValueRows(nPatterns, {"", ""}) +
                 " ON CONFLICT (content_hash) DO NOTHING";
  // The values typed (VALUES has no table to take them from), ordered by their place in the batch.
  const std::string t = "::text", b = "::bigint", r = "::double precision";
  detections.sql =
      "INSERT INTO detections (detection_key, station_id, pattern_id, pattern_name, begin_sample, end_sample, begin_s, "
      "end_s, begin_utc, end_utc, clock, rule, confidence, distance, threshold, seen, match_kind, evidence, json, "
      "stored_utc) SELECT v.k, s.id, p.id, v.pn, v.bs, v.es, v.bsec, v.esec, v.bu, v.eu, v.cl, v.ru, v.co, v.di, v.th, "
      "v.se, v.ma, v.ev, v.js, v.su FROM (VALUES " +
      ValueRows(nDetections, {b, t, t, t, t, b, b, r, r, b, b, t, t, r, r, r, r, t, t, t, b}) +
      ") AS v(n, k, st, h, pn, bs, es, bsec, esec, bu, eu, cl, ru, co, di, th, se, ma, ev, js, su), stations s, "
      "patterns p WHERE s.label = v.st AND p.content_hash = v.h ORDER BY v.n "
      "ON CONFLICT (detection_key) DO NOTHING RETURNING detection_key, id";
  return {std::move(stations), std::move(patterns), std::move(detections)};
}

Statement SelectDetectionIds(const std::vector<std::string>& keys) {
  Statement s;
  s.sql = "SELECT detection_key, id FROM detections WHERE detection_key IN (";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    s.sql += (i == 0 ? "$" : ", $") + std::to_string(i + 1);
    s.params << keys[i];
  }
  s.sql += ")";
  return s;
}

void FilterSql(const DetectionFilter& f, std::string& sql, pg::Params& params) {
  const int base = params.Count();
  std::vector<std::string> texts;
  AppendFilterConditions(f, sql, texts, [base](std::size_t k) { return "$" + std::to_string(base + 1 + static_cast<int>(k)); });
  for (const std::string& t : texts) params << t;
  if (f.from) params << *f.from;
  if (f.to) params << *f.to;
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
