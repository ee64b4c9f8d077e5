#include "numbers.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sigpat {

namespace {

// The text as given, cut for a message.
std::string Quoted(const std::string& text) {
  return "\"" + (text.size() > 40 ? text.substr(0, 40) + "..." : text) + "\"";
}

}  // namespace

std::string ShortNumber(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::optional<double> ParseFinite(const std::string& text) {
  // Digits, one dot, an optional exponent and sign: no "nan", "inf", hex or blanks.
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  bool dot = false;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isdigit(c)) ++digits;
    else if (c == '.' && !dot) dot = true;
    else break;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t start = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == start) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  const double v = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<double> ParseClockSeconds(const std::string& text) {
  const std::size_t first = text.find(':');
  if (first == std::string::npos) return ParseFinite(text);
  const std::size_t second = text.find(':', first + 1);
  std::string h = "0", m, s;
  if (second == std::string::npos) {
    m = text.substr(0, first);
    s = text.substr(first + 1);
  } else {
    h = text.substr(0, first);
    m = text.substr(first + 1, second - first - 1);
    s = text.substr(second + 1);
  }
  auto whole = [](const std::string& t) {
    if (t.empty() || t.size() > 9) return false;
    for (char c : t)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
  };
  if (!whole(h) || !whole(m) || s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) return std::nullopt;
  const std::optional<double> sec = ParseFinite(s);
  const double minutes = std::strtod(m.c_str(), nullptr);
  if (!sec || *sec >= 60.0 || s.find_first_of("eE") != std::string::npos || (second != std::string::npos && minutes >= 60))
    return std::nullopt;
  return std::strtod(h.c_str(), nullptr) * 3600.0 + minutes * 60.0 + *sec;
}

std::string CheckNumber(const std::string& text, double lo, double hi, bool integer) {
  const std::optional<double> v = ParseFinite(text);
  const std::string range = ShortNumber(lo) + " to " + ShortNumber(hi);
  if (!v) return Quoted(text) + " is not a number (expected " + (integer ? "a whole number " : "") + range + ")";
  if (integer && *v != std::floor(*v)) return Quoted(text) + " is not a whole number (expected " + range + ")";
  if (*v < lo || *v > hi) return Quoted(text) + " is out of range (expected " + range + ")";
  return "";
}

std::string CheckSeconds(const std::string& text, double hi) {
  const std::optional<double> v = ParseClockSeconds(text);
  if (!v) return Quoted(text) + " is not a time (expected seconds such as 61.2, or HH:MM:SS.mmm)";
  if (*v < 0.0 || *v > hi) return Quoted(text) + " is out of range (expected 0 to " + ShortNumber(hi) + " seconds)";
  return "";
}

}  // namespace sigpat
