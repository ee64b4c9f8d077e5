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
#include "detector_test_clips.h"
#include "test_support.h"

using sptest::TempDir;


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
