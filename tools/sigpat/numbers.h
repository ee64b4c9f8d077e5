// Strict parsing of the numbers of the command line: the whole text must be a finite number in
// the option's range; the message names the option and shows the text as given, never a
// 300-digit expansion of it. Seconds may also be written as the clock `scan` prints.
#ifndef SIGPAT_NUMBERS_H
#define SIGPAT_NUMBERS_H

#include <optional>
#include <string>

namespace sigpat {

// The number, or nullopt when text is not wholly a finite decimal number.
std::optional<double> ParseFinite(const std::string& text);
// Seconds: "61.2", "1:01.2" or "00:01:01.200" (minutes and seconds under 60 after a colon).
std::optional<double> ParseClockSeconds(const std::string& text);
// An error message for text as a number of [lo, hi] (integer: whole numbers only), "" when fine.
std::string CheckNumber(const std::string& text, double lo, double hi, bool integer);
std::string CheckSeconds(const std::string& text, double hi);
// A number for a message: %g, so 1e300 stays 1e+300.
std::string ShortNumber(double v);

}  // namespace sigpat

#endif
