// The SQLite store through its interface: rows kept whole, the idempotency key, the queries,
// migrations, locks held by another process; the catalogue parser and UTC times.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "catalogue.h"
#include "store.h"
#include "test_support.h"
#include "utc.h"

using namespace sigpat::store;

namespace {

DetectionRow Row(const std::string& station, const std::string& hash, std::int64_t begin, std::optional<UtcMicros> utc) {
  DetectionRow d;
  d.station = station;
  d.patternHash = hash;
  d.patternName = hash + ".tvs";
  d.beginSample = begin;
  d.endSample = begin + 44100;
  d.beginSeconds = begin / 44100.0;
  d.endSeconds = d.beginSeconds + 1.0;
  d.beginUtc = utc;
  if (utc) d.endUtc = *utc + 1000000;
  d.clock = utc ? "stream" : "";
  d.rule = "detector";
  d.confidence = 0.9;
  d.distance = 0.1;
  d.threshold = 1.2;
  d.seen = 0.75;
  d.match = "level";
  d.json = "{\"input\":\"" + station + "\",\"begin\":" + std::to_string(begin) + "}";
  d.key = DetectionKey(d);
  return d;
}

constexpr UtcMicros kT0 = 1796601600000000;  // 2026-12-07T00:00:00Z

}  // namespace

TEST(SqliteStore, KeepsRowsWholeStoresEachKeyOnceAndAnswersTheQueries) {
  sptest::TempDir dir;
  const std::string db = dir.File("s.db");
  {
    auto s = OpenStore(db);
    EXPECT_EQ(s->Describe(), db);
    const std::string odd = "Radio \"Zoë\", 1\nline";
    s->PutStation({0, odd, "http://a/x"});
    PatternRow p;
    p.contentHash = "aa";
    p.name = "a.tvs";
    p.durationSeconds = 2.5;
    p.spotId = "S1";
    p.campaign = "Winter";
    p.advertiser = "Acme";
    s->PutPattern(p);
    // A later run without the catalogue keeps what it gave; a station without a URL keeps its URL.
    s->PutPattern({0, "aa", "renamed.tvs", 0.0, "", "", "", "", ""});
    s->PutStation({0, odd, ""});

    DetectionRow a = Row(odd, "aa", 1000, kT0 + 5000000);
    const std::int64_t id = s->AddDetection(a);
    EXPECT_GT(id, 0);
    a.json = "something else";  // the same key again: the first row stands
    EXPECT_EQ(s->AddDetection(a), id);
    s->AddDetection(Row("B", "bb", 500, kT0 + 1000000));   // patterns and stations made on first use
    s->AddDetection(Row("B", "aa", 900000, kT0 + 9000000));
    s->AddDetection(Row("C", "aa", 77, std::nullopt));    // no UTC time: keyed by its sample
    s->AddDetection(Row("C", "aa", 78, std::nullopt));
    s->SetEvidence(a.key, "B/2026-12-07/x.flac");

    std::vector<DetectionRow> all = s->Detections({});
    ASSERT_EQ(all.size(), 5u);
    // By begin_utc, the rows without one last (in the order stored).
    EXPECT_EQ(all[0].station, "B");
    EXPECT_EQ(all[1].station, odd);
    EXPECT_EQ(all[3].beginSample, 77);
    EXPECT_FALSE(all[3].beginUtc.has_value());
    const DetectionRow& r = all[1];
    const DetectionRow want = Row(odd, "aa", 1000, kT0 + 5000000);
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.key, want.key);
    EXPECT_EQ(r.json, want.json);
    EXPECT_EQ(r.patternHash, "aa");
    EXPECT_EQ(r.endUtc, want.endUtc);
    EXPECT_EQ(r.beginSeconds, want.beginSeconds);
    EXPECT_EQ(r.seen, 0.75);
    EXPECT_EQ(r.match, "level");
    EXPECT_EQ(r.clock, "stream");
    EXPECT_EQ(r.evidence, "B/2026-12-07/x.flac");
    EXPECT_GT(r.storedUtc, kT0);

    DetectionFilter f;
    f.stations = {"B"};
    EXPECT_EQ(s->Detections(f).size(), 2u);
    f.from = kT0 + 2000000;
    f.to = kT0 + 9000000;  // excluded
    EXPECT_EQ(s->Detections(f).size(), 0u);
    f.stations.clear();
    EXPECT_EQ(s->Detections(f).size(), 1u);
    DetectionFilter bySpot;
    bySpot.spotIds = {"S1"};
    bySpot.campaigns = {"Winter"};
    EXPECT_EQ(s->Detections(bySpot).size(), 4u);
    DetectionFilter page;
    page.afterId = id;
    page.limit = 2;
    EXPECT_EQ(s->Detections(page).size(), 2u);

    const std::vector<StationRow> stations = s->Stations();
    ASSERT_EQ(stations.size(), 3u);
    EXPECT_EQ(stations[2].label, odd);
    EXPECT_EQ(stations[2].url, "http://a/x");
    const std::vector<PatternRow> patterns = s->Patterns();
    ASSERT_EQ(patterns.size(), 2u);
    const PatternRow& pa = patterns[0].contentHash == "aa" ? patterns[0] : patterns[1];
    EXPECT_EQ(pa.name, "renamed.tvs");
    EXPECT_EQ(pa.spotId, "S1");
    EXPECT_EQ(pa.durationSeconds, 2.5);

    EXPECT_GT(s->AddEvent({0, "B", kT0, "connected", "{\"event\":\"connected\"}"}), 0);
    s->AddEvent({0, "B", kT0, "connected", "{}"});  // replayed: not again
    s->AddEvent({0, "", kT0 + 1, "started", "{}"});
    EXPECT_EQ(s->Events({}, std::nullopt, std::nullopt).size(), 2u);
    EXPECT_EQ(s->Events({"B"}, kT0, kT0 + 1).size(), 1u);
    EXPECT_EQ(s->Events({"B"}, kT0, kT0 + 1)[0].json, "{\"event\":\"connected\"}");
    EXPECT_EQ(s->Flush(), 0u);
  }
  // Opened again (the schema is there): the same rows.
  EXPECT_EQ(OpenStore(db)->Detections({}).size(), 5u);
}

