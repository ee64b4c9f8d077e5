// Tests of the recognition data (amplitude ranges, range codes, fronts, counts, weights and
// their reports) and of the threshold estimation, on hand-built pattern records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sp_helpers.h"
#include "test_support.h"

namespace {

using sptest::LogCapture;

// Exposes the protected operations under test.
struct TestEngine : TimeSpectrumEstimation {
  using TimeSpectrumEstimation::BuildSpectrumSampleArrayForOneBand;
  using TimeSpectrumEstimation::BuiltRecognitionData;

  // Takes ownership of the records (the engine's release deletes them) and sets the standard
  // geometry values the operations read.
  void Install(const std::vector<SignalTVSEx*>& records) {
    NPattern = static_cast<int>(records.size());
    TVS = new SignalTVSEx*[records.size() + 1];
    for (std::size_t i = 0; i < records.size(); ++i) TVS[i] = records[i];
    TVS[records.size()] = nullptr;
    Nband = records.empty() ? 8 : records[0]->Nband;
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

// Powers of a sequence of levels in dB.
std::vector<float> FromDB(const std::vector<float>& dB) {
  std::vector<float> out;
  for (float v : dB) out.push_back(DBToPow(v));
  return out;
}

// Range codes of band b, oldest index first (block 0 first).
std::vector<int> Codes(const SignalTVSEx* p, int b) {
  std::vector<int> out;
  for (int k = 0; k < p->Nblock; ++k) out.push_back(p->Range[k * p->Nband + b]);
  return out;
}

std::vector<unsigned int> Row(const SignalTVSEx* p, int b) {
  return std::vector<unsigned int>(p->NSamplePerRange + 4 * b, p->NSamplePerRange + 4 * b + 4);
}

TEST(AmpRanges, LevelSplit) {
  AmpRanges r;
  EXPECT_EQ(r.LowLevelBound, 1e-10f);
  // The default reference level is 10^(-40/10) in single precision.
  EXPECT_EQ(std::pow(10.0f, DefaultAmpRangesPar.RefLevel_dB / 10.0f), DefaultAmpRangesPar.RefLevel);
  EXPECT_EQ(DefaultAmpRangesPar.RefLevel, 1e-4f);

  // A band all at -30 dB: the bound -48 dB is raised to -40 dB, every sample is high.
  std::vector<float> flat(10, 0.001f);
  ASSERT_EQ(r.SetAmplitudeRanges(10, flat.data(), nullptr), 1);
  EXPECT_EQ(r.HighLevelBound_dB, -40.0f);
  EXPECT_EQ(r.HighLevelBound, DBToPow(-40.0f));
  EXPECT_EQ(r.NsHigh, 10u);
  EXPECT_EQ(r.NsMiddle, 0u);
  EXPECT_EQ(r.NsLow, 0u);
  EXPECT_EQ(r.MeanPow, 0.001f);
  EXPECT_EQ(r.MeanPowHigh, 0.001f);
  EXPECT_EQ(r.BackMeanPowHigh, 1.0f / 0.001f);
  EXPECT_FLOAT_EQ(r.BackMeanPowHigh, 1000.0f);
  EXPECT_EQ(r.LowLevelBound_dB, -50.0f);
  EXPECT_EQ(r.LowLevelBound, DBToPow(-50.0f));

  // Peak at -45 dB: no high levels; above -50 dB middle, the rest low.
  std::vector<float> quiet = FromDB({-48.0f, -45.0f, -60.0f, -55.0f});
  ASSERT_EQ(r.SetAmplitudeRanges(4, quiet.data(), &DefaultAmpRangesPar), 1);
  EXPECT_EQ(r.Ns, 4u);
  EXPECT_EQ(r.NsHigh, 0u);
  EXPECT_EQ(r.HighLevelBound_dB, -40.0f);
  EXPECT_EQ(r.MeanPowHigh, 1.0f);
  EXPECT_EQ(r.BackMeanPowHigh, 1.0f);
  EXPECT_EQ(r.NsMiddle, 2u);
  EXPECT_EQ(r.NsLow, 2u);
  EXPECT_EQ(r.MeanPowMiddle, static_cast<float>((double(quiet[1]) + double(quiet[0])) / 2.0));
  EXPECT_EQ(r.MeanPowLow, static_cast<float>((double(quiet[3]) + double(quiet[2])) / 2.0));

  // A 0 dB peak puts the bound at -18 dB.
  std::vector<float> loud = FromDB({-17.5f, 0.0f, -18.5f, -60.0f});
  ASSERT_EQ(r.SetAmplitudeRanges(4, loud.data(), nullptr), 1);
  EXPECT_EQ(r.HighLevelBound_dB, -18.0f);
  EXPECT_EQ(r.NsHigh, 2u);
  EXPECT_EQ(r.NsMiddle, 1u);
  EXPECT_EQ(r.NsLow, 1u);
  EXPECT_EQ(r.MeanPowHigh, static_cast<float>((1.0 + double(loud[0])) / 2.0));

  // A power equal to the low bound counts as middle in the split.
  std::vector<float> edge = {1e-3f, DBToPow(-50.0f), 1e-7f};
  ASSERT_EQ(r.SetAmplitudeRanges(3, edge.data(), nullptr), 1);
  EXPECT_EQ(r.NsHigh, 1u);
  EXPECT_EQ(r.NsMiddle, 1u);
  EXPECT_EQ(r.NsLow, 1u);

  // Own constants; refusals leave the record as it was.
  AmpRangesPar par;
  par.HighRangeDepth_dB = 8.0f;
  par.MinHighLevel_dB = par.LowLevel_dB = -90.0f;
  ASSERT_EQ(r.SetAmplitudeRanges(4, quiet.data(), &par), 1);
  EXPECT_EQ(r.HighLevelBound_dB, PowToDB(quiet[1]) - 8.0f);
  EXPECT_EQ(r.NsHigh, 2u);
  EXPECT_EQ(r.NsMiddle, 2u);
  EXPECT_EQ(r.SetAmplitudeRanges(0, quiet.data(), nullptr) + r.SetAmplitudeRanges(4, nullptr, nullptr), 0);
  EXPECT_EQ(r.NsHigh, 2u);
}

TEST(AmpRanges, ReportLines) {
  AmpRanges r;
  std::vector<float> flat(4, 0.001f);
  ASSERT_EQ(r.SetAmplitudeRanges(4, flat.data(), nullptr), 1);
  LogCapture log;
  r.OutAmplitudeRanges(3);
  const std::vector<std::string> expected = {
      "",
      "Данные регионов распр. по амплитуде",
      "Отсчетов 4,  СКЗ -30.000 дБm ( 1.00000e-03)",
      "Нижняя граница выс. ур.  -40.000 дБm ( 1.00000e-04)",
      "Выс. ур.   Ns=4, СКЗ -30.000 дБm ( 1.00000e-03)",
      "Средн. ур. Ns=0, СКЗ -100.000 дБm ( 0.00000e+00)",
      "Низ. ур.   Ns=0, СКЗ -100.000 дБm ( 0.00000e+00)",
      ""};
  EXPECT_EQ(log.Utf8Lines(), expected);
  ASSERT_EQ(log.lines().size(), 8u);
  for (const auto& line : log.lines()) EXPECT_EQ(line.channel, 3u);
  EXPECT_EQ(log.lines()[2].raw, Utf8ToCp1251(expected[2].c_str()));
}

TEST(RecognitionData, BandSampleExtraction) {
  TestEngine e;
  SignalTVSEx* p = MakePattern({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}});
  e.Install({p});
  float out[4] = {};
  EXPECT_EQ(e.BuildSpectrumSampleArrayForOneBand(out, p, 1, 1, nullptr), 4);
  EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{5, 6, 7, 8}));
  EXPECT_EQ(e.BuildSpectrumSampleArrayForOneBand(out, p, 2, 0, nullptr), 4);
  EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{12, 11, 10, 9}));
  std::vector<float> other(12);
  for (int i = 0; i < 12; ++i) other[i] = 100.0f + i;
  EXPECT_EQ(e.BuildSpectrumSampleArrayForOneBand(out, p, 0, 1, other.data()), 4);
  EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{100, 103, 106, 109}));

  EXPECT_EQ(e.BuildSpectrumSampleArrayForOneBand(nullptr, p, 0, 1, nullptr) +
                e.BuildSpectrumSampleArrayForOneBand(out, nullptr, 0, 1, nullptr) +
                e.BuildSpectrumSampleArrayForOneBand(out, p, -1, 1, nullptr) +
                e.BuildSpectrumSampleArrayForOneBand(out, p, 3, 1, nullptr),
            0);
}

