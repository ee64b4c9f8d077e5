// Deviation accumulators, per-pattern statistics with their category windows, the summing set
// and their text reports.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "DeviationStat.h"
#include "PatternStatistics.h"
#include "test_support.h"

namespace {

using sptest::LogCapture;
using Lines = std::vector<std::string>;

// The measure switches are process-wide: put them back to 1 when a test ends.
struct UseElemGuard {
  ~UseElemGuard() {
    for (int i = 0; i < DeviationStat::NumberOfElem; ++i) DeviationStat::fUseElem[i] = 1;
  }
};

void Include(DeviationStat& s, float relDev, sp_ulong ns, float maxDevAbsLow = 0.0f) {
  DeviationEst e{};
  e.RelDev = relDev;
  e.MaxDevAbsLow = maxDevAbsLow;
  e.Ns = ns;
  s.IncludeData(&e);
}

// Fills every slot of the current row with relDev at position ns, and closes the row.
void Feed(PatternStatistics& ps, unsigned short code, float relDev, sp_ulong ns) {
  for (int e = 0; e < ps.NEst; ++e) {
    ps.CurEst[e].RelDev = relDev;
    ps.CurEst[e].MaxDevAbsLow = 0.0f;
    ps.CurEst[e].Ns = ns;
  }
  ps.RealizeStatitistics(&code);
}

// Case counts of categories 0..4.
std::vector<sp_ulong> Cases(PatternStatistics& ps) {
  std::vector<sp_ulong> n;
  for (int c = 0; c < 5; ++c) n.push_back(ps.GetNCases(c));
  return n;
}

// Feeds blocks 0 .. nBlocks-1 at Ns = 576*t; blocks in marks get code 4 and relDev 1.5, the
// others relDev 0.1.
void FeedWithMarks(PatternStatistics& ps, int nBlocks, const std::vector<int>& marks) {
  for (int t = 0; t < nBlocks; ++t) {
    bool marked = std::find(marks.begin(), marks.end(), t) != marks.end();
    Feed(ps, marked ? 4 : 0, marked ? 1.5f : 0.1f, static_cast<sp_ulong>(t) * 576u);
  }
}

const char kTraceTitle[] = "Traceable values: величины, пригодные для распознавания";

}  // namespace

TEST(DeviationStat, SwitchedOffOffersMeanAndVariance) {
  UseElemGuard guard;
  DeviationStat s;
  // RelDev switched off for the first two offers: counted but not tracked, so the first-value
  // branch is never taken and Min/Max start from 0.0.
  ASSERT_EQ(DeviationStat::SetflagUseElem(1, 0), 1);
  Include(s, 0.7f, 10);
  Include(s, 0.9f, 20);
  EXPECT_EQ(DeviationStat::SetflagUseElem(1, 1), 0);
  Include(s, 0.3f, 30);
  Include(s, 0.5f, 40);
  const ParStat& r = s.Elem[1];
  EXPECT_EQ(std::vector<float>({r.Min, r.Max}), std::vector<float>({0.0f, 0.5f}));
  EXPECT_EQ(std::vector<sp_ulong>({r.N, r.NsMin, r.NsMax}), std::vector<sp_ulong>({4, 0, 40}));
  // Mean divides by the count including the offers made while switched off.
  EXPECT_EQ(r.Sum, static_cast<double>(0.3f) + static_cast<double>(0.5f));
  EXPECT_EQ(r.Mean, static_cast<float>(r.Sum / 4.0));
  EXPECT_EQ(s.GetNSampleInStatictics(0) + s.GetNSampleInStatictics(5), 4u);

  // Running variance: squared differences from the running mean just after each value.
  ParStat p;
  ASSERT_EQ(p.InitHistogram(0.0f, 10.0f, 10, 0), 1);
  p.Include(1.0f, 1, 1);
  p.Include(3.0f, 1, 2);
  p.Include(3.0f, 1, 3);  // a tie with Max keeps the earlier position
  EXPECT_EQ(p.Mean, static_cast<float>(7.0 / 3.0));
  const double dev3 = 3.0 - static_cast<double>(p.Mean);
  EXPECT_EQ(p.Variance, static_cast<float>((1.0 + dev3 * dev3) / 3.0));
  EXPECT_EQ(p.NsMax, 2u);

  // Bad measure numbers; SetflagUseElem returns the previous flag.
  EXPECT_EQ(DeviationStat::SetflagUseElem(5, 0) + DeviationStat::SetflagUseElem(-1, 0), 0);
  EXPECT_EQ(DeviationStat::SetflagUseElem(3, 7), 1);
  EXPECT_EQ(DeviationStat::SetflagUseElem(3, 1), 7);
  EXPECT_STREQ(DeviationStat::GetElemName(-1), "");  // (the names themselves: the reports below)
  // Threads writing statistics at once each get their own name buffer.
  const char* other = nullptr;
  std::thread([&] { other = DeviationStat::GetElemName(3); }).join();
  EXPECT_NE(other, DeviationStat::GetElemName(0));
}

