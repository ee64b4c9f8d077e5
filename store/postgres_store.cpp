// Writes go to the server, each committed before it returns. When the connection is lost, the
// write (and every one after it) goes to the spool instead, fsync'd, and returns as done: the
// monitor goes on. A later write tries the server again (after 0.5 s, doubling up to 30 s);
// once it answers, the spool is written first, in order, then the write itself. A row in the
// spool carries its key, so writing it again after a crash changes nothing. A store that writes
// may also start without its server (StoreOptions::startWithoutServer): everything goes to the
// spool until the server answers, then the schema is made or migrated and the spool written.
#include "postgres_store.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "postgres_rows.h"
#include "postgres_wire.h"
#include "schema.h"
#include "station_health.h"
#include "spool.h"
#include "utc.h"

namespace sigpat::store {

namespace {

using pg::Params;
using pg::Result;

using Clock = std::chrono::steady_clock;

// A lost connection (as against a statement the server refused).
struct ConnectionLost {};

const char* const kSelectDetections =
    "SELECT d.id, d.detection_key, s.label, p.content_hash, d.pattern_name, d.begin_sample, d.end_sample, d.begin_s, "
    "d.end_s, d.begin_utc, d.end_utc, d.clock, d.rule, d.confidence, d.distance, d.threshold, d.seen, "
    "d.match_kind, d.evidence, d.json, d.stored_utc FROM detections d JOIN stations s ON s.id = d.station_id "
    "JOIN patterns p ON p.id = d.pattern_id WHERE d.id > $1";

class PostgresStore : public Store {
 public:
  PostgresStore(const std::string& url, const StoreOptions& options)
      : url_(url), describe_(UrlWithoutPassword(url)), wait_(options.waitMilliseconds),
        spool_(options.spool.empty() ? Spool::DefaultPath(describe_) : options.spool),
        onReachability_(options.onReachability) {
    // A constructor that throws runs no destructor: the connection is closed here.
    try {
      if (!Connect()) {
        if (!options.startWithoutServer || !NotAnswering(lastError_))
          throw StoreError(describe_ + ": cannot connect (" + lastError_ + ")");
        PQfinish(conn_);
        conn_ = nullptr;
        Lost();
        told_.emplace_back(false, "cannot connect (" + lastError_ + ")");
        return;
      }
      Migrate();
      migrated_ = true;
      Replay();
    } catch (const ConnectionLost&) {
      PQfinish(conn_);
      throw StoreError(describe_ + ": the connection was lost (" + lastError_ + ")");
    } catch (...) {
      PQfinish(conn_);
      throw;
    }
  }
  ~PostgresStore() override { PQfinish(conn_); }

  std::string Describe() const override { return describe_; }
  std::string SpoolPath() const override { return spool_.path(); }

  std::int64_t PutStation(const StationRow& s) override {
    nlohmann::json j{{"kind", "station"}, {"label", s.label}, {"url", s.url}};
    return Write({j}, [&] { return WriteStation(s.label, s.url, true); });
  }

  std::int64_t PutPattern(const PatternRow& p) override {
    return Write({PatternJson(p)}, [&] { return WritePatterns({p}).front(); });
  }

  // One transaction, the rows in multi-row statements (kPatternsPerStatement a statement): a
  // load of 1000 patterns is two round trips and one commit instead of 2000 and 1000.
  std::vector<std::int64_t> PutPatterns(const std::vector<PatternRow>& rows) override {
    if (rows.empty()) return {};
    std::vector<nlohmann::json> spooled;
    for (const PatternRow& p : rows) spooled.push_back(PatternJson(p));
    std::vector<std::int64_t> ids(rows.size(), 0);
    Write(spooled, [&] {
      Transaction t(*this);
      ids = WritePatterns(rows);
      t.Commit();
      return std::int64_t{0};
    });
    return ids;
  }

  std::int64_t AddDetection(const DetectionRow& row) override { return AddDetections({row}).front(); }

