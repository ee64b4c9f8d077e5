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
using sptest::TempDir;

const std::vector<double> kTonesA = {689.0625, 2067.1875, 1378.125};
const std::vector<double> kTonesB = {3445.3125, 1378.125, 4823.4375, 689.0625};

std::vector<std::int16_t> ClipOf(const std::vector<double>& freqs) {
  return sptest::ToPcm16(sptest::ToneSteps(freqs, 4000, 0.5));
}

// Writes a pattern of a generated clip with CreatePattern; returns the pattern file's path.
std::string MakePatternFile(const TempDir& dir, const std::string& name, const std::vector<double>& freqs) {
  auto pcm = ClipOf(freqs);
  std::string input = dir.File(name + ".wav");
  SignalPattern creator;
  EXPECT_EQ(creator.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1),
                                  pcm.data(), SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000),
            1);
  EXPECT_EQ(creator.GetFlagCreatedPattern(), 1);
  return dir.File(name + ".tvs");
}

// The clip followed by silence, a whole number of 1152-sample blocks.
std::vector<std::int16_t> Stream(const std::vector<double>& freqs, int blocks) {
  auto pcm = ClipOf(freqs);
  pcm.resize(static_cast<std::size_t>(blocks) * 1152, 0);
  return pcm;
}

void Feed(SignalPattern& sp, const std::vector<std::int16_t>& pcm, int from, int to) {
  for (int k = from; k < to; ++k) ASSERT_GE(sp.Pattern(1152, const_cast<std::int16_t*>(pcm.data()) + 1152 * k, 1, nullptr), 0);
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

std::vector<LogCapture::Line> Capture(const std::function<void()>& report) {
  LogCapture log;
  report();
  return log.lines();
}

std::vector<std::string> Texts(const std::vector<LogCapture::Line>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(l.utf8);
  return out;
}

class Controls : public ::testing::Test {
 protected:
  void SetUp() override {
    fileA = MakePatternFile(dir, "alpha", kTonesA);
    fileB = MakePatternFile(dir, "beta", kTonesB);
  }
  TempDir dir;
  std::string fileA;
  std::string fileB;
};

TEST_F(Controls, RecognizeParamChangesWaitForTheNextTimeBlock) {
  SignalPattern sp;
  SigRecognitionPar change;
  change.TresholdRelDeviation = 0.5f;
  change.TresholdRelDeviationMPB = 0.8f;
  change.fStatistics = 1;
  change.fUseRelDevMPB = 1;
  change.LevMax_dB = 10.0f;
  EXPECT_EQ(sp.ChangeRecognizeParam(&change), 0);  // filter bank not initialised
  EXPECT_EQ(sp.fNewRecognizeParam, 0);

  PatternSet s({fileA});
  ASSERT_EQ(sp.InitSignalPattern(&s.par), 1);
  EXPECT_EQ(sp.RecPar.fUseRelDevMPB, 1);
  EXPECT_EQ(sp.ChangeRecognizeParam(&change), 1);
  EXPECT_EQ(sp.fNewRecognizeParam, 1);
  EXPECT_EQ(sp.NewRecognitionPar.fUseRelDevMPB, 0);
  EXPECT_FLOAT_EQ(sp.NewRecognitionPar.LevMax, 10.0f);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.9f);
  EXPECT_EQ(sp.GetTresholdRelDeviationMPB(), 1.2f);

  std::vector<float> silence(576, 0.0f);
  ASSERT_EQ(sp.TimeSpectrumEst(576, silence.data()), 1);  // one time block
  EXPECT_EQ(sp.fNewRecognizeParam, 0);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.5f);
  EXPECT_EQ(sp.GetTresholdRelDeviationMPB(), 0.8f);
  EXPECT_EQ(sp.RecPar.fUseRelDevMPB, 0);
  EXPECT_FLOAT_EQ(sp.RecPar.LevMax, 10.0f);
  EXPECT_EQ(sp.RecPar.fStatistics, 0);     // not taken over
  EXPECT_EQ(sp.RecPar.LevMax_dB, 20.0f);   // only the linear form is

  // A refused call drops a change still waiting.
  change.TresholdRelDeviation = 0.25f;
  EXPECT_EQ(sp.ChangeRecognizeParam(&change), 1);
  EXPECT_EQ(sp.ChangeRecognizeParam(nullptr), 0);
  EXPECT_EQ(sp.fNewRecognizeParam, 0);
  ASSERT_EQ(sp.TimeSpectrumEst(576, silence.data()), 1);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.5f);

  // Thresholds change at once, unchecked.
  EXPECT_EQ(sp.ChangeThresholdParam(0.3f, -1.0f), 1);
  EXPECT_EQ(sp.GetTresholdRelDeviation(), 0.3f);
  EXPECT_EQ(sp.GetTresholdRelDeviationMPB(), -1.0f);
}

