// sigpat and the decision layer: the detector is the default rule and --decision library gives the
// library's own; create --speed makes speed variants that a scan reports as one pattern;
// calibrate writes the sidecar calibrations beside the patterns; the self calibration of each
// pattern is kept in a cache for the next process.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "synth.h"
#include "sigpat_runner.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using sptest::TempDir;
namespace synth = sigpat::synth;

// The clip as tone steps; speed > 1 plays it that much faster (higher and shorter).
std::vector<float> Clip(double speed = 1.0) {
  const double f[] = {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794, 698, 1760};
  std::vector<std::vector<double>> chords;
  for (double x : f) chords.push_back({x * speed});
  return synth::ToneSteps(chords, 0.15 / speed, 0.5);
}

class Decision : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    ASSERT_TRUE(synth::WriteAudioFile(File("clip.wav"), Clip(), 44100, 1, wav));
    // Two occurrences: the clip itself at 3 s, played 3 % fast at 12 s.
    std::vector<float> stream = synth::WhiteNoise(20 * 44100, 0.02, 31);
    synth::MixInto(stream, Clip(), 3 * 44100);
    synth::MixInto(stream, Clip(1.03), 12 * 44100);
    ASSERT_TRUE(synth::WriteAudioFile(File("stream.wav"), stream, 44100, 1, wav));
    ASSERT_TRUE(synth::WriteAudioFile(File("background.wav"), synth::SpeechLike(20 * 44100, 0.3, 33), 44100, 1, wav));
  }
};


TEST_F(Decision, SpeedVariantsAreOnePatternAndTheRulesAreNamed) {
  TempDir patterns;
  const std::string stem = patterns.File("jingle");
  RunResult made = Run("create " + File("clip.wav") + " --speed 1.5,3 -o " + stem);
  ASSERT_EQ(made.status, 0) << made.err;
  const std::vector<std::string> expected = {stem + ".tvs", stem + ".speed+1.5.tvs", stem + ".speed-1.5.tvs",
                                             stem + ".speed+3.tvs", stem + ".speed-3.tvs"};
  ASSERT_EQ(made.outLines(), expected);
  EXPECT_EQ(Run("create " + File("clip.wav") + " --speed 0 -o " + patterns.File("x")).status, 2);

  // Naming the pattern alone brings its variants in: two occurrences, two reports, the fast one
  // naming the +3 % variant and the group's pattern.
  std::vector<json> found = ScanJson("-p " + stem + ".tvs " + File("stream.wav"));
  ASSERT_EQ(found.size(), 2u);
  for (const json& d : found) {
    EXPECT_EQ(d["rule"], "detector");
    EXPECT_EQ(d["group"], 0);
    EXPECT_GT(d["confidence"].get<double>(), 0.3);
    EXPECT_LT(d["distance"].get<double>(), d["threshold"].get<double>());
  }
  EXPECT_NEAR(found[0]["begin_s"].get<double>(), 3.0, 0.02);
  EXPECT_EQ(found[0]["file"], stem + ".tvs");
  EXPECT_EQ(found[0]["speed"], 0.0);
  EXPECT_NEAR(found[1]["begin_s"].get<double>(), 12.0, 0.02);
  EXPECT_EQ(found[1]["file"], stem + ".speed+3.tvs");
  EXPECT_EQ(found[1]["speed"], 3.0);

  // Deciding alone (the library's comparisons off): the same detections, without its deviations.
  std::vector<json> alone = ScanJson("--no-rel-dev -p " + stem + ".tvs " + File("stream.wav"));
  ASSERT_EQ(alone.size(), found.size());
  for (std::size_t k = 0; k < found.size(); ++k) {
    for (const char* key : {"begin", "file", "distance", "threshold"}) EXPECT_EQ(alone[k][key], found[k][key]) << key;
    EXPECT_EQ(alone[k]["rel_dev"], 2.0);
  }
  EXPECT_EQ(Run("scan --decision library --no-rel-dev -p " + stem + ".tvs " + File("stream.wav")).status, 2);

  // The text line shows the confidence and the variant.
  RunResult text = Run("scan -p " + stem + ".tvs " + File("stream.wav"));
  ASSERT_EQ(text.outLines().size(), 2u);
  EXPECT_NE(text.outLines()[0].find("confidence"), std::string::npos) << text.out;
  EXPECT_NE(text.outLines()[1].find("speed +3 %"), std::string::npos) << text.out;

  // The library's rule, unchanged: its own fields, no confidence, variants not added.
  std::vector<json> library = ScanJson("--decision library -p " + stem + ".tvs " + File("stream.wav"));
  ASSERT_FALSE(library.empty());
  for (const json& d : library) {
    EXPECT_EQ(d["rule"], "library");
    EXPECT_FALSE(d.contains("confidence"));
    EXPECT_EQ(d["pattern"], 0);
  }
  EXPECT_EQ(ScanJson("--rule library -p " + stem + ".tvs " + File("stream.wav")), library);
  EXPECT_EQ(Run("scan --decision nonsense -p " + stem + ".tvs " + File("stream.wav")).status, 2);
}

