// The decision layer on top of a recognizer: one report per occurrence at its position, only
// for occurrences wholly inside the audio, 64-bit positions, pattern groups, background
// calibration with its sidecar file, and no influence on the recognizer's own results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "../detector/report_store.h"
#include "test_support.h"

using sptest::TempDir;

namespace {

constexpr int kBlock = 1152;

using sptest::MakePattern;

const std::vector<double> kJingle = {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794, 698};
const std::vector<double> kOther = {300, 3500, 1200, 2500, 600, 1800, 2900, 400, 1000, 2200, 3300, 500, 1400};

// A clip of tone steps; `speed` > 1 plays it faster (higher and shorter), as a resampled copy.
std::vector<float> Clip(const std::vector<double>& freqs, double speed = 1.0) {
  std::vector<double> f;
  for (double x : freqs) f.push_back(x * speed);
  return sptest::ToneSteps(f, static_cast<std::size_t>(6615 / speed), 0.4);
}

using sptest::AddAt;

struct Scanner {
  SignalPattern rec;
  PatternDetector det;
  std::vector<std::string> files;
  std::vector<char*> names;

  explicit Scanner(const std::vector<std::string>& f) : files(f) {
    for (auto& s : files) names.push_back(const_cast<char*>(s.c_str()));
  }
  bool Start() {
    SigRecognitionPar par;
    par.NPattern = static_cast<int>(names.size());
    par.PatternFileNames = names.data();
    if (rec.InitSignalPattern(&par) != 1) return false;
    std::vector<const char*> c(names.begin(), names.end());
    return det.Attach(&rec, c.data()) == 1;
  }
  void Feed(const std::vector<float>& stream) {
    std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
    for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock)
      ASSERT_GE(rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr), 0);
  }
  std::vector<DetectorReport> Reports() {
    det.Finish();
    std::vector<DetectorReport> r;
    for (int i = 0; i < det.ReportCount(); ++i) r.push_back(*det.GetReport(i));
    return r;
  }
};

}  // namespace

TEST(PatternDetector, OneReportPerOccurrenceAtItsPositionWithoutChangingTheRecognizer) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  Scanner s({MakePattern(dir, "jingle", jingle), MakePattern(dir, "other", Clip(kOther))});
  ASSERT_TRUE(s.Start());
  EXPECT_GT(s.det.Pattern(0).Threshold, 0.0f);
  EXPECT_LT(s.det.Pattern(0).SelfPositive, s.det.Pattern(0).Threshold);
  EXPECT_GT(s.det.Pattern(0).SelfNegative, s.det.Pattern(0).Threshold);

  std::vector<float> stream = sptest::Noise(24 * 44100, 0.02, 5);
  // Then two pairs back to back over a crossfade of 0.1 s, one of each pair under more noise:
  // neither the better second one nor the worse one may be lost for the other.
  const std::size_t overlap = 4410, apart = jingle.size() - overlap;
  const std::size_t truth[6] = {3 * 44100 + 211, 9 * 44100 + 4000, 13 * 44100, 13 * 44100 + apart,
                                18 * 44100, 18 * 44100 + apart};
  AddAt(stream, jingle, truth[0]);
  std::vector<float> louder = jingle;
  for (float& v : louder) v *= 1.8f;  // +5 dB
  AddAt(stream, louder, truth[1]);
  for (int k = 2; k < 6; ++k) AddAt(stream, jingle, truth[k]);
  AddAt(stream, sptest::Noise(apart, 0.05, 6), truth[2]);
  AddAt(stream, sptest::Noise(apart, 0.15, 7), truth[5] + overlap);
  s.Feed(stream);
  // The detector only observes: the recognizer's own results are those of one without it.
  Scanner plain(s.files);
  SigRecognitionPar par;
  par.NPattern = 2;
  par.PatternFileNames = plain.names.data();
  ASSERT_EQ(plain.rec.InitSignalPattern(&par), 1);
  plain.Feed(stream);
  EXPECT_EQ(s.rec.GetNRecognize(), plain.rec.GetNRecognize());
  EXPECT_EQ(s.rec.RecognizedBegin, plain.rec.RecognizedBegin);
  EXPECT_EQ(s.rec.GetTVS()[0]->RelDevMin, plain.rec.GetTVS()[0]->RelDevMin);

  std::vector<DetectorReport> r = s.Reports();
  ASSERT_EQ(r.size(), 6u);
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(r[k].Pattern, 0);
    EXPECT_EQ(r[k].Group, 0);
    EXPECT_STREQ(r[k].Name, "jingle.tvs");
    // Four alignments per block and the interpolation between them: well under a block.
    EXPECT_NEAR(static_cast<double>(r[k].Begin), static_cast<double>(truth[k]), 150.0) << k;
    EXPECT_EQ(r[k].End - r[k].Begin, static_cast<std::int64_t>(s.rec.GetTVS()[0]->Nblock) * 576);
    EXPECT_LT(r[k].Score, r[k].Threshold);
    EXPECT_GT(r[k].Confidence, 0.5f);
    EXPECT_LE(r[k].Confidence, 1.0f);
    // The library's deviations come from the block of the best alignment, where it compared
    // the pattern, not from the block the report was confirmed in.
    EXPECT_LT(r[k].RelDev, 2.0f);
    EXPECT_LT(r[k].RelDevMpb, 2.0f);
  }
  s.det.Detach();  // removes the observer
  EXPECT_EQ(s.rec.NBlockObservers, 0);
}

