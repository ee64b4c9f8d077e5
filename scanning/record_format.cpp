// The output records of scans and monitors: a detection as a text line and as a JSON line,
// and a station's status line. The keys of a detection's JSON line are named here alone (kKeys):
// the store keeps the line as written, export prints it back, the Python module builds its
// Detection type from the list.
#include "record_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "output.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

std::string Clock(double seconds) {
  if (seconds < 0) seconds = 0;
  long long ms = std::llround(seconds * 1000.0);
  char buf[48];
  std::snprintf(buf, sizeof(buf), "%02lld:%02lld:%02lld.%03lld", ms / 3600000, (ms / 60000) % 60, (ms / 1000) % 60,
                ms % 1000);
  return buf;
}

// Among versions: the runner-up and margin, or the candidates of an undecided airing.
std::string VersionText(const Detection& d) {
  if (d.report.Undecided) {
    std::string s = "  version undecided among";
    for (const std::string& c : d.candidates) s += " " + EscapeControl(c);
    return s;
  }
  if (d.runnerUp.empty()) return "";
  char margin[32];
  std::snprintf(margin, sizeof(margin), " by %.2f", static_cast<double>(d.report.Margin));
  return "  version over " + EscapeControl(d.runnerUp) + margin;
}

using Json = nlohmann::ordered_json;
using When = DetectionKeyWhen;

// A key of the JSON line and how its value is taken from the detection (none for a flag).
struct KeyWriter {
  DetectionKey key;
  Json (*value)(const Detection&);
};

// The keys of a detection's JSON line, in its order. Wall-clock times come with the clock they
// were read from. The detector's own measure: distance, the pattern's threshold, the confidence,
// and for speed variants the group's pattern and the variant's speed change. Among versions,
// either the closest other version and the margin, or that the report is undecided and its
// candidates, closest first.
const KeyWriter kKeys[] = {
    {{"input", nullptr, "str", When::kAlways}, [](const Detection& d) -> Json { return d.input; }},
    {{"file", nullptr, "str", When::kAlways}, [](const Detection& d) -> Json { return d.file; }},
    {{"pattern", nullptr, "int", When::kAlways}, [](const Detection& d) -> Json { return d.report.Pattern; }},
    {{"name", nullptr, "str", When::kAlways}, [](const Detection& d) -> Json { return d.name; }},
    {{"begin", nullptr, "int", When::kAlways}, [](const Detection& d) -> Json { return d.report.Begin; }},
    {{"end", nullptr, "int", When::kAlways}, [](const Detection& d) -> Json { return d.report.End; }},
    {{"begin_s", nullptr, "float", When::kAlways}, [](const Detection& d) -> Json { return SixDecimals(d.beginSeconds); }},
    {{"end_s", nullptr, "float", When::kAlways}, [](const Detection& d) -> Json { return SixDecimals(d.endSeconds); }},
    {{"begin_utc", nullptr, "str", When::kWallClock}, [](const Detection& d) -> Json { return FormatUtc(d.beginWall); }},
    {{"end_utc", nullptr, "str", When::kWallClock}, [](const Detection& d) -> Json { return FormatUtc(d.endWall); }},
    {{"clock", nullptr, "str", When::kWallClock}, [](const Detection& d) -> Json { return d.clock; }},
    {{"rel_dev", nullptr, "float", When::kAlways}, [](const Detection& d) -> Json { return SixDecimals(d.report.RelDev); }},
    {{"rel_dev_mpb", nullptr, "float", When::kAlways}, [](const Detection& d) -> Json { return SixDecimals(d.report.RelDevMpb); }},
    {{"rule", nullptr, "str", When::kAlways}, [](const Detection& d) -> Json { return d.rule; }},
    {{"confidence", nullptr, "float", When::kDetector}, [](const Detection& d) -> Json { return SixDecimals(d.report.Confidence); }},
    {{"distance", nullptr, "float", When::kDetector}, [](const Detection& d) -> Json { return SixDecimals(d.report.Score); }},
    {{"threshold", nullptr, "float", When::kDetector}, [](const Detection& d) -> Json { return SixDecimals(d.report.Threshold); }},
    {{"group", nullptr, "int", When::kDetector}, [](const Detection& d) -> Json { return d.report.Group; }},
    {{"speed", nullptr, "float", When::kDetector}, [](const Detection& d) -> Json { return SixDecimals(d.report.SpeedPercent); }},
    {{"match", nullptr, "str", When::kDetector}, [](const Detection& d) -> Json { return d.Match(); }},
    {{"stretch", nullptr, "float", When::kDetector}, [](const Detection& d) -> Json { return SixDecimals(d.report.Stretch); }},
    {{"seen", nullptr, "float", When::kDetector}, [](const Detection& d) -> Json { return SixDecimals(d.report.Seen); }},
    {{"runner_up", nullptr, "str", When::kRanked}, [](const Detection& d) -> Json { return d.runnerUp; }},
    {{"margin", nullptr, "float", When::kRanked}, [](const Detection& d) -> Json { return SixDecimals(d.report.Margin); }},
    {{"version", "undecided", "flag", When::kUndecided}, nullptr},
    {{"candidates", nullptr, "strs", When::kUndecided}, [](const Detection& d) -> Json { return d.candidates; }},
};

