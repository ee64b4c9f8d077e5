// The engine's initialisations and parameters, the block pipeline and the pattern record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "test_support.h"

namespace {

struct TestEngine : TimeSpectrumEstimation {
  using TimeSpectrumEstimation::SetNewRecognizeParam;
};

float* const kWindow = const_cast<float*>(StandardDftWindow);

std::vector<float> Ring(const TimeSpectrumEstimation& e) {
  return std::vector<float>(e.TimeSpectrum, e.TimeSpectrum + e.NTimeSpectrum);
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Feeds x in calls of `step` samples; false when a call is refused.
bool Feed(TimeSpectrumEstimation& e, const std::vector<float>& x, std::size_t step, std::size_t from = 0,
          std::size_t to = 0) {
  if (to == 0) to = x.size();
  for (std::size_t i = from; i + step <= to; i += step)
    if (e.TimeSpectrumEst(static_cast<sp_long>(step), const_cast<float*>(x.data() + i)) != 1) return false;
  return true;
}

}  // namespace

TEST(EngineInit, StandardGeometryModesAndRefusals) {
  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  // Nband, NsampleBlock, NsDelay; 4 s at 44100 Hz: 2450 band values, rounded up to 2456 = 307
  // blocks of 8.
  EXPECT_EQ(std::vector<int>({e.Nband, e.NsampleBlock, static_cast<int>(e.NsDelay), e.NTimeSpectrum, e.Nblock}),
            std::vector<int>({8, 576, 1404, 2456, 307}));
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 100), 1);
  EXPECT_EQ(e.Nblock, 100);
  e.MaxCreatedPatternDuration = 2.0f;  // 1225 values, rounded up to 154 blocks
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  EXPECT_EQ(e.Nblock, 154);

  struct Case { sp_ulong mode; int bandLast, regime; };
  for (const Case& c : {Case{0x20000u, 7, 3}, Case{0x40000u, 4, 2}, Case{0x80000u, 2, 1}, Case{0x100000u, 0, 0},
                        Case{0u, 7, 3}}) {
    TestEngine m;
    EXPECT_EQ(m.InitTimeSpectrumEst(c.mode, 1152, 0, 0), 1) << std::hex << c.mode;
    EXPECT_EQ(m.BandLast, c.bandLast) << std::hex << c.mode;
    EXPECT_EQ(m.AccelerationRegime, c.regime) << std::hex << c.mode;
  }
  {
    sptest::LogCapture log;
    TestEngine bad;
    EXPECT_EQ(bad.InitTimeSpectrumEst(0x10000u, 1152, 0, 0), 0);
    EXPECT_EQ(bad.fInitialized, 0);
    EXPECT_EQ(log.Utf8Lines().at(1), "Mode=00010000");
  }

  // Low level: no pre-filter needs no coefficients; refusals leave the engine as it was.
  ASSERT_EQ(e.InitTimeSpectrumEst(4, 0, nullptr, 16, 128, kWindow, 288, 144, 4.0f, 44100.0f, 1152, 0, 50), 1);
  EXPECT_EQ(e.BiqCoef, nullptr);
  float* ring = e.TimeSpectrum;
  float coef[5] = {0.0f, 0.0f, 1.0f, 0.0f, 0.0f};
  struct Args { int ndecIn, nbiq; float* coef; int nframeAvg, nframeHop; float duration, fs; int nsampleMax, nblock; };
  const Args refused[] = {
      {4, 1, nullptr, 288, 144, 4.0f, 44100.0f, 1152, 20},  // coefficients missing
      {4, 1, coef, 288, 144, 4.0f, 44100.0f, 15, 20},       // NsampleMax < Ndft
      {0, 1, coef, 288, 144, 4.0f, 44100.0f, 1152, 20},     {4, -1, coef, 288, 144, 4.0f, 44100.0f, 1152, 20},
      {4, 1, coef, 0, 144, 4.0f, 44100.0f, 1152, 20},       {4, 1, coef, 288, 0, 4.0f, 44100.0f, 1152, 20},
      {4, 1, coef, 288, 144, 0.0f, 44100.0f, 1152, 20},     {4, 1, coef, 288, 144, 4.0f, 0.0f, 1152, 20},
      {4, 1, coef, 288, 144, 4.0f, 44100.0f, 1152, -1}};
  for (const Args& a : refused)
    EXPECT_EQ(e.InitTimeSpectrumEst(a.ndecIn, a.nbiq, a.coef, 16, 128, kWindow, a.nframeAvg, a.nframeHop, a.duration,
                                    a.fs, a.nsampleMax, 0, a.nblock),
              0);
  EXPECT_EQ(e.fInitialized, 1);
  EXPECT_EQ(e.Nblock, 50);
  EXPECT_EQ(e.TimeSpectrum, ring);
  // NsampleMax equal to Ndft is the smallest accepted; the coefficients are copied.
  EXPECT_EQ(e.InitTimeSpectrumEst(4, 1, coef, 16, 128, kWindow, 288, 144, 4.0f, 44100.0f, 16, 0, 20), 1);
  ASSERT_NE(e.BiqCoef, coef);
  EXPECT_EQ(e.BiqCoef[2], 1.0f);
}

