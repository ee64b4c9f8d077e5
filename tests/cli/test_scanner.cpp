// The scanner and the audio input of sigpat, driven directly: positions across engine rebases
// and across the 32-bit counter wrap, pluggable decision rules, conversion to 16-bit samples.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include "commands.h"
#include "detail_check.h"
#include "detail_gate.h"
#include "reverberant_print.h"
#include "messages.h"
#include "pattern_snapshot.h"
#include "synth.h"
#include "test_support.h"

namespace {

using namespace sigpat;
using sptest::TempDir;

struct Found {
  int pattern;
  std::int64_t begin, end;
  float relDev;
  bool operator==(const Found& o) const {
    return pattern == o.pattern && begin == o.begin && end == o.end && std::memcmp(&relDev, &o.relDev, 4) == 0;
  }
};

std::ostream& operator<<(std::ostream& os, const Found& f) {
  return os << "{" << f.pattern << ", " << f.begin << ".." << f.end << ", " << f.relDev << "}";
}

std::vector<Found> ScanFile(const std::vector<std::string>& patterns, const std::string& path, const ScanOptions& options,
                            ScanResult* result = nullptr) {
  std::vector<Found> found;
  std::unique_ptr<AudioInput> in = AudioInput::Open(path, AudioOptions{});
  Scanner scanner(patterns, options);
  ScanResult r = scanner.Scan(*in, [&](const Detection& d) { found.push_back({d.report.Pattern, d.report.Begin, d.report.End, d.report.RelDev}); });
  if (result != nullptr) *result = r;
  return found;
}

// Two clips, a minute of noise with them at known places; patterns made by `create`.
class Rebase : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<float> chime = synth::ToneSteps({{523}, {1568}, {784}, {2637}, {659}, {3136}, {1047}, {440}, {2093},
                                                 {880}, {1319}, {2794}, {698}, {1760}, {587}, {2349}, {988}},
                                                0.15, 0.5);
    std::vector<float> rise = synth::Sweeps(250.0, 4500.0, 0.45, 3, 0.5);
    std::vector<float> stream = synth::WhiteNoise(60 * 44100, 0.02, 77);
    // The chime twice in a row (the second just past the hold-off of the first).
    for (double t : {3.1, 11.7, 14.3, 20.05, 33.3, 47.9}) synth::MixInto(stream, chime, static_cast<std::size_t>(t * 44100));
    for (double t : {7.0, 25.5, 40.2, 52.0}) synth::MixInto(stream, rise, static_cast<std::size_t>(t * 44100));
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    ASSERT_TRUE(synth::WriteAudioFile(dir_.File("chime.wav"), chime, 44100, 1, wav));
    ASSERT_TRUE(synth::WriteAudioFile(dir_.File("rise.wav"), rise, 44100, 1, wav));
    ASSERT_TRUE(synth::WriteAudioFile(dir_.File("stream.wav"), stream, 44100, 1, wav));
    // The same stream ending with the end of the last clip.
    stream.resize(static_cast<std::size_t>(52.0 * 44100) + rise.size());
    ASSERT_TRUE(synth::WriteAudioFile(dir_.File("cut.wav"), stream, 44100, 1, wav));
    for (const char* name : {"chime.wav", "rise.wav"}) {
      CreateArgs args;
      args.input = dir_.File(name);
      patterns_.push_back(CreatePatternFile(args));
    }
    reference_ = ScanFile(patterns_, dir_.File("stream.wav"), ScanOptions{});
  }

  TempDir dir_;
  std::vector<std::string> patterns_;
  std::vector<Found> reference_;
};

TEST_F(Rebase, ManyRebasesKeepEveryDetectionExactlyInPlace) {
  ASSERT_EQ(reference_.size(), 10u);
  const double truth[] = {3.1, 7.0, 11.7, 14.3, 20.05, 25.5, 33.3, 40.2, 47.9, 52.0};
  for (std::size_t k = 0; k < reference_.size(); ++k)
    EXPECT_NEAR(static_cast<double>(reference_[k].begin) / 44100.0, truth[k], 0.05) << k;

  // A shortened model: rebase after nearly every block instead of every 2^30 samples.
  ScanOptions often;
  often.rebaseThreshold = 1;
  ScanResult r;
  std::vector<Found> rebased = ScanFile(patterns_, dir_.File("stream.wav"), often, &r);
  EXPECT_GT(r.rebases, 2000);
  EXPECT_EQ(rebased, reference_);
}