TEST_F(Controls, ThresholdsAndPatternSwitchesDecideRecognition) {
  PatternSet s({fileA});
  auto stream = Stream(kTonesA, 24);
  SignalPattern normal, strict, switchedOff;
  for (SignalPattern* sp : {&normal, &strict, &switchedOff}) ASSERT_EQ(sp->InitSignalPattern(&s.par), 1);
  strict.ChangeThresholdParam(0.0f, 0.0f);
  switchedOff.SetFlagUsePattern(0, 0);
  EXPECT_EQ(switchedOff.TVS[0]->fUsePattern, 0);
  for (SignalPattern* sp : {&normal, &strict, &switchedOff}) Feed(*sp, stream, 0, 24);
  EXPECT_GE(normal.GetNRecognize(), 1);
  EXPECT_EQ(normal.GetLastRecognizedPatternNumber(), 0);
  EXPECT_EQ(strict.GetNRecognize(), 0);
  EXPECT_EQ(switchedOff.GetNRecognize(), 0);
  EXPECT_EQ(switchedOff.TVS[0]->RelDev, 2.0f);
  EXPECT_EQ(switchedOff.TVS[0]->RelDevMPB, 2.0f);

  // Out-of-range numbers and an engine without patterns change nothing.
  normal.SetFlagUsePattern(normal.GetTVSCount(), 0);
  normal.SetFlagUsePattern(-1, 0);
  EXPECT_EQ(normal.TVS[0]->fUsePattern, 1);
  switchedOff.SetFlagUsePattern(0, 7);
  EXPECT_EQ(switchedOff.TVS[0]->fUsePattern, 1);
  SignalPattern fresh;
  fresh.SetFlagUsePattern(0, 0);
  EXPECT_EQ(fresh.GetTVS(), nullptr);
}

TEST_F(Controls, DeviationRangeAndMonitoringReset) {
  SignalPattern fresh;
  float lo = -5.0f, hi = -5.0f;
  fresh.GetDiapasoneRecognizeParam(&lo, &hi, -1);
  fresh.ResetMonitoring();
  EXPECT_EQ(lo, -5.0f);
  EXPECT_EQ(hi, -5.0f);

  PatternSet s({fileA, fileB});
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&s.par), 1);
  ASSERT_EQ(sp.GetTVSCount(), 2);
  ASSERT_EQ(sp.GetTVS(), sp.TVS);
  EXPECT_EQ(sp.GetRecognizeParam(), &sp.MonitorParam);
  EXPECT_EQ(sp.GetNsDelay(), 1404);
  Feed(sp, Stream(kTonesA, 24), 0, 24);
  SignalTVSEx* a = sp.TVS[0];
  SignalTVSEx* b = sp.TVS[1];
  ASSERT_LT(a->RelDevMin, a->RelDevMax);

  sp.GetDiapasoneRecognizeParam(&lo, &hi, 1);
  EXPECT_EQ(lo, b->RelDevMin);
  EXPECT_EQ(hi, b->RelDevMax);
  const float allMin = std::min(a->RelDevMin, b->RelDevMin);
  const float allMax = std::max(a->RelDevMax, b->RelDevMax);
  for (int n : {-1, 2}) {
    lo = hi = -5.0f;
    sp.GetDiapasoneRecognizeParam(&lo, &hi, n);
    EXPECT_EQ(lo, allMin) << n;
    EXPECT_EQ(hi, allMax) << n;
  }
  hi = -5.0f;
  sp.GetDiapasoneRecognizeParam(nullptr, &hi, -1);
  EXPECT_EQ(hi, allMax);

  sp.ResetMonitoring();
  for (int n = 0; n < 2; ++n) {
    sp.GetDiapasoneRecognizeParam(&lo, &hi, n);
    EXPECT_EQ(lo, sp.TVS[n]->RelDev);
    EXPECT_EQ(hi, sp.TVS[n]->RelDev);
  }
}

