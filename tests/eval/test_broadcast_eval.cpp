// The broadcast evaluation's own logic: reading the corpus manifest (and refusing bad ones with
// a message naming the file and the problem), matching detections with the ground truth, the
// figures and the bounds checked in the test suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "broadcast_report.h"

namespace {

using speval::BroadcastFigures;
using speval::BroadcastManifest;

// Temporary folders of the test program, removed when it ends.
struct TempDirs {
  std::vector<std::string> made;
  ~TempDirs() {
    for (const std::string& d : made) std::filesystem::remove_all(d);
  }
} g_temp;

std::string TempDir() {
  char tmpl[] = "/tmp/sp_broadcast_XXXXXX";
  const char* d = mkdtemp(tmpl);
  if (d == nullptr) return "/tmp";
  g_temp.made.push_back(d);
  return d;
}

const char* kManifest = R"({
 "set": "dev", "quick": true,
 "clips": [{"name": "ident-a", "kind": "ident", "file": "clips/ident-a.wav", "samples": 200000},
           {"name": "advert-1", "kind": "advert", "file": "/abs/advert-1.wav", "samples": 800000}],
 "near_misses": [{"name": "ident-a~other", "kind": "ident", "near_miss_of": "ident-a",
                  "file": "clips/ident-a~other.wav", "samples": 200000}],
 "programmes": [
  {"file": "programmes/p00-clean.wav", "processing": "clean", "clip_free": false, "samples": 4410000,
   "insertions": [{"clip": "ident-a", "kind": "ident", "begin": 44100, "length": 200000, "talk_over_seconds": 1.5},
                  {"clip": "ident-a", "kind": "ident", "begin": 441000, "length": 200000, "talk_over_seconds": 0},
                  {"clip": "advert-1", "kind": "advert", "begin": 1323000, "length": 800000}],
   "near_misses": [{"clip": "ident-a~other", "kind": "ident", "near_miss_of": "ident-a", "begin": 882000,
                    "length": 200000}]},
  {"file": "programmes/free0.wav", "processing": "broadcast", "clip_free": true, "samples": 1323000,
   "insertions": [], "near_misses": []}]
})";

std::string WriteManifest(const std::string& text) {
  const std::string dir = TempDir();
  std::ofstream(dir + "/manifest.json") << text;
  return dir;
}

