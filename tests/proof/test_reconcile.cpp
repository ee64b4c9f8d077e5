// Reconciliation over rows as the store gives them: the matching rules, a 500-booking schedule
// with every kind of discrepancy planted, station health, the summary.
#include <gtest/gtest.h>

#include <map>

#include "csv_out.h"
#include "planted_day.h"
#include "reconcile.h"

using namespace sigpat::proof;
using namespace sigpat::proof::testing;

namespace {

Reconciliation ReconcileWorld(const World& w, const std::vector<Booking>& bookings, ReconcileOptions options = {}) {
  std::vector<ScheduleProblem> problems;
  auto resolved = ResolveBookings(bookings, w.stations, w.patterns, problems);
  EXPECT_TRUE(problems.empty()) << problems.front().message;
  return Reconcile(resolved, w.patterns, w.detections, w.events, options);
}

}  // namespace

TEST(Reconcile, FiveHundredBookingsWithEveryDiscrepancyPlantedFindsEachAndNothingElse) {
  const Day day = MakeDay();
  ASSERT_EQ(day.bookings.size(), 500u);
  const Reconciliation r = ReconcileWorld(day.world, day.bookings);

  std::map<std::string, int> planted, found;
  for (const auto& [line, status] : day.planted) ++planted[status];
  std::size_t unbooked = 0;
  for (const ReconcileRow& row : r.rows) {
    if (row.status == Status::kUnbooked) {
      ++unbooked;
      EXPECT_TRUE(std::count(day.unbooked.begin(), day.unbooked.end(),
                             std::make_pair(row.station, *row.airing->beginUtc)))
          << row.station << " " << FormatUtc(*row.airing->beginUtc) << " " << row.spot;
      continue;
    }
    std::string status = StatusName(row.status);
    if (row.note == "station_down") status += "+down";
    ++found[status];
    EXPECT_EQ(status, day.planted.at(row.line)) << "line " << row.line;
    if (row.status == Status::kAiredOutsideWindow) {
      EXPECT_DOUBLE_EQ(*row.offsetSeconds, day.offsets.at(row.line));
    } else if (row.status == Status::kWrongVersion) {
      EXPECT_NE(row.detectedSpot, row.spot);
    } else if (row.status == Status::kAired || row.status == Status::kTruncated) {
      EXPECT_EQ(row.detectedSpot, row.spot);
    }
  }
  EXPECT_EQ(found, planted);
  EXPECT_EQ(unbooked, day.unbooked.size());
  for (const auto& [status, n] : planted) EXPECT_GE(n, 40) << status;

  // Per station: 50 bookings, 25 aired, 5 of each discrepancy; the 5 not aired while down are
  // not errors: 20 errors of 45 verifiable bookings.
  ASSERT_EQ(r.stations.size(), 10u);
  for (const StationSummary& s : r.stations) {
    EXPECT_EQ(s.bookings, 50);
    EXPECT_EQ(s.aired, 25);
    EXPECT_EQ(s.notAired, 10);
    EXPECT_EQ(s.unverified, 5);
    EXPECT_EQ(s.unbooked, 3);
    EXPECT_NEAR(s.ErrorRate(), 20.0 / 45.0, 1e-12);
  }
}

