// Tests of the engine's state and initialisations, the block pipeline and the pattern record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "test_support.h"

namespace {

struct TestEngine : TimeSpectrumEstimation {
  using TimeSpectrumEstimation::SetAccelerationRegime;
  using TimeSpectrumEstimation::SetNewRecognizeParam;
};

std::vector<float> StandardWindow() {
  return std::vector<float>(StandardDftWindow, StandardDftWindow + StandardDftWindowLength);
}

std::vector<float> Ring(const TimeSpectrumEstimation& e) {
  return std::vector<float>(e.TimeSpectrum, e.TimeSpectrum + e.NTimeSpectrum);
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Feeds x in calls of `step` samples; returns false when a call is refused.
bool Feed(TimeSpectrumEstimation& e, const std::vector<float>& x, std::size_t step) {
  for (std::size_t i = 0; i + step <= x.size(); i += step)
    if (e.TimeSpectrumEst(static_cast<sp_long>(step), const_cast<float*>(x.data() + i)) != 1) return false;
  return true;
}

const float* NewestBlock(const TimeSpectrumEstimation& e) {
  int row = (e.NblockCur - 1 + e.Nblock) % e.Nblock;
  return e.TimeSpectrum + row * e.Nband;
}

}  // namespace

// ---- lifecycle and initialisation

TEST(EngineInit, ConstructionDefaultsAndStandardGeometry) {
  TestEngine e;
  EXPECT_EQ(e.fInitialized, 0);
  EXPECT_EQ(e.hTestDataFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(e.MaxCreatedPatternDuration, 4.0f);
  EXPECT_EQ(e.NewRecognitionPar.Mode, 0x20000u);
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), -1);
  EXPECT_STREQ(e.GetPatternFileName(), "");

  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  EXPECT_EQ(e.Ndft, 16);
  EXPECT_EQ(e.Nband, 8);
  EXPECT_EQ(e.NsampleBlock, 576);
  EXPECT_EQ(e.NsDelay, 1404);
  // 4 s at 44100 Hz: 2450 band values, rounded up to 2456 = 307 blocks of 8.
  EXPECT_EQ(e.NTimeSpectrum, 2456);
  EXPECT_EQ(e.Nblock, 307);
  EXPECT_EQ(e.MonitorParam.Nvalue, 1);

  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 100), 1);
  EXPECT_EQ(e.Nblock, 100);
  EXPECT_EQ(e.NTimeSpectrum, 800);

  // The ring follows the duration limit: 2 s gives 1225 values, rounded up to 154 blocks.
  e.MaxCreatedPatternDuration = 2.0f;
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  EXPECT_EQ(e.Nblock, 154);
}

TEST(EngineInit, ModeWordsAndAccelerationRegimes) {
  struct Case {
    sp_ulong mode;
    int bandLast;
    int regime;
  };
  const Case cases[] = {{0x20000u, 7, 3}, {0x40000u, 4, 2}, {0x80000u, 2, 1}, {0x100000u, 0, 0}, {0u, 7, 3}};
  for (const Case& c : cases) {
    sptest::LogCapture log;
    TestEngine e;
    EXPECT_EQ(e.InitTimeSpectrumEst(c.mode, 1152, 0, 0), 1) << std::hex << c.mode;
    EXPECT_EQ(e.Mode, c.mode);
    EXPECT_EQ(e.BandFirst, 0);
    EXPECT_EQ(e.BandLast, c.bandLast) << std::hex << c.mode;
    EXPECT_EQ(e.AccelerationRegime, c.regime) << std::hex << c.mode;
    EXPECT_TRUE(log.lines().empty());
  }

  sptest::LogCapture log;
  TestEngine e;
  EXPECT_EQ(e.InitTimeSpectrumEst(0x10000u, 1152, 0, 0), 0);
  EXPECT_EQ(e.fInitialized, 0);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].utf8, "InitTimeSpectrumEst(Mode,file): ошибка значения Mode");
  EXPECT_EQ(log.lines()[1].utf8, "Mode=00010000");
  EXPECT_EQ(log.lines()[0].channel, 0u);
  // The message is emitted in Windows-1251: "ошибка" starts with 0xEE.
  EXPECT_NE(log.lines()[0].raw.find("\xEE\xF8\xE8\xE1\xEA\xE0"), std::string::npos);
}