// Recognizers set up from the patterns read once into memory find the same, to the bit, also
// once the files are gone; what cannot be read is named.
TEST_F(Rebase, PatternsReadOnceIntoMemorySetUpTheSameRecognizers) {
  PatternSnapshot snapshot(patterns_);
  ScanOptions fromMemory;
  fromMemory.openAs = snapshot.names();
  CheckPatternSet(patterns_, snapshot.names());
  for (const auto& p : patterns_) std::remove(p.c_str());
  EXPECT_EQ(ScanFile(patterns_, dir_.File("stream.wav"), fromMemory), reference_);
  for (const std::string& bad : {patterns_[0], dir_.path(), std::string("/dev/null")}) {
    try {
      PatternSnapshot failed({bad});
      ADD_FAILURE() << bad;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(bad + ": ", 0), 0u) << e.what();
    }
  }
}

TEST_F(Rebase, AClipThatEndsTheInputIsStillFound) {
  // The silence fed after the end lets the engine's delayed time blocks reach the clip's end.
  // (The deviations may differ in the last bits: the newest block also sees what follows.)
  std::vector<Found> found = ScanFile(patterns_, dir_.File("cut.wav"), ScanOptions{});
  ASSERT_EQ(found.size(), reference_.size());
  for (std::size_t k = 0; k < found.size(); ++k) {
    EXPECT_EQ(found[k].pattern, reference_[k].pattern);
    EXPECT_EQ(found[k].begin, reference_[k].begin);
    EXPECT_EQ(found[k].end, reference_[k].end);
  }
}

TEST_F(Rebase, DetectorPositionsSurviveTheCounterWrap) {
  // As if 27 hours had gone before: the engine's 32-bit counter wraps 30 s into the stream. (The
  // library's own rule across the wrap: tests/test_stream.cpp.) The detector counts its own
  // 64-bit positions: the wrap costs it nothing even unrebased.
  ScanOptions detector;
  detector.engineStartSample = static_cast<std::uint32_t>((std::uint64_t{1} << 32) - 30 * 44100);
  detector.rebaseThreshold = std::numeric_limits<std::uint32_t>::max();
  EXPECT_EQ(ScanFile(patterns_, dir_.File("stream.wav"), detector), reference_);
}

// A rule of the caller's own: sees every time block, emits one detection at 10 s.
class BlockCounter : public DecisionRule {
 public:
  explicit BlockCounter(int* blocks) : blocks_(blocks) {}
  std::string Name() const override { return "blocks"; }
  void OnTimeBlock(EngineView view, std::vector<DetectorReport>& out) override {
    ++*blocks_;
    const std::int64_t at = view.stream.Position();
    if (at != 10 * 44100 / 576 * 576) return;
    DetectorReport r;
    r.Pattern = 1;
    r.Begin = at - 576;
    r.End = at;
    r.RelDev = r.RelDevMpb = 0.5f;
    out.push_back(r);
  }

 private:
  int* blocks_;
};

TEST_F(Rebase, DecisionRulesArePluggable) {
  int blocks = 0;
  ScanOptions options;
  options.makeRule = [&]() { return std::make_unique<BlockCounter>(&blocks); };
  options.rebaseThreshold = 1;  // positions seen by the rule are absolute whatever the rebasing
  std::vector<Detection> found;
  std::unique_ptr<AudioInput> in = AudioInput::Open(dir_.File("stream.wav"), AudioOptions{});
  ScanResult r = Scanner(patterns_, options).Scan(*in, [&](const Detection& d) { found.push_back(d); });
  // Every block of the input and of the silence fed after it (three blocks of 1152 samples).
  EXPECT_EQ(blocks, static_cast<int>((r.samples + 1151) / 1152 * 2 + 6));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].rule, "blocks");
  EXPECT_EQ(found[0].report.Pattern, 1);
  EXPECT_EQ(found[0].file, patterns_[1]);
  EXPECT_EQ(found[0].name, "rise.tvs");
  EXPECT_EQ(found[0].report.End, 10 * 44100 / 576 * 576);
  EXPECT_DOUBLE_EQ(found[0].endSeconds, static_cast<double>(found[0].report.End) / 44100.0);
}

