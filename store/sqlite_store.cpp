// Every write is one transaction, committed (WAL journal, synchronous=FULL: on disk) before it
// returns. Another process writing the same file is waited for up to options.waitMilliseconds.
#include "sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "schema.h"
#include "station_health.h"
#include "utc.h"

namespace sigpat::store {

namespace {

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql, const std::string& where) : db_(db), where_(where) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
      throw StoreError(where + ": " + sqlite3_errmsg(db));
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  // Ready to run again with new values (and what a failure then names): preparing a statement
  // costs more than running it.
  Statement& Reset(const std::string& where) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    where_ = where;
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int i, std::int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::optional<std::int64_t>& v) {
    if (v) sqlite3_bind_int64(stmt_, i, *v);
    else sqlite3_bind_null(stmt_, i);
    return *this;
  }
  // True while there is a row.
  bool Step() {
    errno = 0;
    const int rc = sqlite3_step(stmt_);
    const int callErrno = errno;
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(where_ + ": " + Reason(db_, rc, callErrno));
  }
  std::string Text(int c) const {
    const unsigned char* t = sqlite3_column_text(stmt_, c);
    return t != nullptr ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c))) : "";
  }
  std::int64_t Int(int c) const { return sqlite3_column_int64(stmt_, c); }
  double Real(int c) const { return sqlite3_column_double(stmt_, c); }
  std::optional<std::int64_t> OptInt(int c) const {
    if (sqlite3_column_type(stmt_, c) == SQLITE_NULL) return std::nullopt;
    return Int(c);
  }

  static std::string Reason(sqlite3* db, int rc, int callErrno = 0) {
    switch (rc & 0xFF) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        return "the database is locked by another process";
      case SQLITE_FULL:
        return "the disk is full";
      case SQLITE_IOERR:
      case SQLITE_CANTOPEN:
        // What the system said: "File too large", "No space left on device", ...
        if (const int e = sqlite3_system_errno(db) != 0 ? sqlite3_system_errno(db) : callErrno; e != 0)
          return std::string(sqlite3_errmsg(db)) + ": " + std::strerror(e);
        return sqlite3_errmsg(db);
      default:
        return sqlite3_errmsg(db);
    }
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string where_;
};

const char* const kDetectionColumns =
    "d.id, d.detection_key, s.label, p.content_hash, d.pattern_name, d.begin_sample, d.end_sample, d.begin_s, "
    "d.end_s, d.begin_utc, d.end_utc, d.clock, d.rule, d.confidence, d.distance, d.threshold, d.seen, "
    "d.match_kind, d.evidence, d.json, d.stored_utc";
const char* const kDetectionJoin =
    " FROM detections d JOIN stations s ON s.id = d.station_id JOIN patterns p ON p.id = d.pattern_id";