TEST(DeviationStat, HistogramBinsAndRelease) {
  DeviationStat s;
  // RelDev: linear 0..2 in 50 bins; MaxDevAbsLow: -100..0 dB.
  Include(s, 2.0f, 1, 0.0f);     // 0 -> -100 dB
  Include(s, 2.04f, 2, 1e-3f);   // -30 dB
  Include(s, -0.01f, 3, 1.0f);   // 0 dB, the upper bound
  Include(s, 0.0f, 4, 2.0f);     // +3 dB, above the range
  // Counts of: bin 0, bin 35, bin 49 (the upper bound is in the last bin), below, above.
  auto counts = [](const ParStat& p) {
    return std::vector<sp_ulong>({p.Hist[0], p.Hist[35], p.Hist[49], p.NBelow, p.NAbove});
  };
  EXPECT_EQ(counts(s.Elem[1]), std::vector<sp_ulong>({1, 0, 1, 1, 1}));
  EXPECT_EQ(counts(s.Elem[2]), std::vector<sp_ulong>({1, 1, 1, 0, 1}));
  EXPECT_EQ(s.Elem[2].Min, -100.0f);

  // Equal bounds give no scale; no bins give no counters (count, min and max only).
  ParStat flat, none;
  EXPECT_EQ(flat.InitHistogram(1.0f, 1.0f, 4, 0), 1);
  flat.Include(1.0f, 1, 0);
  EXPECT_EQ(flat.Hist[0], 1u);
  EXPECT_EQ(none.InitHistogram(0.0f, 1.0f, 0, 0), 1);
  EXPECT_EQ(none.Hist, nullptr);
  none.Include(0.5f, 1, 7);
  none.Include(0.7f, 1, 8);
  EXPECT_EQ(none.N, 2u);
  EXPECT_EQ(none.Max, 0.7f);
  EXPECT_EQ(none.Sum, 0.0);

  // UnloadObj keeps the bounds, drops the histograms and the sums; counting goes on, in linear
  // units.
  s.UnloadObj();
  EXPECT_EQ(s.Elem[2].HistLow, -100.0f);
  EXPECT_EQ(s.Elem[2].Hist, nullptr);
  Include(s, 2.04f, 2, 1e-3f);
  Include(s, -0.01f, 3, 1.0f);
  EXPECT_EQ(s.Elem[1].Min, -0.01f);
  EXPECT_EQ(s.Elem[1].Mean, 0.0f);
  EXPECT_EQ(s.Elem[2].Max, 1.0f);
}

