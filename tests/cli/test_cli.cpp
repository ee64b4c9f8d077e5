// The sigpat tool end to end: audio files are generated here (WAV and FLAC through libsndfile,
// raw PCM for standard input), patterns are made with `sigpat create` and found with
// `sigpat scan`; bad input must give a one-line error and the right exit status.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_audio.h"
#include "synth.h"
#include "sigpat_runner.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using sptest::TempDir;
namespace synth = sigpat::synth;

// Linear interpolation to another rate (the test signals lie far below both Nyquist limits).
std::vector<float> Resample(const std::vector<float>& x, double from, double to) {
  std::vector<float> y(static_cast<std::size_t>(static_cast<double>(x.size()) * to / from));
  for (std::size_t i = 0; i < y.size(); ++i) {
    double t = static_cast<double>(i) * from / to;
    std::size_t k = static_cast<std::size_t>(t);
    double f = t - static_cast<double>(k);
    float a = x[std::min(k, x.size() - 1)], b = x[std::min(k + 1, x.size() - 1)];
    y[i] = static_cast<float>(a + (b - a) * f);
  }
  return y;
}

// Left: the signal; right: other noise only.
std::vector<float> StereoLeftOnly(const std::vector<float>& left, std::uint64_t seed) {
  std::vector<float> right = synth::WhiteNoise(left.size(), 0.02, seed);
  std::vector<float> out(2 * left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    out[2 * i] = left[i];
    out[2 * i + 1] = right[i];
  }
  return out;
}

void WriteRawS16(const std::string& path, const std::vector<float>& interleaved) {
  std::vector<unsigned char> bytes;
  for (float v : interleaved) {
    long s = std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
    bytes.push_back(static_cast<unsigned char>(s & 0xFF));
    bytes.push_back(static_cast<unsigned char>((s >> 8) & 0xFF));
  }
  sptest::WriteAll(path, bytes);
}