TEST(EngineInit, LowLevelRefusalsLeaveTheEngineUnchanged) {
  std::vector<float> win = StandardWindow();
  float* w = win.data();
  TestEngine e;
  // No pre-filter: a null coefficient pointer is fine.
  ASSERT_EQ(e.InitTimeSpectrumEst(4, 0, nullptr, 16, 128, w, 288, 144, 4.0f, 44100.0f, 1152, 0, 50), 1);
  EXPECT_EQ(e.BiqCoef, nullptr);
  EXPECT_EQ(e.Nblock, 50);
  float* ring = e.TimeSpectrum;

  float coef[5] = {0.0f, 0.0f, 1.0f, 0.0f, 0.0f};
  struct Args {
    int ndecIn, nbiq;
    float* coef;
    int nframeAvg, nframeHop;
    float duration, fs;
    int nsampleMax, nblockPattern;
  };
  const Args refused[] = {{4, 1, nullptr, 288, 144, 4.0f, 44100.0f, 1152, 20},  // coefficients missing
                          {4, 1, coef, 288, 144, 4.0f, 44100.0f, 15, 20},       // NsampleMax < Ndft
                          {0, 1, coef, 288, 144, 4.0f, 44100.0f, 1152, 20},  {4, -1, coef, 288, 144, 4.0f, 44100.0f, 1152, 20},
                          {4, 1, coef, 0, 144, 4.0f, 44100.0f, 1152, 20},    {4, 1, coef, 288, 0, 4.0f, 44100.0f, 1152, 20},
                          {4, 1, coef, 288, 144, 0.0f, 44100.0f, 1152, 20},  {4, 1, coef, 288, 144, 4.0f, 0.0f, 1152, 20},
                          {4, 1, coef, 288, 144, 4.0f, 44100.0f, 1152, -1}};
  for (const Args& a : refused)
    EXPECT_EQ(e.InitTimeSpectrumEst(a.ndecIn, a.nbiq, a.coef, 16, 128, w, a.nframeAvg, a.nframeHop, a.duration, a.fs,
                                    a.nsampleMax, 0, a.nblockPattern),
              0);
  EXPECT_EQ(e.fInitialized, 1);
  EXPECT_EQ(e.Nbiq, 0);
  EXPECT_EQ(e.Nblock, 50);
  EXPECT_EQ(e.TimeSpectrum, ring);

  // NsampleMax equal to Ndft is the smallest accepted.
  EXPECT_EQ(e.InitTimeSpectrumEst(4, 1, coef, 16, 128, w, 288, 144, 4.0f, 44100.0f, 16, 0, 20), 1);
  EXPECT_EQ(e.Nbiq, 1);
  ASSERT_NE(e.BiqCoef, nullptr);
  EXPECT_NE(e.BiqCoef, coef);
  EXPECT_EQ(e.BiqCoef[2], 1.0f);
}

