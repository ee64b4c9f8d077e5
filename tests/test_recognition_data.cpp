// Recognition data (amplitude ranges, range codes, fronts, counts, weights and their reports)
// and the threshold estimation, on hand-built pattern records.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sp_helpers.h"
#include "test_support.h"

namespace {

using sptest::LogCapture;
using Lines = std::vector<std::string>;

struct TestEngine : TimeSpectrumEstimation {
  using TimeSpectrumEstimation::BuildSpectrumSampleArrayForOneBand;
  using TimeSpectrumEstimation::BuiltRecognitionData;

  // Takes ownership of the records and sets the geometry values the operations read.
  void Install(const std::vector<SignalTVSEx*>& records) {
    NPattern = static_cast<int>(records.size());
    TVS = new SignalTVSEx*[records.size() + 1]();
    std::copy(records.begin(), records.end(), TVS);
    Nband = records[0]->Nband;
    NdecIn = 4;
    Ndft = 16;
  }
};

// A pattern record from per-band power sequences (bands[b][k] = power of block k in band b).
SignalTVSEx* MakePattern(const std::vector<std::vector<float>>& bands, const char* name = "dir/p.tvs") {
  auto* p = new SignalTVSEx();
  p->Nband = static_cast<int>(bands.size());
  p->Nblock = static_cast<int>(bands[0].size());
  p->Ndft = 16;
  std::strcpy(p->FileName, name);
  p->Spectrum = new float[p->Nband * p->Nblock];
  for (int b = 0; b < p->Nband; ++b)
    for (int k = 0; k < p->Nblock; ++k) p->Spectrum[k * p->Nband + b] = bands[b][k];
  p->AmpRanges = new AmpRanges[p->Nband + 1];
  return p;
}

std::vector<float> FromDB(const std::vector<float>& dB) {
  std::vector<float> out;
  for (float v : dB) out.push_back(DBToPow(v));
  return out;
}

// Range codes of band b, block 0 first.
std::vector<int> Codes(const SignalTVSEx* p, int b) {
  std::vector<int> out;
  for (int k = 0; k < p->Nblock; ++k) out.push_back(p->Range[k * p->Nband + b]);
  return out;
}

std::vector<unsigned> Split(const AmpRanges& r) { return {r.NsHigh, r.NsMiddle, r.NsLow}; }

}  // namespace

TEST(AmpRanges, LevelSplitAndReport) {
  AmpRanges r;
  // A band all at -30 dB: the bound -48 dB is raised to -40 dB, every sample is high.
  std::vector<float> flat(4, 0.001f);
  ASSERT_EQ(r.SetAmplitudeRanges(4, flat.data(), nullptr), 1);
  EXPECT_EQ(r.HighLevelBound_dB, -40.0f);
  EXPECT_EQ(r.HighLevelBound, DBToPow(-40.0f));
  EXPECT_EQ(r.LowLevelBound, DBToPow(-50.0f));
  EXPECT_EQ(Split(r), (std::vector<unsigned>{4, 0, 0}));
  EXPECT_EQ(r.MeanPowHigh, 0.001f);
  EXPECT_EQ(r.BackMeanPowHigh, 1.0f / 0.001f);
  {
    LogCapture log;
    r.OutAmplitudeRanges(3);
    EXPECT_EQ(log.Utf8Lines(), (Lines{"", "Данные регионов распр. по амплитуде",
                                      "Отсчетов 4,  СКЗ -30.000 дБm ( 1.00000e-03)",
                                      "Нижняя граница выс. ур.  -40.000 дБm ( 1.00000e-04)",
                                      "Выс. ур.   Ns=4, СКЗ -30.000 дБm ( 1.00000e-03)",
                                      "Средн. ур. Ns=0, СКЗ -100.000 дБm ( 0.00000e+00)",
                                      "Низ. ур.   Ns=0, СКЗ -100.000 дБm ( 0.00000e+00)", ""}));
    EXPECT_EQ(log.lines()[2].channel, 3u);
  }

  // Peak at -45 dB: no high levels (their mean and reciprocal are 1); above -50 dB middle.
  std::vector<float> quiet = FromDB({-48.0f, -43.0f, -60.0f, -55.0f, -45.0f});
  ASSERT_EQ(r.SetAmplitudeRanges(5, quiet.data(), &DefaultAmpRangesPar), 1);
  EXPECT_EQ(Split(r), (std::vector<unsigned>{0, 3, 2}));
  EXPECT_EQ(r.MeanPowHigh, 1.0f);
  EXPECT_EQ(r.BackMeanPowHigh, 1.0f);
  // Means are summed in double precision (a float sum differs in the last bit here).
  EXPECT_EQ(r.MeanPowMiddle, static_cast<float>((double(quiet[1]) + double(quiet[4]) + double(quiet[0])) / 3.0));
  EXPECT_EQ(r.MeanPowLow, static_cast<float>((double(quiet[3]) + double(quiet[2])) / 2.0));

  // A 0 dB peak puts the bound at -18 dB.
  std::vector<float> loud = FromDB({-17.5f, 0.0f, -18.5f, -60.0f});
  ASSERT_EQ(r.SetAmplitudeRanges(4, loud.data(), nullptr), 1);
  EXPECT_EQ(r.HighLevelBound_dB, -18.0f);
  EXPECT_EQ(Split(r), (std::vector<unsigned>{2, 1, 1}));
  EXPECT_EQ(r.MeanPowHigh, static_cast<float>((1.0 + double(loud[0])) / 2.0));

  // Powers equal to the bounds: high at the high bound, middle at the low bound.
  std::vector<float> edge = {DBToPow(-40.0f), DBToPow(-50.0f), 1e-7f};
  ASSERT_EQ(r.SetAmplitudeRanges(3, edge.data(), nullptr), 1);
  EXPECT_EQ(Split(r), (std::vector<unsigned>{1, 1, 1}));

  // Own constants; refusals leave the record as it was.
  AmpRangesPar par;
  par.HighRangeDepth_dB = 8.0f;
  par.MinHighLevel_dB = par.LowLevel_dB = -90.0f;
  ASSERT_EQ(r.SetAmplitudeRanges(5, quiet.data(), &par), 1);
  EXPECT_EQ(r.HighLevelBound_dB, PowToDB(quiet[1]) - 8.0f);
  EXPECT_EQ(Split(r), (std::vector<unsigned>{3, 2, 0}));
  EXPECT_EQ(r.SetAmplitudeRanges(0, quiet.data(), nullptr) + r.SetAmplitudeRanges(4, nullptr, nullptr), 0);
  EXPECT_EQ(r.NsHigh, 3u);
}