// Shared files: made once per test program run.
class Cli : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    const std::vector<float> mono = Stream(16, {kClipAt}, 3);
    const std::vector<float> stereo48 = StereoLeftOnly(Resample(Stream(16, {kClipAt}, 4), 44100, 48000), 5);
    ASSERT_TRUE(synth::WriteAudioFile(File("clip.wav"), Clip(), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("mono.wav"), mono, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("mono.flac"), mono, 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("mono24.wav"), mono, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24));
    ASSERT_TRUE(synth::WriteAudioFile(File("monofloat.wav"), mono, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_TRUE(synth::WriteAudioFile(File("stereo48.wav"), stereo48, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("stereo48.flac"), stereo48, 48000, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("noise.wav"), synth::WhiteNoise(10 * 44100, 0.02, 9), 44100, 1,
                                      SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    WriteRawS16(File("mono.raw"), mono);
    WriteRawS16(File("stereo48.raw"), stereo48);
    RunResult r = Run("create " + File("clip.wav"));
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, File("clip.tvs") + "\n");
  }
};


// One detection of the clip at kClipAt.
void ExpectClipFound(const std::vector<json>& found, const std::string& what) {
  ASSERT_EQ(found.size(), 1u) << what;
  EXPECT_NEAR(found[0]["begin_s"].get<double>(), kClipAt, 0.05) << what;
  EXPECT_EQ(found[0]["pattern"].get<int>(), 0) << what;
}

TEST_F(Cli, CreateThenScanFindsTheClipInEveryFormatFromFilesAndStandardInput) {
  const std::string p = "-p " + File("clip.tvs") + " ";
  for (const char* name : {"mono.wav", "mono.flac", "mono24.wav", "monofloat.wav", "stereo48.wav", "stereo48.flac"})
    ExpectClipFound(ScanJson(p + File(name)), name);
  ExpectClipFound(ScanJson(p + "-", File("mono.raw")), "raw 44100 Hz mono on stdin");
  ExpectClipFound(ScanJson(p + "--rate 48000 --channels 2 -", File("stereo48.raw")), "raw 48000 Hz stereo on stdin");

  // Channel choice: the clip is only in the left channel.
  ExpectClipFound(ScanJson(p + "--channel 1 " + File("stereo48.flac")), "left channel");
  EXPECT_TRUE(ScanJson(p + "--channel 2 " + File("stereo48.flac")).empty());
  EXPECT_TRUE(ScanJson(p + File("noise.wav")).empty());

  // A pattern cut out of a stream by sample positions finds its own place in the stream and in
  // the same stream at another rate; -o without the extension gets ".tvs".
  const long begin = std::lround(kClipAt * 44100), end = begin + 2 * 44100 - 1;
  RunResult r = Run("create " + File("mono.flac") + " --begin " + std::to_string(begin) + " --end " +
                    std::to_string(end) + " -o " + File("cut"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, File("cut.tvs") + "\n");
  ExpectClipFound(ScanJson("-p " + File("cut.tvs") + " " + File("mono.wav")), "cut pattern");
  ExpectClipFound(ScanJson("-p " + File("cut.tvs") + " " + File("stereo48.wav")), "cut pattern, 48 kHz");

#ifdef SIGPAT_FFMPEG_MODULE
  // What libsndfile reads never loads FFmpeg's libraries (about half of a short scan's time);
  // a file it does not read does, to be tried by FFmpeg.
  auto loadsFfmpeg = [](const std::string& args) {
    return Shell("LD_DEBUG=files " + std::string(SIGPAT_EXE) + " " + args + " </dev/null").err.find("libavformat") !=
           std::string::npos;
  };
  EXPECT_FALSE(loadsFfmpeg("scan " + p + File("mono.wav") + " " + File("stereo48.flac")));
  EXPECT_TRUE(loadsFfmpeg("scan " + p + File("clip.tvs")));
#endif
}

TEST_F(Cli, JsonAndTextLinesCarryTheDetection) {
  const std::string pattern = File("clip.tvs");
  std::vector<json> found = ScanJson("-p " + pattern + " " + File("mono.wav"));
  ASSERT_EQ(found.size(), 1u);
  const json& d = found[0];
  EXPECT_EQ(d["input"], File("mono.wav"));
  EXPECT_EQ(d["file"], pattern);
  EXPECT_EQ(d["name"], "clip.tvs");
  EXPECT_EQ(d["rule"], "detector");  // the default rule
  EXPECT_GT(d["confidence"].get<double>(), 0.5);
  const std::int64_t begin = d["begin"], end = d["end"];
  EXPECT_NEAR(d["begin_s"].get<double>(), static_cast<double>(begin) / 44100.0, 1e-6);
  EXPECT_NEAR(d["end_s"].get<double>(), static_cast<double>(end) / 44100.0, 1e-6);
  // The detection spans the pattern: 2.4 s is 183 whole time blocks of 576 samples.
  EXPECT_EQ(end - begin, 183 * 576);
  EXPECT_GE(d["rel_dev"].get<double>(), 0.0);
  EXPECT_LT(d["rel_dev"].get<double>(), 0.9);
  EXPECT_TRUE(d["rel_dev_mpb"].is_number());

  // The threshold is passed on to the library's rule: nothing passes a tiny one.
  EXPECT_TRUE(ScanJson("--decision library --threshold 0.001 -p " + pattern + " " + File("mono.wav")).empty());

  RunResult text = Run("scan -p " + pattern + " " + File("mono.wav"));
  ASSERT_EQ(text.status, 0) << text.err;
  ASSERT_EQ(text.outLines().size(), 1u);
  EXPECT_NE(text.out.find("00:00:07.3"), std::string::npos) << text.out;  // the clip is at 7.3 s
  EXPECT_NE(text.out.find(pattern), std::string::npos);
  EXPECT_EQ(text.err, "");  // no progress bar when stderr is not a terminal

  // -v shows the library's lines (UTF-8) on stderr, --quiet does not change the detections.
  RunResult verbose = Run("scan -v -p " + pattern + " " + File("mono.wav"));
  EXPECT_NE(verbose.err.find("образец 0, clip.tvs"), std::string::npos) << verbose.err;
  EXPECT_EQ(Run("scan --quiet -p " + pattern + " " + File("mono.wav")).out, text.out);
}

TEST_F(Cli, ParallelJobsGiveTheSameDetectionsAsOneByOne) {
  const std::string args = "-p " + File("clip.tvs") + " " + File("mono.wav") + " " + File("stereo48.flac") + " " +
                           File("noise.wav") + " " + File("mono24.wav") + " " + File("stereo48.wav");
  RunResult one = Run("scan --json " + args);
  RunResult two = Run("scan --json -j 2 " + args);
  ASSERT_EQ(one.status, 0);
  ASSERT_EQ(two.status, 0);
  std::vector<std::string> a = one.outLines(), b = two.outLines();
  EXPECT_EQ(a.size(), 4u);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
  for (const auto& line : b) EXPECT_NO_THROW(json::parse(line)) << line;  // whole lines only
}

TEST_F(Cli, PatternsFromDirectoriesAndLists) {
  TempDir patterns;
  const std::string a = patterns.File("a.tvs"), b = patterns.File("b.tvs");
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + a).status, 0);
  ASSERT_EQ(Run("create " + File("mono.wav") + " --begin-sec 8 --end-sec 9.5 -o " + b).status, 0);
  std::vector<json> found = ScanJson("-p " + patterns.path() + " " + File("mono.wav"));
  ASSERT_EQ(found.size(), 2u);  // the clip (pattern 0) and the cut of its middle (pattern 1)
  std::sort(found.begin(), found.end(), [](const json& x, const json& y) { return x["pattern"] < y["pattern"]; });
  EXPECT_EQ(found[0]["file"], a);
  EXPECT_NEAR(found[0]["begin_s"].get<double>(), kClipAt, 0.05);
  EXPECT_EQ(found[1]["file"], b);
  EXPECT_NEAR(found[1]["begin_s"].get<double>(), 8.0, 0.05);

  // A list: comments and blank lines skipped, relative names taken from the list's directory.
  sptest::WriteAll(patterns.File("list.txt"), {'#', ' ', 'x', '\n', '\n', 'a', '.', 't', 'v', 's', '\n'});
  found = ScanJson("--patterns " + patterns.File("list.txt") + " " + File("mono.wav"));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["file"], a);
}