TEST(EngineParams, RecordsAndDeferredParameters) {
  SigRecognitionPar par;
  EXPECT_EQ(par.fUseRelDevMPB, 1);
  par.fStatistics = 1;
  par.LevMax_dB = 10.0f;
  par.BandGainMin_dB = -3.0f;
  par.RefreshDerivedValues();
  EXPECT_EQ(par.fUseRelDevMPB, 0);
  EXPECT_FLOAT_EQ(par.LevMax, 10.0f);
  EXPECT_EQ(par.LevMax, std::pow(10.0f, 10.0f / 10.0f));
  EXPECT_EQ(par.BandGainMin, std::pow(10.0f, -3.0f / 10.0f));
  EXPECT_FLOAT_EQ(par.LevMin, 0.01f);

  RecognizeParam rp;
  EXPECT_EQ(rp.Init(0), 0);
  ASSERT_EQ(rp.Init(1), 1);
  rp.Value[1] = 5.0f;  // at least two entries are allocated
  rp.Release();
  EXPECT_EQ(rp.Nvalue, 0);

  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  e.NewRecognitionPar.TresholdRelDeviation = -1.0f;
  e.NewRecognitionPar.TresholdRelDeviationMPB = 0.5f;
  e.NewRecognitionPar.Mode = 0x100000u;
  e.NewRecognitionPar.LevNoise_dB = -30.0f;
  e.NewRecognitionPar.fOutInfo = 1;
  e.NewRecognitionPar.fUseRelDevMPB = 0;
  e.NewRecognitionPar.Fs = 22050.0f;
  e.NewRecognitionPar.LevMax_dB = 3.0f;
  e.NewRecognitionPar.LevMax = 2.0f;
  e.NewRecognitionPar.fStatistics = 1;
  e.SetNewRecognizeParam();
  EXPECT_EQ(e.RecPar.TresholdRelDeviation, 0.9f);  // negative: the old threshold stays
  EXPECT_EQ(e.RecPar.TresholdRelDeviationMPB, 0.5f);
  EXPECT_EQ(e.BandLast, 0);
  EXPECT_EQ(e.AccelerationRegime, 0);
  EXPECT_EQ(e.LevNoise, static_cast<float>(std::pow(10.0, -3.0)) / 16.0f);
  EXPECT_EQ(e.fOutInfo, 1);
  EXPECT_EQ(e.RecPar.fUseRelDevMPB, 0);
  EXPECT_EQ(e.RecPar.LevMax, 2.0f);  // linear ratios are taken over ...
  EXPECT_EQ(e.RecPar.LevMax_dB, 20.0f);  // ... the dB fields, rate and statistics flag are not
  EXPECT_EQ(e.RecPar.Fs, 44100.0f);
  EXPECT_EQ(e.RecPar.fStatistics, 0);
}

TEST(EngineInit, UnloadAndRecognitionGetters) {
  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  e.TestDataFileName = new char[8]{"td.tvd"};
  e.NPattern = 3;
  e.fRecognitionMode = 1;
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), -1);  // set up, nothing recognized yet
  e.NRecognize = 2;
  e.LastRecognizedPattern = 1;
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), 1);

  e.UnloadTimeSpectrumObj(0);
  EXPECT_EQ(e.fInitialized, 0);
  EXPECT_EQ(e.fRecognitionMode, 0);
  EXPECT_EQ(e.TimeSpectrum, nullptr);
  EXPECT_EQ(e.DftPowRing, nullptr);
  EXPECT_EQ(e.BiqCoef, nullptr);
  EXPECT_EQ(e.BandLevelCur, nullptr);
  EXPECT_EQ(e.MonitorParam.Value, nullptr);
  EXPECT_EQ(e.DFTFilter::fInit, 0);
  EXPECT_STREQ(e.TestDataFileName, "td.tvd");  // survives a partial release
  EXPECT_EQ(e.NPattern, 3);
  EXPECT_EQ(e.NRecognize, 2);
  EXPECT_EQ(e.GetLastRecognizedPatternNumber(), -1);
  std::vector<float> x(1152, 0.1f);
  EXPECT_EQ(e.TimeSpectrumEst(1152, x.data()), 0);

  e.UnloadTimeSpectrumObj(1);
  EXPECT_EQ(e.TestDataFileName, nullptr);
  e.UnloadTimeSpectrumObj(1);  // repeated release is harmless
  EXPECT_EQ(e.TestDataFileName, nullptr);
}

// ---- block pipeline