  std::vector<std::int64_t> AddDetections(const std::vector<DetectionRow>& rows) override {
    if (rows.empty()) return {};
    std::vector<DetectionRow> ds = rows;
    std::vector<nlohmann::json> spooled;
    const UtcMicros now = NowUtc();
    for (DetectionRow& d : ds) {
      if (d.key.empty()) d.key = DetectionKey(d);
      if (d.storedUtc == 0) d.storedUtc = now;
      spooled.push_back(ToJson(d));
    }
    std::vector<std::int64_t> ids(ds.size(), 0);
    Write(spooled, [&] {
      ids = WriteDetections(ds);
      return std::int64_t{0};
    });
    return ids;
  }

  void SetEvidence(const std::string& key, const std::string& path) override {
    nlohmann::json j{{"kind", "evidence"}, {"key", key}, {"path", path}};
    Write({j}, [&] {
      Exec("UPDATE detections SET evidence = $1 WHERE detection_key = $2", Params() << path << key);
      return std::int64_t{0};
    });
  }

  std::int64_t AddEvent(const StationEventRow& e) override {
    nlohmann::json j{{"kind", "event"}, {"station", e.station}, {"time_utc", e.timeUtc}, {"event", e.event}, {"json", e.json}};
    return Write({j}, [&] { return WriteEvent(e.station, e.timeUtc, e.event, e.json); });
  }

  std::vector<StationRow> Stations() override {
    return Read<std::vector<StationRow>>([&] {
      Result r = Exec("SELECT id, label, url FROM stations ORDER BY label", Params());
      std::vector<StationRow> rows;
      for (int i = 0; i < r.Rows(); ++i) rows.push_back({r.Int(i, 0), r.Text(i, 1), r.Text(i, 2)});
      return rows;
    });
  }

  std::vector<PatternRow> Patterns() override {
    return Read<std::vector<PatternRow>>([&] {
      Result r = Exec("SELECT id, content_hash, name, duration_s, spot_id, advertiser, campaign, version, title "
                      "FROM patterns ORDER BY name, id", Params());
      std::vector<PatternRow> rows;
      for (int i = 0; i < r.Rows(); ++i)
        rows.push_back({r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Real(i, 3), r.Text(i, 4), r.Text(i, 5), r.Text(i, 6),
                        r.Text(i, 7), r.Text(i, 8)});
      return rows;
    });
  }

  std::vector<DetectionRow> Detections(const DetectionFilter& f) override {
    std::string sql = kSelectDetections;
    Params params;
    params << f.afterId;
    FilterSql(f, sql, params);
    sql += " ORDER BY d.begin_utc IS NULL, d.begin_utc, d.id";
    if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
    return ReadDetections(sql, params);
  }

  std::vector<StationEventRow> Events(const std::vector<std::string>& stations, std::optional<UtcMicros> from,
                                      std::optional<UtcMicros> to) override {
    std::string sql = "SELECT id, station, time_utc, event, json FROM station_events WHERE true";
    Params params;
    int n = 0;
    if (!stations.empty()) {
      sql += " AND station IN (";
      for (std::size_t i = 0; i < stations.size(); ++i) {
        sql += (i == 0 ? "$" : ", $") + std::to_string(++n);
        params << stations[i];
      }
      sql += ")";
    }
    if (from) sql += " AND time_utc >= $" + std::to_string(++n), params << *from;
    if (to) sql += " AND time_utc < $" + std::to_string(++n), params << *to;
    sql += " ORDER BY time_utc, id";
    return ReadEvents(sql, params);
  }

  // The dashboard's queries (store.h), each one statement on the indices. Names sort as bytes
  // (COLLATE "C"), as in SQLite and the plain implementations.
  std::vector<DetectionRow> DetectionsById(const DetectionFilter& f, bool descending, std::int64_t beforeId) override {
    std::string sql = kSelectDetections;
    Params params;
    params << f.afterId;
    FilterSql(f, sql, params);
    if (beforeId > 0) sql += " AND d.id < $" + std::to_string(params.Count() + 1), params << beforeId;
    sql += descending ? " ORDER BY d.id DESC" : " ORDER BY d.id";
    if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
    return ReadDetections(sql, params);
  }

  std::optional<DetectionRow> DetectionById(std::int64_t id) override {
    Params params;
    params << std::int64_t{0} << id;
    auto rows = ReadDetections(std::string(kSelectDetections) + " AND d.id = $2", params);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
  }