class SqliteStore : public Store {
 public:
  SqliteStore(const std::string& path, const StoreOptions& options) : path_(path) {
    Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX);
    sqlite3_busy_timeout(db_, options.waitMilliseconds);
    // A file this process may only read, in a folder it cannot write (an archive): a database in
    // WAL mode cannot be opened for reading there (its shared-memory index cannot be made), so
    // it is read as an unchanging file.
    if (sqlite3_exec(db_, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK && ::access(path.c_str(), R_OK) == 0 &&
        ::access(path.c_str(), W_OK) != 0) {
      sqlite3_close(db_);
      std::string uri = "file:";
      for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/._-~", c) != nullptr) {
          uri += static_cast<char>(c);
        } else {
          char hex[4];
          std::snprintf(hex, sizeof hex, "%%%02X", c);
          uri += hex;
        }
      }
      Open(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX);
    }
    try {
      // A file that is not a database is told here, before anything is written to it.
      Exec("PRAGMA schema_version", "cannot read the database");
      // A file this process may only read (an archive): read as it is, never migrated.
      readOnly_ = sqlite3_db_readonly(db_, "main") == 1;
      if (!readOnly_) Exec("PRAGMA journal_mode = WAL", "cannot set up the database");
      Exec("PRAGMA synchronous = FULL", "cannot set up the database");
      Exec("PRAGMA foreign_keys = ON", "cannot set up the database");
      if (readOnly_) CheckVersion();
      else Migrate();
    } catch (...) {
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }
  ~SqliteStore() override { sqlite3_close(db_); }

  void Open(const std::string& name, int flags) {
    db_ = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
      const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw StoreError(path_ + ": cannot open the database (" + why + ")");
    }
    sqlite3_extended_result_codes(db_, 0);
  }

  std::string Describe() const override { return path_; }

  std::int64_t PutStation(const StationRow& s) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(*this, "cannot store the station \"" + s.label + "\"");
    const std::int64_t id = StationId(s.label, s.url, true);
    t.Commit();
    return id;
  }

  std::int64_t PutPattern(const PatternRow& p) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(*this, "cannot store the pattern \"" + p.name + "\"");
    const std::int64_t id = WritePattern(p);
    t.Commit();
    return id;
  }

  // One transaction for the whole load: a commit is a sync of the journal, and a set of hundreds
  // of patterns committed one by one spent most of the store's time at the start of a scan there.
  std::vector<std::int64_t> PutPatterns(const std::vector<PatternRow>& rows) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(*this, "cannot store the patterns");
    // Two statements for the load, not three a pattern: preparing them was a third of the
    // store's instructions at the start of a scan with 200 patterns.
    Statement upsert(db_, kUpsertPattern, Where("cannot store the patterns"));
    Statement id(db_, "SELECT id FROM patterns WHERE content_hash = ?1", Where("cannot store the patterns"));
    std::vector<std::int64_t> ids;
    for (const PatternRow& p : rows) ids.push_back(WritePattern(p, upsert, id));
    t.Commit();
    return ids;
  }

  std::int64_t AddDetection(const DetectionRow& row) override { return AddDetections({row}).front(); }

  // One transaction, one sync of the journal for the batch.
  std::vector<std::int64_t> AddDetections(const std::vector<DetectionRow>& rows) override {
    if (rows.empty()) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(*this, DetectionWhat(rows.front()) + (rows.size() > 1 ? " and " + std::to_string(rows.size() - 1) + " more" : ""));
    std::vector<std::int64_t> ids;
    for (const DetectionRow& row : rows) ids.push_back(WriteDetection(row));
    t.Commit();
    return ids;
  }

  void SetEvidence(const std::string& key, const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string what = "cannot note the evidence file " + path;
    Transaction t(*this, what);
    Statement(db_, "UPDATE detections SET evidence = ?1 WHERE detection_key = ?2", Where(what)).Bind(1, path).Bind(2, key).Step();
    t.Commit();
  }

  std::int64_t AddEvent(const StationEventRow& e) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string what = "cannot store the event " + e.event;
    Transaction t(*this, what);
    Statement(db_,
              "INSERT INTO station_events (station, time_utc, event, json) VALUES (?1, ?2, ?3, ?4) "
              "ON CONFLICT (station, time_utc, event) DO NOTHING",
              Where(what))
        .Bind(1, e.station).Bind(2, e.timeUtc).Bind(3, e.event).Bind(4, e.json)
        .Step();
    Statement q(db_, "SELECT id FROM station_events WHERE station = ?1 AND time_utc = ?2 AND event = ?3", Where(what));
    q.Bind(1, e.station).Bind(2, e.timeUtc).Bind(3, e.event);
    const std::int64_t id = q.Step() ? q.Int(0) : 0;
    t.Commit();
    return id;
  }

  std::vector<StationRow> Stations() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_, "SELECT id, label, url FROM stations ORDER BY label", Where("cannot read the stations"));
    std::vector<StationRow> rows;
    while (q.Step()) rows.push_back({q.Int(0), q.Text(1), q.Text(2)});
    return rows;
  }

  std::vector<PatternRow> Patterns() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_,
                "SELECT id, content_hash, name, duration_s, spot_id, advertiser, campaign, version, title FROM patterns "
                "ORDER BY name, id",
                Where("cannot read the patterns"));
    std::vector<PatternRow> rows;
    while (q.Step()) {
      PatternRow p;
      p.id = q.Int(0);
      p.contentHash = q.Text(1);
      p.name = q.Text(2);
      p.durationSeconds = q.Real(3);
      p.spotId = q.Text(4);
      p.advertiser = q.Text(5);
      p.campaign = q.Text(6);
      p.version = q.Text(7);
      p.title = q.Text(8);
      rows.push_back(std::move(p));
    }
    return rows;
  }

  std::vector<DetectionRow> Detections(const DetectionFilter& f) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string sql = std::string("SELECT ") + kDetectionColumns +
                      " FROM detections d JOIN stations s ON s.id = d.station_id JOIN patterns p ON p.id = d.pattern_id"
                      " WHERE d.id > ?";
    std::vector<std::string> texts;
    FilterSql(f, sql, texts);
    sql += " ORDER BY d.begin_utc IS NULL, d.begin_utc, d.id";
    if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
    Statement q(db_, sql, Where("cannot read the detections"));
    int i = 1;
    q.Bind(i++, f.afterId);
    BindFilter(q, i, f, texts);
    std::vector<DetectionRow> rows;
    while (q.Step()) rows.push_back(ReadDetection(q));
    return rows;
  }

  std::vector<StationEventRow> Events(const std::vector<std::string>& stations, std::optional<UtcMicros> from,
                                      std::optional<UtcMicros> to) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string sql = "SELECT id, station, time_utc, event, json FROM station_events WHERE 1 = 1";
    if (!stations.empty()) {
      sql += " AND station IN (";
      for (std::size_t i = 0; i < stations.size(); ++i) sql += i == 0 ? "?" : ", ?";
      sql += ")";
    }
    if (from) sql += " AND time_utc >= ?";
    if (to) sql += " AND time_utc < ?";
    sql += " ORDER BY time_utc, id";
    Statement q(db_, sql, Where("cannot read the station events"));
    int i = 1;
    for (const auto& s : stations) q.Bind(i++, s);
    if (from) q.Bind(i++, *from);
    if (to) q.Bind(i++, *to);
    std::vector<StationEventRow> rows;
    while (q.Step()) rows.push_back({q.Int(0), q.Text(1), q.Int(2), q.Text(3), q.Text(4)});
    return rows;
  }

  // The dashboard's queries (store.h), each one statement on the indices.
  std::vector<DetectionRow> DetectionsById(const DetectionFilter& f, bool descending, std::int64_t beforeId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string sql = std::string("SELECT ") + kDetectionColumns + kDetectionJoin + " WHERE d.id > ?";
    std::vector<std::string> texts;
    FilterSql(f, sql, texts);
    if (beforeId > 0) sql += " AND d.id < ?";
    sql += descending ? " ORDER BY d.id DESC" : " ORDER BY d.id";
    if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
    Statement q(db_, sql, Where("cannot read the detections"));
    int i = 1;
    q.Bind(i++, f.afterId);
    BindFilter(q, i, f, texts);
    if (beforeId > 0) q.Bind(i++, beforeId);
    std::vector<DetectionRow> rows;
    while (q.Step()) rows.push_back(ReadDetection(q));
    return rows;
  }

  std::optional<DetectionRow> DetectionById(std::int64_t id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_, std::string("SELECT ") + kDetectionColumns + kDetectionJoin + " WHERE d.id = ?1",
                Where("cannot read the detections"));
    q.Bind(1, id);
    if (!q.Step()) return std::nullopt;
    return ReadDetection(q);
  }

  std::vector<DetectionRow> LastDetectionPerStation() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_,
                std::string("SELECT ") + kDetectionColumns + kDetectionJoin +
                    " WHERE d.id IN (SELECT max(id) FROM detections GROUP BY station_id) ORDER BY s.label",
                Where("cannot read the detections"));
    std::vector<DetectionRow> rows;
    while (q.Step()) rows.push_back(ReadDetection(q));
    return rows;
  }

  std::vector<StationEventRow> LastEventPerStation() override { return NewestEvents(""); }

  std::vector<StationEventRow> LastHealthEventPerStation() override {
    std::string names;
    for (const HealthEvent& e : kHealthEvents) names += std::string(names.empty() ? "'" : ",'") + std::string(e.event) + "'";
    return NewestEvents(" WHERE event IN (" + names + ")");
  }

  std::vector<StationEventRow> EventsAfter(std::int64_t afterId, int limit) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string sql = "SELECT id, station, time_utc, event, json FROM station_events WHERE id > ?1 ORDER BY id";
    if (limit > 0) sql += " LIMIT " + std::to_string(limit);
    Statement q(db_, sql, Where("cannot read the station events"));
    q.Bind(1, afterId);
    std::vector<StationEventRow> rows;
    while (q.Step()) rows.push_back({q.Int(0), q.Text(1), q.Int(2), q.Text(3), q.Text(4)});
    return rows;
  }

  std::vector<PatternDayCount> CountsPerPatternPerDay(const DetectionFilter& f) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string sql =
        "SELECT p.content_hash, strftime('%Y-%m-%d', d.begin_utc / 1000000 - (d.begin_utc % 1000000 < 0), 'unixepoch') AS day,"
        " count(*) FROM detections d JOIN stations s ON s.id = d.station_id JOIN patterns p ON p.id = d.pattern_id"
        " WHERE d.begin_utc IS NOT NULL";
    std::vector<std::string> texts;
    FilterSql(f, sql, texts);
    sql += " GROUP BY day, p.content_hash ORDER BY day, p.content_hash";
    Statement q(db_, sql, Where("cannot count the detections"));
    int i = 1;
    BindFilter(q, i, f, texts);
    std::vector<PatternDayCount> rows;
    while (q.Step()) rows.push_back({q.Text(0), q.Text(1), q.Int(2)});
    return rows;
  }

 private:
  // The newest event of every station among those `where` (a WHERE clause or "") lets through.
  std::vector<StationEventRow> NewestEvents(const std::string& where) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_,
                "SELECT id, station, time_utc, event, json FROM station_events WHERE id IN (SELECT max(id) FROM"
                " station_events" + where + " GROUP BY station) ORDER BY station",
                Where("cannot read the station events"));
    std::vector<StationEventRow> rows;
    while (q.Step()) rows.push_back({q.Int(0), q.Text(1), q.Int(2), q.Text(3), q.Text(4)});
    return rows;
  }

  // BEGIN IMMEDIATE takes the write lock at once (waiting for it up to the busy timeout), so a
  // transaction never fails half-way for a lock; without Commit it is rolled back.
  static std::string DetectionWhat(const DetectionRow& row) {
    return "cannot store the detection of " + row.patternName + " on " + row.station;
  }

  // The detection (in the caller's transaction); its id.
  std::int64_t WriteDetection(const DetectionRow& row) {
    const std::string key = row.key.empty() ? DetectionKey(row) : row.key;
    const std::string what = DetectionWhat(row);
    const std::int64_t station = StationId(row.station, "", false);
    const std::int64_t pattern = PatternId(row.patternHash, row.patternName);
    Statement(db_,
              "INSERT INTO detections (detection_key, station_id, pattern_id, pattern_name, begin_sample, end_sample, "
              "begin_s, end_s, begin_utc, end_utc, clock, rule, confidence, distance, threshold, seen, match_kind, "
              "evidence, json, stored_utc) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
              "?16, ?17, ?18, ?19, ?20) ON CONFLICT (detection_key) DO NOTHING",
              Where(what))
        .Bind(1, key).Bind(2, station).Bind(3, pattern).Bind(4, row.patternName).Bind(5, row.beginSample)
        .Bind(6, row.endSample).Bind(7, row.beginSeconds).Bind(8, row.endSeconds).Bind(9, row.beginUtc)
        .Bind(10, row.endUtc).Bind(11, row.clock).Bind(12, row.rule).Bind(13, row.confidence).Bind(14, row.distance)
        .Bind(15, row.threshold).Bind(16, row.seen).Bind(17, row.match).Bind(18, row.evidence).Bind(19, row.json)
        .Bind(20, row.storedUtc != 0 ? row.storedUtc : NowUtc())
        .Step();
    Statement q(db_, "SELECT id FROM detections WHERE detection_key = ?1", Where(what));
    q.Bind(1, key);
    if (!q.Step()) throw StoreError(Where(what) + ": the row written is not there");
    return q.Int(0);
  }

  class Transaction {
   public:
    Transaction(SqliteStore& s, const std::string& what) : s_(s), what_(what) { s_.Exec("BEGIN IMMEDIATE", what); }
    void Commit() {
      s_.Exec("COMMIT", what_);
      done_ = true;
    }
    ~Transaction() {
      if (!done_) sqlite3_exec(s_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

   private:
    SqliteStore& s_;
    std::string what_;
    bool done_ = false;
  };

  std::string Where(const std::string& what) const { return path_ + ": " + what; }

  // The filter's conditions (not its paging) appended to sql as bound parameters; texts holds
  // the text values in the order of their placeholders, which BindFilter binds from i on.
  static void FilterSql(const DetectionFilter& f, std::string& sql, std::vector<std::string>& texts) {
    AppendFilterConditions(f, sql, texts, [](std::size_t) { return std::string("?"); });
  }
  static void BindFilter(Statement& q, int& i, const DetectionFilter& f, const std::vector<std::string>& texts) {
    for (const auto& t : texts) q.Bind(i++, t);
    if (f.from) q.Bind(i++, *f.from);
    if (f.to) q.Bind(i++, *f.to);
  }
  static DetectionRow ReadDetection(const Statement& q) {
    DetectionRow d;
    d.id = q.Int(0);
    d.key = q.Text(1);
    d.station = q.Text(2);
    d.patternHash = q.Text(3);
    d.patternName = q.Text(4);
    d.beginSample = q.Int(5);
    d.endSample = q.Int(6);
    d.beginSeconds = q.Real(7);
    d.endSeconds = q.Real(8);
    d.beginUtc = q.OptInt(9);
    d.endUtc = q.OptInt(10);
    d.clock = q.Text(11);
    d.rule = q.Text(12);
    d.confidence = q.Real(13);
    d.distance = q.Real(14);
    d.threshold = q.Real(15);
    d.seen = q.Real(16);
    d.match = q.Text(17);
    d.evidence = q.Text(18);
    d.json = q.Text(19);
    d.storedUtc = q.Int(20);
    return d;
  }

  void Exec(const std::string& sql, const std::string& what) {
    char* error = nullptr;
    errno = 0;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    const int callErrno = errno;
    sqlite3_free(error);
    if (rc != SQLITE_OK) throw StoreError(Where(what) + " (" + Statement::Reason(db_, rc, callErrno) + ")");
  }

  std::int64_t StationId(const std::string& label, const std::string& url, bool setUrl) {
    const std::string what = "cannot store the station \"" + label + "\"";
    Statement(db_,
              setUrl ? "INSERT INTO stations (label, url) VALUES (?1, ?2) ON CONFLICT (label) DO UPDATE SET url = "
                       "excluded.url WHERE excluded.url <> ''"
                     : "INSERT INTO stations (label, url) VALUES (?1, ?2) ON CONFLICT (label) DO NOTHING",
              Where(what))
        .Bind(1, label).Bind(2, url)
        .Step();
    Statement q(db_, "SELECT id FROM stations WHERE label = ?1", Where(what));
    q.Bind(1, label);
    if (!q.Step()) throw StoreError(Where(what));
    return q.Int(0);
  }

  // The pattern's row, inside a transaction of the caller's.
  // The pattern's row made or updated: its fields replace the stored ones that they give.
  static constexpr const char* kUpsertPattern =
      "INSERT INTO patterns (content_hash, name, duration_s, spot_id, advertiser, campaign, version, title) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT (content_hash) DO UPDATE SET name = excluded.name, "
      "duration_s = CASE WHEN excluded.duration_s > 0 THEN excluded.duration_s ELSE duration_s END, "
      "spot_id = CASE WHEN excluded.spot_id <> '' THEN excluded.spot_id ELSE spot_id END, "
      "advertiser = CASE WHEN excluded.advertiser <> '' THEN excluded.advertiser ELSE advertiser END, "
      "campaign = CASE WHEN excluded.campaign <> '' THEN excluded.campaign ELSE campaign END, "
      "version = CASE WHEN excluded.version <> '' THEN excluded.version ELSE version END, "
      "title = CASE WHEN excluded.title <> '' THEN excluded.title ELSE title END";

  std::int64_t WritePattern(const PatternRow& p) {
    const std::string what = Where("cannot store the pattern \"" + p.name + "\"");
    Statement upsert(db_, kUpsertPattern, what);
    Statement id(db_, "SELECT id FROM patterns WHERE content_hash = ?1", what);
    return WritePattern(p, upsert, id);
  }

  // With the statements of kUpsertPattern and of the id by content hash, prepared by the caller.
  std::int64_t WritePattern(const PatternRow& p, Statement& upsert, Statement& id) {
    const std::string what = Where("cannot store the pattern \"" + p.name + "\"");
    upsert.Reset(what)
        .Bind(1, p.contentHash).Bind(2, p.name).Bind(3, p.durationSeconds).Bind(4, p.spotId).Bind(5, p.advertiser)
        .Bind(6, p.campaign).Bind(7, p.version).Bind(8, p.title)
        .Step();
    id.Reset(what).Bind(1, p.contentHash);
    if (!id.Step()) throw StoreError(what);
    return id.Int(0);
  }

  std::int64_t PatternId(const std::string& hash, const std::string& name) {
    const std::string what = "cannot store the pattern \"" + name + "\"";
    Statement(db_, "INSERT INTO patterns (content_hash, name) VALUES (?1, ?2) ON CONFLICT (content_hash) DO NOTHING", Where(what))
        .Bind(1, hash).Bind(2, name)
        .Step();
    Statement q(db_, "SELECT id FROM patterns WHERE content_hash = ?1", Where(what));
    q.Bind(1, hash);
    if (!q.Step()) throw StoreError(Where(what));
    return q.Int(0);
  }

  void CheckVersion() {
    int version = 0;
    {
      Statement q(db_, "SELECT max(version) FROM schema_version", Where("cannot read the database (no detections store)"));
      if (q.Step()) version = static_cast<int>(q.Int(0));
    }
    if (version != SchemaVersion())
      throw StoreError(path_ + ": the database is at schema version " + std::to_string(version) + ", this sigpat reads " +
                       std::to_string(SchemaVersion()) + " (and it cannot be written to move it on)");
  }

  void Migrate() {
    const std::string what = "cannot set up the schema";
    Transaction t(*this, what);
    Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", what);
    int version = 0;
    {
      Statement q(db_, "SELECT max(version) FROM schema_version", Where(what));
      if (q.Step()) version = static_cast<int>(q.Int(0));
    }
    if (version > SchemaVersion())
      throw StoreError(path_ + ": the database is at schema version " + std::to_string(version) +
                       ", newer than this sigpat knows (" + std::to_string(SchemaVersion()) + ")");
    if (version == SchemaVersion()) return;  // rolled back: nothing was written
    for (const auto& step : Migrations(Dialect::kSqlite)) {
      if (step.version <= version) continue;
      for (const auto& sql : step.statements) Exec(sql, what + " (version " + std::to_string(step.version) + ")");
    }
    Exec("DELETE FROM schema_version", what);
    Exec("INSERT INTO schema_version (version) VALUES (" + std::to_string(SchemaVersion()) + ")", what);
    t.Commit();
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  bool readOnly_ = false;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, const StoreOptions& options) {
  return std::make_unique<SqliteStore>(path, options);
}

}  // namespace sigpat::store
