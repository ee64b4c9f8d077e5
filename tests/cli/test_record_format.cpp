// The output records: a detection's JSON and text lines and a station's status line, built by
// hand and compared whole, so that a key, its order, a rounding or an escape that changes is
// seen here first.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "record_format.h"

namespace {

using sigpat::Detection;

Detection LibraryDetection() {
  Detection d;
  d.report.Pattern = 1;
  d.report.Begin = 44100;
  d.report.End = 132300;
  d.report.RelDev = 0.1234567f;
  d.report.RelDevMpb = 0.25f;
  d.input = "in.wav";
  d.file = "p/jingle.tvs";
  d.name = "jingle.tvs";
  d.beginSeconds = 1.0;
  d.endSeconds = 3.0;
  d.rule = "library";
  return d;
}

Detection DetectorDetection() {
  Detection d = LibraryDetection();
  d.rule = "detector";
  d.report.Group = 0;
  d.report.SpeedPercent = 1.5f;
  d.report.Score = 0.2f;
  d.report.Threshold = 0.5f;
  d.report.Confidence = 0.6f;
  d.report.Method = 0;
  d.report.Seen = 0.75f;
  d.runnerUp = "jingle-b.tvs";
  d.report.Margin = 0.125f;
  return d;
}

TEST(RecordFormat, DetectionJsonLinesHaveTheirKeysInOrderWithSixDecimals) {
  EXPECT_EQ(sigpat::FormatDetectionJson(LibraryDetection()),
            R"({"input":"in.wav","file":"p/jingle.tvs","pattern":1,"name":"jingle.tvs","begin":44100,"end":132300,)"
            R"("begin_s":1.0,"end_s":3.0,"rel_dev":0.123457,"rel_dev_mpb":0.25,"rule":"library"})");
  EXPECT_EQ(sigpat::FormatDetectionJson(DetectorDetection()),
            R"({"input":"in.wav","file":"p/jingle.tvs","pattern":1,"name":"jingle.tvs","begin":44100,"end":132300,)"
            R"("begin_s":1.0,"end_s":3.0,"rel_dev":0.123457,"rel_dev_mpb":0.25,"rule":"detector","confidence":0.6,)"
            R"("distance":0.2,"threshold":0.5,"group":0,"speed":1.5,"match":"level","stretch":0.0,"seen":0.75,)"
            R"("runner_up":"jingle-b.tvs","margin":0.125})");

  // Wall-clock times come with their clock; an undecided report names its candidates.
  Detection d = DetectorDetection();
  d.beginWall = 1796601600.5;
  d.endWall = 1796601602.5;
  d.clock = "arrival";
  d.report.Undecided = 1;
  d.candidates = {"a.tvs", "b.tvs"};
  const nlohmann::json j = nlohmann::json::parse(sigpat::FormatDetectionJson(d));
  EXPECT_EQ(j["begin_utc"], "2026-12-07T00:00:00.500Z");
  EXPECT_EQ(j["clock"], "arrival");
  EXPECT_EQ(j["version"], "undecided");
  EXPECT_EQ(j["candidates"], nlohmann::json({"a.tvs", "b.tvs"}));
  EXPECT_FALSE(j.contains("runner_up"));

  // Names are bytes as given: what is not UTF-8 is replaced, the line stays valid JSON.
  d.input = "caf\xe9.wav";
  EXPECT_EQ(nlohmann::json::parse(sigpat::FormatDetectionJson(d))["input"], "caf\xef\xbf\xbd.wav");
}

// The lines are written from the key list: every key in the list's order, each exactly when its
// condition holds, a flag holding its field's name. A key renamed in the list is renamed in the
// line, and in the Python module's Detection (python/tests/test_module.py checks its fields).
TEST(RecordFormat, DetectionJsonLinesWriteEveryKeyOfTheListWhenItsConditionHolds) {
  using When = sigpat::DetectionKeyWhen;
  Detection undecided = DetectorDetection();
  undecided.beginWall = 1796601600.5;
  undecided.endWall = 1796601602.5;
  undecided.clock = "stream";
  undecided.report.Undecided = 1;
  undecided.candidates = {"a.tvs"};
  const std::pair<Detection, std::set<When>> cases[] = {
      {LibraryDetection(), {When::kAlways}},
      {DetectorDetection(), {When::kAlways, When::kDetector, When::kRanked}},
      {undecided, {When::kAlways, When::kWallClock, When::kDetector, When::kUndecided}}};
  std::set<std::string> written;
  for (const auto& [d, when] : cases) {
    std::vector<std::string> want, got;
    for (const sigpat::DetectionKey& k : sigpat::DetectionKeys())
      if (when.count(k.when) != 0) want.push_back(k.key);
    const nlohmann::ordered_json j = nlohmann::ordered_json::parse(sigpat::FormatDetectionJson(d));
    for (auto it = j.begin(); it != j.end(); ++it) {
      got.push_back(it.key());
      written.insert(it.key());
    }
    EXPECT_EQ(got, want) << d.rule;
  }
  for (const sigpat::DetectionKey& k : sigpat::DetectionKeys()) {
    EXPECT_EQ(written.count(k.key), 1u) << k.key;
    if (std::string(k.type) == "flag") {
      EXPECT_EQ(nlohmann::json::parse(sigpat::FormatDetectionJson(undecided))[k.key], k.field);
    }
  }
}

TEST(RecordFormat, DetectionTextLinesEscapeNamesAndShowWhatTheRuleMeasured) {
  EXPECT_EQ(sigpat::FormatDetectionText(LibraryDetection()),
            "in.wav  00:00:01.000 - 00:00:03.000  p/jingle.tvs  pattern 1  rel_dev 0.123  rel_dev_mpb 0.250");
  Detection d = DetectorDetection();
  d.input = "in\nput";
  EXPECT_EQ(sigpat::FormatDetectionText(d),
            "in\\x0Aput  00:00:01.000 - 00:00:03.000  p/jingle.tvs  pattern 1  confidence 0.60  distance 0.200 / 0.500"
            "  speed +1.5 %  partial 75 %  version over jingle-b.tvs by 0.12");
}

TEST(RecordFormat, StatusLinesPutTimeStationAndEventBeforeTheEventsFields) {
  nlohmann::ordered_json fields;
  fields["seconds"] = 2.5;
  fields["url"] = "http://127.0.0.1/x";
  EXPECT_EQ(sigpat::FormatStatusJson(1796601600.0, "radio", "dead_air", fields),
            R"({"time":"2026-12-07T00:00:00.000Z","station":"radio","event":"dead_air","seconds":2.5,"url":"http://127.0.0.1/x"})");
  // The monitor as a whole has no station.
  EXPECT_EQ(sigpat::FormatStatusJson(1796601600.0, "", "stopped", nlohmann::ordered_json::object()),
            R"({"time":"2026-12-07T00:00:00.000Z","event":"stopped"})");
}

}  // namespace