TEST(RecognitionData, FrontMarking) {
  std::vector<float> levels20(12, 0.0f), levelsDrop(12, -10.0f), alternating(12), step(12, 0.0f), spike(20, 0.0f);
  levels20[2] = levels20[3] = levels20[4] = 20.0f;
  levelsDrop[0] = levelsDrop[1] = 0.0f;
  levelsDrop[2] = levelsDrop[3] = levelsDrop[4] = 20.0f;
  for (int k = 0; k < 12; ++k) alternating[k] = (k % 2) ? 5.0f : 0.0f;
  alternating[0] = 10.5f;  // one step of 5.5 dB among steps of 5 dB
  for (int k = 6; k < 12; ++k) step[k] = 2.5f;
  spike[10] = 20.0f;

  TestEngine e;
  e.Install({MakePattern({FromDB(levels20)}), MakePattern({FromDB(levelsDrop)}), MakePattern({FromDB(alternating)}),
             MakePattern({FromDB(step)}), MakePattern({{0.5f}}), MakePattern({FromDB({0.0f, 10.0f})}),
             MakePattern({FromDB(spike)})});
  e.fOutInfo = 1;
  LogCapture log;
  ASSERT_EQ(e.BuiltRecognitionData(0), 1);

  std::vector<std::string> rang;
  for (const auto& l : log.Utf8Lines())
    if (l.rfind("nband=", 0) == 0) rang.push_back(l);
  EXPECT_EQ(rang, (std::vector<std::string>{"nband=0, rang 20.00 dBm", "nband=0, rang 20.00 dBm",
                                            "nband=0, rang 6.00 dBm", "nband=0, rang 3.00 dBm",
                                            "nband=0, rang 11.00 dBm", "nband=0, rang 3.00 dBm"}));

  // A 20 dB plateau: no step exceeds the 20 dB threshold, only the end blocks are fronts.
  EXPECT_EQ(Codes(e.TVS[0], 0), (std::vector<int>{3, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 3}));
  // A 30 dB drop after the plateau marks the pair around it.
  EXPECT_EQ(Codes(e.TVS[1], 0), (std::vector<int>{3, 1, 0, 0, 3, 3, 1, 1, 1, 1, 1, 3}));
  // Steps of 5 dB everywhere raise the threshold above the median: the 5.5 dB step is no front.
  EXPECT_EQ(Codes(e.TVS[2], 0)[1], 0);
  EXPECT_EQ(e.TVS[2]->NSamplePerRange[3], 2u);
  // The threshold is never below 3 dB.
  EXPECT_EQ(e.TVS[3]->NSamplePerRange[3], 2u);
  // One block: no fronts, the level code stays, full weight.
  EXPECT_EQ(Codes(e.TVS[4], 0), (std::vector<int>{0}));
  EXPECT_EQ(e.TVS[4]->BackNSampleNoTransientRange[0], 1.0f);
  EXPECT_EQ(e.TVS[4]->BackNSampleNoTransientRange[1], 1.0f);
  // Two blocks: both are fronts; no non-front samples leaves the reciprocal of 0.
  EXPECT_EQ(Codes(e.TVS[5], 0), (std::vector<int>{3, 3}));
  EXPECT_EQ(e.TVS[5]->BackNSampleNoTransientRange[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(e.TVS[5]->BackNSampleNoTransientRange[1], std::numeric_limits<float>::infinity());
  // After a marked pair the next pair is not examined: block 11 stays a level sample.
  std::vector<int> spikeCodes = Codes(e.TVS[6], 0);
  EXPECT_EQ(spikeCodes[9], 3);
  EXPECT_EQ(spikeCodes[10], 3);
  EXPECT_EQ(spikeCodes[11], 1);
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
  EXPECT_EQ(Codes(p, 0), (std::vector<int>{3, 1, 0, 0, 3, 3, 1, 1, 1, 1, 1, 3}));
  EXPECT_EQ(Codes(p, 1), (std::vector<int>{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
  EXPECT_EQ(Row(p, 0), (std::vector<unsigned int>{2, 6, 0, 4}));
  EXPECT_EQ(Row(p, 1), (std::vector<unsigned int>{10, 0, 0, 2}));
  EXPECT_EQ(Row(p, 2), (std::vector<unsigned int>{12, 6, 0, 6}));
  EXPECT_EQ(p->BackNSampleNoTransientRange[0], 1.0f / 8.0f);
  EXPECT_EQ(p->BackNSampleNoTransientRange[1], 1.0f / 10.0f);
  EXPECT_EQ(p->BackNSampleNoTransientRange[2], 1.0f / 18.0f);
  // Split of each band and of the whole signal (the counts ignore fronts).
  EXPECT_EQ(p->AmpRanges[0].NsHigh, 3u);
  EXPECT_EQ(p->AmpRanges[0].HighLevelBound_dB, 2.0f);
  EXPECT_EQ(p->AmpRanges[1].NsHigh, 12u);
  EXPECT_EQ(p->AmpRanges[2].Ns, 24u);
  EXPECT_EQ(p->AmpRanges[2].NsHigh, 3u);
  EXPECT_EQ(p->AmpRanges[2].NsMiddle, 21u);
  EXPECT_EQ(p->AmpRanges[2].MeanPowHigh, 100.0f);
  EXPECT_EQ(p->AmpRanges[2].BackMeanPowHigh, 0.01f);

  // The power equal to the low bound is classified low, though the split counted it middle.
  SignalTVSEx* q = e.TVS[1];
  EXPECT_EQ(Codes(q, 0), (std::vector<int>{3, 2, 2, 0, 3}));
  EXPECT_EQ(q->AmpRanges[0].NsMiddle, 1u);
  EXPECT_EQ(q->AmpRanges[0].NsLow, 1u);

  LogCapture log;
  EXPECT_EQ(e.OutRangesOfPattern(-1, 0), 0);
  EXPECT_EQ(e.OutRangesOfPattern(2, 0), 0);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_EQ(e.OutRangesOfPattern(0, 5), 1);
  const std::vector<std::string> expected = {
      "",
      "Данные о рангах спектр. отсчетов образца 0, c:\\clips\\first.tvs",
      " Полоса 0 (12 спектральных отсчетов)",
      " Высокие уровни (>=2.00 dBm): 2, 16.67 %",
      " Средние уровни 6, 50.00 %",
      " Малые уровни (<=-50.00 dBm): 0, 0.00 %",
      " Фронты 4, 33.33 %",
      " Полоса 1 (12 спектральных отсчетов)",
      " Высокие уровни (>=-40.00 dBm): 10, 83.33 %",
      " Средние уровни 0, 0.00 %",
      " Малые уровни (<=-50.00 dBm): 0, 0.00 %",
      " Фронты 2, 16.67 %",
      " Весь сигнал, 24 спектральных отсчетов",
      " Высокие уровни (>=2.00 dBm): 12, 50.00 %",
      " Средние уровни 6, 25.00 %",
      " Малые уровни (<=-50.00 dBm): 0, 0.00 %",
      " Фронты 6, 25.00 %",
      ""};
  EXPECT_EQ(log.Utf8Lines(), expected);
  for (const auto& line : log.lines()) EXPECT_EQ(line.channel, 5u);
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
    EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"BuiltRecognitionData(): режим не реализован:",
                                                         "fAmpAnalisysOnlyForOverallSample=TRUE"}));
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
    EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"BuiltRecognitionData(): ошибка: Nbs ?"}));
    EXPECT_NE(e.TVS[0]->NSamplePerRange, nullptr);  // the first pattern was built
  }
  log.Clear();
  {
    TestEngine e;
    e.Install({MakePattern({FromDB({0, 0, 0})})});
    e.fOutInfo = 1;
    ASSERT_EQ(e.BuiltRecognitionData(0), 1);
    std::vector<std::string> lines = log.Utf8Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "Регионы амплитуды, полоса 0");
    EXPECT_EQ(lines[3], "Данные регионов распр. по амплитуде");
    EXPECT_TRUE(log.Contains("Регионы амплитуды, весь сигнал"));
    EXPECT_TRUE(log.Contains("nband=0, rang 3.00 dBm"));
    EXPECT_TRUE(log.Contains("Данные о рангах спектр. отсчетов образца 0, dir/p.tvs"));
  }
}

