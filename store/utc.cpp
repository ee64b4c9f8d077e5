#include "utc.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace sigpat::store {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool Digits(const std::string& s, std::size_t at, std::size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

}  // namespace

std::optional<UtcMicros> ParseUtc(const std::string& s) {
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!Digits(s, 0, 4, year) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, month) || s[7] != '-' ||
      !Digits(s, 8, 2, day))
    return std::nullopt;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  std::size_t at = 10;
  long long micros = 0, offsetMinutes = 0;
  if (at < s.size()) {
    if ((s[at] != 'T' && s[at] != 't' && s[at] != ' ') || !Digits(s, at + 1, 2, hour) || at + 3 >= s.size() ||
        s[at + 3] != ':' || !Digits(s, at + 4, 2, minute))
      return std::nullopt;
    at += 6;
    if (at < s.size() && s[at] == ':') {
      if (!Digits(s, at + 1, 2, second)) return std::nullopt;
      at += 3;
      if (at < s.size() && (s[at] == '.' || s[at] == ',')) {
        ++at;
        long long scale = 100000;
        const std::size_t first = at;
        for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at) {
          micros += (s[at] - '0') * scale;
          scale /= 10;
        }
        if (at == first) return std::nullopt;
      }
    }
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (at < s.size()) {
      if ((s[at] == 'Z' || s[at] == 'z') && at + 1 == s.size()) {
        at += 1;
      } else if (s[at] == '+' || s[at] == '-') {
        int oh, om;
        if (!Digits(s, at + 1, 2, oh) || at + 3 >= s.size() || s[at + 3] != ':' || !Digits(s, at + 4, 2, om) ||
            at + 6 != s.size() || oh > 23 || om > 59)
          return std::nullopt;
        offsetMinutes = (s[at] == '+' ? 1 : -1) * (oh * 60 + om);
        at += 6;
      } else {
        return std::nullopt;
      }
    }
  }
  if (at != s.size()) return std::nullopt;
  const long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const long long secs = days * 86400 + hour * 3600 + minute * 60 + second - offsetMinutes * 60;
  return secs * 1000000 + micros;
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