TEST_F(Controls, MaxCreatedPatternDurationActsAtTheNextInitialisation) {
  SignalPattern sp;
  EXPECT_EQ(sp.DefineMaxCreatedPatternDuration(0.0f), 4.0f);
  EXPECT_EQ(sp.MaxCreatedPatternDuration, 4.0f);

  // A 5-second clip is longer than the ring of a 4-second engine.
  auto clip = sptest::ToPcm16(sptest::ToneSteps({689.0625, 1378.125, 2067.1875, 2756.25, 3445.3125}, 44100, 0.5));
  std::string input = dir.File("long.wav");
  const sp_ulong n = static_cast<sp_ulong>(clip.size());
  {
    LogCapture log;
    EXPECT_EQ(sp.CreatePattern(n, 0, n - 1, clip.data(), SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000), 0);
    EXPECT_TRUE(log.Contains("SetCreatePatternMode(): ограничение длительности образца"));
  }
  EXPECT_EQ(sp.DefineMaxCreatedPatternDuration(10.0f), 4.0f);
  EXPECT_EQ(sp.DefineMaxCreatedPatternDuration(-1.0f), 10.0f);
  EXPECT_EQ(sp.Nblock, 307);  // unchanged until the next initialisation
  ASSERT_EQ(sp.CreatePattern(n, 0, n - 1, clip.data(), SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000), 1);
  EXPECT_EQ(sp.Nblock, 766);
  EXPECT_EQ(sp.GetFlagCreatedPattern(), 1);
}

TEST_F(Controls, SummaryStatisticsLifecycle) {
  const std::string title = Utf8ToCp1251("Суммарная статистика по всем случаям");
  PatternSet off({fileA});
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&off.par), 1);
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
  EXPECT_EQ(sp.TVS[0]->PatternStat, nullptr);

  PatternSet on({fileA, fileB}, 1);
  ASSERT_EQ(sp.InitSignalPattern(&on.par), 1);
  ASSERT_EQ(sp.GeneralStatistics.N, 1);
  EXPECT_EQ(sp.GeneralStatistics.fUse[0], 1);
  ASSERT_NE(sp.GeneralStatistics.Name[0], nullptr);
  EXPECT_EQ(std::string(sp.GeneralStatistics.Name[0]), title);
  EXPECT_EQ(sp.GeneralStatistics.Item[0].NEst, sp.Nband + 1);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(sp.TVS[i]->PatternStat->Linked, &sp.GeneralStatistics);

  auto cases = [](PatternStatistics& st) {
    sp_ulong total = 0;
    for (int c = 0; c < 5; ++c) total += st.GetNCases(c);
    return total;
  };
  Feed(sp, Stream(kTonesA, 24), 0, 24);
  const sp_ulong perPattern = cases(*sp.TVS[0]->PatternStat);
  EXPECT_GT(perPattern, 0u);
  EXPECT_EQ(cases(sp.GeneralStatistics.Item[0]), perPattern + cases(*sp.TVS[1]->PatternStat));
  const sp_ulong before = cases(sp.GeneralStatistics.Item[0]);

  // A new set-up keeps accumulating into the same summary.
  ASSERT_EQ(sp.InitSignalPattern(&on.par), 1);
  EXPECT_EQ(cases(sp.GeneralStatistics.Item[0]), before);
  EXPECT_EQ(sp.TVS[0]->PatternStat->Linked, &sp.GeneralStatistics);
  Feed(sp, Stream(kTonesA, 24), 0, 24);
  EXPECT_GT(cases(sp.GeneralStatistics.Item[0]), before);

  // ResetStatistics releases the summary at once; per-pattern statistics stay.
  sp.ResetStatistics(0);
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
  EXPECT_EQ(sp.RecPar.fStatistics, 0);
  EXPECT_NE(sp.TVS[0]->PatternStat, nullptr);
  sp.ResetStatistics(1);
  EXPECT_EQ(sp.RecPar.fStatistics, 1);
  Feed(sp, Stream(kTonesA, 24), 0, 4);  // rows reach the empty summary harmlessly
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
  ASSERT_EQ(sp.InitSignalPattern(&on.par), 1);
  EXPECT_TRUE(sp.GeneralStatistics.IsNotEmpty());

  sp.UnloadSignalPatternObj(1, 0);
  EXPECT_TRUE(sp.GeneralStatistics.IsNotEmpty());
  sp.UnloadSignalPatternObj(1, 1);
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
}