bool Present(When when, const Detection& d) {
  const bool detector = d.report.Confidence >= 0.0f;
  switch (when) {
    case When::kAlways: return true;
    case When::kWallClock: return d.beginWall >= 0.0;
    case When::kDetector: return detector;
    case When::kUndecided: return detector && d.report.Undecided != 0;
    case When::kRanked: return detector && d.report.Undecided == 0 && !d.runnerUp.empty();
  }
  return false;
}

}  // namespace

double SixDecimals(double x) { return std::round(x * 1e6) / 1e6; }

std::string FormatDetectionText(const Detection& d) {
  char values[160];
  if (d.report.Confidence >= 0.0f) {
    // The detector: its confidence and distance against the pattern's threshold, and the
    // speed change of a variant that matched.
    char speed[48] = "";
    if (d.report.SpeedPercent != 0.0f) std::snprintf(speed, sizeof(speed), "  speed %+g %%", static_cast<double>(d.report.SpeedPercent));
    else if (d.report.Stretch != 0.0f) std::snprintf(speed, sizeof(speed), "  played %+.1f %%", static_cast<double>(d.report.Stretch));
    char partial[32] = "";
    if (d.report.Seen < 1.0f) std::snprintf(partial, sizeof(partial), "  partial %.0f %%", 100.0 * d.report.Seen);
    std::snprintf(values, sizeof(values), "confidence %.2f  %s %.3f / %.3f%s%s%s", static_cast<double>(d.report.Confidence),
                  d.report.Method == DetectorReport::kShapeMethod ? "shape" : "distance", static_cast<double>(d.report.Score),
                  static_cast<double>(d.report.Threshold), d.report.Tentative ? " (confirmed in detail)" : "", speed, partial);
  } else {
    std::snprintf(values, sizeof(values), "rel_dev %.3f  rel_dev_mpb %.3f", static_cast<double>(d.report.RelDev),
                  static_cast<double>(d.report.RelDevMpb));
  }
  const std::string wall = d.beginWall >= 0.0 ? "  " + FormatUtc(d.beginWall) + " (" + d.clock + ")" : "";
  return EscapeControl(d.input) + "  " + Clock(d.beginSeconds) + " - " + Clock(d.endSeconds) + wall + "  " +
         EscapeControl(d.file) + "  pattern " + std::to_string(d.report.Pattern) + "  " + values + VersionText(d);
}

std::string FormatDetectionJson(const Detection& d) {
  nlohmann::ordered_json j;
  for (const KeyWriter& w : kKeys) {
    if (!Present(w.key.when, d)) continue;
    if (std::strcmp(w.key.type, "flag") == 0) j[w.key.key] = w.key.field;
    else j[w.key.key] = w.value(d);
  }
  // Names are bytes as the user gave them: replace what is not UTF-8 rather than fail.
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

const std::vector<DetectionKey>& DetectionKeys() {
  static const std::vector<DetectionKey> keys = [] {
    std::vector<DetectionKey> k;
    for (const KeyWriter& w : kKeys) k.push_back(w.key);
    return k;
  }();
  return keys;
}

std::string FormatStatusJson(double wallSeconds, const std::string& label, const std::string& event,
                             const nlohmann::ordered_json& fields) {
  nlohmann::ordered_json j;
  j["time"] = FormatUtc(wallSeconds);
  if (!label.empty()) j["station"] = label;
  j["event"] = event;
  for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace sigpat