TEST(PatternDetector, OnlyWholeOccurrencesAndNothingInOtherSound) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  Scanner s({MakePattern(dir, "jingle", jingle)});
  ASSERT_TRUE(s.Start());
  // The stream starts in the middle of the clip and ends in the middle of a second one; in
  // between another clip, noise and digital silence.
  std::vector<float> stream = sptest::Noise(14 * 44100, 0.02, 9);
  std::vector<float> tail(jingle.begin() + static_cast<long>(jingle.size() / 2), jingle.end());
  AddAt(stream, tail, 0);
  AddAt(stream, Clip(kOther), 4 * 44100);
  for (std::size_t i = 8 * 44100; i < 10 * 44100; ++i) stream[i] = 0.0f;
  AddAt(stream, jingle, stream.size() - jingle.size() / 2);
  s.Feed(stream);
  EXPECT_TRUE(s.Reports().empty());

  // A clip that starts with the stream is whole and is reported at its start, counted in 64
  // bits from the origin given (past the 32-bit counters).
  Scanner t({s.files[0]});
  ASSERT_TRUE(t.Start());
  const std::int64_t origin = 6000000000ll;
  t.det.Reset(origin);
  std::vector<float> start = sptest::Noise(6 * 44100, 0.02, 11);
  AddAt(start, jingle, 0);
  t.Feed(start);
  std::vector<DetectorReport> r = t.Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_GE(r[0].Begin, origin);
  EXPECT_LT(r[0].Begin - origin, 150);
  EXPECT_EQ(t.det.BlocksSeen(), static_cast<std::int64_t>(start.size() / kBlock) * 2);
}

