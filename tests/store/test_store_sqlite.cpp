// The SQLite store through its interface: rows kept whole, the idempotency key, the queries,
// the dashboard's queries, migrations, locks held by another process; the catalogue parser and UTC times.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "catalogue.h"
#include "content_hash.h"
#include "dashboard_cases.h"
#include "store_cases.h"
#include "store.h"
#include "test_support.h"
#include "utc.h"

using namespace sigpat::store;

using namespace storetest;

TEST(SqliteStore, KeepsRowsWholeStoresEachKeyOnceAndAnswersTheQueries) {
  sptest::TempDir dir;
  CheckRoundTrip([&] { return OpenStore(dir.File("s.db")); }, dir.File("s.db"));
  CheckLargeLoads(*OpenStore(dir.File("patterns.db")));
}

TEST(SqliteStore, AnswersTheDashboardsQueriesAsThePlainImplementations) {
  sptest::TempDir dir;
  CheckDashboardQueries(*OpenStore(dir.File("q.db")));
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

TEST(Utc, ParsesIso8601RefusesImpossibleTimesAndFormatsMilliseconds) {
  EXPECT_EQ(ParseUtc("2026-12-07T00:00:00Z"), kT0);
  EXPECT_EQ(ParseUtc("2026-12-07"), kT0);
  EXPECT_EQ(ParseUtc("2026-12-07 01:30"), kT0 + 5400000000);
  EXPECT_EQ(ParseUtc("2026-12-07T01:00:00.25+01:00"), kT0 + 250000);
  EXPECT_EQ(ParseUtc("2026-12-06T23:30:00-0030"), kT0);
  EXPECT_EQ(ParseUtc("1970-01-01T00:00:00.000001Z"), 1);
  EXPECT_EQ(ParseUtc("1969-12-31T23:59:59Z"), -1000000);
  EXPECT_EQ(ParseUtc("2024-02-29T00:00:00Z").has_value(), true);
  for (const char* bad : {"", "2026-13-01", "2025-02-29", "2026-02-30", "2026-12-07T24:00", "2026-12-07T10:60",
                          "2026-12-07T10", "2026-12-07X", "yesterday", "07/12/2026 10:00", "2026-12-07T10:00:00+1",
                          "2026-12-07T10:00:00+25:00", "2026-12-07T10:00:00.Z", "2026-12-07T10:00:00.1234567Z",
                          "2026-12-07T10:00:00ZZ", "2026-12-07T10:00:00 ", "0000-12-31T23:59:59Z"}) {
    std::string why;
    EXPECT_FALSE(ParseUtc(bad, &why).has_value()) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  EXPECT_EQ(FormatUtcMillis(kT0 + 1999500), "2026-12-07T00:00:02.000Z");
  EXPECT_EQ(FormatUtcMillis(*ParseUtc("2026-12-07T21:57:18.123Z")), "2026-12-07T21:57:18.123Z");
}

// A pattern file's content hash is kept in the cache and taken from it while the file is the
// same; a file rewritten with other bytes of the same size and its old modification time gets
// its own hash (its change time tells it apart), and a file changed just now is not kept.
// Pruning drops the entries of files removed or changed since, entries of the old form (the hash
// alone) and temporary files an hour old, keeps live entries and files not its own, and beyond
// its bound drops the live entries written longest ago.
TEST(ContentHash, CachedHashesFollowTheFileAndPruningKeepsOnlyLiveEntries) {
  namespace fs = std::filesystem;
  sptest::TempDir dir;
  ::setenv("SIGNALPATTERN_CACHE", dir.File("cache").c_str(), 1);
  const std::string cache = dir.File("cache/content-hashes");
  const std::string file = dir.File("a.tvs");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  sptest::WriteAll(file, std::vector<unsigned char>(5000, 'a'));
  EXPECT_EQ(HashFileCached(file), HashFile(file));  // written just now: not kept
  EXPECT_FALSE(fs::exists(cache));
  const std::vector<std::string> others = {dir.File("gone.tvs"), dir.File("early.tvs"), dir.File("late.tvs")};
  for (const std::string& f : others) sptest::WriteAll(f, std::vector<unsigned char>(3000, static_cast<unsigned char>(f.size())));
  for (const std::string& f : others) fs::last_write_time(f, old);
  fs::last_write_time(file, old);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // their change times 2 s old
  const std::string a = HashFile(file);
  EXPECT_EQ(HashFileCached(file), a);
  for (const std::string& f : others) EXPECT_EQ(HashFileCached(f), HashFile(f));
  // Each entry by the path it was made for (the first line of its key).
  auto entries = [&] {
    std::map<std::string, fs::path> byPath;
    for (const auto& e : fs::directory_iterator(cache)) {
      std::ifstream in(e.path());
      std::string hash, path;
      std::getline(in, hash);
      std::getline(in, path);
      byPath[path.empty() ? e.path().filename().string() : path] = e.path();
    }
    return byPath;
  };
  ASSERT_EQ(entries().size(), 4u);
  EXPECT_EQ(HashFileCached(file), a);  // from the cache
  sptest::WriteAll(file, std::vector<unsigned char>(5000, 'b'));
  fs::last_write_time(file, old);
  EXPECT_NE(HashFileCached(file), a);
  EXPECT_EQ(HashFileCached(file), HashFile(file));

  fs::remove(others[0]);
  sptest::WriteAll(cache + "/0123456789abcdef0123456789abcdef", std::vector<unsigned char>(a.begin(), a.end()));
  sptest::WriteAll(cache + "/left.tmp", {});
  fs::last_write_time(cache + "/left.tmp", old);
  sptest::WriteAll(cache + "/writing.tmp", {});
  sptest::WriteAll(cache + "/README", {});
  PruneHashCache(cache, 100);
  std::map<std::string, fs::path> kept = entries();
  EXPECT_EQ(kept.size(), 4u);  // the two live entries, writing.tmp and README
  ASSERT_EQ(kept.count(others[1]) + kept.count(others[2]), 2u);
  EXPECT_TRUE(fs::exists(cache + "/writing.tmp") && fs::exists(cache + "/README"));
  fs::last_write_time(kept[others[1]], old);
  PruneHashCache(cache, 1);
  kept = entries();
  EXPECT_EQ(kept.count(others[1]), 0u);
  EXPECT_EQ(kept.count(others[2]), 1u);
  for (const std::string& f : {others[1], others[2]}) EXPECT_EQ(HashFileCached(f), HashFile(f));
  ::unsetenv("SIGNALPATTERN_CACHE");
}