TEST_F(Cli, InfoPrintsThePatternAndDrawsIt) {
  RunResult r = Run("info " + File("clip.tvs") + " --png " + File("clip.png"));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* text : {"Nband 8, Nblock 183", "2.390 s", "source:         " /* then the path */, "band 7",
                           "(loudest)", "detector:       threshold "})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  EXPECT_EQ(r.out.find("plain:"), std::string::npos);
  EXPECT_NE(r.out.find("source:         " + File("clip.wav")), std::string::npos);
  EXPECT_NE(r.out.find("path:           " + File("clip.tvs")), std::string::npos);
  std::vector<unsigned char> png = sptest::ReadAll(File("clip.png"));
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  const std::uint32_t width = (png[16] << 24) | (png[17] << 16) | (png[18] << 8) | png[19];
  const std::uint32_t height = (png[20] << 24) | (png[21] << 16) | (png[22] << 8) | png[23];
  EXPECT_GT(width, 183u);       // at least a pixel per time block, plus axes
  EXPECT_GT(height, 8u * 32u);  // the 8 bands, plus axes
}

TEST_F(Cli, APlainPatternIsPointedOut) {
  // A lone 0.1 s beep is close to every beep of its band: create warns, info says why.
  std::vector<float> beep(4410);
  for (std::size_t i = 0; i < beep.size(); ++i)
    beep[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / 44100.0) *
                                 std::min(1.0, std::min(i, beep.size() - 1 - i) / 200.0));
  ASSERT_TRUE(synth::WriteAudioFile(File("beep.wav"), beep, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
  RunResult r = Run("create " + File("beep.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(File("beep.tvs") + ": a plain pattern"), std::string::npos) << r.err;
  r = Run("info " + File("beep.tvs"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("plain: similar sounds"), std::string::npos) << r.out;
}

// Bad input: the status, one error line naming the file and the problem (the library's own
// lines may follow, indented), never a crash.
TEST_F(Cli, BadInputGivesOneClearLineAndItsStatus) {
  TempDir bad, empty;
  sptest::WriteAll(bad.File("text.txt"), {'h', 'e', 'l', 'l', 'o', '\n'});
  sptest::WriteAll(bad.File("zero.wav"), {});
  ASSERT_TRUE(synth::WriteAudioFile(bad.File("nosamples.wav"), {}, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
  // A pattern with 4 bands: loads on its own, but the set-up refuses a set of mixed band counts.
  {
    std::vector<unsigned char> p = sptest::ReadAll(File("clip.tvs"));
    const std::uint32_t nblock = sptest::U32At(p, 12);
    std::vector<unsigned char> q;
    auto take = [&](std::size_t from, std::size_t n) {
      for (std::size_t k = 0; k < n; ++k) q.push_back(p.at(from + k));
    };
    take(0, 56);
    q[8] = 4;
    // Four band levels, then the first four bands of every block, then the name sections.
    take(56, 16);
    for (std::uint32_t t = 0; t < nblock; ++t) take(88 + 32 * t, 16);
    take(88 + 32 * nblock, p.size() - (88 + 32 * nblock));
    sptest::WriteAll(bad.File("four.tvs"), q);
  }
  const std::string clip = File("clip.tvs"), wav = File("mono.wav");
  struct Case {
    std::string args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"scan -p " + clip + " " + bad.File("missing.wav"), 1, bad.File("missing.wav") + ": No such file or directory"},
      {"scan -p " + clip + " " + bad.path(), 1, bad.path() + ": is a directory"},
      {"scan -p " + clip + " " + bad.File("text.txt"), 1, bad.File("text.txt") + ": not an audio file"},
      {"scan -p " + clip + " " + bad.File("zero.wav"), 1, bad.File("zero.wav") + ": is empty"},
      {"scan -p " + clip + " " + bad.File("nosamples.wav"), 1, bad.File("nosamples.wav") + ": holds no audio samples"},
      {"scan -p " + clip + " -", 1, "-: no audio samples arrived on standard input"},
      {"scan -p " + clip + " /dev/null", 1, "/dev/null: the stream ended before any audio arrived"},
      {"scan -p " + clip + " --channel 3 " + File("stereo48.wav"), 1, "channel 3 does not exist"},
      {"create " + wav + " --begin 5 --end 4", 2, wav + ": the interval 5..4 is reversed"},
      {"create " + wav + " --begin-sec 15 --end-sec 17", 1, wav + ": the interval 661500..749699 lies outside the file"},
      {"create " + wav + " --begin 100 --end 1000", 1, wav + ": the interval 100..1000 is too short"},
      {"create " + wav + " --begin-sec 20", 1,
       wav + ": the interval begins at 20.000 s, after the end of the audio (16.000 s)\n"},
      {"create " + bad.File("missing.wav"), 1, bad.File("missing.wav") + ": No such file or directory"},
      {"create " + File("clip.wav") + " -o " + bad.File("no/such/dir/x.tvs"), 1,
       "cannot write " + bad.File("no/such/dir/x.tvs") + ": No such file or directory"},
      {"scan -p " + bad.File("missing.tvs") + " " + wav, 1, bad.File("missing.tvs") + ": No such file or directory"},
      {"scan -p " + wav + " " + wav, 1, wav + ": not a pattern file"},
      {"scan -p " + empty.path() + " " + wav, 1, empty.path() + ": the directory holds no .tvs pattern files"},
      {"scan -p " + clip + " -p " + bad.File("four.tvs") + " " + wav, 1,
       "the library refused the pattern set: " + bad.File("four.tvs") + " has 4 frequency bands where " + clip +
           " has 8 (the patterns of a set must be made alike: make it again with 'sigpat create', or scan it apart)"},
      {"info " + wav, 1, wav + ": not a pattern file"},
      {"info " + bad.File("missing.tvs"), 1, bad.File("missing.tvs") + ": No such file or directory"},
      {"scan " + wav, 2, "no patterns given"},
      {"scan -p " + clip + " - -", 2, "standard input (-) can be scanned only once"},
      {"scan -p " + clip + " --jobs 0 " + wav, 2, "usage error"},
      {"scan -p " + clip + " --raw-format u8 -", 2, "usage error"},
      {"scan -p " + clip + " --begin 3 " + wav, 2, "usage error"},
      {"scan -p " + clip + " " + wav + " --decision", 2, "usage error: --decision needs a value"},
      {"scan -p " + clip + " --rate 48000 " + wav, 2, "--raw-format, --rate and --channels describe raw PCM on standard input"},
      {"create " + wav + " --begin 1 --begin-sec 1", 2, "usage error"},
      {"create -", 2, "create needs an audio file"},
      {"", 2, "usage error"},
      {"frobnicate", 2, "unknown command \"frobnicate\""},
  };
  for (const auto& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.args;
    // One line says it all, in English (the library's own lines only with -v); a usage hint may follow.
    std::istringstream err(r.err);
    std::string first, more;
    std::getline(err, first);
    EXPECT_EQ(first.rfind("sigpat: ", 0), 0u) << c.args << "\n" << r.err;
    while (std::getline(err, more)) EXPECT_EQ(more.rfind("Run 'sigpat --help'", 0), 0u) << c.args << "\n" << r.err;
    EXPECT_TRUE(std::all_of(r.err.begin(), r.err.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; }))
        << c.args << "\n" << r.err;
  }
  // The library's own lines of a refusal (converted from Windows-1251) come only with -v.
  RunResult refused = Run("scan -v -p " + clip + " -p " + bad.File("four.tvs") + " " + wav);
  EXPECT_NE(refused.err.find("InitTimeSpectrumEst(): "), std::string::npos) << refused.err;
  RunResult notPattern = Run("scan -v -p " + wav + " " + wav);
  EXPECT_NE(notPattern.err.find("LoadRecognizePattern(): "), std::string::npos) << notPattern.err;

  // A file cut short after its header is scanned as far as it goes, with a warning saying so.
  for (const std::string name : {"mono.wav", "mono.flac"}) {
    std::vector<unsigned char> bytes = sptest::ReadAll(File(name));
    bytes.resize(bytes.size() / 2);
    sptest::WriteAll(bad.File(name), bytes);
    RunResult cut = Run("scan -p " + clip + " " + bad.File(name));
    EXPECT_EQ(cut.status, 0) << cut.err;
    EXPECT_NE(cut.err.find(bad.File(name) + ": the file ends "), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find(" s before the length its header gives (cut short?)"), std::string::npos) << cut.err;
    EXPECT_EQ(Run("scan -p " + clip + " " + File(name)).err, "");
  }

  // A bad input among good ones: the others are still scanned, the status tells of the failure.
  RunResult mixed = Run("scan --json -p " + clip + " " + bad.File("missing.wav") + " " + wav);
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(mixed.outLines().size(), 1u);
}

}  // namespace