TEST(SqliteStore, KeysTellAiringsApart) {
  const DetectionRow a = Row("A", "aa", 100, kT0);
  EXPECT_EQ(DetectionKey(a), DetectionKey(Row("A", "aa", 999, kT0 + 400)));  // the same millisecond
  EXPECT_NE(DetectionKey(a), DetectionKey(Row("A", "aa", 100, kT0 + 1000)));
  EXPECT_NE(DetectionKey(a), DetectionKey(Row("B", "aa", 100, kT0)));
  EXPECT_NE(DetectionKey(a), DetectionKey(Row("A", "ab", 100, kT0)));
  EXPECT_NE(DetectionKey(Row("A", "aa", 100, std::nullopt)), DetectionKey(Row("A", "aa", 101, std::nullopt)));
  // Fields cannot run into each other.
  EXPECT_NE(DetectionKey(Row("A|", "aa", 1, std::nullopt)), DetectionKey(Row("A", "|aa", 1, std::nullopt)));
  EXPECT_EQ(DetectionKey(a).size(), 64u);
}

TEST(SqliteStore, RefusesWhatIsNotItsDatabaseAndNewerSchemas) {
  sptest::TempDir dir;
  sptest::WriteAll(dir.File("text.db"), std::vector<unsigned char>(4096, 'x'));
  try {
    OpenStore(dir.File("text.db"));
    FAIL() << "opened a file that is not a database";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find(dir.File("text.db") + ": "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
  }
  EXPECT_THROW(OpenStore(dir.File("no/such/dir/x.db")), StoreError);
  OpenStore(dir.File("new.db"));
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("new.db").c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  try {
    OpenStore(dir.File("new.db"));
    FAIL() << "opened a newer schema";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
  }
}

// Another process holds the write lock: a write waits for it, and fails with a clear message
// (nothing half-written) when it is held longer than the store waits.
TEST(SqliteStore, WaitsForAnotherProcessesLockAndTellsWhenItIsHeldTooLong) {
  sptest::TempDir dir;
  const std::string db = dir.File("locked.db");
  StoreOptions quick;
  quick.waitMilliseconds = 300;
  auto s = OpenStore(db, quick);
  s->AddDetection(Row("A", "aa", 1, std::nullopt));
  auto holdLock = [&](int ms) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      sqlite3* other = nullptr;
      sqlite3_open(db.c_str(), &other);
      const int rc = sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
      char c = rc == SQLITE_OK ? 'y' : 'n';
      (void)!write(ready[1], &c, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_close(other);
      _exit(0);
    }
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    close(ready[0]);
    close(ready[1]);
    return child;
  };
  pid_t child = holdLock(2000);
  try {
    s->AddDetection(Row("A", "aa", 2, std::nullopt));
    FAIL() << "wrote through another process's lock";
  } catch (const StoreError& e) {
    EXPECT_EQ(std::string(e.what()), db + ": cannot store the detection of aa.tvs on A (the database is locked by another process)");
  }
  waitpid(child, nullptr, 0);
  StoreOptions patient;
  patient.waitMilliseconds = 10000;
  auto waiting = OpenStore(db, patient);
  child = holdLock(500);
  EXPECT_GT(waiting->AddDetection(Row("A", "aa", 2, std::nullopt)), 0);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(waiting->Detections({}).size(), 2u);
}