TEST_F(Decision, CalibrateWritesSidecarsBesideThePatterns) {
  TempDir patterns;
  const std::string stem = patterns.File("jingle");
  ASSERT_EQ(Run("create " + File("clip.wav") + " --speed 3 -o " + stem).status, 0);
  const std::uint64_t before = sptest::Fnv1a(sptest::ReadAll(stem + ".tvs"));

  RunResult cal = Run("calibrate -p " + stem + ".tvs " + File("background.wav"));
  ASSERT_EQ(cal.status, 0) << cal.err;
  std::vector<std::string> lines = cal.outLines();
  ASSERT_EQ(lines.size(), 3u) << cal.out;  // the pattern and its two variants
  EXPECT_EQ(lines[0].rfind(stem + ".tvs.cal  closest ", 0), 0u) << lines[0];
  // 20 s of background and the few blocks of silence that flush the end of the input.
  EXPECT_NE(lines[0].find("  20.1 s of background"), std::string::npos) << lines[0];
  const std::string side = ReadText(stem + ".tvs.cal");
  EXPECT_NE(side.find("signalpattern-calibration 1"), std::string::npos);
  EXPECT_NE(side.find("threshold "), std::string::npos);
  EXPECT_FALSE(ReadText(stem + ".speed-3.tvs.cal").empty());
  EXPECT_EQ(sptest::Fnv1a(sptest::ReadAll(stem + ".tvs")), before);  // the pattern file is untouched

  // The calibrated patterns still find both occurrences.
  EXPECT_EQ(ScanJson("-p " + stem + ".tvs " + File("stream.wav")).size(), 2u);

  EXPECT_EQ(Run("calibrate -p " + stem + ".tvs -").status, 2);
  EXPECT_EQ(Run("calibrate -p " + stem + ".tvs " + File("missing.wav")).status, 1);
}

// A later process takes each pattern's self calibrations (the level distance's, selfcal/, and the
// shape distance's, shapecal/) from the cache as they are (the same detections as calibrating
// anew, the entries not written again); an entry damaged, copied from another pattern or made for
// an earlier pattern file is never used, and a cache that cannot be made changes nothing.
TEST_F(Decision, SelfCalibrationCacheGivesTheCalibratedValuesOrIsIgnored) {
  TempDir dir;
  const std::string a = dir.File("a.tvs"), b = dir.File("b.tvs"), cache = dir.File("cache");
  const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::vector<float> reversed = Clip();  // a pattern of the same length
  std::reverse(reversed.begin(), reversed.end());
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("other.wav"), reversed, 44100, 1, wav));
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("slow.wav"), Clip(0.7), 44100, 1, wav));
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + a).status, 0);
  ASSERT_EQ(Run("create " + dir.File("other.wav") + " -o " + b).status, 0);
  auto scan = [&](const std::string& cacheDir) {
    RunResult r = Shell("SIGNALPATTERN_CACHE=" + cacheDir + " " + SIGPAT_EXE + " scan --json -p " + a + " -p " + b +
                        " " + File("stream.wav"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  };
  struct Entry {
    std::string text;
    ino_t inode;
  };
  // Each kind of entry and the field a damaged entry has a digit of changed.
  const std::pair<std::string, std::string> kinds[] = {{"selfcal", "threshold "}, {"shapecal", "negative "}};
  auto entries = [&](const std::string& kind) {
    std::map<std::string, Entry> e;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(cache + "/" + kind, ec)) {
      struct stat st {};
      stat(f.path().c_str(), &st);
      e[f.path().string()] = Entry{ReadText(f.path().string()), st.st_ino};
    }
    return e;
  };
  const std::string computed = scan("off");
  EXPECT_EQ(computed.empty(), false);
  EXPECT_EQ(scan(cache), computed);  // written
  std::map<std::string, std::map<std::string, Entry>> written;
  for (const auto& [kind, field] : kinds) {
    written[kind] = entries(kind);
    ASSERT_EQ(written[kind].size(), 2u) << kind;
  }
  EXPECT_EQ(scan(cache), computed);  // read
  for (const auto& [kind, field] : kinds)
    for (const auto& [name, e] : entries(kind)) EXPECT_EQ(e.inode, written[kind].at(name).inode) << name << " written again";

  // In each kind, one entry with a digit of a value changed, the other a copy of the first.
  for (const auto& [kind, field] : kinds) {
    const auto& w = written[kind];
    const std::string first = w.begin()->first, second = std::next(w.begin())->first;
    std::string damaged = w.at(first).text;
    const std::size_t digit = damaged.find(field) + field.size();
    damaged[digit] = damaged[digit] == '3' ? '4' : '3';
    std::ofstream(first, std::ios::binary) << damaged;
    std::ofstream(second, std::ios::binary) << w.at(first).text;
  }
  EXPECT_EQ(scan(cache), computed);
  for (const auto& [kind, field] : kinds)
    for (const auto& [name, e] : entries(kind)) EXPECT_EQ(e.text, written[kind].at(name).text) << name << " not made again";

  // Pattern a made again from other sound: its new self calibrations, the old entries left alone.
  ASSERT_EQ(Run("create " + dir.File("slow.wav") + " -o " + a).status, 0);
  const std::string again = scan("off");
  EXPECT_NE(again, computed);
  EXPECT_EQ(scan(cache), again);
  for (const auto& [kind, field] : kinds) EXPECT_EQ(entries(kind).size(), 3u) << kind;
  EXPECT_EQ(scan(a), again);  // the cache "directory" is a file
}