TEST(DeviationStat, IntervalsCopiesAndLiveCount) {
  UseElemGuard guard;
  {
    DeviationStat a, b, c, empty;
    for (auto [stat, value] : {std::pair{&a, 0.2f}, {&a, 0.5f}, {&b, 0.5f}, {&b, 0.9f}, {&c, 0.6f}})
      Include(*stat, value, 1);
    ParStat *pa = nullptr, *pb = nullptr;
    // [0.2, 0.5] and [0.5, 0.9] touch at one point: they intersect.
    EXPECT_EQ(a.IntersectionOfIntervals(&b, 1, &pa, &pb), 1);
    EXPECT_EQ(pa, &a.Elem[1]);
    EXPECT_EQ(pb, &b.Elem[1]);
    EXPECT_EQ(b.IntersectionOfIntervals(&a, 1, nullptr, nullptr), 1);
    EXPECT_EQ(a.IntersectionOfIntervals(&c, 1, nullptr, nullptr), 0);
    EXPECT_EQ(a.IntersectionOfIntervals(&empty, 1, &pa, &pb), 0);  // no values: never
    pa = pb = nullptr;
    EXPECT_EQ(a.IntersectionOfIntervals(nullptr, 1, &pa, &pb), 0);
    EXPECT_EQ(a.IntersectionOfIntervals(&b, 5, &pa, &pb), 0);
    EXPECT_EQ(a.IntersectionOfIntervals(&b, -1, &pa, &pb), 0);
    EXPECT_EQ(pa, nullptr);  // bad arguments leave the pointers alone

    // Copies own their histograms and outlive their source.
    auto* source = new DeviationStat;
    Include(*source, 1.0f, 9, 1e-3f);
    DeviationStat assigned, constructed(*source);
    assigned = *source;
    Include(assigned, 1.0f, 10);
    EXPECT_EQ(assigned.Elem[1].Hist[25], 2u);
    EXPECT_EQ(source->Elem[1].Hist[25], 1u);
    delete source;
    EXPECT_EQ(constructed.Elem[2].Hist[35], 1u);
    EXPECT_EQ(constructed.Elem[2].NsMax, 9u);
    Include(constructed, 1.0f, 10);
    assigned = constructed;
    assigned = assigned;
    EXPECT_EQ(assigned.Elem[1].Hist[25], 2u);
    EXPECT_EQ(assigned.Elem[1].N, 2u);
  }

  // The first live object switches every measure back on; later ones and copies do not.
  ASSERT_EQ(DeviationStat::NObject, 0u);
  DeviationStat::SetflagUseElem(2, 0);
  {
    DeviationStat first;
    EXPECT_EQ(DeviationStat::fUseElem[2], 1);
    DeviationStat::SetflagUseElem(0, 0);
    DeviationStat second, copy(second);
    EXPECT_EQ(DeviationStat::NObject, 3u);
    EXPECT_EQ(DeviationStat::fUseElem[0], 0);
    {
      PatternStatistics ps(2, 5, 1);  // 5 categories x 2 slots
      EXPECT_EQ(DeviationStat::NObject, 13u);
    }
    EXPECT_EQ(DeviationStat::NObject, 3u);
  }
  EXPECT_EQ(DeviationStat::NObject, 0u);
  EXPECT_EQ(DeviationStat::fUseElem[0], 0);  // nothing resets while no object lives
}

