// The dashboard's store queries of a store that answers them in its database, against their
// plain implementations (made of the basic queries): the same rows for every filter, order and
// page. Shared by the SQLite and PostgreSQL tests.
#ifndef SIGPAT_TEST_DASHBOARD_CASES_H
#define SIGPAT_TEST_DASHBOARD_CASES_H

#include <gtest/gtest.h>

#include "store.h"

namespace storetest {

using namespace sigpat::store;

constexpr UtcMicros kDashboardT0 = 1772409600000000;  // 2026-03-02T00:00:00Z

inline std::vector<std::int64_t> Ids(const std::vector<DetectionRow>& rows) {
  std::vector<std::int64_t> ids;
  for (const auto& r : rows) ids.push_back(r.id);
  return ids;
}

inline void CheckDashboardQueries(Store& store) {
  Store* s = &store;
  const char* hashes[] = {"h1", "h2", "h3"};
  for (int p = 0; p < 3; ++p) {
    PatternRow row{0, hashes[p], std::string(hashes[p]) + ".tvs", 2.0, "S" + std::to_string(p),
                   p == 2 ? "Other" : "Acme", "C" + std::to_string(p % 2), "", ""};
    s->PutPattern(row);
  }
  // 60 detections over three days and three stations, stored out of time order; two without a UTC time.
  for (int i = 0; i < 60; ++i) {
    DetectionRow d;
    d.station = "St" + std::to_string(i % 3);
    d.patternHash = hashes[(i * 7) % 3];
    d.patternName = d.patternHash + ".tvs";
    d.beginSample = i * 1000;
    if (i % 29 != 5) d.beginUtc = kDashboardT0 + ((i * 37) % 60) * 3600LL * 1000000 + (i == 0 ? -1 : 0);
    d.json = "{}";
    d.key = DetectionKey(d);
    s->AddDetection(d);
  }
  s->AddEvent({0, "St0", kDashboardT0, "connected", "{}"});
  s->AddEvent({0, "St1", kDashboardT0 + 1, "connected", "{}"});
  s->AddEvent({0, "St0", kDashboardT0 + 2, "dead_air", "{}"});
  s->AddEvent({0, "St1", kDashboardT0 + 3, "disconnected", "{}"});
  s->AddEvent({0, "St1", kDashboardT0 + 4, "heartbeat", "{}"});

  std::vector<DetectionFilter> filters(6);
  filters[1].stations = {"St1", "St2"};
  filters[2].spotIds = {"S2"};
  filters[3].advertisers = {"Acme"};
  filters[3].campaigns = {"C0"};
  filters[4].from = kDashboardT0 + 24 * 3600LL * 1000000;
  filters[4].to = kDashboardT0 + 48 * 3600LL * 1000000;
  filters[5].stations = {"nobody' OR 1=1 --"};
  for (std::size_t k = 0; k < filters.size(); ++k) {
    DetectionFilter f = filters[k];
    for (int limit : {0, 7}) {
      f.limit = limit;
      for (bool descending : {false, true})
        for (std::int64_t before : {0, 40}) {
          f.afterId = descending ? 0 : 12;
          EXPECT_EQ(Ids(s->DetectionsById(f, descending, before)), Ids(s->Store::DetectionsById(f, descending, before)))
              << "filter " << k << " limit " << limit << (descending ? " newest first" : " oldest first") << " below " << before;
        }
    }
    const auto counts = s->CountsPerPatternPerDay(f), plain = s->Store::CountsPerPatternPerDay(f);
    ASSERT_EQ(counts.size(), plain.size()) << "filter " << k;
    for (std::size_t i = 0; i < counts.size(); ++i)
      EXPECT_TRUE(counts[i].day == plain[i].day && counts[i].patternHash == plain[i].patternHash &&
                  counts[i].count == plain[i].count) << "filter " << k << " row " << i;
  }
  EXPECT_EQ(s->CountsPerPatternPerDay({}).front().day, "2026-03-01");  // 1 µs before midnight

  EXPECT_EQ(Ids(s->LastDetectionPerStation()), Ids(s->Store::LastDetectionPerStation()));
  ASSERT_TRUE(s->DetectionById(33).has_value());
  EXPECT_EQ(s->DetectionById(33)->json, s->Store::DetectionById(33)->json);
  EXPECT_FALSE(s->DetectionById(61).has_value());
  const auto last = s->LastEventPerStation();
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(last[0].event, "dead_air");
  EXPECT_EQ(last.size(), s->Store::LastEventPerStation().size());
  EXPECT_EQ(last[1].event, "heartbeat");
  // Health goes by the newest event that tells it: a heartbeat after "disconnected" leaves it down.
  const auto health = s->LastHealthEventPerStation();
  ASSERT_EQ(health.size(), 2u);
  EXPECT_EQ(health[0].event, "dead_air");
  EXPECT_EQ(health[1].event, "disconnected");
  const auto plainHealth = s->Store::LastHealthEventPerStation();
  ASSERT_EQ(plainHealth.size(), 2u);
  EXPECT_TRUE(plainHealth[0].id == health[0].id && plainHealth[1].id == health[1].id);
  EXPECT_EQ(s->EventsAfter(1, 1).size(), 1u);
  EXPECT_EQ(s->EventsAfter(1, 0).size(), s->Store::EventsAfter(1, 0).size());
}

}  // namespace storetest

#endif
