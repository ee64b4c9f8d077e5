// The detections store: every detection and station event of scan and monitor, kept in SQLite
// (a file, nothing to set up) or PostgreSQL (several monitors on several machines writing into
// one database). Schema and migrations: store/schema.cpp; the design: docs/store.md.
//
// Nothing is lost and nothing is stored twice: a detection carries a key made from what
// identifies the airing (station, pattern content, begin time), so writing it again (a retry
// after a lost connection, a spool replayed) changes nothing.
#ifndef SIGPAT_STORE_H
#define SIGPAT_STORE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sigpat::store {

// A store that cannot be opened, written or read: the message names the database and the cause.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// UTC times are microseconds since 1970-01-01 00:00:00 UTC.
using UtcMicros = std::int64_t;

struct StationRow {
  std::int64_t id = 0;
  std::string label;  // as given (--label, the stations file); unique
  std::string url;    // where it is read from ("" for a file scanned)
};

// A pattern by its content: the same bytes under another name are the same pattern.
struct PatternRow {
  std::int64_t id = 0;
  std::string contentHash;  // SHA-256 of the pattern file's bytes, lower-case hex
  std::string name;         // the file name without folders
  double durationSeconds = 0.0;
  // From the catalogue file (store/catalogue.h), "" when not given.
  std::string spotId, advertiser, campaign, version, title;
};

// One detection as scan --json / monitor --json printed it, with the columns the queries need.
struct DetectionRow {
  std::int64_t id = 0;     // assigned by the store
  std::string key;         // idempotency key (DetectionKey)
  std::string station;     // station label (scan: --label, else the input as given)
  std::string patternHash; // PatternRow::contentHash
  std::string patternName; // the pattern file's name
  std::int64_t beginSample = 0, endSample = 0;  // 44100 Hz, from the start of the input/stream
  double beginSeconds = 0.0, endSeconds = 0.0;
  std::optional<UtcMicros> beginUtc, endUtc;    // absent when the time is not known
  std::string clock;       // "stream", "arrival", "start" (scan --start-utc) or ""
  std::string rule;        // "detector" or "library"
  double confidence = -1.0, distance = -1.0, threshold = -1.0;
  double seen = 1.0;       // fraction of the clip heard
  std::string match;       // "level", "shape", "level+detail", ""
  std::string evidence;    // evidence audio file, relative to the evidence directory ("" none yet)
  std::string json;        // the JSON line exactly as printed (export prints it back)
  UtcMicros storedUtc = 0; // when it was committed
};

struct StationEventRow {
  std::int64_t id = 0;
  std::string station;     // "" for events of the monitor as a whole
  UtcMicros timeUtc = 0;
  std::string event;       // "connected", "dropped", "dead_air", "dead_air_end", "no_data", "ended", ...
  std::string json;        // the status line exactly as written
};

struct DetectionFilter {
  std::vector<std::string> stations;  // empty: all
  std::vector<std::string> patternHashes, spotIds, campaigns, advertisers;  // empty: all
  std::optional<UtcMicros> from, to;  // begin_utc in [from, to)
  std::int64_t afterId = 0;           // id > afterId (paging, live feeds)
  int limit = 0;                      // 0: no limit
};

// A filter's conditions (not its paging) appended to sql, each as " AND ...": its text values go
// into `texts` in the order of their placeholders, and from and to (when set) take the last two
// placeholders. placeholder(k) is the text of this call's k-th placeholder (k from 0).
void AppendFilterConditions(const DetectionFilter& f, std::string& sql, std::vector<std::string>& texts,
                            const std::function<std::string(std::size_t)>& placeholder);

// A store may be used from several threads at once (the monitor's workers share one).
class Store {
 public:
  virtual ~Store() = default;
  // What it is, for messages: the file path, or the URL without its password.
  virtual std::string Describe() const = 0;

