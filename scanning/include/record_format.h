// The output records of scans and monitors, one formatter for each: a detection as the text
// line and the JSON line sigpat prints (the store keeps the JSON line, export prints it back,
// the Python module reads its fields from it), and a station's status line.
#ifndef SIGPAT_RECORD_FORMAT_H
#define SIGPAT_RECORD_FORMAT_H

#include <nlohmann/json.hpp>
#include <string>

#include "scanner.h"

namespace sigpat {

// The text line of a detection (names with control characters escaped).
std::string FormatDetectionText(const Detection& d);
// The JSON line of a detection: its keys in a fixed order, numbers to six decimals, names that
// are not UTF-8 with the bad bytes replaced.
std::string FormatDetectionJson(const Detection& d);
// A number as the JSON line gives it: rounded to six decimals (0.312346, not every digit of a
// float).
double SixDecimals(double x);

// A station's status line: its time (UTC), the station (none for the monitor as a whole), the
// event, then the event's own fields in their order.
std::string FormatStatusJson(double wallSeconds, const std::string& label, const std::string& event,
                             const nlohmann::ordered_json& fields);

}  // namespace sigpat

#endif