TEST(Pipeline, BlockSplittingAndRefusals) {
  std::vector<float> x = sptest::Noise(1152 * 6, 0.3, 7);
  TestEngine whole, halves;
  ASSERT_EQ(whole.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  ASSERT_EQ(halves.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);

  ASSERT_EQ(whole.TimeSpectrumEst(1152, x.data()), 1);
  EXPECT_EQ(whole.NblockCur, 2);  // two time blocks per 1152-sample call
  EXPECT_EQ(whole.NCurrentSample, 1152u);
  ASSERT_EQ(halves.TimeSpectrumEst(576, x.data()), 1);
  EXPECT_EQ(halves.NblockCur, 1);
  EXPECT_EQ(halves.NCurrentSample, 576u);
  ASSERT_EQ(halves.TimeSpectrumEst(576, x.data() + 576), 1);
  EXPECT_EQ(halves.NCurrentSample, 1152u);
  EXPECT_EQ(halves.NblockCur, 2);
  EXPECT_TRUE(SameBits(Ring(whole), Ring(halves)));

  // Refusals change nothing.
  std::vector<float> before = Ring(whole);
  EXPECT_EQ(whole.TimeSpectrumEst(577, x.data()), 0);
  EXPECT_EQ(whole.TimeSpectrumEst(0, x.data()), 0);
  EXPECT_EQ(whole.TimeSpectrumEst(-576, x.data()), 0);
  EXPECT_EQ(whole.TimeSpectrumEst(1728, x.data()), 0);  // above NsampleMax
  EXPECT_EQ(whole.TimeSpectrumEst(576, nullptr), 0);
  EXPECT_EQ(whole.NCurrentSample, 1152u);
  EXPECT_EQ(whole.NblockCur, 2);
  EXPECT_EQ(whole.FrameInHop, 0);
  EXPECT_TRUE(SameBits(before, Ring(whole)));

  // Longer runs stay identical, including the ring wrap-around of a short ring.
  TestEngine a, b;
  ASSERT_EQ(a.InitTimeSpectrumEst(0x20000u, 1152, 0, 5), 1);
  ASSERT_EQ(b.InitTimeSpectrumEst(0x20000u, 1152, 0, 5), 1);
  ASSERT_TRUE(Feed(a, x, 1152));
  ASSERT_TRUE(Feed(b, x, 576));
  EXPECT_EQ(a.NCurrentSample, 6912u);
  EXPECT_EQ(a.NblockCur, 12 % 5);
  EXPECT_EQ(b.NblockCur, a.NblockCur);
  EXPECT_TRUE(SameBits(Ring(a), Ring(b)));

  TestEngine idle;
  EXPECT_EQ(idle.TimeSpectrumEst(576, x.data()), 0);
}

// Without a pre-filter the pipeline is: every 4th sample into the filter bank, and every 144
// frames the mean of the last 288 frames (newest first, zero rows before the first frame).
TEST(Pipeline, MatchesReferenceModelWithoutPrefilter) {
  std::vector<float> win = StandardWindow();
  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(4, 0, nullptr, 16, 128, win.data(), 288, 144, 4.0f, 44100.0f, 1152, 0, 20), 1);
  std::vector<float> x = sptest::Noise(1152 * 8, 0.5, 99);
  for (std::size_t i = 0; i < 2000; ++i) x[i] += 0.3f * std::sin(0.07f * static_cast<float>(i));
  ASSERT_TRUE(Feed(e, x, 1152));

  DFTFilter ref;
  ASSERT_EQ(ref.InitDFTFilter(16, 128, win.data(), 1, 1, -1), 1);
  const std::size_t nFrames = x.size() / 4;
  std::vector<float> frames(nFrames * 8, 0.0f);
  for (std::size_t i = 0; i < nFrames; ++i) ASSERT_EQ(ref.ProcDFTFilterPow(1, &x[i * 4], &frames[i * 8], 0), 1);
  std::vector<float> expected(static_cast<std::size_t>(e.NTimeSpectrum), 0.0f);
  const float inv = 1.0f / 288.0f;
  for (std::size_t i = 0; i < nFrames; i += 144) {
    std::size_t row = (i / 144) % 20;
    for (int b = 0; b < 8; ++b) {
      float sum = 0.0f;
      for (std::size_t k = 0; k < 288 && k <= i; ++k) sum += frames[(i - k) * 8 + b];
      expected[row * 8 + b] = sum * inv;
    }
  }
  EXPECT_TRUE(SameBits(expected, Ring(e)));
}