TEST(PatternStatistics, InitGeometryAndFailures) {
  PatternStatistics few(3, 3, 2), many(3, 7, 2);
  EXPECT_EQ(few.NCategory, 5);  // at least 5
  EXPECT_EQ(few.NRow, 5);
  EXPECT_EQ(many.NCategory, 7);
  EXPECT_EQ(many.GetParStat(6, 2, 4), &many.Stat[6 * 3 + 2].Elem[4]);
  EXPECT_EQ(many.GetParStat(7, 0, 0), nullptr);
  EXPECT_EQ(many.GetParStat(0, 3, 0), nullptr);
  EXPECT_EQ(many.GetParStat(0, 0, 5), nullptr);
  EXPECT_EQ(many.GetNCases(7) + many.GetNCases(-1), 0u);

  LogCapture log;
  PatternStatistics bad;
  EXPECT_EQ(bad.Init(0, 5, 3), 0);
  EXPECT_EQ(bad.Init(2, 5, static_cast<unsigned int>(-1)), 0);
  unsigned short code = 4;
  bad.RealizeStatitistics(&code);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"PatternStatistics(...): ошибка во вх. параметрах",
                                    "PatternStatistics(...): ошибка во вх. параметрах",
                                    "RealizeStatitistics(): объект не инициализирован"}));
  EXPECT_EQ(log.lines()[0].channel, 0u);
  EXPECT_EQ(bad.GetParStat(0, 0, 0), nullptr);

  // Re-Init discards what was collected and unlinks.
  PatternStatisticsSet set;
  ASSERT_EQ(set.Init(1, &few), 1);
  few.Linked = &set;
  Feed(few, 0, 0.5f, 1);
  EXPECT_EQ(few.Init(2, 5, 0), 1);
  EXPECT_EQ(few.Linked, nullptr);
  EXPECT_EQ(few.NRow, 1);
  EXPECT_EQ(Cases(few), std::vector<sp_ulong>(5, 0));
}

TEST(PatternStatistics, DepthZeroIncludesEachBlockAtOnce) {
  PatternStatistics ps(2, 5, 0);
  Feed(ps, 0, 0.3f, 100);
  Feed(ps, 4, 0.1f, 200);
  Feed(ps, 2, 0.2f, 300);
  Feed(ps, 6, 0.4f, 400);           // both marks: the known position wins
  ps.RealizeStatitistics(nullptr);  // no code: the row keeps its cleared flags
  EXPECT_EQ(Cases(ps), (std::vector<sp_ulong>{1, 0, 2, 0, 2}));
  EXPECT_EQ(ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1)->Max, 0.4f);
  EXPECT_EQ(ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1)->NsMin, 200u);
}

TEST(PatternStatistics, WindowsAroundKnownPositions) {
  PatternStatistics ps(2, 5, 3);  // window of 7 rows
  for (int t = 0; t < 6; ++t) Feed(ps, 0, 0.1f, t);
  EXPECT_EQ(Cases(ps), std::vector<sp_ulong>(5, 0));  // nothing during the first 2*Depth blocks
  Feed(ps, 0, 0.1f, 6);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NORECOGNIZE), 1u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->NsMin, 0u);  // block 0 went first
  for (int t = 7; t < 25; ++t) Feed(ps, t == 10 ? 4 : 0, 0.01f * static_cast<float>(t), t);
  // Block 10 is the centre, 7..13 its near blocks; 0..6 and 14..18 are non-recognitions.
  EXPECT_EQ(Cases(ps), (std::vector<sp_ulong>{0, 0, 1, 6, 12}));
  EXPECT_EQ(ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1)->NsMin, 10u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->NsMin, 7u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->NsMax, 13u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->NsMax, 18u);

  // Marks 10 apart: only the first is a centre, the second lies in its near category.
  PatternStatistics close(1, 5, 15);
  FeedWithMarks(close, 80, {20, 30});
  EXPECT_EQ(Cases(close), (std::vector<sp_ulong>{0, 0, 1, 30, 19}));
  EXPECT_EQ(close.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->Max, 1.5f);

  // 20 apart: the second mark is never a centre and its block goes to category 4 ...
  PatternStatistics apart(1, 5, 15);
  FeedWithMarks(apart, 80, {20, 40});
  EXPECT_EQ(Cases(apart), (std::vector<sp_ulong>{0, 0, 1, 30, 19}));
  EXPECT_EQ(apart.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->Max, 0.1f);
  EXPECT_EQ(apart.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->Max, 1.5f);
  EXPECT_EQ(apart.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->NsMax, 40u * 576u);

  // ... unless a later mark that becomes a centre lies at most Depth blocks after it; the
  // second window (37..67) is included whole as soon as block 52 is its centre.
  PatternStatistics covered(1, 5, 15);
  FeedWithMarks(covered, 80, {20, 40, 52});
  EXPECT_EQ(Cases(covered), (std::vector<sp_ulong>{0, 0, 2, 60, 6}));  // category 4: blocks 0..4, 36
  EXPECT_EQ(covered.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->Max, 0.1f);
}