TEST(PatternDetector, SpeedVariantsReportOnceNamingTheVariant) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  std::vector<std::string> files = {MakePattern(dir, "jingle.speed+3", Clip(kJingle, 1.03)),
                                    MakePattern(dir, "jingle", jingle),
                                    MakePattern(dir, "jingle.speed-3", Clip(kJingle, 0.97)),
                                    MakePattern(dir, "other", Clip(kOther))};
  Scanner s(files);
  ASSERT_TRUE(s.Start());
  std::vector<const char*> names(s.names.begin(), s.names.end());
  EXPECT_EQ(s.det.GroupBySpeedNames(names.data()), 2);
  EXPECT_EQ(s.det.Pattern(0).Group, 1);
  EXPECT_FLOAT_EQ(s.det.Pattern(0).SpeedPercent, 3.0f);
  EXPECT_EQ(s.det.Pattern(2).Group, 1);
  EXPECT_FLOAT_EQ(s.det.Pattern(2).SpeedPercent, -3.0f);
  EXPECT_EQ(s.det.Pattern(3).Group, 3);

  std::vector<float> stream = sptest::Noise(14 * 44100, 0.02, 17);
  AddAt(stream, Clip(kJingle, 1.03), 2 * 44100);
  AddAt(stream, jingle, 8 * 44100);
  s.Feed(stream);
  std::vector<DetectorReport> r = s.Reports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Group, 1);
  EXPECT_EQ(r[0].Pattern, 0);
  EXPECT_FLOAT_EQ(r[0].SpeedPercent, 3.0f);
  EXPECT_EQ(r[1].Group, 1);
  EXPECT_EQ(r[1].Pattern, 1);
  EXPECT_FLOAT_EQ(r[1].SpeedPercent, 0.0f);

  // Names that only look like variants are left alone.
  const char* odd[] = {"a/x.tvs", "a/x.speed+.tvs", "a/x.speedy.tvs", "b/x.speed+1.5.tvs"};
  SignalPattern rec2;  // the detector goes first: it detaches from a living engine
  PatternDetector d2;
  SigRecognitionPar par;
  std::vector<char*> four(4, const_cast<char*>(files[1].c_str()));
  par.NPattern = 4;
  par.PatternFileNames = four.data();
  ASSERT_EQ(rec2.InitSignalPattern(&par), 1);
  ASSERT_EQ(d2.Attach(&rec2, nullptr), 1);
  EXPECT_EQ(d2.GroupBySpeedNames(odd), 0);
}

TEST(PatternDetector, BackgroundCalibrationKeepsItsSidecarBesideThePattern) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  std::string tvs = MakePattern(dir, "jingle", jingle);
  const std::uint64_t before = sptest::Fnv1a(sptest::ReadAll(tvs));
  Scanner s({tvs});
  ASSERT_TRUE(s.Start());
  const float self = s.det.Pattern(0).SelfThreshold;
  EXPECT_EQ(s.det.EndBackgroundCalibration(), 0);  // not started
  ASSERT_EQ(s.det.BeginBackgroundCalibration(), 1);
  // Background that holds a near copy of the clip (the same tones a little detuned) pulls the
  // threshold down, never under half the pattern's own.
  std::vector<float> bg = sptest::Noise(10 * 44100, 0.02, 19);
  AddAt(bg, Clip(kJingle, 1.015), 3 * 44100);
  s.Feed(bg);
  EXPECT_EQ(s.det.ReportCount(), 0);
  ASSERT_EQ(s.det.EndBackgroundCalibration(), 1);
  EXPECT_NEAR(s.det.CalibrationSeconds(), 10.0, 0.1);
  const DetectorPattern& P = s.det.Pattern(0);
  EXPECT_EQ(P.Calibrated, 1);
  EXPECT_GT(P.BackgroundMin, 0.0f);
  EXPECT_LE(P.Threshold, self);
  EXPECT_GE(P.Threshold, 0.5f * self);
  const float calibrated = P.Threshold;
  ASSERT_EQ(s.det.SaveCalibration(0, tvs.c_str()), 1);
  char side[1100];
  PatternDetector::SidecarName(tvs.c_str(), side, sizeof side);
  EXPECT_EQ(std::string(side), tvs + ".cal");
  EXPECT_FALSE(sptest::ReadAll(side).empty());
  EXPECT_EQ(sptest::Fnv1a(sptest::ReadAll(tvs)), before);  // the pattern file is untouched

  // A new detector on the same file reads the sidecar.
  Scanner t({tvs});
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(t.det.Pattern(0).Calibrated, 1);
  EXPECT_NEAR(t.det.Pattern(0).Threshold, calibrated, 1e-4f);

  // A pattern made again from other sound under the same name ignores the stale sidecar.
  MakePattern(dir, "jingle", Clip(kOther));
  Scanner u({tvs});
  ASSERT_TRUE(u.Start());
  EXPECT_EQ(u.det.Pattern(0).Calibrated, 0);
  EXPECT_EQ(u.det.LoadCalibration(0, tvs.c_str()), 0);
}

// The face holds one pointer: what the decision layer keeps is not in the clients' layout.
static_assert(sizeof(PatternDetector) == sizeof(void*), "PatternDetector is a face over its core");