TEST(Pipeline, SineSilenceAndAccelerationRegimes) {
  {
    TestEngine e;
    ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
    std::vector<float> zeros(1152 * 4, 0.0f);
    ASSERT_TRUE(Feed(e, zeros, 1152));
    for (float v : Ring(e)) ASSERT_EQ(v, 0.0f);
  }
  {
    TestEngine e;
    ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
    ASSERT_TRUE(Feed(e, sptest::Sine(1152 * 8, 689.0625, 1.0), 1152));
    const float* block = NewestBlock(e);
    int best = 0;
    for (int b = 1; b < 8; ++b)
      if (block[b] > block[best]) best = b;
    EXPECT_EQ(best, 1);
    EXPECT_GT(block[1], 100.0f * block[4]);
  }
  // Reduced band ranges: bands above BandLast never receive a frame, so they stay 0.
  struct Case {
    sp_ulong mode;
    int lastComputed;
  };
  for (const Case& c : {Case{0x100000u, 0}, Case{0x80000u, 2}, Case{0x40000u, 4}}) {
    TestEngine e;
    ASSERT_EQ(e.InitTimeSpectrumEst(c.mode, 1152, 0, 10), 1);
    ASSERT_TRUE(Feed(e, sptest::Noise(1152 * 4, 0.5, 3), 1152));
    ASSERT_EQ(e.NblockCur, 8);
    for (int t = 0; t < e.Nblock; ++t)
      for (int b = 0; b < 8; ++b) {
        float v = e.TimeSpectrum[t * 8 + b];
        // Blocks 1..7 average real frames; block 0 holds the very first frame only.
        if (b > c.lastComputed) {
          EXPECT_EQ(v, 0.0f) << std::hex << c.mode << " block " << t << " band " << b;
        } else if (t >= 1 && t < 8) {
          EXPECT_GT(v, 0.0f) << std::hex << c.mode << " block " << t << " band " << b;
        }
      }
  }
}

TEST(Pipeline, ReleasedFilterBankRefusesEveryBlock) {
  TestEngine e;
  ASSERT_EQ(e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0), 1);
  std::vector<float> x = sptest::Noise(1152, 0.3, 5);
  ASSERT_EQ(e.TimeSpectrumEst(1152, x.data()), 1);
  e.DFTFilter::UnloadObj();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(e.TimeSpectrumEst(1152, x.data()), 0);
    EXPECT_EQ(e.TimeSpectrumEst(576, x.data()), 0);
  }
  EXPECT_EQ(e.NCurrentSample, 1152u);
}

TEST(EngineCopy, DeepCopyMidStream) {
  std::vector<float> x = sptest::Noise(1152 * 12, 0.4, 11);
  std::vector<float> first(x.begin(), x.begin() + 1152 * 4);
  std::vector<float> second(x.begin() + 1152 * 4, x.begin() + 1152 * 8);
  std::vector<float> third(x.begin() + 1152 * 8, x.end());

  TestEngine reference;
  ASSERT_EQ(reference.InitTimeSpectrumEst(0x20000u, 1152, 0, 6), 1);
  ASSERT_TRUE(Feed(reference, x, 1152));

  TestEngine source;
  ASSERT_EQ(source.InitTimeSpectrumEst(0x20000u, 1152, 0, 6), 1);
  ASSERT_TRUE(Feed(source, first, 1152));

  auto copy = std::make_unique<TimeSpectrumEstimation>(source);
  EXPECT_EQ(copy->fInitialized, 1);
  EXPECT_NE(copy->TimeSpectrum, source.TimeSpectrum);
  EXPECT_NE(copy->DftPowRing, source.DftPowRing);
  EXPECT_NE(copy->BiqState, source.BiqState);
  EXPECT_NE(copy->Hist, source.Hist);
  EXPECT_EQ(copy->NCurrentSample, source.NCurrentSample);
  ASSERT_TRUE(Feed(source, second, 1152));
  ASSERT_TRUE(Feed(*copy, second, 1152));
  EXPECT_TRUE(SameBits(Ring(source), Ring(*copy)));
  EXPECT_EQ(copy->NblockCur, source.NblockCur);

  // Destroying the copy leaves the source working, and the other way round.
  copy.reset();
  TimeSpectrumEstimation assigned;
  auto temp = std::make_unique<TestEngine>();
  *temp = source;  // copy assignment of the engine part
  assigned = *temp;
  temp.reset();
  ASSERT_TRUE(Feed(source, third, 576));
  ASSERT_TRUE(Feed(assigned, third, 1152));
  EXPECT_TRUE(SameBits(Ring(reference), Ring(source)));
  EXPECT_TRUE(SameBits(Ring(reference), Ring(assigned)));
  EXPECT_EQ(assigned.NCurrentSample, reference.NCurrentSample);
}