TEST(PatternStatistics, LinkedSetAndTraceability) {
  PatternStatistics p1(3, 5, 2), p2(3, 5, 2), uninitialised;
  PatternStatisticsSet set;
  EXPECT_EQ(set.Init(0, &p1), 0);
  EXPECT_EQ(set.Init(1, nullptr), 0);
  {
    LogCapture quiet;
    EXPECT_EQ(set.Init(2, &uninitialised), 0);
  }
  EXPECT_FALSE(set.IsNotEmpty());
  ASSERT_EQ(set.Init(1, &p1), 1);
  p1.Linked = p2.Linked = &set;
  for (int t = 0; t < 20; ++t) {
    Feed(p1, t == 8 ? 4 : 0, 0.5f, t);
    Feed(p2, t == 5 ? 2 : 0, 0.6f, t);
  }
  // The set receives every inclusion of both members.
  EXPECT_EQ(Cases(set.Item[0]), (std::vector<sp_ulong>{1, 4, 1, 4, 22}));
  EXPECT_EQ(set.Item[0].GetParStat(CATEGORY_NORECOGNIZE, 2, 1)->N, 22u);

  // A disabled member receives nothing; a null title keeps the old one.
  EXPECT_EQ(set.SetItem(0, 0, "summary"), 1);
  EXPECT_EQ(set.SetItem(0, 0, nullptr), 1);
  EXPECT_STREQ(set.Name[0], "summary");
  EXPECT_EQ(set.SetItem(1, 1, "x") + set.SetItem(-1, 1, "x"), 0);
  Feed(p1, 0, 0.5f, 20);
  EXPECT_EQ(p1.GetNCases(CATEGORY_NORECOGNIZE), 12u);
  EXPECT_EQ(set.Item[0].GetNCases(CATEGORY_NORECOGNIZE), 22u);

  // Traceable: the recognition interval lies apart from the non-recognition interval.
  PatternStatistics ps(2, 5, 0);
  ParStat dummy;
  ParStat *rec = &dummy, *no = &dummy;
  Feed(ps, 0, 0.8f, 1);
  Feed(ps, 0, 0.9f, 2);
  EXPECT_EQ(ps.IsTraceable(0, 1, 1, &rec, &no), 0);  // no recognitions yet
  EXPECT_EQ(rec, nullptr);
  Feed(ps, 4, 0.2f, 3);
  Feed(ps, 2, 0.85f, 4);
  EXPECT_EQ(ps.IsTraceable(1, 1, 1, &rec, &no), 1);  // 0.2 against [0.8, 0.9]
  EXPECT_EQ(rec, ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1));
  EXPECT_EQ(no, ps.GetParStat(CATEGORY_NORECOGNIZE, 1, 1));
  EXPECT_EQ(ps.IsTraceable(1, 1, 0, &rec, &no), 0);  // 0.85 lies inside; pointers still given
  EXPECT_EQ(rec, ps.GetParStat(CATEGORY_RECOGNIZE, 1, 1));
  EXPECT_EQ(ps.IsTraceable(2, 1, 1, &rec, &no), 0);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(ps.IsTraceable(0, 5, 1, nullptr, nullptr), 0);
  PatternStatistics onlyRecognitions(1, 5, 0);  // nothing to be told apart from
  Feed(onlyRecognitions, 4, 0.2f, 1);
  EXPECT_EQ(onlyRecognitions.IsTraceable(0, 1, 1, nullptr, nullptr), 0);
}