// Detectors are observers among others of one engine: a second one on the same engine reports
// what the first does, and detaching one leaves the other (and the engine's other observers)
// watching. An engine whose observer list is full refuses the detector rather than leaving it
// deaf; once there is room it attaches.
TEST(PatternDetector, SeveralOnOneEngineAndAFullObserverList) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  Scanner s({MakePattern(dir, "jingle", jingle)});
  ASSERT_TRUE(s.Start());
  PatternDetector second, third;
  ASSERT_EQ(second.Attach(&s.rec, nullptr), 1);
  ASSERT_EQ(third.Attach(&s.rec, nullptr), 1);
  std::vector<float> stream = sptest::Noise(8 * 44100, 0.02, 9);
  AddAt(stream, jingle, 2 * 44100 + 300);
  std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
  const std::size_t half = pcm.size() / 2 / kBlock * kBlock;
  for (std::size_t pos = 0; pos + kBlock <= half; pos += kBlock)
    ASSERT_GE(s.rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr), 0);
  third.Detach();
  for (std::size_t pos = half; pos + kBlock <= pcm.size(); pos += kBlock)
    ASSERT_GE(s.rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(second.BlocksSeen(), s.det.BlocksSeen());
  EXPECT_LT(third.BlocksSeen(), second.BlocksSeen());  // detached: no longer called
  std::vector<DetectorReport> r = s.Reports();
  second.Finish();
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(second.ReportCount(), 1);
  EXPECT_EQ(second.GetReport(0)->Begin, r[0].Begin);
  EXPECT_EQ(second.GetReport(0)->Score, r[0].Score);

  // Two detectors and two other observers fill the list.
  const auto none = [](void*, const TimeBlockView&) {};
  int a = 0, b = 0;
  ASSERT_EQ(s.rec.AddTimeBlockObserver(none, &a), 1);
  ASSERT_EQ(s.rec.AddTimeBlockObserver(none, &b), 1);
  EXPECT_EQ(third.Attach(&s.rec, nullptr), 0);
  EXPECT_EQ(third.PatternCount(), 0);
  s.rec.RemoveTimeBlockObserver(none, &a);
  EXPECT_EQ(third.Attach(&s.rec, nullptr), 1);
  second.Detach();
  third.Detach();
  s.det.Detach();
  EXPECT_EQ(s.rec.NBlockObservers, 1);
  EXPECT_EQ(s.rec.BlockObserverContexts[0], &b);
}

// A detector refuses an engine that is not recognising.
TEST(PatternDetector, RefusesAnIdleEngine) {
  SignalPattern idle;
  PatternDetector d;
  EXPECT_EQ(d.Attach(&idle, nullptr), 0);
  EXPECT_EQ(d.Attach(nullptr, nullptr), 0);
  EXPECT_EQ(d.Finish(), 0);
  EXPECT_EQ(d.GetReport(0), nullptr);
}

namespace {

// Bursts of high tones (4-5 kHz) with silence between them: a bird-like call whose energy lies
// where the filter bank's upper bands are.
std::vector<float> HighCall() {
  const double f[] = {4300, 4900, 4500, 5100, 4200, 4800, 4400, 5000};
  std::vector<float> x;
  for (double v : f) {
    std::vector<float> b = sptest::Sine(1800, v, 0.5);
    x.insert(x.end(), b.begin(), b.end());
    x.insert(x.end(), 1500, 0.0f);
  }
  return x;
}

// Steady rumble: white noise through a one-pole low-pass (most energy under 1 kHz).
std::vector<float> Rumble(std::size_t n, double amplitude, std::uint32_t seed) {
  std::vector<float> w = sptest::Noise(n, 1.0, seed);
  std::vector<float> x(n);
  double y = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    y = 0.9 * y + 0.1 * w[i];
    x[i] = static_cast<float>(amplitude * y);
  }
  return x;
}

// A drum hit: a falling low tone and a noise click, both decaying.
std::vector<float> Drum(double f0, double f1, double decay, double click, std::uint32_t seed) {
  const std::size_t n = 11025;
  std::vector<float> noise = sptest::Noise(n, 1.0, seed);
  std::vector<float> x(n);
  double phase = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 44100.0;
    phase += 2.0 * M_PI * (f0 + (f1 - f0) * t / 0.25) / 44100.0;
    x[i] = static_cast<float>(0.6 * std::exp(-t / decay) * std::sin(phase) + click * std::exp(-t / 0.004) * noise[i]);
  }
  return x;
}

