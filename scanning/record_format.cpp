// The output records of scans and monitors: a detection as a text line and as a JSON line,
// and a station's status line. The keys of a detection's JSON line are named here: the store
// keeps the line as written, export prints it back, the Python module takes its fields from it.
#include "record_format.h"

#include <cmath>
#include <cstdio>

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
                  d.report.Method == 1 ? "shape" : "distance", static_cast<double>(d.report.Score),
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
  j["input"] = d.input;
  j["file"] = d.file;
  j["pattern"] = d.report.Pattern;
  j["name"] = d.name;
  j["begin"] = d.report.Begin;
  j["end"] = d.report.End;
  j["begin_s"] = SixDecimals(d.beginSeconds);
  j["end_s"] = SixDecimals(d.endSeconds);
  if (d.beginWall >= 0.0) {
    j["begin_utc"] = FormatUtc(d.beginWall);
    j["end_utc"] = FormatUtc(d.endWall);
    j["clock"] = d.clock;
  }
  j["rel_dev"] = SixDecimals(d.report.RelDev);
  j["rel_dev_mpb"] = SixDecimals(d.report.RelDevMpb);
  j["rule"] = d.rule;
  if (d.report.Confidence >= 0.0f) {
    // The detector's own measure: distance, the pattern's threshold, the confidence, and for
    // speed variants the group's pattern and the variant's speed change.
    j["confidence"] = SixDecimals(d.report.Confidence);
    j["distance"] = SixDecimals(d.report.Score);
    j["threshold"] = SixDecimals(d.report.Threshold);
    j["group"] = d.report.Group;
    j["speed"] = SixDecimals(d.report.SpeedPercent);
    j["match"] = d.Match();
    j["stretch"] = SixDecimals(d.report.Stretch);
    j["seen"] = SixDecimals(d.report.Seen);
    if (d.report.Undecided) {
      j["version"] = "undecided";
      j["candidates"] = d.candidates;
    } else if (!d.runnerUp.empty()) {
      j["runner_up"] = d.runnerUp;
      j["margin"] = SixDecimals(d.report.Margin);
    }
  }
  // Names are bytes as the user gave them: replace what is not UTF-8 rather than fail.
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
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
