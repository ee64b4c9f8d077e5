// sigpat reconcile and sigpat report over a real SQLite store: the planted day reconciled through
// the command line, schedules with bad rows, hostile names, exit statuses and messages.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "csv_out.h"
#include "planted_day.h"
#include "sigpat_runner.h"
#include "store/store.h"

using namespace sigpat::proof;
using namespace sigpat::proof::testing;

namespace {

const std::string kHostile = "<script>alert(1)</script>, \"Radio\" Zw\xC3\xB6lf";

// Splits a CSV line without quoted fields.
std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == ',') out.emplace_back();
    else out.back() += c;
  }
  return out;
}

class ProofCli : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    day_ = new Day(MakeDay());
    World& w = day_->world;
    w.Station(kHostile);
    w.Pattern("hostile.tvs", "<b>HOSTILE</b>", "Adv \"quoted\"", "Camp, comma", "v1");
    w.Airing(kHostile, "hostile.tvs", kDay0 + 10 * kMin);
    auto db = sigpat::store::OpenStore(File("day.sqlite"));
    for (const auto& s : w.stations) db->PutStation(s);
    for (const auto& p : w.patterns) db->PutPattern(p);
    for (auto d : w.detections) {
      d.key = sigpat::store::DetectionKey(d);
      d.json = "{}";
      db->AddDetection(d);
    }
    for (const auto& e : w.events) db->AddEvent(e);

    std::ofstream schedule(File("day.csv"), std::ios::binary);
    schedule << "station,spot,window_start,window_end\n";
    for (const Booking& b : day_->bookings)
      schedule << b.station << ',' << b.spot << ',' << FormatUtc(b.windowStart) << ',' << FormatUtc(b.windowEnd) << '\n';
  }
  static void TearDownTestSuite() {
    delete day_;
    day_ = nullptr;
    SigpatTest::TearDownTestSuite();
  }
  inline static Day* day_ = nullptr;
};