// Reports of a fresh detector on the stream, tuned before Attach.
template <typename Tune>
std::vector<DetectorReport> ScanTuned(const std::vector<std::string>& files, const std::vector<float>& stream,
                                      Tune tune) {
  Scanner s(files);
  DetectorTuning tuning;
  tune(tuning);
  s.det.SetTuning(tuning);
  EXPECT_TRUE(s.Start());
  s.Feed(stream);
  return s.Reports();
}

}  // namespace

TEST(PatternDetector, BackgroundThatCoversPartOfTheClipIsLeftOut) {
  TempDir dir;
  std::vector<float> call = HighCall();
  std::string tvs = MakePattern(dir, "call", call);
  // Rumble all through the stream buries the call's low bands (its gaps and the splatter of
  // its onsets), not its high tones.
  std::vector<float> stream = Rumble(12 * 44100, 0.15, 29);
  const std::size_t at = 6 * 44100 + 333;
  AddAt(stream, call, at);
  std::vector<DetectorReport> r = ScanTuned({tvs}, stream, [](DetectorTuning&) {});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NEAR(static_cast<double>(r[0].Begin), static_cast<double>(at), 150.0);
  // Without the background model the rumble hides the call.
  EXPECT_TRUE(ScanTuned({tvs}, stream, [](DetectorTuning& t) { t.NoiseSegments = 0; }).empty());
}

TEST(PatternDetector, PlainShortSoundsAreHeldToAStrictThreshold) {
  // A drum hit is close to any other hit of its colour: its threshold stays under the distance
  // of common struck sounds, so that other drums (a longer decay, a louder click) are refused.
  TempDir dir;
  std::vector<float> kick = Drum(120, 50, 0.06, 0.3, 41);
  std::vector<std::string> files = {MakePattern(dir, "kick", kick)};
  std::vector<float> stream = sptest::Noise(10 * 44100, 0.005, 31);
  AddAt(stream, Drum(120, 50, 0.09, 0.3, 43), 2 * 44100);
  AddAt(stream, Drum(100, 60, 0.05, 0.5, 53), 4 * 44100);
  AddAt(stream, kick, 7 * 44100 + 100);
  std::vector<DetectorReport> r = ScanTuned(files, stream, [](DetectorTuning&) {});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NEAR(static_cast<double>(r[0].Begin), 7.0 * 44100 + 100, 288.0);  // half a block
  // Compared with its own make-up only, the other drums pass.
  EXPECT_GT(ScanTuned(files, stream, [](DetectorTuning& t) { t.GenericMaxBlocks = 0; }).size(), 1u);
}

TEST(PatternDetector, TuningIsSetByName) {
  // sp_eval --tune NAME=VALUE: float and integer members by their names, nothing else.
  DetectorTuning t;
  EXPECT_TRUE(SetDetectorTuning(t, "PreselectGate", -1.0));
  EXPECT_TRUE(SetDetectorTuning(t, "NoiseSegments", 0.0));
  EXPECT_EQ(t.PreselectGate, -1.0f);
  EXPECT_EQ(t.NoiseSegments, 0);
  EXPECT_FALSE(SetDetectorTuning(t, "Preselect", 1.0));
  EXPECT_FALSE(SetDetectorTuning(t, "NoiseSegments", 1e12));
  EXPECT_EQ(t.NoiseSegments, 0);
}