TEST(EngineParams, RecordsDeferredParametersAndUnload) {
  SigRecognitionPar par;
  par.fStatistics = 1;
  par.LevMax_dB = 10.0f;
  par.BandGainMin_dB = -3.0f;
  par.RefreshDerivedValues();
  EXPECT_EQ(par.fUseRelDevMPB, 0);
  EXPECT_EQ(par.LevMax, std::pow(10.0f, 10.0f / 10.0f));
  EXPECT_EQ(par.BandGainMin, std::pow(10.0f, -3.0f / 10.0f));
  RecognizeParam rp;
  EXPECT_EQ(rp.Init(0), 0);
  ASSERT_EQ(rp.Init(1), 1);
  rp.Value[1] = 5.0f;  // at least two entries are allocated
  rp.Release();  // a plain record: its owner releases it

  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  SigRecognitionPar& n = e.NewRecognitionPar;
  n.TresholdRelDeviation = -1.0f;
  n.TresholdRelDeviationMPB = 0.5f;
  n.Mode = 0x100000u;
  n.LevNoise_dB = -30.0f;
  n.fOutInfo = 1;
  n.fUseRelDevMPB = 0;
  n.Fs = 22050.0f;
  n.LevMax_dB = 3.0f;
  n.LevMax = 2.0f;
  n.fStatistics = 1;
  e.SetNewRecognizeParam();
  // A negative threshold keeps the old one; the linear ratios are taken over, the dB fields,
  // rate and statistics flag are not.
  EXPECT_EQ(std::vector<float>({e.RecPar.TresholdRelDeviation, e.RecPar.TresholdRelDeviationMPB, e.RecPar.LevMax,
                                e.RecPar.LevMax_dB, e.RecPar.Fs}),
            std::vector<float>({0.9f, 0.5f, 2.0f, 20.0f, 44100.0f}));
  EXPECT_EQ(std::vector<int>({e.BandLast, e.AccelerationRegime, e.fOutInfo, e.RecPar.fUseRelDevMPB,
                              e.RecPar.fStatistics}),
            std::vector<int>({0, 0, 1, 0, 0}));
  EXPECT_EQ(e.LevNoise, static_cast<float>(std::pow(10.0, -3.0)) / 16.0f);

  // A partial release keeps the test-data name and the pattern bookkeeping.
  e.TestDataFileName = new char[8]{"td.tvd"};
  e.NPattern = 3;
  e.fRecognitionMode = 1;
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), -1);  // nothing recognized yet
  e.NRecognize = 2;
  e.LastRecognizedPattern = 1;
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), 1);
  e.UnloadTimeSpectrumObj(0);
  EXPECT_EQ(e.fInitialized + e.DFTFilter::fInit, 0);
  EXPECT_EQ(e.TimeSpectrum, nullptr);
  EXPECT_STREQ(e.TestDataFileName, "td.tvd");
  EXPECT_EQ(e.NPattern, 3);
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), -1);
  std::vector<float> x(1152, 0.1f);
  EXPECT_EQ(e.TimeSpectrumEst(1152, x.data()), 0);
  e.UnloadTimeSpectrumObj(1);
  EXPECT_EQ(e.TestDataFileName, nullptr);
  e.UnloadTimeSpectrumObj(1);  // repeated release is harmless
}