TEST(StatisticsReports, ParStatReport) {
  LogCapture log;
  ParStat p;
  p.OutParStat("x", 3);  // no histogram
  ASSERT_EQ(p.InitHistogram(1e-4f, 10.0f, 50, 1), 1);
  p.OutParStat("x", 3);  // no values
  EXPECT_TRUE(log.lines().empty());

  p.Include(1e-4f, 1, 1);   // -40 dB
  p.Include(1.0f, 1, 2);    // 0 dB
  p.Include(1e-5f, 1, 3);   // -50 dB, below
  p.Include(100.0f, 1, 4);  // 20 dB, above
  p.OutParStat(DeviationStat::GetElemName(2), 3);
  Lines lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 61u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 12),
            (Lines{"", " Статистика величины MaxDevAbsLow, dBm", "Среднее -1.75000e+01 СКО  5.51562e+02 N=4 выборок",
                   "Min -5.000000e+01, Max 2.000000e+01", "NsMin=3, NsMax=4",
                   "Гистограмма в диап. -4.00000e+01,  1.00000e+01", "Интервал 1.000000e+00",
                   "Число выборок < нижней границы  1,   25.000 %", "Число выборок > верхней границы 1,   25.000 %",
                   "Распределение", "000) -40.000 :1  50.000 %", "001) -39.000 :0  0.000 %"}));
  EXPECT_EQ(lines[50], "040) 0.000 :1  50.000 %");
  EXPECT_EQ(lines[59], "049) 9.000 :0  0.000 %");
  EXPECT_EQ(lines[60], "");
  for (const auto& l : log.lines()) EXPECT_EQ(l.channel, 3u);

  // Linear scale, no title; the per-bin percentage is of the values inside the range.
  log.Clear();
  DeviationStat s;
  Include(s, 2.0f, 5);
  s.Elem[1].OutParStat(nullptr, 0);
  lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 61u);
  EXPECT_EQ(lines[1], " Статистика величины ");
  EXPECT_EQ(lines[10], "000)  0.000e+00 :0  0.000 %");
  EXPECT_EQ(lines[59], "049)  1.960e+00 :1  100.000 %");
}

TEST(StatisticsReports, TraceableListing) {
  UseElemGuard guard;
  LogCapture log;
  PatternStatistics none, ps(1, 5, 0);
  none.OutTraceableValues(2);
  Feed(ps, 0, 0.5f, 10);
  ps.OutTraceableValues(2);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"", kTraceTitle, "Объект не инициализирован", "", "", kTraceTitle,
                                    "Нет случаев распознавания", ""}));

  // Only RelDev (linear) and MaxDevAbsLow (dB) listed.
  for (int m : {0, 3, 4}) DeviationStat::SetflagUseElem(m, 0);
  Feed(ps, 0, 0.9f, 20);
  Feed(ps, 4, 0.1f, 30);
  Feed(ps, 2, 0.3f, 40);
  log.Clear();
  ps.OutTraceableValues(2);
  EXPECT_EQ(log.Utf8Lines(),
            (Lines{"", kTraceTitle, "Распознавание по заранее известному образцу, 1",
                   "01 YES кат. 0  RelDev", "R(1.0000e-01), (5.0000e-01, 9.0000e-01)", "R:NsMin=30, Max=30; NsMin=10",
                   "02 NO кат. 0  MaxDevAbsLow", "R(-100.00), (-100.00, -100.00) dBm", "R:NsMin=30, Max=30; NsMin=10",
                   "Прочие распознавания: 1",
                   "01 YES кат. 0  RelDev", "R(3.0000e-01, 3.0000e-01), (5.0000e-01, 9.0000e-01)",
                   "R:NsMin=40, Max=40; NsMin=10",
                   "02 NO кат. 0  MaxDevAbsLow", "R(-100.00, -100.00), (-100.00, -100.00) dBm",
                   "R:NsMin=40, Max=40; NsMin=10", ""}));

  // Every measure off: no per-measure reports and "нет величин".
  for (int m : {1, 2}) DeviationStat::SetflagUseElem(m, 0);
  PatternStatistics off(1, 5, 0);  // not the first live object: the switches stay off
  Feed(off, 4, 0.2f, 1);
  Feed(off, 0, 0.8f, 2);
  log.Clear();
  off.Stat[2].OutStatictics(1);
  EXPECT_TRUE(log.lines().empty());
  off.OutTraceableValues(1);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"", kTraceTitle, "Распознавание по заранее известному образцу, 1",
                                    "нет величин", "Прочие распознавания: 0", ""}));
}