TEST_F(Controls, ReportsWithoutStatistics) {
  SignalPattern fresh;
  auto lines = Capture([&] { fresh.OutTraceableValues(3); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].utf8, "OutTraceableValues(): нет статистики");
  EXPECT_EQ(lines[0].channel, 3u);

  PatternSet s({fileA});
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&s.par), 1);
  Feed(sp, Stream(kTonesA, 24), 0, 24);
  EXPECT_TRUE(Capture([&] {
                sp.OutStatictics(3);
                sp.OutGeneralStatictics(3);
                sp.OutGeneralTraceableValues(3);
              }).empty());
  lines = Capture([&] { sp.OutTraceableValues(3); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].utf8, "OutTraceableValues(): нет статистики");
}

TEST_F(Controls, ReportsWithStatistics) {
  PatternSet one({fileA}, 1);
  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(&one.par), 1);
  Feed(sp, Stream(kTonesA, 40), 0, 40);
  const std::string name = sp.TVS[0]->FileName;
  ASSERT_FALSE(name.empty());

  // Pattern statistics: the first pattern's report, on the channel given.
  auto report = Capture([&] { sp.OutStatictics(2); });
  auto expected = Capture([&] { sp.TVS[0]->PatternStat->OutStatitistics(-1, 2); });
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(Texts(report), Texts(expected));
  for (const auto& l : report) EXPECT_EQ(l.channel, 2u);

  // One pattern: the title has no pattern number.
  report = Capture([&] { sp.OutTraceableValues(4); });
  expected = Capture([&] { sp.TVS[0]->PatternStat->OutTraceableValues(4); });
  ASSERT_EQ(report.size(), expected.size() + 1);
  EXPECT_EQ(report[0].utf8, "OutTraceableValues: образец " + name);
  const auto titled = Texts(report);
  EXPECT_EQ(std::vector<std::string>(titled.begin() + 1, titled.end()), Texts(expected));
  for (const auto& l : report) EXPECT_EQ(l.channel, 4u);

  // The summary: its title, then the member's report.
  report = Capture([&] { sp.OutGeneralStatictics(6); });
  expected = Capture([&] { sp.GeneralStatistics.OutStatitistics(-1, -1, 6); });
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report[0].utf8, "Суммарная статистика по всем случаям");
  EXPECT_EQ(Texts(report), Texts(expected));

  // Summary traceable values, then the threshold estimates of every pattern at -40 dB.
  report = Capture([&] { sp.OutGeneralTraceableValues(6); });
  expected = Capture([&] { sp.GeneralStatistics.OutTraceableValues(-1, 6); });
  float shift = 0, noise = 0, both = 0;
  ASSERT_EQ(sp.CalcTresholdEstimation(0, &shift, &noise, &both, nullptr, -40.0f, -1), 1);
  std::vector<std::string> tail = {"", "Оценки порога относительного отклонения",
                                   " LevNoise_dB  -40.00 дБ (по амплитуде)", " Образец 0)   " + name};
  char line[256];
  std::snprintf(line, sizeof(line), " TreshSHIFT  %3.5f  (%e)", shift, shift);
  tail.push_back(line);
  std::snprintf(line, sizeof(line), " TreshNOISE  %3.5f  (%e)", noise, noise);
  tail.push_back(line);
  std::snprintf(line, sizeof(line), " TreshSHIFTandNOISE  %3.5f  (%e)", both, both);
  tail.push_back(line);
  tail.push_back("");
  auto all = Texts(expected);
  all.insert(all.end(), tail.begin(), tail.end());
  EXPECT_EQ(Texts(report), all);
  for (const auto& l : report) EXPECT_EQ(l.channel, 6u);

  // Two patterns: numbered titles.
  PatternSet two({fileA, fileB}, 1);
  ASSERT_EQ(sp.InitSignalPattern(&two.par), 1);
  report = Capture([&] { sp.OutTraceableValues(1); });
  auto texts = Texts(report);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "OutTraceableValues: образец 0)  " + std::string(sp.TVS[0]->FileName)), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "OutTraceableValues: образец 1)  " + std::string(sp.TVS[1]->FileName)), 1);
}

}  // namespace