TEST(BroadcastManifest, ReadsClipsProgrammesAndTruthAndRefusesBadOnesNamingTheProblem) {
  const std::string dir = WriteManifest(kManifest);
  BroadcastManifest m;
  std::string error;
  ASSERT_TRUE(speval::ReadBroadcastManifest(dir, m, error)) << error;
  EXPECT_EQ(m.set, "dev");
  EXPECT_TRUE(m.quick);
  ASSERT_EQ(m.clips.size(), 2u);
  EXPECT_EQ(m.clips[0].file, dir + "/clips/ident-a.wav");
  EXPECT_EQ(m.clips[1].file, "/abs/advert-1.wav");
  ASSERT_EQ(m.nearMisses.size(), 1u);
  EXPECT_EQ(m.nearMisses[0].nearMissOf, "ident-a");
  ASSERT_EQ(m.programmes.size(), 2u);
  EXPECT_EQ(m.programmes[0].insertions.size(), 3u);
  EXPECT_DOUBLE_EQ(m.programmes[0].insertions[0].talkOverSeconds, 1.5);
  EXPECT_EQ(m.programmes[0].nearMisses[0].nearMissOf, "ident-a");
  EXPECT_TRUE(m.programmes[1].clipFree);

  const std::string good = kManifest;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const struct {
    std::string text, problem;
  } bad[] = {
      {"{ not json", "parse error"},
      {replaced("\"set\": \"dev\",", ""), "field \"set\" missing"},
      {replaced("\"samples\": 4410000", "\"samples\": \"many\""), "programmes[0]: field \"samples\""},
      {replaced("{\"clip\": \"advert-1\"", "{\"clip\": \"advert-9\""), "unknown clip \"advert-9\""},
      {replaced("\"begin\": 1323000", "\"begin\": 4000000"), "advert-1 lies outside its programme"},
      {replaced("\"clip\": \"ident-a~other\"", "\"clip\": \"ident-a\""), "unknown clip \"ident-a\""},
  };
  for (const auto& b : bad) {
    const std::string d = WriteManifest(b.text);
    BroadcastManifest ignored;
    EXPECT_FALSE(speval::ReadBroadcastManifest(d, ignored, error)) << b.problem;
    EXPECT_NE(error.find(d + "/manifest.json: "), std::string::npos) << error;
    EXPECT_NE(error.find(b.problem), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  EXPECT_FALSE(speval::ReadBroadcastManifest(dir + "/absent", m, error));
  EXPECT_NE(error.find("/absent/manifest.json: cannot open"), std::string::npos) << error;
}

sigpat::Detection At(int pattern, double seconds, double length = 4.5) {
  sigpat::Detection d;
  d.report.Pattern = pattern;
  d.report.Begin = static_cast<std::int64_t>(seconds * 44100.0);
  d.report.End = d.report.Begin + static_cast<std::int64_t>(length * 44100.0);
  return d;
}

TEST(BroadcastScore, MatchesWithinTheToleranceAndSortsEveryFalseDetection) {
  BroadcastManifest m;
  std::string error;
  ASSERT_TRUE(speval::ReadBroadcastManifest(WriteManifest(kManifest), m, error)) << error;
  speval::BroadcastOptions o;
  o.keepDetails = true;
  const std::vector<int> clipOfFile = {0, 1, 0};  // the third file: a speed variant of ident-a
  BroadcastFigures f;
  // Given out of order: matching goes by position.
  speval::ScoreProgramme(m, m.programmes[0],
                         {At(0, 10.4),                 // ident-a 0.4 s after its second insertion: misplaced
                          At(2, 1.1),                  // the variant, 0.1 s after the first: found
                          At(0, 1.2),                  // the same insertion again: a repeat
                          At(0, 20.0),                 // over the near miss of ident-a
                          At(1, 40.0, 18.0),           // advert-1 where nothing is
                          At(1, 30.0 + 0.2, 18.0)},    // advert-1 0.2 s late: found
                         clipOfFile, o, f);
  speval::ScoreProgramme(m, m.programmes[1], {At(0, 5.0)}, clipOfFile, o, f);
  EXPECT_EQ(f.detections, 7);
  EXPECT_EQ(f.truePositives, 2);
  EXPECT_EQ(f.repeats, 1);
  EXPECT_EQ(f.misplaced, 1);
  EXPECT_EQ(f.nearMissReports, 1);
  EXPECT_EQ(f.elsewhere, 1);
  EXPECT_EQ(f.clipFreeReports, 1);
  EXPECT_EQ(f.nearMissesPresent, 1);
  EXPECT_EQ(f.all.inserted, 3);
  EXPECT_EQ(f.all.found, 2);
  EXPECT_EQ(f.byClipKind["ident"].found, 1);
  EXPECT_EQ(f.byClipKind["advert"].found, 1);
  EXPECT_EQ(f.byProcessing["clean"].inserted, 3);
  EXPECT_EQ(f.talkOver.inserted, 1);
  EXPECT_EQ(f.talkOver.found, 1);
  EXPECT_NEAR(f.MedianTimingMs(), 150.0, 0.1);
  ASSERT_EQ(f.misses.size(), 1u);
  EXPECT_NE(f.misses[0].find("ident-a at 10.000 s"), std::string::npos) << f.misses[0];
  EXPECT_EQ(f.falses.size(), 5u);

  // A wider tolerance takes the misplaced detection as the second insertion.
  BroadcastFigures wide;
  o.toleranceSeconds = 0.5;
  speval::ScoreProgramme(m, m.programmes[0], {At(0, 10.4)}, clipOfFile, o, wide);
  EXPECT_EQ(wide.truePositives, 1);
}

TEST(BroadcastReport, BoundsAndJsonCarryTheSameFigures) {
  BroadcastFigures f;
  f.rule = "detector";
  f.all = {10, 8};
  f.byProcessing["multiband"] = {4, 1};
  f.byClipKind["ident"] = {6, 6};
  f.detections = 9;
  f.truePositives = 8;
  f.nearMissReports = 1;
  f.clipFreeReports = 1;
  f.clipFreeSeconds = 1800;
  f.timingMs = {1, 2, 30};
  f.audioSeconds = 600;
  f.scanSeconds = 2;

  speval::BroadcastBounds met;
  met.minRecall = 0.8;
  met.minPrecision = 0.85;
  met.maxNearMisses = 1;
  met.maxMedianMs = 2;
  met.minRtf = 300;
  met.minRecallOf = {{"multiband", 0.25}, {"ident", 1.0}};
  EXPECT_EQ(speval::CheckBroadcastBounds(f, met), 0);
  speval::BroadcastBounds missed;
  missed.minRecall = 0.81;
  missed.maxClipFree = 0;
  missed.minRecallOf = {{"multiband", 0.3}, {"telephone", 0.1}};  // telephone: not in the corpus
  EXPECT_EQ(speval::CheckBroadcastBounds(f, missed), 4);

  const nlohmann::json j = nlohmann::json::parse(speval::BroadcastJson("dev", true, 0.25, {f}));
  const nlohmann::json& r = j["rules"][0];
  EXPECT_EQ(j["set"], "dev");
  EXPECT_EQ(r["rule"], "detector");
  EXPECT_DOUBLE_EQ(r["recall"].get<double>(), 0.8);
  EXPECT_DOUBLE_EQ(r["precision"].get<double>(), 8.0 / 9.0);
  EXPECT_DOUBLE_EQ(r["false_per_hour_clip_free"].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(r["median_timing_ms"].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(r["real_time_factor"].get<double>(), 300.0);
  EXPECT_EQ(r["by_processing"]["multiband"]["found"], 1);
  EXPECT_EQ(r["false"]["near_misses"], 1);
}

}  // namespace