// ---- pattern record

TEST(PatternRecord, NewRecordDefaults) {
  SignalTVSEx r;
  const void* refs[] = {r.BandRms, r.Spectrum, r.SpectrumByBand, r.AmpRanges, r.Range, r.NSamplePerRange,
                        r.BackNSampleNoTransientRange, r.RelDevScalingFactor, r.AbsDevScalingFactor,
                        r.InputFileName, r.PatternStat, r.SpectrumKnown, r.SpectrumFound};
  for (const void* p : refs) EXPECT_EQ(p, nullptr);
  EXPECT_EQ(r.Nband, 0);
  EXPECT_EQ(r.Fs, 44100.0f);
  EXPECT_EQ(r.fUsePattern, 1);
  EXPECT_EQ(r.fLevelGate, 1);
  EXPECT_EQ(r.BandMaxRms, 1);
  for (float v : {r.MeanRms, r.InvNblock, r.InvNband, r.InvNbandNblock, r.LevelKnown, r.LevelFound}) EXPECT_EQ(v, 1.0f);
  for (float v : {r.RelDev, r.RelDevMPB, r.RelDevMin, r.RelDevMax}) EXPECT_EQ(v, 2.0f);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r.FileName[i], 0);
}

TEST(PatternRecord, UnloadTwiceForgetAndCopy) {
  {
    SignalTVSEx r;
    r.Nband = 2;
    r.Nblock = 3;
    r.BandRms = new float[2];
    r.Spectrum = new float[6];
    r.SpectrumByBand = new float[6];
    r.InputFileName = new char[4]{"abc"};
    r.RelDevScalingFactor = new float[3];
    r.AmpRanges = new AmpRanges[3];
    r.Unload();
    EXPECT_EQ(r.BandRms, nullptr);
    EXPECT_EQ(r.SpectrumByBand, nullptr);
    EXPECT_EQ(r.InputFileName, nullptr);
    EXPECT_EQ(r.RelDevScalingFactor, nullptr);
    EXPECT_EQ(r.AmpRanges, nullptr);
    r.Unload();
  }
  // Forget drops the references without releasing: the arrays stay ours. The scaling
  // factors are not forgotten, so the destructor releases them.
  std::unique_ptr<float[]> band(new float[2]), spectrum(new float[6]), byBand(new float[6]);
  std::unique_ptr<char[]> name(new char[4]{"abc"});
  {
    auto* r = new SignalTVSEx();
    r->BandRms = band.get();
    r->Spectrum = spectrum.get();
    r->SpectrumByBand = byBand.get();
    r->InputFileName = name.get();
    r->RelDevScalingFactor = new float[3];
    r->Forget();
    EXPECT_EQ(r->BandRms, nullptr);
    EXPECT_EQ(r->Spectrum, nullptr);
    EXPECT_EQ(r->SpectrumByBand, nullptr);
    EXPECT_EQ(r->InputFileName, nullptr);
    EXPECT_NE(r->RelDevScalingFactor, nullptr);
    SignalTVS* base = r;
    delete base;  // virtual destructor
  }
  band[1] = 1.0f;  // still owned here (a double release would abort at the unique_ptr's delete)
  EXPECT_STREQ(name.get(), "abc");

  // A copy is memberwise: same header values and name, the same (shared) array references.
  SignalTVSEx src;
  src.Protocol = 0x20000u;
  src.Ndft = 16;
  src.Nband = 8;
  src.Nblock = 12;
  src.NSampleCreate = 4242;
  std::strcpy(src.FileName, "clip.tvs");
  SignalTVSEx copy(src);
  EXPECT_EQ(copy.Protocol, 0x20000u);
  EXPECT_EQ(copy.Nblock, 12);
  EXPECT_EQ(copy.NSampleCreate, 4242);
  EXPECT_STREQ(copy.FileName, "clip.tvs");
  EXPECT_EQ(copy.BandRms, nullptr);
  EXPECT_EQ(copy.Spectrum, nullptr);
  SignalTVSEx assigned;
  assigned = src;
  EXPECT_EQ(0, std::memcmp(assigned.FileName, src.FileName, sizeof(src.FileName)));
}
