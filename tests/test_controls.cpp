// Recognition controls of the facade (when each change takes effect, the deviation range, the
// summary statistics) and the facade's statistics reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using sptest::LogCapture;
using Lines = std::vector<std::string>;

const std::vector<double> kTonesA = {689.0625, 2067.1875, 1378.125};
const std::vector<double> kTonesB = {3445.3125, 1378.125, 4823.4375, 689.0625};

// The clip followed by silence, `blocks` blocks of 1152 samples.
std::vector<std::int16_t> Stream(const std::vector<double>& freqs, int blocks) {
  auto pcm = sptest::ToPcm16(sptest::ToneSteps(freqs, 4000, 0.5));
  pcm.resize(static_cast<std::size_t>(blocks) * 1152, 0);
  return pcm;
}

void Feed(SignalPattern& sp, const std::vector<double>& freqs, int blocks) {
  auto pcm = Stream(freqs, blocks);
  for (int k = 0; k < blocks; ++k) ASSERT_GE(sp.Pattern(1152, pcm.data() + 1152 * k, SP_SAMPLE_S16, nullptr), 0);
}

// Recognition set-up over the given pattern files.
struct PatternSet {
  std::vector<std::string> files;
  std::vector<char*> names;
  SigRecognitionPar par;
  explicit PatternSet(std::vector<std::string> f, int statistics = 0) : files(std::move(f)) {
    for (auto& s : files) names.push_back(s.data());
    par.PatternFileNames = names.data();
    par.NPattern = static_cast<int>(names.size());
    par.fStatistics = statistics;
  }
};

// Lines a report writes, with their channel checked.
Lines Capture(const std::function<void()>& report, unsigned channel) {
  LogCapture log;
  report();
  for (const auto& l : log.lines()) EXPECT_EQ(l.channel, channel);
  return log.Utf8Lines();
}

sp_ulong TotalCases(PatternStatistics& st) {
  sp_ulong total = 0;
  for (int c = 0; c < 5; ++c) total += st.GetNCases(c);
  return total;
}

class Controls : public ::testing::Test {
 protected:
  void SetUp() override {
    fileA = Make("alpha", kTonesA);
    fileB = Make("beta", kTonesB);
  }
  std::string Make(const std::string& name, const std::vector<double>& freqs) {
    auto pcm = sptest::ToPcm16(sptest::ToneSteps(freqs, 4000, 0.5));
    std::string input = dir.File(name + ".wav");
    SignalPattern creator;
    EXPECT_EQ(creator.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1),
                                    pcm.data(), SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000),
              1);
    return dir.File(name + ".tvs");
  }
  sptest::TempDir dir;
  std::string fileA, fileB;
};

TEST_F(Controls, ParameterChangesWaitForTheNextTimeBlock) {
  SignalPattern sp;
  SigRecognitionPar change;
  change.TresholdRelDeviation = 0.5f;
  change.TresholdRelDeviationMPB = 0.8f;
  change.fStatistics = 1;  // the record's derived values are refreshed on the way in
  EXPECT_EQ(sp.ChangeRecognizeParam(&change), 0);  // filter bank not initialised

  PatternSet s({fileA});
  ASSERT_EQ(sp.InitSignalPattern(&s.par), 1);
  EXPECT_EQ(sp.ChangeRecognizeParam(&change), 1);
  EXPECT_EQ(sp.NewRecognitionPar.fUseRelDevMPB, 0);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.9f);
  EXPECT_EQ(sp.GetTresholdRelDeviationMPB(), 1.2f);
  std::vector<float> silence(576, 0.0f);
  ASSERT_EQ(sp.TimeSpectrumEst(576, silence.data()), 1);  // one time block
  EXPECT_EQ(sp.fNewRecognizeParam, 0);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.5f);
  EXPECT_EQ(sp.GetTresholdRelDeviationMPB(), 0.8f);
  EXPECT_EQ(sp.RecPar.fUseRelDevMPB, 0);

  // A refused call drops a change still waiting.
  change.TresholdRelDeviation = 0.25f;
  EXPECT_EQ(sp.ChangeRecognizeParam(&change), 1);
  EXPECT_EQ(sp.ChangeRecognizeParam(nullptr), 0);
  ASSERT_EQ(sp.TimeSpectrumEst(576, silence.data()), 1);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.5f);
  // Thresholds change at once, unchecked.
  EXPECT_EQ(sp.ChangeThresholdParam(0.3f, -1.0f), 1);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.3f);
  EXPECT_EQ(sp.GetTresholdRelDeviationMPB(), -1.0f);

  // The duration limit acts at the next initialisation: a 5-second clip needs a longer ring.
  SignalPattern maker;
  EXPECT_EQ(maker.DefineMaxCreatedPatternDuration(0.0f), 4.0f);  // 0 only asks
  auto clip = sptest::ToPcm16(sptest::ToneSteps({689.0625, 1378.125, 2067.1875, 2756.25, 3445.3125}, 44100, 0.5));
  std::string input = dir.File("long.wav");
  const sp_ulong n = static_cast<sp_ulong>(clip.size());
  {
    LogCapture log;
    EXPECT_EQ(maker.CreatePattern(n, 0, n - 1, clip.data(), SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000), 0);
    EXPECT_TRUE(log.Contains("SetCreatePatternMode(): ограничение длительности образца"));
  }
  EXPECT_EQ(maker.DefineMaxCreatedPatternDuration(10.0f), 4.0f);
  EXPECT_EQ(maker.DefineMaxCreatedPatternDuration(-1.0f), 10.0f);
  EXPECT_EQ(maker.Nblock, 307);  // unchanged until the next initialisation
  ASSERT_EQ(maker.CreatePattern(n, 0, n - 1, clip.data(), SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000), 1);
  EXPECT_EQ(maker.Nblock, 766);
}