TEST(Reconcile, EachAiringMatchesOneBookingNearestAndEarliestDeadlineFirst) {
  World w;
  w.Station("R");
  w.Pattern("a.tvs", "A");
  const UtcMicros t = kDay0;
  // Overlapping windows of one spot, two airings: the window ending first takes the earlier
  // airing, so both bookings are matched.
  std::vector<Booking> b = {{"R", "A", t, t + 60 * kMin, 2}, {"R", "A", t, t + 20 * kMin, 3}};
  w.Airing("R", "a.tvs", t + 10 * kMin);
  w.Airing("R", "a.tvs", t + 40 * kMin);
  Reconciliation r = ReconcileWorld(w, b);
  ASSERT_EQ(r.rows.size(), 2u);
  for (const auto& row : r.rows) EXPECT_EQ(row.status, Status::kAired) << row.line;

  // One airing between two windows of the spot goes to the nearer window; the other is not aired.
  World w2;
  w2.Station("R");
  w2.Pattern("a.tvs", "A");
  b = {{"R", "A", t, t + 10 * kMin, 2}, {"R", "A", t + 60 * kMin, t + 70 * kMin, 3}};
  w2.Airing("R", "a.tvs", t + 45 * kMin);
  r = ReconcileWorld(w2, b);
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0].status, Status::kNotAired);
  EXPECT_EQ(r.rows[1].status, Status::kAiredOutsideWindow);
  EXPECT_DOUBLE_EQ(*r.rows[1].offsetSeconds, -15 * 60);

  // Beyond the slack it is unbooked instead; a second airing in a matched window too, and a
  // whole airing is preferred to an earlier cut-short one.
  ReconcileOptions tight;
  tight.slackSeconds = 600;
  tight.from = t;
  tight.to = t + 2 * 60 * kMin;
  w2.Airing("R", "a.tvs", t + 61 * kMin, 0.5);
  w2.Airing("R", "a.tvs", t + 62 * kMin);
  r = ReconcileWorld(w2, b, tight);
  ASSERT_EQ(r.rows.size(), 4u);
  EXPECT_EQ(r.rows[0].status, Status::kNotAired);
  EXPECT_EQ(r.rows[1].status, Status::kUnbooked);
  EXPECT_EQ(r.rows[2].status, Status::kAired);
  EXPECT_EQ(*r.rows[2].airing->beginUtc, t + 62 * kMin);
  EXPECT_EQ(r.rows[3].status, Status::kUnbooked);
  EXPECT_EQ(r.rows[3].note, "truncated");
}

TEST(Reconcile, StationDownOnlyWhenTheOutageOverlapsTheWindow) {
  World w;
  w.Station("R");
  w.Pattern("a.tvs", "A");
  const UtcMicros t = kDay0;
  w.Event("R", t - 30 * kMin, "disconnected");
  w.Event("R", t - 20 * kMin, "connected");  // back before the first window
  w.Event("R", t + 100 * kMin, "gap");        // a moment lost in the second
  w.Event("R", t + 150 * kMin, "ended");      // never back: the third and later
  w.Event("Other", t + 5 * kMin, "disconnected");  // another station's outage
  std::vector<Booking> b = {{"R", "A", t, t + 10 * kMin, 2},
                            {"R", "A", t + 95 * kMin, t + 105 * kMin, 3},
                            {"R", "A", t + 300 * kMin, t + 310 * kMin, 4}};
  ReconcileOptions o;
  o.slackSeconds = 0;
  const Reconciliation r = ReconcileWorld(w, b, o);
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_EQ(r.rows[0].note, "");
  EXPECT_EQ(r.rows[1].note, "station_down");
  EXPECT_EQ(r.rows[2].note, "station_down");
  EXPECT_EQ(r.stations[0].unverified, 2);
  EXPECT_DOUBLE_EQ(r.stations[0].ErrorRate(), 1.0);
}

TEST(Reconcile, UnknownStationsAndSpotsAreRefusedAndSpotsResolveByNameOrId) {
  World w;
  w.Station("R");
  w.Pattern("summer.tvs", "SPOT-1", "Acme", "Summer", "v1");
  w.Pattern("summer-b.tvs", "", "Acme", "Summer", "v2");
  std::vector<Booking> b = {{"R", "SPOT-1", 0, 1, 2}, {"R", "summer", 0, 1, 3}, {"R", "summer-b.tvs", 0, 1, 4},
                            {"X", "SPOT-1", 0, 1, 5}, {"R", "nope", 0, 1, 6}};
  std::vector<ScheduleProblem> problems;
  const auto resolved = ResolveBookings(b, w.stations, w.patterns, problems);
  ASSERT_EQ(resolved.size(), 3u);
  EXPECT_EQ(resolved[0].hashes, resolved[1].hashes);
  EXPECT_EQ(resolved[0].family, "campaign:Summer");
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].line, 5);
  EXPECT_NE(problems[0].message.find("unknown station \"X\""), std::string::npos);
  EXPECT_EQ(problems[1].line, 6);
  EXPECT_NE(problems[1].message.find("unknown spot \"nope\""), std::string::npos);
}