// Pattern of 3 blocks and 2 bands with hand-set recognition data for the threshold estimation.
SignalTVSEx* ThresholdPattern() {
  SignalTVSEx* p = MakePattern({{1.0f, 3.0f, 2.0f}, {0.5f, 0.5f, 4.5f}});
  p->Range = new unsigned char[6]{0, 0, 0, 0, 0, 3};  // band 1, block 2 is a front
  p->NSamplePerRange = new unsigned int[12]();
  p->AmpRanges[2].MeanPowHigh = 0.5f;
  return p;
}

TEST(ThresholdEstimation, HandComputedSteps) {
  TestEngine e;
  e.Install({ThresholdPattern()});
  float shift = -1, noise = -1, both = -1, maxShift = -1;
  // Band 0 steps 2, 2, 1 (mean 5/3); band 1 steps 0, 4 and a front (mean 2); scale 1/0.5.
  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, &noise, &both, &maxShift, -30.0f, -1), 1);
  EXPECT_EQ(shift, static_cast<float>((5.0 / 3.0 + 2.0) / 2.0 * 2.0));
  EXPECT_NEAR(noise, 2.0 * 0.001 / 384.0, 1e-6 * 2.0 * 0.001 / 384.0);
  EXPECT_EQ(both, shift + noise);
  EXPECT_EQ(maxShift, 4.0f);

  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, &noise, &both, &maxShift, -100.0f, 0), 1);
  EXPECT_EQ(shift, static_cast<float>(5.0 / 3.0 * 2.0));
  EXPECT_NEAR(noise, 2.0 * 1e-10 / 384.0, 1e-6 * 2.0 * 1e-10 / 384.0);
  EXPECT_EQ(maxShift, 2.0f);
  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, &noise, &both, &maxShift, -100.0f, 1), 1);
  EXPECT_EQ(shift, 4.0f);
  EXPECT_EQ(maxShift, 4.0f);
  // A band beyond the pattern's bands keeps nothing: only the noise term remains.
  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, &noise, &both, &maxShift, -30.0f, 2), 1);
  EXPECT_EQ(shift, 0.0f);
  EXPECT_EQ(maxShift, 0.0f);
  EXPECT_EQ(both, noise);

  // A band made only of fronts contributes 0 but still counts in the mean over bands.
  SignalTVSEx* p = e.TVS[0];
  p->Range[1] = p->Range[3] = 3;
  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, nullptr, nullptr, &maxShift, -30.0f, -1), 1);
  EXPECT_EQ(shift, static_cast<float>(5.0 / 3.0 / 2.0 * 2.0));
  EXPECT_EQ(maxShift, 2.0f);

  // MeanPowHigh 0 scales by 1e10.
  p->AmpRanges[2].MeanPowHigh = 0.0f;
  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, &noise, nullptr, nullptr, -30.0f, 0), 1);
  EXPECT_EQ(shift, static_cast<float>(5.0 / 3.0 * 1.0e10));
  EXPECT_NEAR(noise, 1e10 * 0.001 / 384.0, 1e-6 * 1e10 * 0.001 / 384.0);
  EXPECT_EQ(e.CalcTresholdEstimation(0, nullptr, nullptr, nullptr, nullptr, -30.0f, -1), 1);
}