TEST(Catalogue, ReadsQuotedFieldsBomAndCrlfAndNamesTheLineOfEachProblem) {
  const auto c = ParseCatalogue(
      "\xEF\xBB\xBF" "file,spot_id,advertiser,campaign,version,title\r\n"
      "a.tvs,S1,\"Acme, \"\"Inc\"\"\",Winter,v1,\"two\r\nlines\"\r\n"
      "\r\n"
      "b.tvs,S2,Zoë,,v2,<b>x</b>\r\n",
      "cat.csv");
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c.at("a.tvs").advertiser, "Acme, \"Inc\"");
  EXPECT_EQ(c.at("a.tvs").title, "two\r\nlines");
  EXPECT_EQ(c.at("b.tvs").advertiser, "Zoë");
  EXPECT_EQ(c.at("b.tvs").title, "<b>x</b>");
  // Columns in another order, some left out.
  EXPECT_EQ(ParseCatalogue("title,file\nT,x.tvs\n", "c").at("x.tvs").title, "T");

  const std::pair<std::string, std::string> bad[] = {
      {"", "cat.csv: the catalogue is empty"},
      {"file,spot\n", "cat.csv:1: unknown column \"spot\""},
      {"title,spot_id\nx,y\n", "cat.csv:1: the header has no column \"file\""},
      {"file,file\n", "cat.csv:1: the column \"file\" is named twice"},
      {"file,title\na.tvs,\"x\ny\"\nb.tvs\n", "cat.csv:4: the row has 1 fields, the header 2"},
      {"file,title\na.tvs,x\n\n,y\n", "cat.csv:4: the file name is empty"},
      {"file,title\na.tvs,x\nb.tvs,y\na.tvs,z\n", "cat.csv:4: \"a.tvs\" is listed again (first on line 2)"},
      {"file\ndir/a.tvs\n", "cat.csv:2: \"dir/a.tvs\": give the pattern file's name without folders"},
      {"file,title\na.tvs,\"open\n", "cat.csv:3: "},
      {"file,title\na.tvs,x\"y\n", "cat.csv:2: "},
      {std::string("file\na\0b\n", 9), "cat.csv: is not a CSV catalogue but binary data"},
  };
  for (const auto& [text, message] : bad) {
    try {
      ParseCatalogue(text, "cat.csv");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const CatalogueError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ReadCatalogue("/no/such/catalogue.csv"), CatalogueError);
}

TEST(Utc, ParsesIso8601AndFormatsMilliseconds) {
  EXPECT_EQ(ParseUtc("2026-12-07T00:00:00Z"), kT0);
  EXPECT_EQ(ParseUtc("2026-12-07"), kT0);
  EXPECT_EQ(ParseUtc("2026-12-07 01:30"), kT0 + 5400000000);
  EXPECT_EQ(ParseUtc("2026-12-07T01:00:00.25+01:00"), kT0 + 250000);
  EXPECT_EQ(ParseUtc("1970-01-01T00:00:00.000001Z"), 1);
  EXPECT_EQ(ParseUtc("2024-02-29T00:00:00Z").has_value(), true);
  for (const char* bad : {"", "2026-13-01", "2025-02-29", "2026-12-07T24:00", "2026-12-07T10", "2026-12-07X", "yesterday",
                          "2026-12-07T10:00:00+1", "2026-12-07T10:00:00.Z"})
    EXPECT_FALSE(ParseUtc(bad).has_value()) << bad;
  EXPECT_EQ(FormatUtcMillis(kT0 + 1999500), "2026-12-07T00:00:02.000Z");
  EXPECT_EQ(FormatUtcMillis(*ParseUtc("2026-12-07T21:57:18.123Z")), "2026-12-07T21:57:18.123Z");
}
