// Schedules as files come (spreadsheet exports, hand-edited files, broken ones), UTC times, and
// what the CSV and HTML outputs make of hostile names.
#include <gtest/gtest.h>

#include "csv_out.h"
#include "html.h"
#include "proof_fixture.h"
#include "reconcile_html.h"
#include "report.h"
#include "schedule.h"

using namespace sigpat::proof;
using namespace sigpat::proof::testing;

namespace {
constexpr UtcMicros kDay0 = 1796601600LL * kMicrosPerSecond;  // 2026-12-07T00:00:00Z
}

TEST(Utc, ReportTimesReadBackExactly) {
  EXPECT_EQ(FormatUtc(kDay0 + 3723 * kMicrosPerSecond), "2026-12-07T01:02:03Z");
  EXPECT_EQ(FormatUtc(kDay0 - 500), "2026-12-06T23:59:59.999Z");
  EXPECT_EQ(*ParseUtc(FormatUtc(kDay0 + 45296789000)), kDay0 + 45296789000);
}

TEST(Schedule, SpreadsheetExportsWithBomCrlfQuotesAndLineBreaksAreRead) {
  const std::string text =
      "\xEF\xBB\xBF" "Spot,Station,Window_Start,Window_End,Comment\r\n"
      "\"AD, \"\"1\"\"\",\"Radio\nOne\",2026-12-07T10:00:00Z,2026-12-07T10:15:00Z,first\r\n"
      "\r\n"
      "  AD2  ,R\xC3\xA9gion,2026-12-07T11:00:00Z,2026-12-07T11:00:00Z,\r\n";
  const Schedule s = ParseSchedule(text);
  EXPECT_TRUE(s.problems.empty()) << s.problems.front().message;
  ASSERT_EQ(s.bookings.size(), 2u);
  EXPECT_EQ(s.bookings[0].spot, "AD, \"1\"");
  EXPECT_EQ(s.bookings[0].station, "Radio\nOne");
  EXPECT_EQ(s.bookings[0].line, 2);
  EXPECT_EQ(s.bookings[1].spot, "AD2");
  EXPECT_EQ(s.bookings[1].station, "R\xC3\xA9gion");
  EXPECT_EQ(s.bookings[1].line, 5);  // after the quoted line break and the blank line
  EXPECT_EQ(s.bookings[1].windowEnd - s.bookings[1].windowStart, 0);
}

TEST(Schedule, EachBadRowIsOneProblemNamingItsLineAndTheRestIsRead) {
  const std::string text =
      "station,spot,window_start,window_end\n"
      "R,A,2026-12-07T10:00:00Z,2026-12-07T10:15:00Z\n"   // 2 fine
      "R,A,2026-12-07T10:15:00Z,2026-12-07T10:00:00Z\n"   // 3 reversed
      "R,A,2026-12-07T25:00:00Z,2026-12-07T10:00:00Z\n"   // 4 bad start
      "R,A,2026-12-07T10:00:00Z,tomorrow\n"               // 5 bad end
      "R,A,2026-12-07T10:00:00Z,2026-12-07T10:15:00Z\n"   // 6 duplicate of 2
      "R,A,2026-12-07T10:00:00Z\n"                        // 7 missing field
      ",A,2026-12-07T10:00:00Z,2026-12-07T10:15:00Z\n"    // 8 no station
      "R,,2026-12-07T10:00:00Z,2026-12-07T10:15:00Z\n"    // 9 no spot
      "R,B,2026-12-07T10:00:00Z,2026-12-07T10:15:00Z\n";  // 10 fine
  const Schedule s = ParseSchedule(text);
  ASSERT_EQ(s.bookings.size(), 2u);
  EXPECT_EQ(s.bookings[1].line, 10);
  ASSERT_EQ(s.problems.size(), 7u);
  const char* expected[] = {"window ends", "window_start \"2026-12-07T25:00:00Z\": no such time of day",
                            "window_end \"tomorrow\"", "duplicate of line 2", "expected 4 fields, found 3",
                            "empty station", "empty spot"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(s.problems[i].line, i + 3);
    EXPECT_NE(s.problems[i].message.find(expected[i]), std::string::npos) << s.problems[i].message;
  }
  EXPECT_EQ(FormatProblem("day.csv", s.problems[0]).rfind("day.csv:3: window ends", 0), 0u);
  EXPECT_EQ(FormatProblem("a\x1b.csv", {0, "x"}), "a\\x1B.csv: x");

  // No header, a header without a column, an empty file: one problem, nothing read.
  for (const char* whole : {"R,A,2026-12-07T10:00:00Z,2026-12-07T10:15:00Z\n", "station,spot,window_start\n", "",
                            "\xEF\xBB\xBF\r\n\r\n", "station,station,spot,window_start,window_end\n"}) {
    const Schedule bad = ParseSchedule(whole);
    EXPECT_TRUE(bad.bookings.empty());
    ASSERT_EQ(bad.problems.size(), 1u) << whole;
    EXPECT_LE(bad.problems[0].line, 1);
  }
  // An unterminated quote swallows the rest of the file into one field: one bad row.
  const Schedule open = ParseSchedule("station,spot,window_start,window_end\nR,\"A,2026-12-07,2026-12-08\nR,A,x,y\n");
  EXPECT_TRUE(open.bookings.empty());
  EXPECT_EQ(open.problems.size(), 1u);
}