TEST(RecognitionData, BandSampleExtraction) {
  TestEngine e;
  SignalTVSEx* p = MakePattern({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}});
  e.Install({p});
  float out[4] = {}, other[12] = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111};
  auto got = [&](int band, int forward, float* source) {
    EXPECT_EQ(e.BuildSpectrumSampleArrayForOneBand(out, p, band, forward, source), 4);
    return std::vector<float>(out, out + 4);
  };
  EXPECT_EQ(got(1, 1, nullptr), (std::vector<float>{5, 6, 7, 8}));
  EXPECT_EQ(got(2, 0, nullptr), (std::vector<float>{12, 11, 10, 9}));
  EXPECT_EQ(got(0, 1, other), (std::vector<float>{100, 103, 106, 109}));
  EXPECT_EQ(e.BuildSpectrumSampleArrayForOneBand(nullptr, p, 0, 1, nullptr) +
                e.BuildSpectrumSampleArrayForOneBand(out, nullptr, 0, 1, nullptr) +
                e.BuildSpectrumSampleArrayForOneBand(out, p, -1, 1, nullptr) +
                e.BuildSpectrumSampleArrayForOneBand(out, p, 3, 1, nullptr),
            0);
}

TEST(RecognitionData, FrontMarking) {
  std::vector<float> plateau(12, 0.0f), drop(12, -10.0f), alternating(12), step(12, 0.0f), spike(20, 0.0f);
  plateau[2] = plateau[3] = plateau[4] = 20.0f;
  drop[0] = drop[1] = 0.0f;
  drop[2] = drop[3] = drop[4] = 20.0f;
  for (int k = 0; k < 12; ++k) alternating[k] = (k % 2) ? 5.0f : 0.0f;
  alternating[0] = 10.5f;  // one step of 5.5 dB among steps of 5 dB
  for (int k = 6; k < 12; ++k) step[k] = 2.5f;
  spike[10] = 20.0f;

  TestEngine e;
  e.Install({MakePattern({FromDB(plateau)}), MakePattern({FromDB(drop)}), MakePattern({FromDB(alternating)}),
             MakePattern({FromDB(step)}), MakePattern({{0.5f}}), MakePattern({FromDB({0.0f, 10.0f})}),
             MakePattern({FromDB(spike)})});
  e.fOutInfo = 1;
  LogCapture log;
  ASSERT_EQ(e.BuiltRecognitionData(0), 1);
  Lines rang;
  for (const auto& l : log.Utf8Lines())
    if (l.rfind("nband=", 0) == 0) rang.push_back(l);
  // Front thresholds: one per pattern with more than one block; never below 3 dB.
  EXPECT_EQ(rang, (Lines{"nband=0, rang 20.00 dBm", "nband=0, rang 20.00 dBm", "nband=0, rang 6.00 dBm",
                         "nband=0, rang 3.00 dBm", "nband=0, rang 11.00 dBm", "nband=0, rang 3.00 dBm"}));

  // A 20 dB plateau: no step exceeds the 20 dB threshold, only the end blocks are fronts.
  EXPECT_EQ(Codes(e.TVS[0], 0), (std::vector<int>{3, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 3}));
  // A 30 dB drop after the plateau marks the pair around it.
  EXPECT_EQ(Codes(e.TVS[1], 0), (std::vector<int>{3, 1, 0, 0, 3, 3, 1, 1, 1, 1, 1, 3}));
  // Steps of 5 dB everywhere raise the threshold above the median: the 5.5 dB step is no front.
  EXPECT_EQ(Codes(e.TVS[2], 0)[1], 0);
  EXPECT_EQ(e.TVS[2]->NSamplePerRange[3], 2u);
  EXPECT_EQ(e.TVS[3]->NSamplePerRange[3], 2u);
  // One block: no fronts, the level code stays, full weight.
  EXPECT_EQ(Codes(e.TVS[4], 0), (std::vector<int>{0}));
  EXPECT_EQ(e.TVS[4]->BackNSampleNoTransientRange[1], 1.0f);
  // Two blocks: both are fronts; no non-front samples leaves the reciprocal of 0.
  EXPECT_EQ(Codes(e.TVS[5], 0), (std::vector<int>{3, 3}));
  EXPECT_EQ(e.TVS[5]->BackNSampleNoTransientRange[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(e.TVS[5]->BackNSampleNoTransientRange[1], std::numeric_limits<float>::infinity());
  // After a marked pair the next pair is not examined: block 11 stays a level sample.
  std::vector<int> spikeCodes = Codes(e.TVS[6], 0);
  EXPECT_EQ(std::vector<int>(spikeCodes.begin() + 9, spikeCodes.begin() + 12), (std::vector<int>{3, 3, 1}));
  EXPECT_EQ(e.TVS[6]->NSamplePerRange[3], 4u);
}

TEST(RecognitionData, CountsWeightsAndRangesReport) {
  std::vector<float> band0 = FromDB({0, 0, 20, 20, 20, -10, -10, -10, -10, -10, -10, -10});
  std::vector<float> band1(12, 0.001f);
  // Second pattern: band 0 holds a power equal to the low bound in block 1.
  std::vector<float> edge = {1e-3f, DBToPow(-50.0f), 1e-7f, 1e-3f, 1e-3f};
  TestEngine e;
  e.Install({MakePattern({band0, band1}, "c:\\clips\\first.tvs"), MakePattern({edge, std::vector<float>(5, 1.0f)})});
  ASSERT_EQ(e.BuiltRecognitionData(0), 1);

  SignalTVSEx* p = e.TVS[0];
  EXPECT_EQ(Codes(p, 1), (std::vector<int>{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
  // Counts per range code, per band and for the whole signal (last row).
  EXPECT_EQ(std::vector<unsigned>(p->NSamplePerRange, p->NSamplePerRange + 12),
            (std::vector<unsigned>{2, 6, 0, 4, 10, 0, 0, 2, 12, 6, 0, 6}));
  EXPECT_EQ(p->BackNSampleNoTransientRange[0], 1.0f / 8.0f);
  EXPECT_EQ(p->BackNSampleNoTransientRange[1], 1.0f / 10.0f);
  EXPECT_EQ(p->BackNSampleNoTransientRange[2], 1.0f / 18.0f);
  // Split of each band and of the whole signal (the counts ignore fronts).
  EXPECT_EQ(p->AmpRanges[0].HighLevelBound_dB, 2.0f);
  EXPECT_EQ(p->AmpRanges[1].NsHigh, 12u);
  EXPECT_EQ(p->AmpRanges[2].Ns, 24u);
  EXPECT_EQ(Split(p->AmpRanges[2]), (std::vector<unsigned>{3, 21, 0}));
  EXPECT_EQ(p->AmpRanges[2].MeanPowHigh, 100.0f);
  EXPECT_EQ(p->AmpRanges[2].BackMeanPowHigh, 0.01f);

  // The power equal to the low bound is coded low, though the split counted it middle.
  EXPECT_EQ(Codes(e.TVS[1], 0), (std::vector<int>{3, 2, 2, 0, 3}));
  EXPECT_EQ(Split(e.TVS[1]->AmpRanges[0]), (std::vector<unsigned>{3, 1, 1}));

  LogCapture log;
  EXPECT_EQ(e.OutRangesOfPattern(-1, 0) + e.OutRangesOfPattern(2, 0), 0);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_EQ(e.OutRangesOfPattern(0, 5), 1);
  EXPECT_EQ(log.Utf8Lines(),
            (Lines{"", "Данные о рангах спектр. отсчетов образца 0, c:\\clips\\first.tvs",
                   " Полоса 0 (12 спектральных отсчетов)", " Высокие уровни (>=2.00 dBm): 2, 16.67 %",
                   " Средние уровни 6, 50.00 %", " Малые уровни (<=-50.00 dBm): 0, 0.00 %", " Фронты 4, 33.33 %",
                   " Полоса 1 (12 спектральных отсчетов)", " Высокие уровни (>=-40.00 dBm): 10, 83.33 %",
                   " Средние уровни 0, 0.00 %", " Малые уровни (<=-50.00 dBm): 0, 0.00 %", " Фронты 2, 16.67 %",
                   " Весь сигнал, 24 спектральных отсчетов", " Высокие уровни (>=2.00 dBm): 12, 50.00 %",
                   " Средние уровни 6, 25.00 %", " Малые уровни (<=-50.00 dBm): 0, 0.00 %", " Фронты 6, 25.00 %",
                   ""}));
  EXPECT_EQ(log.lines()[3].channel, 5u);
}

TEST(RecognitionData, RefusalsFailuresAndInfoOutput) {
  LogCapture log;
  {
    TestEngine e;
    EXPECT_EQ(e.BuiltRecognitionData(0), 0);  // no patterns
    e.Install({MakePattern({{1.0f, 2.0f}})});
    e.fCreatePatternMode = 1;
    EXPECT_EQ(e.BuiltRecognitionData(0), 0);
    EXPECT_TRUE(log.lines().empty());
  }
  {
    // Only the whole-signal split of the first pattern is made, then the mode is refused.
    TestEngine e;
    e.Install({MakePattern({{1.0f, 2.0f}, {3.0f, 4.0f}}), MakePattern({{1.0f, 2.0f}, {3.0f, 4.0f}})});
    EXPECT_EQ(e.BuiltRecognitionData(1), 0);
    EXPECT_EQ(log.Utf8Lines(),
              (Lines{"BuiltRecognitionData(): режим не реализован:", "fAmpAnalisysOnlyForOverallSample=TRUE"}));
    EXPECT_EQ(e.TVS[0]->AmpRanges[2].Ns, 4u);
    EXPECT_EQ(e.TVS[0]->AmpRanges[0].Ns, 1u);
    EXPECT_EQ(e.TVS[1]->Range, nullptr);
  }
  log.Clear();
  {
    TestEngine e;
    SignalTVSEx* empty = MakePattern({{1.0f}});
    empty->Nblock = 0;
    e.Install({MakePattern({{1.0f, 2.0f}}), empty});
    EXPECT_EQ(e.BuiltRecognitionData(0), 0);
    EXPECT_EQ(log.Utf8Lines(), (Lines{"BuiltRecognitionData(): ошибка: Nbs ?"}));
  }
  log.Clear();
  {
    TestEngine e;
    e.Install({MakePattern({FromDB({0, 0, 0})})});
    e.fOutInfo = 1;
    ASSERT_EQ(e.BuiltRecognitionData(0), 1);
    Lines lines = log.Utf8Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2), (Lines{"", "Регионы амплитуды, полоса 0"}));
    EXPECT_EQ(lines[3], "Данные регионов распр. по амплитуде");
    EXPECT_TRUE(log.Contains("Регионы амплитуды, весь сигнал"));
    EXPECT_TRUE(log.Contains("Данные о рангах спектр. отсчетов образца 0, dir/p.tvs"));
  }
}

TEST(ThresholdEstimation, HandComputedStepsAndRefusals) {
  // 3 blocks, 2 bands, hand-set recognition data: band 1 block 2 is a front.
  SignalTVSEx* p = MakePattern({{1.0f, 3.0f, 2.0f}, {1.5f, 0.5f, 4.5f}});
  p->Range = new unsigned char[6]{0, 0, 0, 0, 0, 3};
  p->NSamplePerRange = new unsigned int[12]();
  p->AmpRanges[2].MeanPowHigh = 0.5f;
  TestEngine e;
  const std::vector<float> ones(10, 1.0f);
  e.Install({p, MakePattern({ones, ones}), MakePattern({{0.25f}, {0.25f}})});
  float shift = -1, noise = -1, both = -1, maxShift = -1;
  auto calc = [&](int pattern, float level, int band) {
    return e.CalcTresholdEstimation(pattern, &shift, &noise, &both, &maxShift, level, band);
  };
  // Band 0 steps 2, 2, 1 (mean 5/3); band 1 steps 1, 4 and a front (mean 2.5); both scaled by
  // 1/MeanPowHigh, as is the noise term a^2/384.
  ASSERT_EQ(calc(0, -30.0f, -1), 1);
  EXPECT_EQ(shift, static_cast<float>((5.0 / 3.0 + 2.5) / 2.0 * 2.0));
  EXPECT_NEAR(noise, 2.0 * 0.001 / 384.0, 1e-6 * 2.0 * 0.001 / 384.0);
  EXPECT_EQ(both, shift + noise);
  EXPECT_EQ(maxShift, 4.0f);
  ASSERT_EQ(calc(0, -100.0f, 0), 1);
  EXPECT_EQ(shift, static_cast<float>(5.0 / 3.0 * 2.0));
  EXPECT_NEAR(noise, 2.0 * 1e-10 / 384.0, 1e-6 * 2.0 * 1e-10 / 384.0);
  EXPECT_EQ(maxShift, 2.0f);
  ASSERT_EQ(calc(0, -100.0f, 1), 1);
  EXPECT_EQ(shift, 5.0f);
  EXPECT_EQ(maxShift, 4.0f);
  // A band beyond the pattern's bands keeps nothing: only the noise term remains.
  ASSERT_EQ(calc(0, -30.0f, 2), 1);
  EXPECT_EQ(shift, 0.0f);
  EXPECT_EQ(both, noise);

  // A band made only of fronts contributes 0 but still counts in the mean over bands.
  p->Range[1] = p->Range[3] = 3;
  ASSERT_EQ(calc(0, -30.0f, -1), 1);
  EXPECT_EQ(shift, static_cast<float>(5.0 / 3.0 / 2.0 * 2.0));
  EXPECT_EQ(maxShift, 2.0f);
  // MeanPowHigh 0 scales by 1e10.
  p->AmpRanges[2].MeanPowHigh = 0.0f;
  ASSERT_EQ(calc(0, -30.0f, 0), 1);
  EXPECT_EQ(shift, static_cast<float>(5.0 / 3.0 * 1.0e10));
  EXPECT_EQ(e.CalcTresholdEstimation(0, nullptr, nullptr, nullptr, nullptr, -30.0f, -1), 1);

  // Built data: a constant 0 dB spectrum has no steps, only the noise term; with one block
  // the neighbour of the first block is the block itself.
  p->AmpRanges[2].MeanPowHigh = 0.5f;
  ASSERT_EQ(e.BuiltRecognitionData(0), 1);
  ASSERT_EQ(calc(1, -30.0f, -1), 1);
  EXPECT_EQ(shift, 0.0f);
  EXPECT_NEAR(both, 2.604e-6, 0.001e-6);
  ASSERT_EQ(calc(2, -30.0f, -1), 1);
  EXPECT_EQ(shift, 0.0f);
  EXPECT_NEAR(noise, 0.001 / 384.0 / 0.25, 1e-6 * 0.001 / 384.0 / 0.25);

  // Refusals leave the outputs untouched: bad numbers, missing counts, codes or spectrum.
  shift = noise = both = maxShift = -7.0f;
  EXPECT_EQ(calc(-1, -30.0f, -1) + calc(3, -30.0f, -1), 0);
  unsigned int* counts = nullptr;
  std::swap(p->NSamplePerRange, counts);
  EXPECT_EQ(calc(0, -30.0f, -1), 0);
  std::swap(p->NSamplePerRange, counts);
  unsigned char* codes = nullptr;
  std::swap(p->Range, codes);
  EXPECT_EQ(calc(0, -30.0f, -1), 0);
  std::swap(p->Range, codes);
  float* spectrum = nullptr;
  std::swap(p->Spectrum, spectrum);
  EXPECT_EQ(calc(0, -30.0f, -1), 0);
  std::swap(p->Spectrum, spectrum);
  TestEngine none;
  EXPECT_EQ(none.CalcTresholdEstimation(0, &shift, &noise, &both, &maxShift, -30.0f, -1), 0);
  EXPECT_EQ(std::vector<float>({shift, noise, both, maxShift}), std::vector<float>(4, -7.0f));
}