TEST(StatisticsReports, CategoriesAndSets) {
  LogCapture log;
  PatternStatistics ps(2, 5, 0);
  EXPECT_EQ(ps.OutStatitistics(3, 4), 1);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"", "", "CATEGORY_NEAR_RECOGNIZE_EXACT", "CS3CE0 EstimationCategory 0",
                                    "CS3CE1 EstimationCategory 1", ""}));
  log.Clear();
  EXPECT_EQ(ps.OutStatitistics(-1, 4), 1);
  for (const char* n : {"CATEGORY_RECOGNIZE", "CATEGORY_NEAR_RECOGNIZE", "CATEGORY_RECOGNIZE_EXACT",
                        "CATEGORY_NORECOGNIZE", "CS4CE1 EstimationCategory 1"})
    EXPECT_TRUE(log.Contains(n)) << n;
  EXPECT_EQ(log.lines().size(), 2u + 5u * 4u);

  // Collected values appear under their slot: one non-recognition block, five measures.
  Feed(ps, 0, 0.5f, 1);
  log.Clear();
  EXPECT_EQ(ps.OutStatitistics(CATEGORY_NORECOGNIZE, 4), 1);
  Lines lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 6u + 2u * 5u * 61u);
  EXPECT_EQ(lines[3], "CS4CE0 EstimationCategory 0");
  EXPECT_EQ(lines[5], " Статистика величины AbsDev");
  EXPECT_EQ(lines[5 + 2 * 61], " Статистика величины MaxDevAbsLow, dBm");
  EXPECT_EQ(lines[4 + 5 * 61], "CS4CE1 EstimationCategory 1");

  log.Clear();
  PatternStatistics empty;
  EXPECT_EQ(ps.OutStatitistics(5, 4) + empty.OutStatitistics(-1, 4), 0);
  EXPECT_TRUE(log.lines().empty());

  // Categories above 4 end the report with the error line.
  PatternStatistics seven(1, 7, 0);
  EXPECT_EQ(seven.OutStatitistics(-1, 4), 0);
  lines = log.Utf8Lines();
  EXPECT_EQ(lines.size(), 1u + 5u * 3u + 2u);
  EXPECT_EQ(lines[lines.size() - 2], "");
  EXPECT_EQ(lines.back(), "OutStatitistics(): ошибка: категория ?");

  // Sets: the title before each member's report.
  PatternStatisticsSet set;
  log.Clear();
  EXPECT_EQ(set.OutStatitistics(-1, -1, 4) + set.OutTraceableValues(-1, 4), 0);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_EQ(set.Init(2, &ps), 1);
  set.SetItem(1, 1, "second");
  EXPECT_EQ(set.OutStatitistics(2, 2, 4), 0);
  EXPECT_EQ(set.OutStatitistics(2, 1, 4), 1);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"second", "", "", "CATEGORY_RECOGNIZE_EXACT", "CS2CE0 EstimationCategory 0",
                                    "CS2CE1 EstimationCategory 1", ""}));
  log.Clear();
  EXPECT_EQ(set.OutTraceableValues(-1, 4), 1);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"", kTraceTitle, "Нет случаев распознавания", "", "second", "", kTraceTitle,
                                    "Нет случаев распознавания", ""}));
}