TEST(PatternDetector, ANewSetUpOfTheEngineNeedsANewAttach) {
  TempDir dir;
  const std::string jingleFile = MakePattern(dir, "jingle", Clip(kJingle));
  const std::string otherFile = MakePattern(dir, "other", Clip(kOther));
  Scanner s({jingleFile, otherFile});
  ASSERT_TRUE(s.Start());
  std::vector<float> stream = sptest::Noise(8 * 44100, 0.02, 37);
  AddAt(stream, Clip({700, 1500}), 3 * 44100);
  // Set up again with the same patterns, or with one pattern of another length: the attached
  // detector leaves the engine alone (it does not read records that are no longer there).
  const std::string shortOne = MakePattern(dir, "short", Clip({700, 1500}));
  for (std::vector<std::string> files : {std::vector<std::string>{jingleFile, otherFile}, {shortOne}}) {
    std::vector<char*> names;
    for (std::string& f : files) names.push_back(f.data());
    SigRecognitionPar par;
    par.NPattern = static_cast<int>(names.size());
    par.PatternFileNames = names.data();
    ASSERT_EQ(s.rec.InitSignalPattern(&par), 1);
    s.Feed(stream);
    EXPECT_EQ(s.det.ReportCount(), 0);
    EXPECT_EQ(s.det.BlocksSeen(), 0);
  }
  // Attached again, it works on the new set.
  const char* names[] = {shortOne.c_str()};
  ASSERT_EQ(s.det.Attach(&s.rec, names), 1);
  s.Feed(stream);
  EXPECT_EQ(s.Reports().size(), 1u);
}

namespace {

// What a station's processing does to a clip: its levels flattened (loud parts pulled down,
// quiet parts up, as a compressor does), its treble cut, its speed changed.
std::vector<float> Broadcast(const std::vector<float>& x, double speed) {
  std::vector<float> y(static_cast<std::size_t>(static_cast<double>(x.size()) / speed));
  for (std::size_t i = 0; i < y.size(); ++i) {  // speed change by linear interpolation
    const double at = static_cast<double>(i) * speed;
    const std::size_t k = static_cast<std::size_t>(at);
    const double f = at - static_cast<double>(k);
    y[i] = static_cast<float>((1.0 - f) * x[k] + f * x[std::min(k + 1, x.size() - 1)]);
  }
  double env = 1e-3, lp = 0.0;
  for (float& v : y) {  // compressor (gain ~ level^-0.7) and a one-pole low-pass
    env = std::max(std::fabs(static_cast<double>(v)), env * 0.9995);
    lp += 0.35 * (static_cast<double>(v) / std::pow(env + 1e-3, 0.7) * 0.1 - lp);
    v = static_cast<float>(lp);
  }
  return y;
}

// A 4 s clip of tone steps with an envelope of its own for the compressor to flatten.
std::vector<float> LongClip() {
  std::vector<double> steps;
  for (int k = 0; k < 3; ++k) steps.insert(steps.end(), kJingle.begin(), kJingle.end());
  std::vector<float> clip = sptest::ToneSteps(steps, 4410, 0.4);
  for (std::size_t i = 0; i < clip.size(); ++i)
    clip[i] *= static_cast<float>(0.25 + 0.75 * (0.5 + 0.5 * std::sin(static_cast<double>(i) * 2e-4)));
  return clip;
}

}  // namespace

// The level distance loses a processed clip; the shape of its bands over time is still there.
TEST(PatternDetector, ShapeFindsTheClipThroughCompressionEqualisationAndSpeed) {
  TempDir dir;
  const std::vector<float> clip = LongClip();
  Scanner s({MakePattern(dir, "clip", clip), MakePattern(dir, "other", Clip(kOther))});
  ASSERT_TRUE(s.Start());
  ASSERT_GT(s.det.Pattern(0).ShapeThreshold, 0.0f);
  std::vector<float> stream = sptest::Noise(38 * 44100, 0.003, 7);
  const std::size_t at = 5 * 44100 + 300;
  AddAt(stream, Broadcast(clip, 1.02), at);
  // Then twice back to back over a crossfade of 0.1 s, the first under more noise, and again
  // with the second under it.
  const std::size_t apart = clip.size() - 4410;
  for (std::size_t noisy : {std::size_t{0}, apart + 4410}) {
    std::vector<float> twice(2 * clip.size() - 4410);
    AddAt(twice, clip, 0);
    AddAt(twice, clip, apart);
    AddAt(twice, sptest::Noise(apart, 0.06, 8), noisy);
    AddAt(stream, Broadcast(twice, 1.02), noisy == 0 ? 12 * 44100 : 23 * 44100);
  }
  s.Feed(stream);
  std::vector<DetectorReport> r = s.Reports();
  ASSERT_EQ(r.size(), 5u);
  const double begins[5] = {static_cast<double>(at), 12 * 44100, 12 * 44100 + apart / 1.02, 23 * 44100,
                            23 * 44100 + apart / 1.02};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(r[k].Pattern, 0);
    EXPECT_EQ(r[k].Method, 1);
    EXPECT_NEAR(r[k].Stretch, 2.0, 0.7);
    EXPECT_NEAR(static_cast<double>(r[k].Begin), begins[k], 576.0);
    EXPECT_LT(r[k].Score, r[k].Threshold);
  }
}

