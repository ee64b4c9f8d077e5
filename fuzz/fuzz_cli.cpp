// Fuzz target: what the command line of sigpat takes from the user and from files before any
// audio is read. Byte 0 picks what is fuzzed, the rest is its input:
//   0  a number option and a time option (the parsers give finite numbers, the checks refuse
//      exactly what does not parse or lies out of range, with a short message)
//   1  a name printed on a terminal (control characters escaped)
//   2  a pattern file renamed for its destination (create's atomic write): the bytes of the
//      file, the path it was written under and the destination split at the first zero byte
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "messages.h"
#include "numbers.h"
#include "output.h"
#include "pattern_output.h"

namespace {

// The contract of the option checks: each parser returns a finite number or nothing (any
// finite number: the range is the check's business, not the parser's), the check accepts
// exactly what parses and lies in the option's range, and its message quotes the text cut
// short, so that it stays one short line whatever was typed.
void Numbers(const std::string& text) {
  auto shortMessage = [](const std::string& error) { return error.size() <= 200; };
  const std::optional<double> v = sigpat::ParseFinite(text);
  if (v && !std::isfinite(*v)) std::abort();
  for (const bool integer : {false, true}) {
    const std::string error = sigpat::CheckNumber(text, 0.1, 10.0, integer);
    const bool fits = v && *v >= 0.1 && *v <= 10.0 && (!integer || *v == std::floor(*v));
    if (error.empty() != fits || !shortMessage(error)) std::abort();
  }
  const std::optional<double> s = sigpat::ParseClockSeconds(text);
  if (s && !std::isfinite(*s)) std::abort();
  const std::string error = sigpat::CheckSeconds(text, 1e9);
  if (error.empty() != (s && *s >= 0.0 && *s <= 1e9) || !shortMessage(error)) std::abort();
}

void Escaped(const std::string& text) {
  const std::string out = sigpat::EscapeControl(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(out[i + 1]) <= 0x9F)
      std::abort();
  }
}

void Renamed(const std::string& text) {
  const std::size_t cut = text.find('\0');
  const std::string writtenAs = cut == std::string::npos ? "a.tvs" : text.substr(0, cut);
  const std::string rest = cut == std::string::npos ? text : text.substr(cut + 1);
  const std::string destination = rest.substr(0, rest.size() / 4);
  const std::vector<unsigned char> bytes(rest.begin() + static_cast<std::ptrdiff_t>(rest.size() / 4), rest.end());
  try {
    const std::vector<unsigned char> out = sigpat::RenamedPattern(bytes, writtenAs, destination);
    // The name block at the end names the destination (up to 511 characters) and ends with 0.
    const std::size_t n = destination.size() < 511 ? destination.size() : 511;
    if (out.size() < n + 5 || out.back() != 0 || out[out.size() - n - 5] != (n & 0xFF)) std::abort();
  } catch (const sigpat::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: Numbers(text); break;
    case 1: Escaped(text); break;
    default: Renamed(text); break;
  }
  return 0;
}