// The detail gate's verdicts on detections handed to it directly. A tentative one (the
// detector's distance beyond the threshold) needs the clip's print to correlate with the
// input, not only nothing of it missing; a firm report of an occurrence a confirmed tentative
// one reported is a repeat; prints too short to tell chance from the clip confirm nothing.
TEST(DetailGate, TentativeDetectionsNeedTheClipItselfAndAreReportedOnce) {
  TempDir dir;
  const std::vector<float> chime = synth::ToneSteps({{523}, {1568}, {784}, {2637}, {659}, {3136}, {1047}, {440}}, 0.15, 0.5);
  const std::vector<float> click = synth::ToneSteps({{2000}, {700, 3100}}, 0.05, 0.5);
  const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::vector<std::string> patterns;
  for (const auto& [name, clip] : {std::pair{"chime.wav", chime}, std::pair{"click.wav", click}}) {
    ASSERT_TRUE(synth::WriteAudioFile(dir.File(name), clip, 44100, 1, wav));
    CreateArgs args;
    args.input = dir.File(name);
    patterns.push_back(CreatePatternFile(args));
  }
  // The chime talked over at 1 s, noise loud enough to cover it at 5 s, the click at 9 s.
  std::vector<float> air = synth::WhiteNoise(10 * 44100, 0.01, 5);
  synth::MixInto(air, chime, 44100);
  synth::MixInto(air, synth::SpeechLike(chime.size(), 0.8, 6), 44100);
  synth::MixInto(air, synth::WhiteNoise(chime.size(), 0.6, 7), 5 * 44100);
  synth::MixInto(air, click, 9 * 44100);
  std::vector<std::int16_t> samples;
  for (float v : air) samples.push_back(ToSample16(v));

  std::unique_ptr<DetailGate> gate = DetailGate::Load(patterns, {});
  ASSERT_NE(gate, nullptr);
  EXPECT_TRUE(gate->ConfirmsTentative(0));
  EXPECT_FALSE(gate->ConfirmsTentative(1));
  gate->Append(samples.data(), samples.size());
  const auto at = [](int pattern, double seconds, std::size_t length, int tentative) {
    DetectorReport r;
    r.Pattern = r.Group = pattern;
    r.Begin = static_cast<std::int64_t>(seconds * 44100);
    r.End = r.Begin + static_cast<std::int64_t>(length);
    r.Tentative = tentative;
    return r;
  };
  using V = DetailGate::Verdict;
  EXPECT_EQ(gate->Judge(at(0, 5.0, chime.size(), 0)), V::Stands) << "nothing of the chime is missing under the noise";
  EXPECT_EQ(gate->Judge(at(0, 5.0, chime.size(), 1)), V::Unconfirmed) << "but the noise is not the chime";
  EXPECT_EQ(gate->Judge(at(1, 9.0, click.size(), 0)), V::Stands);
  EXPECT_EQ(gate->Judge(at(1, 9.0, click.size(), 1)), V::Unconfirmed);
  EXPECT_EQ(gate->Judge(at(0, 1.0, chime.size(), 1)), V::Stands);
  EXPECT_EQ(gate->Judge(at(0, 1.01, chime.size(), 0)), V::Repeat);
  EXPECT_EQ(gate->Judge(at(0, 5.0, chime.size(), 0)), V::Stands);

  // The input's print is kept between reports: a look before the whole clip was fed must leave
  // nothing of the silence that stood for its rest then.
  std::unique_ptr<DetailGate> early = DetailGate::Load(patterns, {});
  const std::size_t fedFirst = 44100 + chime.size() / 4;
  early->Append(samples.data(), fedFirst);
  EXPECT_EQ(early->Judge(at(0, 1.0, chime.size(), 1)), V::Unconfirmed);
  early->Append(samples.data() + fedFirst, samples.size() - fedFirst);
  EXPECT_EQ(early->Judge(at(0, 1.0, chime.size(), 1)), V::Stands);

  // A print's levels are read when its pattern's first detection is judged: one cut short since
  // the gate was loaded (its header still whole) confirms nothing then, and the detections are
  // judged as a pattern's without a print.
  const std::string print = DetailFileOf(patterns[0]);
  std::filesystem::last_write_time(print, std::filesystem::last_write_time(print) + std::chrono::hours(1));
  std::unique_ptr<DetailGate> late = DetailGate::Load(patterns, {});
  ASSERT_TRUE(late->ConfirmsTentative(0));
  std::filesystem::resize_file(print, 100);
  late->Append(samples.data(), samples.size());
  EXPECT_EQ(late->Judge(at(0, 1.0, chime.size(), 1)), V::Unconfirmed);
  EXPECT_EQ(late->Judge(at(0, 5.0, chime.size(), 0)), V::Stands);
}