  std::vector<DetectionRow> LastDetectionPerStation() override {
    Params params;
    params << std::int64_t{0};
    return ReadDetections(std::string(kSelectDetections) +
                              " AND d.id IN (SELECT max(id) FROM detections GROUP BY station_id)"
                              " ORDER BY s.label COLLATE \"C\"",
                          params);
  }

  std::vector<StationEventRow> LastEventPerStation() override { return NewestEvents(""); }

  std::vector<StationEventRow> LastHealthEventPerStation() override {
    std::string names;
    for (const HealthEvent& e : kHealthEvents) names += std::string(names.empty() ? "'" : ",'") + std::string(e.event) + "'";
    return NewestEvents(" WHERE event IN (" + names + ")");
  }

  std::vector<StationEventRow> EventsAfter(std::int64_t afterId, int limit) override {
    std::string sql = "SELECT id, station, time_utc, event, json FROM station_events WHERE id > $1 ORDER BY id";
    if (limit > 0) sql += " LIMIT " + std::to_string(limit);
    Params params;
    params << afterId;
    return ReadEvents(sql, params);
  }

  std::vector<PatternDayCount> CountsPerPatternPerDay(const DetectionFilter& f) override {
    // The UTC day of a time in microseconds, rounded down also before 1970.
    std::string sql =
        "SELECT p.content_hash, to_char(date '1970-01-01' + floor(d.begin_utc / 86400000000.0)::int, 'YYYY-MM-DD') AS day,"
        " count(*) FROM detections d JOIN stations s ON s.id = d.station_id JOIN patterns p ON p.id = d.pattern_id"
        " WHERE d.begin_utc IS NOT NULL";
    Params params;
    FilterSql(f, sql, params);
    sql += " GROUP BY day, p.content_hash ORDER BY day, p.content_hash COLLATE \"C\"";
    return Read<std::vector<PatternDayCount>>([&] {
      Result r = Exec(sql, params);
      std::vector<PatternDayCount> rows;
      for (int i = 0; i < r.Rows(); ++i) rows.push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
      return rows;
    });
  }

  std::size_t Flush() override {
    std::size_t waiting = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting = spool_.Count();
      if (waiting > 0 && (!down_ || Reconnect())) {
        try {
          Replay();
        } catch (const ConnectionLost&) {
          Lost();
        }
        waiting = spool_.Count();
      }
    }
    Tell();
    return waiting;
  }

  // What waits to be told (the constructor cannot call out: the store is not made yet).
  void TellPending() { Tell(); }

 private:
  bool Connect() {
    PQfinish(conn_);
    const std::string timeout = std::to_string(std::max(1, (wait_ + 999) / 1000));
    // The URL's own connect_timeout, when it has one, comes later and wins.
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {timeout.c_str(), url_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      lastError_ = conn_ != nullptr ? OneLine(PQerrorMessage(conn_)) : "out of memory";
      return false;
    }
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);  // "relation exists, skipping"
    down_ = false;
    backoff_ = std::chrono::milliseconds(500);
    return true;
  }

  // The server did not answer (as against answering with a refusal): the connection was refused
  // or timed out, the host name did not resolve, or the server is starting or shutting down.
  static bool NotAnswering(const std::string& error) {
    return error.find("FATAL") == std::string::npos || error.find("the database system is") != std::string::npos;
  }

  // Connects again after the server was lost; the schema is made or migrated on the first
  // connection. Throws ConnectionLost when the server goes again meanwhile.
  bool Reconnect() {
    if (!Connect()) return false;
    if (!migrated_) {
      Migrate();
      migrated_ = true;
    }
    if (wasLost_) {
      wasLost_ = false;
      told_.emplace_back(true, "connected; the " + std::to_string(spool_.Count()) + " rows waiting in the spool are written now");
    }
    return true;
  }

