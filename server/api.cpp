// The dashboard's JSON API: parameters checked strictly (400 with the parameter named), store
// queries only through the store's interface (bound parameters), results as JSON.
#include "api.h"

#include "station_health.h"

#include <charconv>
#include <ctime>

#ifdef SIGPAT_SERVER_WITH_PROOF
#include "reconcile_api.h"
#endif

namespace sigpat::server {

using nlohmann::json;

namespace {

constexpr int kDefaultLimit = 100;
constexpr int kMaxLimit = 1000;

// Every value of a parameter (name or name[]); each value may also hold several, comma-separated.
std::vector<std::string> Values(const Query& q, const std::string& name) {
  std::vector<std::string> out;
  auto [b, e] = q.equal_range(name);
  for (auto it = b; it != e; ++it) {
    if (it->second.empty()) throw BadRequest("parameter \"" + name + "\" is empty");
    out.push_back(it->second);
  }
  return out;
}

std::optional<std::string> One(const Query& q, const std::string& name) {
  auto [b, e] = q.equal_range(name);
  if (b == e) return std::nullopt;
  if (std::next(b) != e) throw BadRequest("parameter \"" + name + "\" is given more than once");
  return b->second;
}

std::int64_t Integer(const Query& q, const std::string& name, std::int64_t fallback, std::int64_t lo, std::int64_t hi) {
  auto text = One(q, name);
  if (!text) return fallback;
  std::int64_t v = 0;
  auto [p, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
  if (text->empty() || ec != std::errc() || p != text->data() + text->size() || v < lo || v > hi)
    throw BadRequest("parameter \"" + name + "\" must be a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not \"" + *text + "\"");
  return v;
}

std::optional<store::UtcMicros> Time(const Query& q, const std::string& name) {
  auto text = One(q, name);
  if (!text) return std::nullopt;
  std::string why;
  auto t = ParseUtc(*text, &why);
  if (!t)
    throw BadRequest("parameter \"" + name + "\" must be a UTC time like 2026-12-07T10:00:00Z or a day like 2026-12-07, not \"" +
                     *text + "\" (" + why + ")");
  return t;
}

// Rejects parameters the call does not know (a misspelt filter must not silently match all).
void OnlyKnown(const Query& q, std::initializer_list<const char*> known) {
  for (const auto& [name, value] : q) {
    bool ok = false;
    for (const char* k : known) ok = ok || name == k;
    if (!ok) throw BadRequest("unknown parameter \"" + name + "\"");
  }
}

store::DetectionFilter Filter(const Query& q) {
  store::DetectionFilter f;
  f.stations = Values(q, "station");
  f.spotIds = Values(q, "spot");
  f.patternHashes = Values(q, "pattern");
  f.campaigns = Values(q, "campaign");
  f.advertisers = Values(q, "advertiser");
  f.from = Time(q, "from");
  f.to = Time(q, "to");
  if (f.from && f.to && *f.to <= *f.from) throw BadRequest("parameter \"to\" must be later than \"from\"");
  return f;
}

json OrNull(const std::optional<store::UtcMicros>& t) { return t ? json(FormatUtc(*t)) : json(nullptr); }

}  // namespace

// Messages quote what the client sent, which need not be UTF-8: such bytes become U+FFFD rather
// than make the dump throw.
std::string ErrorBody(const std::string& message) {
  return json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string FormatUtc(store::UtcMicros t) {
  std::int64_t seconds = t / 1000000, micros = t % 1000000;
  if (micros < 0) {
    micros += 1000000;
    --seconds;
  }
  std::time_t s = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char buf[48];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(micros / 1000));
  return buf;
}

std::string HealthAfter(const std::string& event) {
  switch (store::HealthAfter(event)) {
    case store::Health::kUp: return "up";
    case store::Health::kDeadAir: return "dead_air";
    case store::Health::kBehind: return "behind";
    case store::Health::kDown: return "down";
    case store::Health::kUnchanged: break;
  }
  return "";
}

const store::PatternRow* Api::Pattern(store::Store& s, const std::string& hash) {
  auto it = patterns_.find(hash);
  if (it == patterns_.end()) {
    for (store::PatternRow& p : s.Patterns()) patterns_[p.contentHash] = std::move(p);
    it = patterns_.find(hash);
    if (it == patterns_.end()) return nullptr;
  }
  return &it->second;
}

json Api::DetectionJson(const store::DetectionRow& d, store::Store& s) {
  json j{{"id", d.id},
         {"station", d.station},
         {"pattern", d.patternName},
         {"pattern_hash", d.patternHash},
         {"begin_utc", OrNull(d.beginUtc)},
         {"end_utc", OrNull(d.endUtc)},
         {"begin_seconds", d.beginSeconds},
         {"end_seconds", d.endSeconds},
         {"clock", d.clock},
         {"rule", d.rule},
         {"confidence", d.confidence},
         {"seen", d.seen},
         {"match", d.match},
         {"evidence", d.evidence.empty() ? json(nullptr) : json(d.evidence)},
         {"evidence_url", d.evidence.empty() ? json(nullptr) : json("/api/evidence/" + d.evidence)}};
  const store::PatternRow* p = Pattern(s, d.patternHash);
  j["spot"] = p ? p->spotId : "";
  j["advertiser"] = p ? p->advertiser : "";
  j["campaign"] = p ? p->campaign : "";
  j["version"] = p ? p->version : "";
  j["title"] = p ? p->title : "";
  return j;
}

json Api::EventJson(const store::StationEventRow& e) {
  json j{{"id", e.id}, {"station", e.station}, {"time_utc", FormatUtc(e.timeUtc)}, {"event", e.event}};
  std::string health = HealthAfter(e.event);
  j["health"] = health.empty() ? json(nullptr) : json(health);
  json line = json::parse(e.json, nullptr, false);
  j["detail"] = line.is_discarded() ? json(nullptr) : line;
  return j;
}

json Api::Stations(store::Store& s) {
  std::map<std::string, json> byLabel;
  for (const store::StationRow& st : s.Stations())
    byLabel[st.label] = json{{"label", st.label}, {"url", st.url}, {"health", "unknown"},
                             {"last_event", nullptr}, {"last_detection", nullptr}};
  for (const store::StationEventRow& e : s.LastEventPerStation()) {
    if (e.station.empty()) continue;
    json& st = byLabel[e.station];
    if (st.is_null()) st = json{{"label", e.station}, {"url", ""}, {"last_detection", nullptr}};
    st["last_event"] = EventJson(e);
    st["health"] = "up";  // it writes events; the newest that tells its health decides below
  }
  for (const store::StationEventRow& e : s.LastHealthEventPerStation())
    if (!e.station.empty()) byLabel[e.station]["health"] = HealthAfter(e.event);
  for (const store::DetectionRow& d : s.LastDetectionPerStation()) {
    json& st = byLabel[d.station];
    if (st.is_null()) st = json{{"label", d.station}, {"url", ""}, {"health", "unknown"}, {"last_event", nullptr}};
    st["last_detection"] = DetectionJson(d, s);
  }
  json out = json::array();
  for (auto& [label, st] : byLabel) out.push_back(std::move(st));
  return json{{"stations", out}};
}

json Api::Patterns(store::Store& s) {
  json out = json::array();
  for (const store::PatternRow& p : s.Patterns()) {
    patterns_[p.contentHash] = p;
    out.push_back(json{{"hash", p.contentHash}, {"name", p.name}, {"duration_seconds", p.durationSeconds},
                       {"spot", p.spotId}, {"advertiser", p.advertiser}, {"campaign", p.campaign},
                       {"version", p.version}, {"title", p.title}});
  }
  return json{{"patterns", out}};
}

json Api::Detections(store::Store& s, const Query& q) {
  OnlyKnown(q, {"station", "spot", "pattern", "campaign", "advertiser", "from", "to", "after_id", "before_id", "limit"});
  store::DetectionFilter f = Filter(q);
  const std::int64_t after = Integer(q, "after_id", 0, 0, INT64_MAX);
  const std::int64_t before = Integer(q, "before_id", 0, 0, INT64_MAX);
  if (q.count("after_id") && q.count("before_id")) throw BadRequest("give \"after_id\" or \"before_id\", not both");
  f.limit = static_cast<int>(Integer(q, "limit", kDefaultLimit, 1, kMaxLimit));
  // after_id: oldest first from there (an API client catching up); otherwise newest first.
  const bool ascending = q.count("after_id") > 0;
  f.afterId = after;
  std::vector<store::DetectionRow> rows = s.DetectionsById(f, !ascending, before);
  json out = json::array();
  for (const store::DetectionRow& d : rows) out.push_back(DetectionJson(d, s));
  json page{{"detections", out}};
  const bool full = static_cast<int>(rows.size()) == f.limit;
  if (ascending)
    page["next"] = full ? json{{"after_id", rows.back().id}} : json(nullptr);
  else
    page["next"] = full ? json{{"before_id", rows.back().id}} : json(nullptr);
  return page;
}

json Api::Events(store::Store& s, const Query& q) {
  OnlyKnown(q, {"station", "from", "to", "limit"});
  std::vector<std::string> stations = Values(q, "station");
  auto from = Time(q, "from"), to = Time(q, "to");
  if (from && to && *to <= *from) throw BadRequest("parameter \"to\" must be later than \"from\"");
  const std::int64_t limit = Integer(q, "limit", 1000, 1, 10000);
  std::vector<store::StationEventRow> rows = s.Events(stations, from, to);
  // The newest ones when there are more than the limit.
  std::size_t first = rows.size() > static_cast<std::size_t>(limit) ? rows.size() - limit : 0;
  json out = json::array();
  for (std::size_t i = first; i < rows.size(); ++i) out.push_back(EventJson(rows[i]));
  return json{{"events", out}};
}

json Api::Counts(store::Store& s, const Query& q) {
  OnlyKnown(q, {"station", "spot", "pattern", "campaign", "advertiser", "from", "to"});
  store::DetectionFilter f = Filter(q);
  json out = json::array();
  for (const auto& c : s.CountsPerPatternPerDay(f)) {
    const store::PatternRow* p = Pattern(s, c.patternHash);
    out.push_back(json{{"day", c.day}, {"pattern_hash", c.patternHash}, {"pattern", p ? p->name : ""},
                       {"spot", p ? p->spotId : ""}, {"count", c.count}});
  }
  return json{{"counts", out}};
}

ApiResponse Api::PostReconcile(const std::string& body, const Query& query) {
#ifdef SIGPAT_SERVER_WITH_PROOF
  try {
    OnlyKnown(query, {"from", "to"});
    const auto from = Time(query, "from"), to = Time(query, "to");
    if (from && to && *to <= *from) throw BadRequest("parameter \"to\" must be later than \"from\"");
    if (body.empty()) throw BadRequest("the schedule (CSV: station,spot,window_start,window_end) is the request's body; it is empty");
    json result = access_.With([&](store::Store& s) { return ReconcileJson(s, body, from, to); });
    return {200, result.dump(-1, ' ', false, json::error_handler_t::replace)};
  } catch (const BadRequest& e) {
    return {400, ErrorBody(e.what())};
  } catch (const store::StoreError& e) {
    return {503, ErrorBody(std::string("the store is not available: ") + e.what())};
  } catch (const std::exception& e) {
    return {500, ErrorBody(std::string("internal error: ") + e.what())};
  }
#else
  (void)body;
  (void)query;
  return {404, ErrorBody("this sigpat was built without reconciliation")};
#endif
}

ApiResponse Api::Get(const std::string& path, const Query& query) {
  try {
    json body = access_.With([&](store::Store& s) -> json {
      if (path == "stations") {
        OnlyKnown(query, {});
        return Stations(s);
      }
      if (path == "patterns") {
        OnlyKnown(query, {});
        return Patterns(s);
      }
      if (path == "detections") return Detections(s, query);
      if (path == "events") return Events(s, query);
      if (path == "counts") return Counts(s, query);
      if (path.starts_with("detections/")) {
        OnlyKnown(query, {});
        const std::string idText = path.substr(11);
        std::int64_t id = 0;
        auto [p, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
        if (idText.empty() || ec != std::errc() || p != idText.data() + idText.size() || id < 1)
          throw BadRequest("detection id must be a positive whole number, not \"" + idText + "\"");
        auto d = s.DetectionById(id);
        if (!d) return json{{"error", "no detection " + std::to_string(id)}, {"status", 404}};
        return DetectionJson(*d, s);
      }
      return json{{"error", "no such API call: /api/" + path}, {"status", 404}};
    });
    if (body.contains("status")) {
      int status = body["status"];
      body.erase("status");
      return {status, body.dump(-1, ' ', false, json::error_handler_t::replace)};
    }
    return {200, body.dump(-1, ' ', false, json::error_handler_t::replace)};
  } catch (const BadRequest& e) {
    return {400, ErrorBody(e.what())};
  } catch (const store::StoreError& e) {
    return {503, ErrorBody(std::string("the store is not available: ") + e.what())};
  } catch (const std::exception& e) {
    return {500, ErrorBody(std::string("internal error: ") + e.what())};
  }
}

}  // namespace sigpat::server