std::vector<std::int16_t> ReadAllSamples(const std::string& path, const AudioOptions& options = AudioOptions{}) {
  std::unique_ptr<AudioInput> in = AudioInput::Open(path, options);
  std::vector<std::int16_t> all, buf(1000);
  while (std::size_t n = in->Read(buf.data(), buf.size())) all.insert(all.end(), buf.begin(), buf.begin() + n);
  return all;
}

TEST(AudioInput, ConvertsToSixteenBitMonoAt44100) {
  EXPECT_EQ(ToSample16(std::nan("")), 0);  // rounding and clipping: through the files below

  TempDir dir;
  // 24-bit: values between 16-bit steps are rounded.
  {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* f = sf_open(dir.File("s24.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    // 24-bit values (left-aligned in 32 bits): 1000.5, 1000.49, -7.5 and full scale in 16-bit units.
    const int values[] = {(1000 * 256 + 128) << 8, (1000 * 256 + 125) << 8, (-7 * 256 - 128) << 8, 0x7FFFFF << 8};
    ASSERT_EQ(sf_writef_int(f, values, 4), 4);
    sf_close(f);
    EXPECT_EQ(ReadAllSamples(dir.File("s24.wav")), (std::vector<std::int16_t>{1001, 1000, -8, 32767}));
  }
  // Float: rounding and clipping of values beyond full scale.
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("f.wav"), {0.25f, -1.5f, 2.0f, 100.5f / 32768}, 44100, 1,
                                    SF_FORMAT_WAV | SF_FORMAT_FLOAT));
  EXPECT_EQ(ReadAllSamples(dir.File("f.wav")), (std::vector<std::int16_t>{8192, -32768, 32767, 101}));
  // 16-bit stereo: the mean of the channels, or the channel asked for.
  {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(dir.File("st.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    const short values[] = {1000, 2001, -5, -6, 32767, 32767};
    ASSERT_EQ(sf_writef_short(f, values, 3), 3);
    sf_close(f);
    EXPECT_EQ(ReadAllSamples(dir.File("st.wav")), (std::vector<std::int16_t>{1501, -6, 32767}));
    AudioOptions right;
    right.channel = 2;
    EXPECT_EQ(ReadAllSamples(dir.File("st.wav"), right), (std::vector<std::int16_t>{2001, -6, 32767}));
  }
  // 16-bit files are read as stored: every sample, mean and pick exactly as the full-scale
  // values rounded (odd sums both ways, the extremes; three channels mix through doubles).
  for (const int channels : {1, 2, 3}) {
    std::vector<short> values;
    for (const int a : {-32768, -32767, -3, -2, 0, 1, 2, 32766, 32767})
      for (const int b : {-32768, -32767, -1, 0, 1, 32767}) values.push_back(static_cast<short>(a)), values.push_back(static_cast<short>(b));
    while (values.size() % channels != 0) values.push_back(-1);
    for (const int format : {SF_FORMAT_WAV, SF_FORMAT_FLAC}) {
      const std::string name = dir.File("c" + std::to_string(channels) + (format == SF_FORMAT_WAV ? ".wav" : ".flac"));
      SF_INFO info{};
      info.samplerate = 44100;
      info.channels = channels;
      info.format = format | SF_FORMAT_PCM_16;
      SNDFILE* f = sf_open(name.c_str(), SFM_WRITE, &info);
      ASSERT_NE(f, nullptr);
      const sf_count_t frames = static_cast<sf_count_t>(values.size() / channels);
      ASSERT_EQ(sf_writef_short(f, values.data(), frames), frames);
      sf_close(f);
      for (int channel = 0; channel <= channels; ++channel) {
        AudioOptions options;
        options.channel = channel;
        std::unique_ptr<AudioInput> in = AudioInput::Open(name, options);
        std::vector<double> full(static_cast<std::size_t>(frames) + 1);
        ASSERT_EQ(in->ReadFullScale(full.data(), full.size()), static_cast<std::size_t>(frames));
        std::vector<std::int16_t> expected;
        for (sf_count_t k = 0; k < frames; ++k) expected.push_back(ToSample16(full[k]));
        EXPECT_EQ(ReadAllSamples(name, options), expected) << name << " channel " << channel;
      }
    }
  }
  // 48000 Hz: resampled to 44100 Hz, a 1 kHz tone keeps its length, level and frequency.
  {
    std::vector<float> tone(48000);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
    ASSERT_TRUE(synth::WriteAudioFile(dir.File("t48.flac"), tone, 48000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    std::unique_ptr<AudioInput> in = AudioInput::Open(dir.File("t48.flac"), AudioOptions{});
    EXPECT_EQ(in->expectedSamples(), 44100);
    EXPECT_EQ(in->sourceRate(), 48000);
    std::vector<std::int16_t> got = ReadAllSamples(dir.File("t48.flac"));
    EXPECT_NEAR(static_cast<double>(got.size()), 44100.0, 2.0);
    double sum = 0;
    int crossings = 0;
    for (std::size_t i = 4410; i < 39690; ++i) {  // away from the edges
      sum += static_cast<double>(got[i]) * got[i];
      crossings += (got[i - 1] < 0) != (got[i] < 0);
    }
    EXPECT_NEAR(std::sqrt(sum / 35280) / 32768.0, 0.5 / std::sqrt(2.0), 0.005);
    EXPECT_NEAR(crossings, 1600, 2);  // 0.8 s of 1 kHz
  }
}

// The correlation of a clip's print with the input at one offset, written out plainly: both
// floored 40 dB under their loudest over the span, both double-centred, in double.
double PlainCorrelation(const spdetail::DetailPrint& clip, const spdetail::DetailPrint& input, int off) {
  const int n = clip.frames, nb = spdetail::kBands;
  auto centred = [n, nb](const float* levels) {
    float top = -std::numeric_limits<float>::infinity();
    for (int i = 0; i < n * nb; ++i) top = std::max(top, levels[i]);
    std::vector<double> v(static_cast<std::size_t>(n) * nb), band(nb, 0.0), frame(n, 0.0);
    for (int i = 0; i < n * nb; ++i) v[i] = std::max(levels[i], top - 40.0f);
    double all = 0;
    for (int i = 0; i < n * nb; ++i) band[i % nb] += v[i], frame[i / nb] += v[i], all += v[i];
    for (int i = 0; i < n * nb; ++i) v[i] -= band[i % nb] / n + frame[i / nb] / nb - all / (n * nb);
    return v;
  };
  const std::vector<double> a = centred(clip.Frame(0)), b = centred(input.Frame(off));
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) ab += a[i] * b[i], aa += a[i] * a[i], bb += b[i] * b[i];
  return bb < 1e-9 ? 0.0 : ab / std::sqrt(aa * bb);
}

}  // namespace

// The alignment search of the detail check: every offset in reach is tried (search widths that
// leave odd counts of offsets, reaches cut by the input's ends), the best correlation wins, the
// earlier offset of equal ones, and a clip planted in noise is found where it lies.
TEST(DetailGate, TheAlignmentSearchTriesEveryOffsetInReach) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(-60.0f, 0.0f);
  auto print = [&](int frames) {
    spdetail::DetailPrint p;
    p.frames = frames;
    for (int i = 0; i < frames * spdetail::kBands; ++i) p.levels.push_back(level(random));
    return p;
  };
  const spdetail::DetailPrint clip = print(37);
  for (const int search : {0, 1, 3, 10}) {
    for (const int extra : {0, 5, 30}) {
      spdetail::DetailPrint input = print(clip.frames + extra);
      const int planted = std::min(extra, 6);  // not the first of four offsets compared together
      for (int f = 0; f < clip.frames; ++f)
        for (int b = 0; b < spdetail::kBands; ++b)
          input.levels[static_cast<std::size_t>(planted + f) * spdetail::kBands + b] =
              0.7f * clip.Frame(f)[b] + 0.3f * input.levels[static_cast<std::size_t>(planted + f) * spdetail::kBands + b] - 6.0f;
      spdetail::DetailTuning tuning;
      tuning.searchFrames = search;
      for (const int expected : {0, 2, extra}) {
        const spdetail::DetailResult r = spdetail::CompareDetail(clip, input, expected, tuning);
        float best = -2.0f;
        int at = -1;
        for (int off = std::max(0, expected - search); off <= std::min(extra, expected + search); ++off) {
          const auto c = static_cast<float>(PlainCorrelation(clip, input, off));
          if (c > best + 1e-5f) best = c, at = off;
        }
        if (at < 0) {  // nothing in reach
          EXPECT_EQ(r.correlation, -2.0f);
          continue;
        }
        EXPECT_EQ(r.offset, at) << search << " " << extra << " " << expected;
        EXPECT_NEAR(r.correlation, best, 1e-4f);
        if (std::abs(expected - planted) <= search) {
          EXPECT_EQ(r.offset, planted);
        }
      }
    }
  }
}

// The clip's print as a room smears it (the detail gate's last retry): a band's lone loud frame
// decays by 60 dB over RT60 in the frames after it, its tail holds the energy the
// direct-to-reverberant ratio says, the frames before and the other bands are as without it (a
// steady sound rising by the tail's share), and no room (RT60 0) leaves the print as it is.
TEST(DetailGate, TheReverberantPrintDecaysAsTheRoomSays) {
  spdetail::DetailPrint print;
  print.frames = 200;
  print.levels.assign(static_cast<std::size_t>(print.frames) * spdetail::kBands, -200.0f);
  print.levels[static_cast<std::size_t>(10) * spdetail::kBands + 5] = 0.0f;  // frame 10, band 5
  const spdetail::DetailPrint same = spdetail::Reverberant(print, 0.0f, 0.0f);
  EXPECT_EQ(same.levels, print.levels);
  const float rt60 = 0.5f, drr = 3.0f;
  const spdetail::DetailPrint room = spdetail::Reverberant(print, rt60, drr);
  ASSERT_EQ(room.frames, print.frames);
  const auto at = [&room](int f, int b) { return room.levels[static_cast<std::size_t>(f) * spdetail::kBands + b]; };
  // Without the loud frame: a steady sound rises by the tail's share of it.
  spdetail::DetailPrint quiet = print;
  quiet.levels[static_cast<std::size_t>(10) * spdetail::kBands + 5] = -200.0f;
  const spdetail::DetailPrint still = spdetail::Reverberant(quiet, rt60, drr);
  EXPECT_NEAR(still.levels.back(), -200.0 + 10.0 * std::log10(1.0 + std::pow(10.0, -drr / 10.0)), 0.01);
  for (int f = 0; f < room.frames; ++f)
    for (int b = 0; b < spdetail::kBands; ++b)
      if (b != 5 || f < 10) {
        ASSERT_EQ(at(f, b), still.levels[static_cast<std::size_t>(f) * spdetail::kBands + b]) << f << " " << b;
      }
  EXPECT_NEAR(at(10, 5), 0.0f, 1e-3f);
  // 60 dB per RT60: 50 frames of 10 ms.
  EXPECT_NEAR(at(11, 5) - at(61, 5), 60.0f, 0.1f);
  double tail = 0.0;
  for (int f = 11; f < room.frames; ++f) tail += std::pow(10.0, at(f, 5) / 10.0);
  EXPECT_NEAR(10.0 * std::log10(tail), -drr, 0.05);
}