TEST(Pipeline, BlockSplittingRefusalsAndRegimes) {
  std::vector<float> x = sptest::Noise(1152 * 6, 0.3, 7);
  TestEngine whole, halves;
  ASSERT_EQ(whole.InitTimeSpectrumEst(0x20000u, 1152, 0, 5), 1);
  ASSERT_EQ(halves.InitTimeSpectrumEst(0x20000u, 1152, 0, 5), 1);
  ASSERT_EQ(whole.TimeSpectrumEst(1152, x.data()), 1);
  EXPECT_EQ(whole.NblockCur, 2);  // two time blocks per 1152-sample call
  ASSERT_TRUE(Feed(halves, x, 576, 0, 1152));
  EXPECT_EQ(halves.NCurrentSample, 1152u);
  EXPECT_TRUE(SameBits(Ring(whole), Ring(halves)));

  // Refusals change nothing.
  std::vector<float> before = Ring(whole);
  for (sp_long n : {577, 0, -576, 1728}) EXPECT_EQ(whole.TimeSpectrumEst(n, x.data()), 0) << n;  // 1728 > NsampleMax
  EXPECT_EQ(whole.TimeSpectrumEst(576, nullptr), 0);
  EXPECT_EQ(whole.NCurrentSample, 1152u);
  EXPECT_EQ(whole.NblockCur, 2);
  EXPECT_EQ(whole.FrameInHop, 0);
  EXPECT_TRUE(SameBits(before, Ring(whole)));
  TestEngine idle;
  EXPECT_EQ(idle.TimeSpectrumEst(576, x.data()), 0);

  // Longer runs stay identical, through the wrap-around of the 5-block ring.
  ASSERT_TRUE(Feed(whole, x, 1152, 1152));
  ASSERT_TRUE(Feed(halves, x, 576, 1152));
  EXPECT_EQ(whole.NblockCur, 12 % 5);
  EXPECT_EQ(halves.NblockCur, whole.NblockCur);
  EXPECT_TRUE(SameBits(Ring(whole), Ring(halves)));

  // A released filter bank refuses every block.
  whole.DFTFilter::UnloadObj();
  EXPECT_EQ(whole.TimeSpectrumEst(1152, x.data()), 0);
  EXPECT_EQ(whole.TimeSpectrumEst(576, x.data()), 0);
  EXPECT_EQ(whole.NCurrentSample, 6912u);

  // Reduced band ranges: bands above BandLast never receive a frame, so they stay 0.
  struct Case { sp_ulong mode; int lastComputed; };
  for (const Case& c : {Case{0x100000u, 0}, Case{0x80000u, 2}, Case{0x40000u, 4}}) {
    TestEngine e;
    ASSERT_EQ(e.InitTimeSpectrumEst(c.mode, 1152, 0, 10), 1);
    ASSERT_TRUE(Feed(e, sptest::Noise(1152 * 4, 0.5, 3), 1152));
    for (int t = 1; t < 8; ++t)  // blocks 1..7 average real frames
      for (int b = 0; b < 8; ++b)
        EXPECT_EQ(e.TimeSpectrum[t * 8 + b] > 0.0f, b <= c.lastComputed)
            << std::hex << c.mode << " block " << t << " band " << b;
  }
}