// The pre-selection only saves work: the reports are those of comparing every pattern at every
// block, while a pattern that is not playing is compared at few blocks. Without the library's
// own comparisons the reports stay the same (less its deviations), and Detach hands the
// library's comparisons back.
TEST(PatternDetector, PreselectionAndTakingOverTheLibraryChangeOnlyTheWork) {
  TempDir dir;
  const std::vector<float> clip = LongClip();
  const std::vector<std::string> files = {MakePattern(dir, "clip", clip), MakePattern(dir, "jingle", Clip(kJingle)),
                                          MakePattern(dir, "other", Clip(kOther))};
  std::vector<float> stream = sptest::Noise(40 * 44100, 0.003, 11);
  AddAt(stream, Broadcast(clip, 0.98), 3 * 44100 + 77);
  AddAt(stream, Clip(kJingle), 14 * 44100 + 500);
  AddAt(stream, clip, 22 * 44100 + 1000);
  struct Run {
    std::vector<DetectorReport> reports;
    int compared = 0, blocks = 0;  // blocks at which "other" was compared, of all
  };
  auto run = [&](float gate, int library) {
    Run out;
    Scanner s(files);
    DetectorTuning tuning;
    tuning.PreselectGate = gate;
    tuning.LibraryDeviations = library;
    s.det.SetTuning(tuning);
    EXPECT_TRUE(s.Start());
    s.det.SetBlockCallback(
        [](void* context, PatternDetector* d) {
          Run* r = static_cast<Run*>(context);
          ++r->blocks;
          r->compared += d->Pattern(2).Score < 1e9f ? 1 : 0;
        },
        &out);
    s.Feed(stream);
    out.reports = s.Reports();
    s.det.Detach();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.rec.TVS[i]->fUsePattern, 1);
    return out;
  };
  const Run all = run(-1.0f, 1), selected = run(0.3f, 1), alone = run(0.3f, 0);
  ASSERT_EQ(all.reports.size(), 3u);
  for (const Run* r : {&selected, &alone}) {
    ASSERT_EQ(r->reports.size(), all.reports.size());
    for (std::size_t k = 0; k < all.reports.size(); ++k) {
      EXPECT_EQ(r->reports[k].Pattern, all.reports[k].Pattern);
      EXPECT_EQ(r->reports[k].Begin, all.reports[k].Begin);
      EXPECT_EQ(r->reports[k].Score, all.reports[k].Score);
      EXPECT_EQ(r->reports[k].Method, all.reports[k].Method);
    }
  }
  EXPECT_EQ(alone.reports[2].RelDev, 2.0f);
  EXPECT_NE(selected.reports[2].RelDev, 2.0f);
  EXPECT_GT(all.compared, all.blocks / 3);
  EXPECT_LT(selected.compared * 4, all.compared) << selected.compared;
}

