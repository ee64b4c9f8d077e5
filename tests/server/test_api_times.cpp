// The dashboard's API writes UTC times with milliseconds, rounded down (also before 1970).
#include <gtest/gtest.h>

#include "api.h"

TEST(DashboardQueries, UtcTimesOfTheApi) {
  constexpr sigpat::store::UtcMicros kT0 = 1772409600000000;  // 2026-03-02T00:00:00Z
  using sigpat::server::FormatUtc;
  EXPECT_EQ(FormatUtc(kT0 - 1), "2026-03-01T23:59:59.999Z");
}