  // Tells what changed (outside the lock: the listener may write).
  void Tell() {
    std::vector<std::pair<bool, std::string>> told;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      told.swap(told_);
    }
    if (onReachability_)
      for (const auto& [up, detail] : told) onReachability_(up, detail);
  }

  static std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
      if (c == '\n' || c == '\t') c = ' ';
    return text;
  }

  // Runs a statement; throws ConnectionLost when the server is gone, StoreError when it refused.
  Result Exec(const std::string& sql, const Params& params) {
    const std::vector<const char*> values = params.Pointers();
    PGresult* raw = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                 nullptr, 0);
    Result r(raw);
    const ExecStatusType status = raw != nullptr ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
    lastError_ = OneLine(raw != nullptr ? PQresultErrorMessage(raw) : PQerrorMessage(conn_));
    if (lastError_.empty()) lastError_ = OneLine(PQerrorMessage(conn_));
    if (PQstatus(conn_) == CONNECTION_BAD) throw ConnectionLost{};
    throw StoreError(describe_ + ": " + lastError_);
  }

  // A transaction: rolled back unless committed (on a live connection).
  class Transaction {
   public:
    explicit Transaction(PostgresStore& s) : s_(s) { s_.Exec("BEGIN", Params()); }
    void Commit() {
      s_.Exec("COMMIT", Params());
      done_ = true;
    }
    ~Transaction() {
      if (!done_ && PQstatus(s_.conn_) == CONNECTION_OK) PQclear(PQexec(s_.conn_, "ROLLBACK"));
    }

   private:
    PostgresStore& s_;
    bool done_ = false;
  };

  // A write: to the server when it answers (the spool first), else its rows to the spool.
  std::int64_t Write(const std::vector<nlohmann::json>& rows, const std::function<std::int64_t()>& write) {
    std::int64_t id = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      id = WriteLocked(rows, write);
    }
    Tell();
    return id;
  }

  std::int64_t WriteLocked(const std::vector<nlohmann::json>& rows, const std::function<std::int64_t()>& write) {
    if (down_ && Clock::now() >= retryAt_) {
      try {
        if (Reconnect()) Replay();
        else Lost();
      } catch (const ConnectionLost&) {
        Lost();
      }
    }
    if (!down_) {
      try {
        return write();
      } catch (const ConnectionLost&) {
        Lost();
      }
    }
    for (const nlohmann::json& row : rows) spool_.Append(row);
    return 0;
  }

  // Detections selected by sql (kSelectDetections and more).
  std::vector<DetectionRow> ReadDetections(const std::string& sql, const Params& params) {
    return Read<std::vector<DetectionRow>>([&] {
      Result r = Exec(sql, params);
      std::vector<DetectionRow> rows;
      for (int i = 0; i < r.Rows(); ++i) rows.push_back(DetectionAt(r, i));
      return rows;
    });
  }

  std::vector<StationEventRow> ReadEvents(const std::string& sql, const Params& params) {
    return Read<std::vector<StationEventRow>>([&] {
      Result r = Exec(sql, params);
      std::vector<StationEventRow> rows;
      for (int i = 0; i < r.Rows(); ++i) rows.push_back({r.Int(i, 0), r.Text(i, 1), r.Int(i, 2), r.Text(i, 3), r.Text(i, 4)});
      return rows;
    });
  }

  // The newest event of every station among those `where` (a WHERE clause or "") lets through.
  std::vector<StationEventRow> NewestEvents(const std::string& where) {
    return ReadEvents("SELECT id, station, time_utc, event, json FROM station_events WHERE id IN (SELECT max(id) FROM"
                      " station_events" + where + " GROUP BY station) ORDER BY station COLLATE \"C\"",
                      Params());
  }

  template <class T>
  T Read(const std::function<T()>& read) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      if (down_ && !Reconnect()) throw StoreError(describe_ + ": cannot connect (" + lastError_ + ")");
      return read();
    } catch (const ConnectionLost&) {
      Lost();
      throw StoreError(describe_ + ": the connection was lost (" + lastError_ + ")");
    }
  }

  void Lost() {
    if (!down_ && !wasLost_) {
      wasLost_ = true;
      if (conn_ != nullptr) told_.emplace_back(false, "the connection was lost (" + lastError_ + ")");
    }
    if (!down_) backoff_ = std::chrono::milliseconds(500);
    else backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, std::chrono::milliseconds(30000));
    down_ = true;
    retryAt_ = Clock::now() + backoff_;
  }

  // The spool, in order (a row already stored changes nothing), then emptied. Detections and
  // patterns go in runs of kReplayBatch rows, a transaction and a few statements each, not a
  // transaction with its commit a row.
  static constexpr std::size_t kReplayBatch = kDetectionsPerStatement;
  void Replay() {
    spool_.Replay(kReplayBatch, [this](const std::vector<nlohmann::json>& run) {
      const std::string kind = run.front().value("kind", "");
      if (kind == "detection") {
        std::vector<DetectionRow> rows;
        for (const nlohmann::json& j : run) rows.push_back(DetectionFromJson(j));
        WriteDetections(rows);
      } else if (kind == "pattern") {
        std::vector<PatternRow> rows;
        for (const nlohmann::json& j : run)
          rows.push_back({0, j.value("hash", ""), j.value("name", ""), j.value("duration_s", 0.0), j.value("spot_id", ""),
                          j.value("advertiser", ""), j.value("campaign", ""), j.value("version", ""), j.value("title", "")});
        Transaction t(*this);
        WritePatterns(rows);
        t.Commit();
      } else {
        for (const nlohmann::json& j : run) {
          if (kind == "event") {
            WriteEvent(j.value("station", ""), j.value("time_utc", UtcMicros{0}), j.value("event", ""), j.value("json", ""));
          } else if (kind == "station") {
            WriteStation(j.value("label", ""), j.value("url", ""), true);
          } else if (kind == "evidence") {
            Exec("UPDATE detections SET evidence = $1 WHERE detection_key = $2",
                 Params() << j.value("path", "") << j.value("key", ""));
          }
        }
      }
    });
  }

  std::int64_t WriteStation(const std::string& label, const std::string& url, bool setUrl) {
    Exec(setUrl ? "INSERT INTO stations (label, url) VALUES ($1, $2) ON CONFLICT (label) DO UPDATE SET url = "
                  "EXCLUDED.url WHERE EXCLUDED.url <> ''"
                : "INSERT INTO stations (label, url) VALUES ($1, $2) ON CONFLICT (label) DO NOTHING",
         Params() << label << url);
    Result r = Exec("SELECT id FROM stations WHERE label = $1", Params() << label);
    return r.Rows() > 0 ? r.Int(0, 0) : 0;
  }

  static nlohmann::json PatternJson(const PatternRow& p) {
    return {{"kind", "pattern"}, {"hash", p.contentHash}, {"name", p.name}, {"duration_s", p.durationSeconds},
            {"spot_id", p.spotId}, {"advertiser", p.advertiser}, {"campaign", p.campaign}, {"version", p.version},
            {"title", p.title}};
  }

  // The rows' ids in order, kPatternsPerStatement rows a statement (the caller's transaction
  // makes them one write).
  std::vector<std::int64_t> WritePatterns(const std::vector<PatternRow>& rows) {
    const std::vector<PatternRow> merged = MergePatternRows(rows);
    std::map<std::string, std::int64_t> ids;
    for (std::size_t first = 0; first < merged.size(); first += kPatternsPerStatement) {
      const std::size_t end = std::min(merged.size(), first + kPatternsPerStatement);
      Params params;
      for (std::size_t i = first; i < end; ++i) {
        const PatternRow& p = merged[i];
        params << p.contentHash << p.name << p.durationSeconds << p.spotId << p.advertiser << p.campaign << p.version
               << p.title;
      }
      Result r = Exec(InsertPatternsSql(end - first), params);
      for (int i = 0; i < r.Rows(); ++i) ids[r.Text(i, 0)] = r.Int(i, 1);
    }
    std::vector<std::int64_t> out;
    for (const PatternRow& p : rows) out.push_back(ids.count(p.contentHash) ? ids[p.contentHash] : 0);
    return out;
  }

  // The detections in one transaction, kDetectionsPerStatement a statement (their stations,
  // their patterns, the detections: three statements, not five a detection); their ids, also
  // of those stored before.
  std::vector<std::int64_t> WriteDetections(const std::vector<DetectionRow>& rows) {
    Transaction t(*this);
    std::map<std::string, std::int64_t> ids;
    for (std::size_t first = 0; first < rows.size(); first += kDetectionsPerStatement) {
      const auto end = rows.begin() + static_cast<std::ptrdiff_t>(std::min(rows.size(), first + kDetectionsPerStatement));
      for (const Statement& s : InsertDetectionStatements({rows.begin() + static_cast<std::ptrdiff_t>(first), end})) {
        Result r = Exec(s.sql, s.params);
        for (int i = 0; i < r.Rows(); ++i) ids[r.Text(i, 0)] = r.Int(i, 1);
      }
    }
    std::vector<std::string> stored;  // keys not written now: stored before
    for (const DetectionRow& d : rows)
      if (ids.count(d.key) == 0) stored.push_back(d.key), ids[d.key] = 0;
    for (std::size_t first = 0; first < stored.size(); first += kDetectionsPerStatement) {
      const auto end = stored.begin() + static_cast<std::ptrdiff_t>(std::min(stored.size(), first + kDetectionsPerStatement));
      const Statement s = SelectDetectionIds({stored.begin() + static_cast<std::ptrdiff_t>(first), end});
      Result r = Exec(s.sql, s.params);
      for (int i = 0; i < r.Rows(); ++i) ids[r.Text(i, 0)] = r.Int(i, 1);
    }
    t.Commit();
    std::vector<std::int64_t> out;
    for (const DetectionRow& d : rows) out.push_back(ids[d.key]);
    return out;
  }

  std::int64_t WriteEvent(const std::string& station, UtcMicros time, const std::string& event, const std::string& json) {
    Result r = Exec("INSERT INTO station_events (station, time_utc, event, json) VALUES ($1, $2, $3, $4) "
                    "ON CONFLICT (station, time_utc, event) DO NOTHING RETURNING id",
                    Params() << station << time << event << json);
    return r.Rows() > 0 ? r.Int(0, 0) : 0;
  }

  // Under a transaction-wide advisory lock: monitors starting together migrate once.
  void Migrate() {
    Transaction t(*this);
    Exec("SELECT pg_advisory_xact_lock(7310415)", Params());
    Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", Params());
    Result r = Exec("SELECT coalesce(max(version), 0) FROM schema_version", Params());
    const int version = static_cast<int>(r.Int(0, 0));
    if (version > SchemaVersion())
      throw StoreError(describe_ + ": the database is at schema version " + std::to_string(version) +
                       ", newer than this sigpat knows (" + std::to_string(SchemaVersion()) + ")");
    for (const auto& step : Migrations(Dialect::kPostgres)) {
      if (step.version <= version) continue;
      for (const auto& sql : step.statements) Exec(sql, Params());
    }
    if (version < SchemaVersion()) {
      Exec("DELETE FROM schema_version", Params());
      Exec("INSERT INTO schema_version (version) VALUES ($1)", Params() << std::int64_t{SchemaVersion()});
    }
    t.Commit();
  }

  std::string url_, describe_;
  int wait_;
  Spool spool_;
  std::mutex mutex_;
  PGconn* conn_ = nullptr;
  bool down_ = false;
  bool migrated_ = false;  // the schema is at this program's version (checked on connecting)
  bool wasLost_ = false;   // the server stopped answering and has not been told back yet
  std::function<void(bool, const std::string&)> onReachability_;
  std::vector<std::pair<bool, std::string>> told_;  // changes not yet told
  std::chrono::milliseconds backoff_{500};
  Clock::time_point retryAt_;
  std::string lastError_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& url, const StoreOptions& options) {
  auto store = std::make_unique<PostgresStore>(url, options);
  store->TellPending();
  return store;
}

}  // namespace sigpat::store

// The entry point of the module (sigpat-store-postgres.so) that store.cpp loads.
extern "C" __attribute__((visibility("default"))) sigpat::store::Store* sigpat_store_open_postgres(
    const std::string& url, const sigpat::store::StoreOptions& options, std::string& error) {
  try {
    return sigpat::store::OpenPostgresStore(url, options).release();
  } catch (const std::exception& e) {
    error = e.what();
    return nullptr;
  }
}