TEST_F(Controls, SwitchesThresholdsAndDeviationRange) {
  PatternSet one({fileA});
  SignalPattern normal, strict, switchedOff;
  for (SignalPattern* sp : {&normal, &strict, &switchedOff}) ASSERT_EQ(sp->InitSignalPattern(&one.par), 1);
  strict.ChangeThresholdParam(0.0f, 0.0f);
  switchedOff.SetFlagUsePattern(0, 0);
  for (SignalPattern* sp : {&normal, &strict, &switchedOff}) Feed(*sp, kTonesA, 24);
  EXPECT_GE(normal.GetNRecognize(), 1);
  EXPECT_EQ(normal.GetLastRecognizedPatternNumber(), 0);
  EXPECT_EQ(strict.GetNRecognize(), 0);
  EXPECT_EQ(switchedOff.GetNRecognize(), 0);
  EXPECT_EQ(switchedOff.TVS[0]->RelDev, 2.0f);  // not even compared
  EXPECT_EQ(switchedOff.TVS[0]->RelDevMPB, 2.0f);
  // Out-of-range numbers and an engine without patterns change nothing.
  normal.SetFlagUsePattern(1, 0);
  normal.SetFlagUsePattern(-1, 0);
  EXPECT_EQ(normal.TVS[0]->fUsePattern, 1);
  switchedOff.SetFlagUsePattern(0, 7);
  EXPECT_EQ(switchedOff.TVS[0]->fUsePattern, 1);
  SignalPattern fresh;
  fresh.SetFlagUsePattern(0, 0);
  float lo = -5.0f, hi = -5.0f;
  fresh.GetDiapasoneRecognizeParam(&lo, &hi, -1);
  fresh.ResetMonitoring();
  EXPECT_EQ(lo, -5.0f);
  EXPECT_EQ(hi, -5.0f);

  // The deviation range of one pattern, or of all for -1 and out-of-range numbers.
  PatternSet two({fileA, fileB});
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&two.par), 1);
  EXPECT_EQ(sp.GetTVSCount(), 2);
  EXPECT_EQ(sp.GetNsDelay(), 1404);
  Feed(sp, kTonesA, 24);
  SignalTVSEx *a = sp.TVS[0], *b = sp.TVS[1];
  ASSERT_LT(a->RelDevMin, a->RelDevMax);
  sp.GetDiapasoneRecognizeParam(&lo, &hi, 1);
  EXPECT_EQ(lo, b->RelDevMin);
  EXPECT_EQ(hi, b->RelDevMax);
  for (int n : {-1, 2}) {
    lo = hi = -5.0f;
    sp.GetDiapasoneRecognizeParam(&lo, &hi, n);
    EXPECT_EQ(lo, std::min(a->RelDevMin, b->RelDevMin)) << n;
    EXPECT_EQ(hi, std::max(a->RelDevMax, b->RelDevMax)) << n;
  }
  sp.ResetMonitoring();
  for (int n = 0; n < 2; ++n) {
    sp.GetDiapasoneRecognizeParam(&lo, &hi, n);
    EXPECT_EQ(lo, sp.TVS[n]->RelDev);
    EXPECT_EQ(hi, sp.TVS[n]->RelDev);
  }
}