// Without a pre-filter the pipeline is: every 4th sample into the filter bank, and every 144
// frames the mean of the last 288 frames (newest first, zero rows before the first frame).
TEST(Pipeline, MatchesReferenceModelWithoutPrefilter) {
  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(4, 0, nullptr, 16, 128, kWindow, 288, 144, 4.0f, 44100.0f, 1152, 0, 20), 1);
  std::vector<float> x = sptest::Noise(1152 * 8, 0.5, 99);
  for (std::size_t i = 0; i < 2000; ++i) x[i] += 0.3f * std::sin(0.07f * static_cast<float>(i));
  ASSERT_TRUE(Feed(e, x, 1152));

  DFTFilter ref;
  ASSERT_EQ(ref.InitDFTFilter(16, 128, kWindow, 1, 1, -1), 1);
  const std::size_t nFrames = x.size() / 4;
  std::vector<float> frames(nFrames * 8, 0.0f);
  for (std::size_t i = 0; i < nFrames; ++i) ASSERT_EQ(ref.ProcDFTFilterPow(1, &x[i * 4], &frames[i * 8], 0), 1);
  std::vector<float> expected(static_cast<std::size_t>(e.NTimeSpectrum), 0.0f);
  const float inv = 1.0f / 288.0f;
  for (std::size_t i = 0; i < nFrames; i += 144)
    for (int b = 0; b < 8; ++b) {
      float sum = 0.0f;
      for (std::size_t k = 0; k < 288 && k <= i; ++k) sum += frames[(i - k) * 8 + b];
      expected[(i / 144) % 20 * 8 + b] = sum * inv;
    }
  EXPECT_TRUE(SameBits(expected, Ring(e)));
}

TEST(EngineCopy, DeepCopyMidStream) {
  std::vector<float> x = sptest::Noise(1152 * 12, 0.4, 11);
  TestEngine reference, source;
  ASSERT_EQ(reference.InitTimeSpectrumEst(0x20000u, 1152, 0, 6), 1);
  ASSERT_EQ(source.InitTimeSpectrumEst(0x20000u, 1152, 0, 6), 1);
  ASSERT_TRUE(Feed(reference, x, 1152));
  ASSERT_TRUE(Feed(source, x, 1152, 0, 1152 * 4));

  auto copy = std::make_unique<TimeSpectrumEstimation>(source);
  EXPECT_NE(copy->TimeSpectrum, source.TimeSpectrum);
  EXPECT_NE(copy->BiqState, source.BiqState);
  ASSERT_TRUE(Feed(source, x, 1152, 1152 * 4, 1152 * 8));
  ASSERT_TRUE(Feed(*copy, x, 1152, 1152 * 4, 1152 * 8));
  EXPECT_TRUE(SameBits(Ring(source), Ring(*copy)));

  // Destroying a copy leaves the source working, and the other way round.
  copy.reset();
  TimeSpectrumEstimation assigned;
  auto temp = std::make_unique<TestEngine>();
  *temp = source;
  assigned = *temp;
  temp.reset();
  ASSERT_TRUE(Feed(source, x, 576, 1152 * 8));
  ASSERT_TRUE(Feed(assigned, x, 1152, 1152 * 8));
  EXPECT_TRUE(SameBits(Ring(reference), Ring(source)));
  EXPECT_TRUE(SameBits(Ring(reference), Ring(assigned)));
  EXPECT_EQ(assigned.NCurrentSample, reference.NCurrentSample);
}

TEST(PatternRecord, UnloadAndForget) {
  {
    SignalTVSEx r;
    r.BandRms = new float[2];
    r.SpectrumByBand = new float[6];
    r.InputFileName = new char[4]{"abc"};
    r.RelDevScalingFactor = new float[3];
    r.AmpRanges = new AmpRanges[3];
    r.Unload();
    EXPECT_EQ(r.BandRms, nullptr);
    EXPECT_EQ(r.AmpRanges, nullptr);
    r.Unload();  // twice is harmless
  }
  // Forget drops the stored arrays without releasing them (they stay ours here); the scaling
  // factors are not forgotten, so the (virtual) destructor releases them.
  std::unique_ptr<float[]> band(new float[2]), byBand(new float[6]);
  std::unique_ptr<char[]> name(new char[4]{"abc"});
  auto* r = new SignalTVSEx();
  r->BandRms = band.get();
  r->SpectrumByBand = byBand.get();
  r->InputFileName = name.get();
  r->RelDevScalingFactor = new float[3];
  r->Forget();
  EXPECT_EQ(r->BandRms, nullptr);
  EXPECT_EQ(r->InputFileName, nullptr);
  EXPECT_NE(r->RelDevScalingFactor, nullptr);
  delete static_cast<SignalTVS*>(r);
}