// A clip cut short (the next sound at once, or the input's end) is reported as a partial
// occurrence with the fraction found, from where it began to where the part found ends, whether
// the part or the whole clip passed; the same clip whole is reported whole, and a part shorter
// than the tuning asks for is not reported at all.
TEST(PatternDetector, ClipsCutShortAreReportedAsPartWithTheFractionFound) {
  TempDir dir;
  std::vector<double> steps = kJingle;
  steps.insert(steps.end(), kOther.begin(), kOther.end());
  for (double f : kJingle) steps.push_back(f * 1.12);
  std::vector<float> clip = sptest::ToneSteps(steps, 4410, 0.4);
  for (std::size_t i = 0; i < clip.size(); ++i)
    clip[i] *= static_cast<float>(0.25 + 0.75 * (0.5 + 0.5 * std::sin(static_cast<double>(i) * 2e-4)));
  const std::string file = MakePattern(dir, "clip", clip);
  auto cut = [&clip](double seen) {
    return std::vector<float>(clip.begin(), clip.begin() + static_cast<long>(seen * static_cast<double>(clip.size())));
  };
  std::vector<float> stream = sptest::Noise(42 * 44100, 0.01, 5);
  const std::size_t whole = 3 * 44100 + 100, cutAt = 12 * 44100 + 700, shortAt = 24 * 44100, lateAt = 33 * 44100;
  AddAt(stream, clip, whole);
  AddAt(stream, cut(0.68), cutAt);
  AddAt(stream, Clip(kOther, 1.3), cutAt + cut(0.68).size());
  AddAt(stream, cut(0.3), shortAt);
  AddAt(stream, Clip(kOther, 1.3), shortAt + cut(0.3).size());
  AddAt(stream, cut(0.8), lateAt);
  AddAt(stream, Clip(kOther, 1.3), lateAt + cut(0.8).size());
  const std::size_t endAt = stream.size() - cut(0.7).size();
  AddAt(stream, cut(0.7), endAt);
  auto scan = [&](float minSeen) {
    Scanner s({file});
    DetectorTuning tuning;
    tuning.PartialMinSeen = minSeen;
    s.det.SetTuning(tuning);
    EXPECT_TRUE(s.Start());
    s.Feed(stream);
    return s.Reports();
  };
  const std::vector<DetectorReport> r = scan(0.5f);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_NEAR(static_cast<double>(r[0].Begin), static_cast<double>(whole), 576.0);
  EXPECT_EQ(r[0].Seen, 1.0f);
  // The part found is counted in whole pieces of the shape comparison (0.84 s): never more
  // than what played.
  EXPECT_NEAR(static_cast<double>(r[1].Begin), static_cast<double>(cutAt), 1200.0);
  EXPECT_EQ(r[1].Method, 1);
  EXPECT_GT(r[1].Seen, 0.5f);
  EXPECT_LE(r[1].Seen, 0.68f);
  EXPECT_LE(r[1].End, static_cast<std::int64_t>(cutAt + cut(0.68).size() + 1200));
  EXPECT_LT(r[1].Score, r[1].Threshold);
  // Cut late, the clip passes as a whole; its newest pieces, which did not play, say it was cut
  // (to the nearest piece).
  EXPECT_NEAR(static_cast<double>(r[2].Begin), static_cast<double>(lateAt), 1200.0);
  EXPECT_NEAR(r[2].Seen, 0.8, 0.1);
  // Cut off by the input's end: judged where the whole clip would have ended.
  EXPECT_NEAR(static_cast<double>(r[3].Begin), static_cast<double>(endAt), 1200.0);
  EXPECT_GT(r[3].Seen, 0.5f);
  EXPECT_LE(r[3].Seen, 0.7f);
  // Whole occurrences only: the clip cut short early is not reported, the one cut late is, whole.
  const std::vector<DetectorReport> wholeOnly = scan(1.0f);
  ASSERT_EQ(wholeOnly.size(), 2u);
  EXPECT_EQ(wholeOnly[0].Begin, r[0].Begin);
  EXPECT_EQ(wholeOnly[1].Seen, 1.0f);
}

// An occurrence found by both distances is reported once; a tentative report (which the check
// after the detector may drop) never keeps a firm one of the same occurrence out.
TEST(PatternDetector, TheReportStoreLetsAFirmReportPastATentativeOne) {
  spdet::ReportStore store;
  store.Reset(2);
  const auto report = [](int group, std::int64_t begin, int tentative) {
    DetectorReport r;
    r.Group = group;
    r.Begin = begin;
    r.End = begin + 1000;
    r.Tentative = tentative;
    return r;
  };
  store.Add(report(0, 0, 1));
  store.Add(report(0, 100, 0));  // firm, over the tentative one: added
  store.Add(report(0, 200, 1));  // tentative, over either: a repeat
  store.Add(report(0, 300, 0));  // firm over firm: a repeat
  store.Add(report(1, 0, 0));    // another group
  ASSERT_EQ(store.Count(), 3);
  EXPECT_EQ(store.At(1)->Begin, 100);
  EXPECT_EQ(store.At(2)->Group, 1);
}