TEST(Output, HostileNamesStayIntactInCsvAndInertInHtml) {
  World w;
  const std::string station = "<script>alert(\"x\")</script>, \"Radio\"\nZw\xC3\xB6lf";
  const std::string spot = "Spot 'A' & <b>";
  w.Station(station);
  w.Pattern("a.tvs", spot, "Adv <i>", "Camp\"aign", "v1");
  w.Airing(station, "a.tvs", kDay0 + 60 * kMicrosPerSecond).evidence = "dir/<x> \"y\" ü.opus";
  w.Airing(station, "a.tvs", kDay0 + 7200 * kMicrosPerSecond);
  std::vector<Booking> bookings = {{station, spot, kDay0, kDay0 + 600 * kMicrosPerSecond, 2}};
  std::vector<ScheduleProblem> problems;
  const Reconciliation r = Reconcile(ResolveBookings(bookings, w.stations, w.patterns, problems), w.patterns,
                                     w.detections, w.events, ReconcileOptions{});
  ASSERT_EQ(r.rows.size(), 1u);

  // The CSV reads back (with the schedule reader) into the same names.
  const std::string csv = ReconciliationCsv(r);
  const Schedule back = ParseSchedule(csv);
  ASSERT_EQ(back.bookings.size(), 1u) << csv;
  EXPECT_EQ(back.bookings[0].station, station);
  EXPECT_EQ(back.bookings[0].spot, spot);
  EXPECT_NE(csv.find(",aired,2026-12-07T00:01:00Z,2026-12-07T00:01:30Z,1.000,,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\"dir/<x> \"\"y\"\" ü.opus\""), std::string::npos);

  auto href = [](const std::string& e) { return EvidenceHref("", "out.html", e); };
  ReportData data{w.stations, w.patterns, w.detections, w.events, kDay0, kDay0 + kMicrosPerDay};
  for (const std::string& html : {ReconciliationHtml(r, "sched<1>.csv", href), ReportHtml(data, href)}) {
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_EQ(html.find("<i>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;, &quot;Radio&quot;\nZw\xC3\xB6lf"),
              std::string::npos);
    EXPECT_NE(html.find("src=\"dir/%3Cx%3E%20%22y%22%20%C3%BC.opus\""), std::string::npos);
    EXPECT_EQ(html.find("http:"), html.find("http://www.w3.org/2000/svg"));  // nothing fetched
    EXPECT_EQ(html.find("https:"), std::string::npos);
  }
  const std::string report = ReportHtml(data, href);
  EXPECT_NE(report.find("Camp&quot;aign"), std::string::npos);
  EXPECT_NE(report.find("<svg"), std::string::npos);
  EXPECT_EQ(std::count(report.begin(), report.end(), '\0'), 0);

  EXPECT_EQ(HtmlEscape("a\x01" "b\xFF" "c\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD");
  EXPECT_EQ(EvidenceHref("/data/ev", "/srv/www/day.html", "S1/a b.flac"), "../../data/ev/S1/a%20b.flac");
  EXPECT_EQ(EvidenceHref("", "x.html", ""), "");
  // A shared file's moment stays a fragment after the encoded path.
  EXPECT_EQ(EvidenceHref("/data/ev", "/srv/www/day.html", "S1/a b.opus#t=12.500"), "../../data/ev/S1/a%20b.opus#t=12.500");
}