  // Writes return the row's id, or 0 when the row waits in the spool (PostgreSQL unreachable;
  // it is written, once, when the server is back).
  // Station and pattern rows are created on first use and updated (url, name, catalogue data).
  virtual std::int64_t PutStation(const StationRow& s) = 0;
  virtual std::int64_t PutPattern(const PatternRow& p) = 0;
  // The patterns of a load; their ids in order. SQLite and PostgreSQL write them in one
  // transaction (PostgreSQL 500 rows a statement); the plain version puts them one by one.
  virtual std::vector<std::int64_t> PutPatterns(const std::vector<PatternRow>& rows);
  // Commits the detection (and returns its id) before returning; the same key again returns the
  // row stored first and changes nothing.
  virtual std::int64_t AddDetection(const DetectionRow& d) = 0;
  // Detections in one write (SQLite and PostgreSQL: one transaction, all or none); their ids in
  // order. The plain version adds them one by one.
  virtual std::vector<std::int64_t> AddDetections(const std::vector<DetectionRow>& rows);
  // The evidence file of a stored detection, once it is written.
  virtual void SetEvidence(const std::string& key, const std::string& path) = 0;
  virtual std::int64_t AddEvent(const StationEventRow& e) = 0;

  virtual std::vector<StationRow> Stations() = 0;
  virtual std::vector<PatternRow> Patterns() = 0;
  virtual std::vector<DetectionRow> Detections(const DetectionFilter& f) = 0;  // by begin_utc, then id
  virtual std::vector<StationEventRow> Events(const std::vector<std::string>& stations, std::optional<UtcMicros> from,
                                              std::optional<UtcMicros> to) = 0;

  // Writes what waits in the spool (PostgreSQL while the server was unreachable) if the
  // database can be reached now; returns how many rows still wait (0: everything is stored).
  virtual std::size_t Flush() { return 0; }
  // The spool file ("" when the store has none).
  virtual std::string SpoolPath() const { return ""; }

  // The queries of the dashboard (server/). Each has a plain implementation made of the queries
  // above (store/store_queries.cpp); the SQLite and PostgreSQL stores override them with their own
  // indexed queries.
  //
  // Detections matching f by id instead of by time: ascending from f.afterId, or (descending)
  // newest first below beforeId (0: from the newest); at most f.limit.
  virtual std::vector<DetectionRow> DetectionsById(const DetectionFilter& f, bool descending, std::int64_t beforeId);
  virtual std::optional<DetectionRow> DetectionById(std::int64_t id);
  // The newest detection (by id) of every station that has one.
  virtual std::vector<DetectionRow> LastDetectionPerStation();
  // The newest event (by id) of every station that has one ("" included).
  virtual std::vector<StationEventRow> LastEventPerStation();
  // The newest event of every station among those that say something of its health
  // (station_health.h): a heartbeat after "disconnected" leaves the station down.
  virtual std::vector<StationEventRow> LastHealthEventPerStation();
  // Events with id > afterId by id, at most limit (0: all).
  virtual std::vector<StationEventRow> EventsAfter(std::int64_t afterId, int limit);
  // Detections matching f (paging fields ignored) counted per pattern and UTC day
  // ("YYYY-MM-DD"; detections without a UTC time are not counted), by day then pattern.
  struct PatternDayCount {
    std::string patternHash, day;
    std::int64_t count = 0;
  };
  virtual std::vector<PatternDayCount> CountsPerPatternPerDay(const DetectionFilter& f);
};

struct StoreOptions {
  // How long a write waits for a database locked by another process (SQLite) or for a
  // connection (PostgreSQL) before it fails.
  int waitMilliseconds = 10000;
  // PostgreSQL: the spool file; "" picks one in the cache directory, named after the database.
  std::string spool;
  // PostgreSQL, for a store that writes (scan, monitor): a server that does not answer at open
  // (connection refused or timed out, a host name not resolved, a server starting up) is not an
  // error; writes go to the spool until it answers. A URL libpq cannot read and a server that
  // refuses the connection (unknown database, user or password) still fail at once.
  bool startWithoutServer = false;
  // PostgreSQL: told when the server stops answering (reachable false, the cause) and when it
  // answers again (the spool then written). Called from the thread that wrote, never while the
  // store is locked: it may write into the store.
  std::function<void(bool reachable, const std::string& detail)> onReachability;
};

// Opens (creating and migrating as needed) "postgresql://..." / "postgres://..." with
// PostgreSQL, anything else as an SQLite file. Throws StoreError.
std::unique_ptr<Store> OpenStore(const std::string& where);
std::unique_ptr<Store> OpenStore(const std::string& where, const StoreOptions& options);
// True for the URLs OpenStore takes to PostgreSQL.
bool IsPostgresUrl(const std::string& where);

// The idempotency key of a detection: station, pattern content and begin (the UTC time in
// milliseconds when known, else the begin sample of the input).
std::string DetectionKey(const DetectionRow& d);

}  // namespace sigpat::store

#endif
