// The output records of scans and monitors, one formatter for each: a detection as the text
// line and the JSON line sigpat prints (the store keeps the JSON line, export prints it back,
// the Python module reads its fields from it), and a station's status line.
#ifndef SIGPAT_RECORD_FORMAT_H
#define SIGPAT_RECORD_FORMAT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scanner.h"

namespace sigpat {

// The text line of a detection (names with control characters escaped).
std::string FormatDetectionText(const Detection& d);
// The JSON line of a detection: its keys in the order of DetectionKeys(), numbers to six
// decimals, names that are not UTF-8 with the bad bytes replaced.
std::string FormatDetectionJson(const Detection& d);

// When a key of the JSON line is there: always; with wall-clock times; with the detector's own
// measure (its confidence); an undecided report among versions; a report with a runner-up
// version (decided). Undecided and ranked keys come only with the detector's.
enum class DetectionKeyWhen { kAlways, kWallClock, kDetector, kUndecided, kRanked };

// One key of a detection's JSON line. type says what its value is: "str", "int", "float",
// "strs" (a list of names) or "flag": a key present only when its condition holds, whose value
// is its field's name. field names the value for the Python module's Detection (null: the key
// itself); wall-clock keys have none there.
struct DetectionKey {
  const char* key;
  const char* field;
  const char* type;
  DetectionKeyWhen when;
};

// Every key of the JSON line, in the line's order: the formatter writes the line from this
// list and the Python module builds its Detection type from it, so a key is named here alone.
const std::vector<DetectionKey>& DetectionKeys();
// A number as the JSON line gives it: rounded to six decimals (0.312346, not every digit of a
// float).
double SixDecimals(double x);

// A station's status line: its time (UTC), the station (none for the monitor as a whole), the
// event, then the event's own fields in their order.
std::string FormatStatusJson(double wallSeconds, const std::string& label, const std::string& event,
                             const nlohmann::ordered_json& fields);

}  // namespace sigpat

#endif