TEST_F(ProofCli, ThePlantedDayReconciledFromTheStoreFindsEachDiscrepancyAndNothingElse) {
  const RunResult r = Run("reconcile --db " + File("day.sqlite") + " --schedule " + File("day.csv") + " --csv " +
                          File("day-out.csv") + " --html " + File("day-out.html"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream csv(ReadText(File("day-out.csv")));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "station,spot,window_start,window_end,status,aired_start,aired_end,seen,offset_s,detected_spot,"
                  "evidence,note");
  std::map<std::pair<std::string, std::string>, int> lineOf;
  for (const Booking& b : day_->bookings) lineOf[{b.station, FormatUtc(b.windowStart)}] = b.line;
  int bookings = 0, unbooked = 0;
  while (std::getline(csv, line)) {
    const auto f = Split(line);
    ASSERT_EQ(f.size(), 12u) << line;
    if (f[4] == "unbooked") {
      ++unbooked;
      continue;
    }
    ++bookings;
    const int l = lineOf.at({f[0], f[2]});
    std::string status = f[4] + (f[11] == "station_down" ? "+down" : "");
    EXPECT_EQ(status, day_->planted.at(l)) << line;
    if (f[4] == "aired_outside_window") {
      EXPECT_DOUBLE_EQ(std::stod(f[8]), day_->offsets.at(l)) << line;
    }
  }
  EXPECT_EQ(bookings, 500);
  EXPECT_EQ(unbooked, static_cast<int>(day_->unbooked.size()));
  EXPECT_NE(r.out.find("\nS3: 50 25 5 10 (5) 5 5 3 44.4%\n"), std::string::npos) << r.out;
  EXPECT_NE(ReadText(File("day-out.html")).find("<svg"), std::string::npos);
}

TEST_F(ProofCli, BadRowsAreNamedOneALineAndTheRestReconciled) {
  std::ofstream(File("bad.csv"), std::ios::binary)
      << "\xEF\xBB\xBFstation,spot,window_start,window_end\r\n"
      << "S0,AD0,2026-12-07T00:00:00Z,2026-12-07T00:15:00Z\r\n"           // 2 fine
      << "Nowhere,AD0,2026-12-07T00:00:00Z,2026-12-07T00:15:00Z\r\n"      // 3 unknown station
      << "S0,AD99,2026-12-07T00:00:00Z,2026-12-07T00:15:00Z\r\n"          // 4 unknown spot
      << "S0,AD1,2026-12-07T00:15:00Z,2026-12-07T00:00:00Z\r\n"           // 5 reversed
      << "S0,AD1,2026-12-07T00:15:00,noon\r\n"                            // 6 bad time
      << "S0,AD0,2026-12-07T00:00:00Z,2026-12-07T00:15:00Z\r\n"           // 7 duplicate
      << "\"" << "<script>alert(1)</script>, \"\"Radio\"\" Zw\xC3\xB6lf" << "\",<b>HOSTILE</b>,2026-12-07,2026-12-07T01:00Z\r\n";
  const RunResult r = Run("reconcile --db " + File("day.sqlite") + " --schedule " + File("bad.csv") + " --csv " +
                          File("bad-out.csv"));
  EXPECT_EQ(r.status, 1);
  const std::string where = "sigpat: error: " + File("bad.csv") + ":";
  const char* expected[] = {"3: unknown station \"Nowhere\"", "4: unknown spot \"AD99\"", "5: window ends",
                            "6: window_end \"noon\"", "7: duplicate of line 2"};
  std::istringstream err(r.err);
  std::string line;
  for (const char* e : expected) {
    ASSERT_TRUE(std::getline(err, line)) << r.err;
    EXPECT_EQ(line.rfind(where + e, 0), 0u) << line;
  }
  EXPECT_FALSE(std::getline(err, line)) << line;
  const std::string out = ReadText(File("bad-out.csv"));
  EXPECT_NE(out.find("\nS0,AD0,2026-12-07T00:00:00Z,2026-12-07T00:15:00Z,aired,"), std::string::npos) << out;
  EXPECT_NE(out.find("\n" + CsvField(kHostile) + ",<b>HOSTILE</b>,2026-12-07T00:00:00Z,2026-12-07T01:00:00Z,aired,"),
            std::string::npos)
      << out;
}

TEST_F(ProofCli, FailuresAndBadCommandLinesExitWithOneOrTwoAndAClearLine) {
  const std::string db = " --db " + File("day.sqlite");
  struct Case {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"reconcile" + db + " --schedule " + File("day.csv"), 2, "--csv is required"},
      {"reconcile" + db + " --schedule " + File("day.csv") + " --csv x.csv --from yesterday", 2, "yesterday"},
      {"reconcile" + db + " --schedule " + File("day.csv") + " --csv x.csv --from 2026-12-08 --to 2026-12-07", 2,
       "--to must be after --from"},
      {"reconcile" + db + " --schedule " + File("none.csv") + " --csv x.csv", 1, File("none.csv")},
      {"reconcile --db " + File("none.sqlite") + " --schedule " + File("day.csv") + " --csv x.csv", 1,
       File("none.sqlite") + ": no such database file"},
      {"reconcile" + db + " --schedule " + File("day.sqlite") + " --csv x.csv", 1, "the header has no column"},
      {"reconcile" + db + " --schedule " + File("day.csv") + " --csv " + dir_->path(), 1, dir_->path()},
      {"report" + db + " --from 2026-12-07 --html x.html", 2, "--to is required"},
      {"report" + db + " --from 2026-12-07 --to 2026-12-06 --html x.html", 2, "--to must be after --from"},
      {"report" + db + " --from 2026-12-07 --to 2026-12-08 --station Nowhere --html x.html", 1, "no station \"Nowhere\""},
  };
  for (const Case& c : cases) {
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    // One line (a bad command line: and the pointer to --help).
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.status == 2 && r.err.find("--help") != std::string::npos ? 2 : 1)
        << r.err;
  }
  EXPECT_FALSE(std::ifstream("x.csv").good());
}

TEST_F(ProofCli, TheReportShowsEveryStationWithNamesEscaped) {
  const RunResult r = Run("report --db " + File("day.sqlite") + " --from 2026-12-07 --to 2026-12-08 --html " +
                          File("report.html") + " --evidence " + File("evidence"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string html = ReadText(File("report.html"));
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;, &quot;Radio&quot; Zw\xC3\xB6lf"), std::string::npos);
  EXPECT_NE(html.find("&lt;b&gt;HOSTILE&lt;/b&gt;"), std::string::npos);
  for (int s = 0; s < 10; ++s) EXPECT_NE(html.find("<h3>S" + std::to_string(s) + " — 2026-12-07</h3>"), std::string::npos);
  EXPECT_NE(html.find("<audio controls preload=\"none\" src=\"evidence/S0/"), std::string::npos);
}

}  // namespace