TEST_F(Controls, SummaryStatisticsLifecycle) {
  PatternSet off({fileA}), on({fileA, fileB}, 1);
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&off.par), 1);
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
  EXPECT_EQ(sp.TVS[0]->PatternStat, nullptr);

  ASSERT_EQ(sp.InitSignalPattern(&on.par), 1);
  ASSERT_EQ(sp.GeneralStatistics.N, 1);
  EXPECT_EQ(std::string(sp.GeneralStatistics.Name[0]), Utf8ToCp1251("Суммарная статистика по всем случаям"));
  EXPECT_EQ(sp.GeneralStatistics.Item[0].NEst, sp.Nband + 1);
  Feed(sp, kTonesA, 24);
  const sp_ulong perPattern = TotalCases(*sp.TVS[0]->PatternStat);
  EXPECT_GT(perPattern, 0u);
  EXPECT_EQ(TotalCases(sp.GeneralStatistics.Item[0]), perPattern + TotalCases(*sp.TVS[1]->PatternStat));

  // A new set-up keeps accumulating into the same summary.
  const sp_ulong before = TotalCases(sp.GeneralStatistics.Item[0]);
  ASSERT_EQ(sp.InitSignalPattern(&on.par), 1);
  EXPECT_EQ(TotalCases(sp.GeneralStatistics.Item[0]), before);
  EXPECT_EQ(sp.TVS[0]->PatternStat->Linked, &sp.GeneralStatistics);
  Feed(sp, kTonesA, 24);
  EXPECT_GT(TotalCases(sp.GeneralStatistics.Item[0]), before);

  // ResetStatistics releases the summary at once; per-pattern statistics stay.
  sp.ResetStatistics(0);
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
  EXPECT_EQ(sp.RecPar.fStatistics, 0);
  EXPECT_NE(sp.TVS[0]->PatternStat, nullptr);
  sp.ResetStatistics(1);
  EXPECT_EQ(sp.RecPar.fStatistics, 1);
  Feed(sp, kTonesA, 4);  // rows reach the empty summary harmlessly
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
  ASSERT_EQ(sp.InitSignalPattern(&on.par), 1);
  EXPECT_TRUE(sp.GeneralStatistics.IsNotEmpty());
  sp.UnloadSignalPatternObj(1, 0);
  EXPECT_TRUE(sp.GeneralStatistics.IsNotEmpty());
  sp.UnloadSignalPatternObj(1, 1);
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
}

TEST_F(Controls, Reports) {
  const Lines noStatistics = {"OutTraceableValues(): нет статистики"};
  SignalPattern fresh, plain;
  EXPECT_EQ(Capture([&] { fresh.OutTraceableValues(3); }, 3), noStatistics);
  PatternSet withoutStatistics({fileA});
  ASSERT_EQ(plain.InitSignalPattern(&withoutStatistics.par), 1);
  Feed(plain, kTonesA, 24);
  EXPECT_TRUE(Capture([&] {
                plain.OutStatictics(3);
                plain.OutGeneralStatictics(3);
                plain.OutGeneralTraceableValues(3);
              }, 3).empty());
  EXPECT_EQ(Capture([&] { plain.OutTraceableValues(3); }, 3), noStatistics);

  PatternSet one({fileA}, 1);
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&one.par), 1);
  Feed(sp, kTonesA, 40);
  const std::string name = sp.TVS[0]->FileName;
  PatternStatistics& ps = *sp.TVS[0]->PatternStat;
  // Pattern statistics: the first pattern's report, on the channel given.
  Lines report = Capture([&] { sp.OutStatictics(2); }, 2);
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report, Capture([&] { ps.OutStatitistics(-1, 2); }, 2));
  // One pattern: the title has no pattern number.
  Lines expected = Capture([&] { ps.OutTraceableValues(4); }, 4);
  expected.insert(expected.begin(), "OutTraceableValues: образец " + name);
  EXPECT_EQ(Capture([&] { sp.OutTraceableValues(4); }, 4), expected);
  // The summary: its title, then the member's report.
  report = Capture([&] { sp.OutGeneralStatictics(6); }, 6);
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report[0], "Суммарная статистика по всем случаям");
  EXPECT_EQ(report, Capture([&] { sp.GeneralStatistics.OutStatitistics(-1, -1, 6); }, 6));

  // Summary traceable values, then the threshold estimates of every pattern at -40 dB.
  expected = Capture([&] { sp.GeneralStatistics.OutTraceableValues(-1, 6); }, 6);
  float shift = 0, noise = 0, both = 0;
  ASSERT_EQ(sp.CalcTresholdEstimation(0, &shift, &noise, &both, nullptr, -40.0f, -1), 1);
  char line[3][256];
  std::snprintf(line[0], sizeof(line[0]), " TreshSHIFT  %3.5f  (%e)", shift, shift);
  std::snprintf(line[1], sizeof(line[1]), " TreshNOISE  %3.5f  (%e)", noise, noise);
  std::snprintf(line[2], sizeof(line[2]), " TreshSHIFTandNOISE  %3.5f  (%e)", both, both);
  for (const std::string& l : Lines{"", "Оценки порога относительного отклонения",
                                    " LevNoise_dB  -40.00 дБ (по амплитуде)", " Образец 0)   " + name, line[0],
                                    line[1], line[2], ""})
    expected.push_back(l);
  EXPECT_EQ(Capture([&] { sp.OutGeneralTraceableValues(6); }, 6), expected);

  // Two patterns: numbered titles.
  PatternSet two({fileA, fileB}, 1);
  ASSERT_EQ(sp.InitSignalPattern(&two.par), 1);
  report = Capture([&] { sp.OutTraceableValues(1); }, 1);
  for (int n = 0; n < 2; ++n)
    EXPECT_EQ(std::count(report.begin(), report.end(),
                         "OutTraceableValues: образец " + std::to_string(n) + ")  " + sp.TVS[n]->FileName),
              1);
}

}  // namespace