// An ident: a sting of tone steps with a voice over its middle; `voice` picks the words.
std::vector<float> Ident(std::uint64_t voice) {
  std::vector<float> ident = Clip();
  synth::MixInto(ident, synth::SpeechLike(static_cast<std::size_t>(1.2 * 44100), 0.5, voice), 44100 / 2);
  return ident;
}

TEST_F(Decision, DetailPrintTellsAnIdentFromTheSameStingWithAnotherVoice) {
  TempDir dir;
  const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("ident.wav"), Ident(41), 44100, 1, wav));
  std::vector<float> stream = synth::WhiteNoise(20 * 44100, 0.02, 43);
  synth::MixInto(stream, Ident(41), 3 * 44100, 0.7);   // the ident, quieter
  synth::MixInto(stream, Ident(42), 12 * 44100);       // the other station's
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("air.wav"), stream, 44100, 1, wav));
  const std::string pattern = dir.File("ident.tvs");
  ASSERT_EQ(Run("create " + dir.File("ident.wav") + " -o " + pattern).status, 0);
  ASSERT_FALSE(ReadText(pattern + ".detail").empty());

  const auto begins = [&](const std::string& options) {
    std::vector<double> at;
    for (const json& d : ScanJson(options + " -p " + pattern + " " + dir.File("air.wav"))) at.push_back(d["begin"].get<double>() / 44100.0);
    return at;
  };
  const std::vector<double> checked = begins(""), unchecked = begins("--no-detail-check");
  ASSERT_EQ(unchecked.size(), 2u) << "the eight bands alone take the other voice for the ident";
  ASSERT_EQ(checked.size(), 1u);
  EXPECT_NEAR(checked[0], 3.0, 0.05);

  // Talked over louder than the ident itself, the eight bands put both beyond the threshold; the
  // print confirms the ident, not the other voice.
  synth::MixInto(stream, synth::SpeechLike(4 * 44100, 1.9, 77), 5 * 44100 / 2);
  synth::MixInto(stream, synth::SpeechLike(4 * 44100, 1.9, 78), 23 * 44100 / 2);
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("talked.wav"), stream, 44100, 1, wav));
  EXPECT_TRUE(ScanJson("--no-detail-check -p " + pattern + " " + dir.File("talked.wav")).empty());
  const std::vector<json> talked = ScanJson("-p " + pattern + " " + dir.File("talked.wav"));
  ASSERT_EQ(talked.size(), 1u);
  EXPECT_NEAR(talked[0]["begin"].get<double>() / 44100.0, 3.0, 0.05);
  EXPECT_EQ(talked[0]["match"], "level+detail");
  EXPECT_GT(talked[0]["distance"].get<double>(), talked[0]["threshold"].get<double>());

  // A print that does not belong to its pattern file is ignored, with a warning naming it.
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + dir.File("other.tvs")).status, 0);
  std::rename(dir.File("other.tvs.detail").c_str(), (pattern + ".detail").c_str());
  RunResult stale = Run("scan -p " + pattern + " " + dir.File("air.wav"));
  EXPECT_EQ(stale.status, 0);
  EXPECT_NE(stale.err.find(pattern + ".detail: made for another pattern file; ignored"), std::string::npos) << stale.err;
  EXPECT_EQ(stale.outLines().size(), 2u);
  EXPECT_NE(Run("info " + pattern).out.find("detail print:   " + pattern + ".detail: made for another pattern file; ignored"),
            std::string::npos);
  { std::ofstream(pattern + ".detail") << "not a print"; }
  EXPECT_NE(Run("scan -p " + pattern + " " + dir.File("air.wav")).err.find(pattern + ".detail: not a detail print; ignored"),
            std::string::npos);
}

}  // namespace
