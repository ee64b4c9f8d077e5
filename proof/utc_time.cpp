// UTC times as schedules and reports write them (the store reads them: store/utc.cpp).
#include "utc_time.h"

#include <cstdio>

namespace sigpat::proof {
namespace {

// The date of a day number since 1970-01-01 (H. Hinnant's civil_from_days).
void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

}  // namespace

UtcMicros DayStart(UtcMicros t) {
  UtcMicros days = t / kMicrosPerDay;
  if (t % kMicrosPerDay < 0) --days;
  return days * kMicrosPerDay;
}

std::string FormatUtcDay(UtcMicros t) {
  int y;
  unsigned m, d;
  CivilFromDays(DayStart(t) / kMicrosPerDay, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, m, d);
  return buf;
}

std::string FormatUtcClock(UtcMicros t) {
  const std::int64_t inDay = t - DayStart(t);
  const std::int64_t s = inDay / kMicrosPerSecond;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
  return buf;
}

std::string FormatUtc(UtcMicros t) {
  const std::int64_t ms = (t - DayStart(t)) / 1000 % 1000;
  std::string out = FormatUtcDay(t) + "T" + FormatUtcClock(t);
  if (ms != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, ".%03d", static_cast<int>(ms));
    out += buf;
  }
  return out + "Z";
}

}  // namespace sigpat::proof

namespace sigpat::proof {

std::string FormatUtcExact(UtcMicros t) {
  const std::int64_t us = (t - DayStart(t)) % 1000000;
  if (us % 1000 == 0) return FormatUtc(t);
  char buf[16];
  std::snprintf(buf, sizeof buf, ".%06d", static_cast<int>(us));
  return FormatUtcDay(t) + "T" + FormatUtcClock(t) + buf + "Z";
}

}  // namespace sigpat::proof