TEST(ThresholdEstimation, ConstantSpectrumAndRefusals) {
  TestEngine e;
  e.Install({MakePattern({std::vector<float>(10, 1.0f), std::vector<float>(10, 1.0f)}), MakePattern({{0.25f}}),
             ThresholdPattern()});
  ASSERT_EQ(e.BuiltRecognitionData(0), 1);
  float shift = -1, noise = -1, both = -1, maxShift = -1;
  // Constant 0 dB spectrum: no steps, the result is the noise term a^2/384 alone.
  ASSERT_EQ(e.CalcTresholdEstimation(0, &shift, &noise, &both, &maxShift, -30.0f, -1), 1);
  EXPECT_EQ(shift, 0.0f);
  EXPECT_NEAR(both, 2.604e-6, 0.001e-6);
  EXPECT_EQ(both, noise);
  EXPECT_EQ(maxShift, 0.0f);
  // One block: the first block's neighbour wraps onto itself, so its step is 0.
  ASSERT_EQ(e.CalcTresholdEstimation(1, &shift, &noise, &both, &maxShift, -30.0f, -1), 1);
  EXPECT_EQ(shift, 0.0f);
  EXPECT_EQ(maxShift, 0.0f);
  EXPECT_NEAR(noise, 0.001 / 384.0 / 0.25, 1e-6 * 0.001 / 384.0 / 0.25);

  // Refusals leave the outputs untouched.
  shift = noise = both = maxShift = -7.0f;
  auto calc = [&](TimeSpectrumEstimation& x, int pattern) {
    return x.CalcTresholdEstimation(pattern, &shift, &noise, &both, &maxShift, -30.0f, -1);
  };
  EXPECT_EQ(calc(e, -1) + calc(e, 3), 0);
  SignalTVSEx* p = e.TVS[2];
  unsigned int* noCounts = nullptr;
  unsigned char* noRange = nullptr;
  float* noSpectrum = nullptr;
  std::swap(p->NSamplePerRange, noCounts);
  EXPECT_EQ(calc(e, 2), 0);
  std::swap(p->NSamplePerRange, noCounts);
  std::swap(p->Range, noRange);
  EXPECT_EQ(calc(e, 2), 0);
  std::swap(p->Range, noRange);
  std::swap(p->Spectrum, noSpectrum);
  EXPECT_EQ(calc(e, 2), 0);
  std::swap(p->Spectrum, noSpectrum);
  TestEngine none;
  EXPECT_EQ(calc(none, 0), 0);
  EXPECT_EQ(std::vector<float>({shift, noise, both, maxShift}), std::vector<float>(4, -7.0f));
}

}  // namespace
