#include "utc.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {
constexpr long long kMicrosPerSecond = 1000000;
constexpr long long kMicrosPerDay = 86400 * kMicrosPerSecond;
}  // namespace

namespace sigpat::store {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

unsigned DaysInMonth(int y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Reads exactly n digits at pos.
bool Digits(std::string_view s, std::size_t& pos, int n, int& value) {
  if (pos + n > s.size()) return false;
  value = 0;
  for (int i = 0; i < n; ++i) {
    const char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += n;
  return true;
}

std::optional<UtcMicros> Fail(std::string* why, const char* message) {
  if (why) *why = message;
  return std::nullopt;
}

}  // namespace

std::optional<UtcMicros> ParseUtc(std::string_view s, std::string* why) {
  const char* const kForm = "not an ISO 8601 time (YYYY-MM-DDTHH:MM:SSZ)";
  std::size_t pos = 0;
  int year, month, day;
  if (!Digits(s, pos, 4, year) || pos >= s.size() || s[pos++] != '-' || !Digits(s, pos, 2, month) ||
      pos >= s.size() || s[pos++] != '-' || !Digits(s, pos, 2, day))
    return Fail(why, kForm);
  if (month < 1 || month > 12 || day < 1 || day > static_cast<int>(DaysInMonth(year, month)))
    return Fail(why, "no such date");
  std::int64_t micros = 0;
  std::int64_t zoneSeconds = 0;
  if (pos < s.size()) {
    if (s[pos] != 'T' && s[pos] != 't' && s[pos] != ' ') return Fail(why, kForm);
    ++pos;
    int hour, minute, second = 0;
    if (!Digits(s, pos, 2, hour) || pos >= s.size() || s[pos++] != ':' || !Digits(s, pos, 2, minute))
      return Fail(why, kForm);
    if (pos < s.size() && s[pos] == ':') {
      ++pos;
      if (!Digits(s, pos, 2, second)) return Fail(why, kForm);
      if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
        ++pos;
        int n = 0;
        std::int64_t fraction = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
          if (n == 6) return Fail(why, "more than 6 decimals of a second");
          fraction = fraction * 10 + (s[pos++] - '0');
          ++n;
        }
        if (n == 0) return Fail(why, kForm);
        for (; n < 6; ++n) fraction *= 10;
        micros = fraction;
      }
    }
    if (hour > 23 || minute > 59 || second > 59) return Fail(why, "no such time of day");
    micros += (static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second) * kMicrosPerSecond;
    if (pos < s.size()) {
      const char z = s[pos];
      if ((z == 'Z' || z == 'z') && pos + 1 == s.size()) {
        ++pos;
      } else if (z == '+' || z == '-') {
        ++pos;
        int zh, zm = 0;
        if (!Digits(s, pos, 2, zh)) return Fail(why, "bad zone offset (+HH:MM)");
        if (pos < s.size() && s[pos] == ':') ++pos;
        if (pos < s.size() && !Digits(s, pos, 2, zm)) return Fail(why, "bad zone offset (+HH:MM)");
        if (zh > 23 || zm > 59) return Fail(why, "bad zone offset (+HH:MM)");
        zoneSeconds = (z == '+' ? 1 : -1) * (zh * 3600 + zm * 60);
      } else {
        return Fail(why, kForm);
      }
    }
    if (pos != s.size()) return Fail(why, kForm);
  }
  const UtcMicros t = DaysFromCivil(year, month, day) * kMicrosPerDay + micros - zoneSeconds * kMicrosPerSecond;
  // Years 0001 to 9999 after the zone is taken off: what FormatUtc writes back.
  if (t < DaysFromCivil(1, 1, 1) * kMicrosPerDay || t >= DaysFromCivil(10000, 1, 1) * kMicrosPerDay)
    return Fail(why, "out of range (years 0001 to 9999)");
  return t;
}

std::string FormatUtcMillis(UtcMicros t) {
  const long long ms = (t >= 0 ? t + 500 : t - 500) / 1000;
  std::time_t whole = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const long long rest = ms - static_cast<long long>(whole) * 1000;
  std::tm tm{};
  gmtime_r(&whole, &tm);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, rest);
  return text;
}

UtcMicros NowUtc() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace sigpat::store
