// Tests of the statistics: ParStat / DeviationStat accumulators, PatternStatistics windows and
// categories, PatternStatisticsSet, and their text reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeviationStat.h"
#include "PatternStatistics.h"
#include "test_support.h"

namespace {

using sptest::LogCapture;

// The measure switches are process-wide: put them back to 1 when a test ends.
struct UseElemGuard {
  ~UseElemGuard() {
    for (int i = 0; i < DeviationStat::NumberOfElem; ++i) DeviationStat::fUseElem[i] = 1;
  }
};

DeviationEst Est(float relDev, sp_ulong ns, float maxDevAbsLow = 0.0f) {
  DeviationEst e{};
  e.RelDev = relDev;
  e.MaxDevAbsLow = maxDevAbsLow;
  e.Ns = ns;
  return e;
}

// Fills every slot of the current row with relDev, position ns, and closes the row.
void Feed(PatternStatistics& ps, unsigned short code, float relDev, sp_ulong ns, float maxDevAbsLow = 0.0f) {
  for (int e = 0; e < ps.NEst; ++e) {
    ps.CurEst[e].RelDev = relDev;
    ps.CurEst[e].MaxDevAbsLow = maxDevAbsLow;
    ps.CurEst[e].Ns = ns;
  }
  ps.RealizeStatitistics(&code);
}

sp_ulong TotalCases(PatternStatistics& ps) {
  sp_ulong total = 0;
  for (int c = 0; c < ps.NCategory; ++c) total += ps.GetNCases(c);
  return total;
}

// Feeds blocks 0 .. nBlocks-1; blocks listed in marks get the code 4 and relDev 1.5, the
// others relDev 0.1.
void FeedWithMarks(PatternStatistics& ps, int nBlocks, const std::vector<int>& marks) {
  for (int t = 0; t < nBlocks; ++t) {
    bool marked = false;
    for (int m : marks) marked = marked || m == t;
    Feed(ps, marked ? 4 : 0, marked ? 1.5f : 0.1f, static_cast<sp_ulong>(t) * 576u);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ParStat / DeviationStat

TEST(DeviationStat, IncludeFirstValueMeanAndVariance) {
  UseElemGuard guard;
  DeviationStat s;
  // RelDev switched off for the first two offers: they are counted but not tracked, so the
  // first-value branch is never taken; Min/Max start from 0.0.
  ASSERT_EQ(DeviationStat::SetflagUseElem(1, 0), 1);
  DeviationEst a = Est(0.7f, 10), b = Est(0.9f, 20), c = Est(0.3f, 30), d = Est(0.5f, 40);
  s.IncludeData(&a);
  s.IncludeData(&b);
  EXPECT_EQ(s.Elem[1].N, 2u);
  EXPECT_EQ(s.Elem[1].Max, 0.0f);
  EXPECT_EQ(DeviationStat::SetflagUseElem(1, 1), 0);
  s.IncludeData(&c);
  s.IncludeData(&d);
  const ParStat& r = s.Elem[1];
  EXPECT_EQ(r.N, 4u);
  EXPECT_EQ(r.Min, 0.0f);
  EXPECT_EQ(r.NsMin, 0u);
  EXPECT_EQ(r.Max, 0.5f);
  EXPECT_EQ(r.NsMax, 40u);
  EXPECT_EQ(r.LastValue, 0.5f);
  // Mean divides by the count including the offers made while switched off.
  EXPECT_EQ(r.Sum, static_cast<double>(0.3f) + static_cast<double>(0.5f));
  EXPECT_EQ(r.Mean, static_cast<float>(r.Sum / 4.0));
  // The measure that stayed on took the first-value branch: min/max of its own values.
  EXPECT_EQ(s.Elem[0].N, 4u);
  EXPECT_EQ(s.GetNSampleInStatictics(0), 4u);
  EXPECT_EQ(s.GetNSampleInStatictics(5), 0u);
  EXPECT_EQ(s.GetNumberOfElem(), 5);

  // Running variance: squared differences from the running mean just after each value.
  ParStat p;
  ASSERT_EQ(p.InitHistogram(0.0f, 10.0f, 10, 0), 1);
  p.Include(1.0f, 1, 1);
  p.Include(3.0f, 1, 2);
  p.Include(3.0f, 1, 3);  // tie with Max keeps the earlier position
  EXPECT_EQ(p.Mean, static_cast<float>(7.0 / 3.0));
  const double dev3 = 3.0 - static_cast<double>(p.Mean);
  EXPECT_EQ(p.SumSqDev, 1.0 + dev3 * dev3);
  EXPECT_EQ(p.Variance, static_cast<float>((1.0 + dev3 * dev3) / 3.0));
  EXPECT_EQ(p.NsMax, 2u);
  EXPECT_EQ(p.Min, 1.0f);
  EXPECT_EQ(p.NsMin, 1u);
}

TEST(DeviationStat, HistogramBinning) {
  DeviationStat s;
  // Constructor set-up: linear 0..2 in 50 bins; MaxDevAbsLow -100..0 dB.
  EXPECT_EQ(s.Elem[1].NBins, 50u);
  EXPECT_EQ(s.Elem[1].BinScale, 25.0f);
  EXPECT_EQ(s.Elem[2].fdB, 1);
  EXPECT_EQ(s.Elem[2].HistLow, -100.0f);
  EXPECT_EQ(s.Elem[2].HistHigh, 0.0f);
  EXPECT_EQ(s.Elem[2].BinScale, 0.5f);

  DeviationEst notCompared = Est(2.0f, 1, 0.0f);  // MaxDevAbsLow 0 -> -100 dB
  DeviationEst above = Est(2.04f, 2, 1e-3f);      // 1e-3 -> -30 dB
  DeviationEst below = Est(-0.01f, 3, 1.0f);      // 1.0 -> 0 dB, the upper bound
  DeviationEst loud = Est(0.0f, 4, 2.0f);         // +3 dB, above the range
  s.IncludeData(&notCompared);
  s.IncludeData(&above);
  s.IncludeData(&below);
  s.IncludeData(&loud);

  const ParStat& rel = s.Elem[1];
  EXPECT_EQ(rel.Hist[49], 1u);  // 2.0 is the upper bound: last bin, not above
  EXPECT_EQ(rel.NAbove, 1u);    // 2.04
  EXPECT_EQ(rel.NBelow, 1u);    // -0.01
  EXPECT_EQ(rel.Hist[0], 1u);   // 0.0

  const ParStat& low = s.Elem[2];
  EXPECT_EQ(low.Min, -100.0f);
  EXPECT_EQ(low.NsMin, 1u);
  EXPECT_EQ(low.Hist[0], 1u);
  EXPECT_EQ(low.Hist[35], 1u);
  EXPECT_EQ(low.Hist[49], 1u);
  EXPECT_EQ(low.NAbove, 1u);
  EXPECT_EQ(low.NBelow, 0u);

  // Equal bounds give no scale; no bins give no counters (count, min and max only).
  ParStat flat;
  EXPECT_EQ(flat.InitHistogram(1.0f, 1.0f, 4, 0), 1);
  EXPECT_EQ(flat.BinScale, 0.0f);
  flat.Include(1.0f, 1, 0);
  EXPECT_EQ(flat.Hist[0], 1u);
  ParStat none;
  EXPECT_EQ(none.InitHistogram(0.0f, 1.0f, 0, 0), 1);
  EXPECT_EQ(none.Hist, nullptr);
  none.Include(0.5f, 1, 7);
  none.Include(0.7f, 1, 8);
  EXPECT_EQ(none.N, 2u);
  EXPECT_EQ(none.Max, 0.7f);
  EXPECT_EQ(none.Sum, 0.0);

  // UnloadObj keeps the bounds, drops the histograms and the sums; counting goes on.
  s.UnloadObj();
  EXPECT_EQ(s.Elem[2].HistLow, -100.0f);
  EXPECT_EQ(s.Elem[2].Hist, nullptr);
  EXPECT_EQ(s.Elem[2].N, 0u);
  EXPECT_EQ(s.Elem[2].fdB, 0);
  s.IncludeData(&above);
  s.IncludeData(&below);
  EXPECT_EQ(s.Elem[1].N, 2u);
  EXPECT_EQ(s.Elem[1].Min, -0.01f);
  EXPECT_EQ(s.Elem[1].Max, 2.04f);
  EXPECT_EQ(s.Elem[1].Mean, 0.0f);
  EXPECT_EQ(s.Elem[2].Max, 1.0f);  // no dB conversion any more
}

TEST(DeviationStat, IntervalsAndFlags) {
  UseElemGuard guard;
  DeviationStat a, b, empty;
  DeviationEst a1 = Est(0.2f, 1), a2 = Est(0.5f, 2), b1 = Est(0.5f, 3), b2 = Est(0.9f, 4);
  a.IncludeData(&a1);
  a.IncludeData(&a2);
  b.IncludeData(&b1);
  b.IncludeData(&b2);
  ParStat* pa = nullptr;
  ParStat* pb = nullptr;
  // [0.2, 0.5] and [0.5, 0.9] touch at one point: they intersect.
  EXPECT_EQ(a.IntersectionOfIntervals(&b, 1, &pa, &pb), 1);
  EXPECT_EQ(pa, &a.Elem[1]);
  EXPECT_EQ(pb, &b.Elem[1]);
  EXPECT_EQ(b.IntersectionOfIntervals(&a, 1, nullptr, nullptr), 1);
  DeviationEst b3 = Est(0.6f, 5);
  DeviationStat c;
  c.IncludeData(&b3);
  EXPECT_EQ(a.IntersectionOfIntervals(&c, 1, nullptr, nullptr), 0);
  // One side without values never intersects.
  EXPECT_EQ(a.IntersectionOfIntervals(&empty, 1, &pa, &pb), 0);
  EXPECT_EQ(pb, &empty.Elem[1]);
  // Bad arguments leave the pointers untouched.
  pa = pb = nullptr;
  EXPECT_EQ(a.IntersectionOfIntervals(nullptr, 1, &pa, &pb), 0);
  EXPECT_EQ(a.IntersectionOfIntervals(&b, 5, &pa, &pb), 0);
  EXPECT_EQ(a.IntersectionOfIntervals(&b, -1, &pa, &pb), 0);
  EXPECT_EQ(pa, nullptr);
  EXPECT_EQ(pb, nullptr);

  EXPECT_EQ(DeviationStat::SetflagUseElem(5, 0), 0);
  EXPECT_EQ(DeviationStat::SetflagUseElem(-1, 0), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(DeviationStat::fUseElem[i], 1);
  EXPECT_EQ(DeviationStat::SetflagUseElem(3, 7), 1);
  EXPECT_EQ(DeviationStat::SetflagUseElem(3, 1), 7);

  EXPECT_STREQ(DeviationStat::GetElemName(0), "AbsDev");
  EXPECT_STREQ(DeviationStat::GetElemName(3), "RelDevMaxPowBand");
  EXPECT_STREQ(DeviationStat::GetElemName(4), "Correlation");
  EXPECT_STREQ(DeviationStat::GetElemName(5), "");
  EXPECT_STREQ(DeviationStat::GetElemName(-1), "");
}

TEST(DeviationStat, LiveObjectCountResetsFlags) {
  UseElemGuard guard;
  ASSERT_EQ(DeviationStat::NObject, 0u);
  DeviationStat::SetflagUseElem(2, 0);
  {
    DeviationStat first;  // live count 0 -> 1: switches back to 1
    EXPECT_EQ(DeviationStat::NObject, 1u);
    EXPECT_EQ(DeviationStat::fUseElem[2], 1);
    DeviationStat::SetflagUseElem(0, 0);
    DeviationStat second;  // not the first: the switch stays off
    EXPECT_EQ(DeviationStat::fUseElem[0], 0);
    DeviationStat copy(second);  // a copy is one more live object
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
  {
    DeviationStat again;
    EXPECT_EQ(DeviationStat::fUseElem[0], 1);
  }
  EXPECT_EQ(DeviationStat::NObject, 0u);
}

TEST(DeviationStat, CopiesOwnTheirHistograms) {
  auto* source = new DeviationStat;
  DeviationEst e = Est(1.0f, 9, 1e-3f);
  source->IncludeData(&e);
  DeviationStat assigned;
  assigned = *source;
  DeviationStat constructed(*source);
  for (DeviationStat* copy : {&assigned, &constructed}) {
    for (int m = 0; m < 5; ++m) {
      ASSERT_NE(copy->Elem[m].Hist, nullptr);
      EXPECT_NE(copy->Elem[m].Hist, source->Elem[m].Hist);
      EXPECT_EQ(copy->Elem[m].NBins, source->Elem[m].NBins);
      EXPECT_EQ(copy->Elem[m].BinScale, source->Elem[m].BinScale);
      EXPECT_EQ(copy->Elem[m].N, 1u);
    }
    EXPECT_EQ(copy->Elem[1].Hist[25], 1u);
    EXPECT_EQ(copy->Elem[2].Hist[35], 1u);
    EXPECT_EQ(copy->Elem[2].NsMax, 9u);
  }
  // Changing a copy leaves the source alone.
  DeviationEst more = Est(1.0f, 10);
  assigned.IncludeData(&more);
  EXPECT_EQ(assigned.Elem[1].Hist[25], 2u);
  EXPECT_EQ(source->Elem[1].Hist[25], 1u);
  EXPECT_EQ(source->Elem[1].N, 1u);
  // The copies outlive their source.
  delete source;
  EXPECT_EQ(constructed.Elem[1].Hist[25], 1u);
  constructed.IncludeData(&more);
  EXPECT_EQ(constructed.Elem[1].Hist[25], 2u);
  // Assigning over a record with counters, and to itself.
  assigned = constructed;
  assigned = assigned;
  EXPECT_EQ(assigned.Elem[1].Hist[25], 2u);
  EXPECT_EQ(assigned.Elem[1].N, 2u);
}

// ---------------------------------------------------------------------------------------
// PatternStatistics / PatternStatisticsSet

TEST(PatternStatistics, InitGeometryAndFailures) {
  PatternStatistics few(3, 3, 2);
  EXPECT_EQ(few.fInit, 1);
  EXPECT_EQ(few.NCategory, 5);
  EXPECT_EQ(few.NRow, 5);
  EXPECT_EQ(few.CurEst, few.EstRing);
  for (int i = 0; i < few.NRow * few.NEst; ++i) {
    EXPECT_EQ(few.EstRing[i].Flags, 0);
    EXPECT_EQ(few.EstRing[i].RelDev, 0.0f);
  }
  PatternStatistics many(3, 7, 2);
  EXPECT_EQ(many.NCategory, 7);
  EXPECT_NE(many.GetParStat(6, 2, 4), nullptr);
  EXPECT_EQ(many.GetParStat(7, 0, 0), nullptr);
  EXPECT_EQ(many.GetParStat(0, 3, 0), nullptr);
  EXPECT_EQ(many.GetParStat(0, 0, 5), nullptr);
  EXPECT_EQ(many.GetParStat(6, 2, 4), &many.Stat[6 * 3 + 2].Elem[4]);
  EXPECT_EQ(many.GetNCases(7), 0u);
  EXPECT_EQ(many.GetNCases(-1), 0u);

  LogCapture log;
  PatternStatistics bad;
  EXPECT_EQ(bad.Init(0, 5, 3), 0);
  EXPECT_EQ(bad.Init(2, 5, static_cast<unsigned int>(-1)), 0);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].utf8, "PatternStatistics(...): ошибка во вх. параметрах");
  EXPECT_EQ(log.lines()[0].channel, 0u);
  EXPECT_EQ(bad.fInit, 0);
  EXPECT_EQ(bad.EstRing, nullptr);

  // Not initialised: the row closing writes its message and nothing else happens.
  log.Clear();
  unsigned short code = 4;
  bad.RealizeStatitistics(&code);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].utf8, "RealizeStatitistics(): объект не инициализирован");
  EXPECT_EQ(bad.GetParStat(0, 0, 0), nullptr);
  EXPECT_EQ(bad.GetNCases(0), 0u);

  // Re-Init discards what was collected and unlinks.
  PatternStatisticsSet set;
  ASSERT_EQ(set.Init(1, &few), 1);
  few.Linked = &set;
  Feed(few, 0, 0.5f, 1);
  EXPECT_EQ(few.Init(2, 5, 0), 1);
  EXPECT_EQ(few.Linked, nullptr);
  EXPECT_EQ(few.NRow, 1);
  EXPECT_EQ(TotalCases(few), 0u);
}

TEST(PatternStatistics, DepthZeroIncludesEachBlockAtOnce) {
  PatternStatistics ps(2, 5, 0);
  Feed(ps, 0, 0.3f, 100);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NORECOGNIZE), 1u);
  Feed(ps, 4, 0.1f, 200);
  EXPECT_EQ(ps.GetNCases(CATEGORY_RECOGNIZE_EXACT), 1u);
  Feed(ps, 2, 0.2f, 300);
  EXPECT_EQ(ps.GetNCases(CATEGORY_RECOGNIZE), 1u);
  Feed(ps, 6, 0.4f, 400);  // both marks: the known position wins
  EXPECT_EQ(ps.GetNCases(CATEGORY_RECOGNIZE_EXACT), 2u);
  ps.RealizeStatitistics(nullptr);  // no code: the row keeps its cleared flags
  EXPECT_EQ(ps.GetNCases(CATEGORY_NORECOGNIZE), 2u);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NEAR_RECOGNIZE), 0u);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NEAR_RECOGNIZE_EXACT), 0u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1)->Max, 0.4f);
  EXPECT_EQ(ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1)->NsMin, 200u);
  EXPECT_EQ(ps.CurEst[0].Flags, 0);
}

TEST(PatternStatistics, WindowAroundKnownPosition) {
  // Depth 3: the window is 7 rows.
  PatternStatistics ps(2, 5, 3);
  for (int t = 0; t < 6; ++t) Feed(ps, 0, 0.1f, t);
  EXPECT_EQ(TotalCases(ps), 0u);  // nothing during the first 2*Depth blocks
  EXPECT_EQ(ps.CurRow, 6);
  Feed(ps, 0, 0.1f, 6);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NORECOGNIZE), 1u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->NsMin, 0u);  // block 0 went first
  EXPECT_EQ(ps.CurRow, 0);

  // Mark block 10; blocks are numbered by their Ns.
  for (int t = 7; t < 25; ++t) Feed(ps, t == 10 ? 4 : 0, 0.01f * static_cast<float>(t), t);
  EXPECT_EQ(ps.GetNCases(CATEGORY_RECOGNIZE_EXACT), 1u);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NEAR_RECOGNIZE_EXACT), 6u);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NORECOGNIZE), 12u);  // blocks 0..6 and 14..18
  EXPECT_EQ(ps.GetNCases(CATEGORY_RECOGNIZE), 0u);
  EXPECT_EQ(ps.GetNCases(CATEGORY_NEAR_RECOGNIZE), 0u);
  EXPECT_EQ(TotalCases(ps), 25u - 6u);
  const ParStat* centre = ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1);
  EXPECT_EQ(centre->Min, centre->Max);
  EXPECT_FLOAT_EQ(centre->Min, 0.10f);
  EXPECT_EQ(centre->NsMin, 10u);
  const ParStat* near = ps.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1);
  EXPECT_EQ(near->NsMin, 7u);
  EXPECT_EQ(near->NsMax, 13u);
  EXPECT_EQ(ps.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->NsMax, 18u);
}

TEST(PatternStatistics, MarksCloseTogether) {
  // Marks 10 blocks apart: only the first is a centre, the second is in its near category.
  PatternStatistics close(1, 5, 15);
  FeedWithMarks(close, 80, {20, 30});
  EXPECT_EQ(close.GetNCases(CATEGORY_RECOGNIZE_EXACT), 1u);
  EXPECT_EQ(close.GetNCases(CATEGORY_NEAR_RECOGNIZE_EXACT), 30u);
  EXPECT_EQ(close.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->Max, 1.5f);
  EXPECT_EQ(TotalCases(close), 80u - 30u);

  // 20 apart: the second mark is never a centre and its block goes to category 4.
  PatternStatistics apart(1, 5, 15);
  FeedWithMarks(apart, 80, {20, 40});
  EXPECT_EQ(apart.GetNCases(CATEGORY_RECOGNIZE_EXACT), 1u);
  EXPECT_EQ(apart.GetNCases(CATEGORY_NEAR_RECOGNIZE_EXACT), 30u);
  EXPECT_EQ(apart.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->Max, 0.1f);
  EXPECT_EQ(apart.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->Max, 1.5f);
  EXPECT_EQ(apart.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->NsMax, 40u * 576u);
  EXPECT_EQ(TotalCases(apart), 80u - 30u);

  // ... unless a later mark that becomes a centre lies at most Depth blocks after it.
  PatternStatistics covered(1, 5, 15);
  FeedWithMarks(covered, 80, {20, 40, 52});
  EXPECT_EQ(covered.GetNCases(CATEGORY_RECOGNIZE_EXACT), 2u);
  EXPECT_EQ(covered.GetNCases(CATEGORY_NEAR_RECOGNIZE_EXACT), 60u);
  EXPECT_EQ(covered.GetNCases(CATEGORY_NORECOGNIZE), 6u);  // blocks 0..4 and 36
  EXPECT_EQ(covered.GetParStat(CATEGORY_NORECOGNIZE, 0, 1)->Max, 0.1f);
  EXPECT_EQ(covered.GetParStat(CATEGORY_NEAR_RECOGNIZE_EXACT, 0, 1)->Max, 1.5f);
  // The second window (37..67) is included as a whole as soon as block 52 is its centre.
  EXPECT_EQ(TotalCases(covered), 68u);
}

TEST(PatternStatistics, LinkedSetReceivesEveryInclusion) {
  PatternStatistics p1(3, 5, 2), p2(3, 5, 2);
  PatternStatisticsSet set;
  EXPECT_FALSE(set.IsNotEmpty());
  EXPECT_EQ(set.Init(0, &p1), 0);
  EXPECT_EQ(set.Init(1, nullptr), 0);
  PatternStatistics uninitialised;
  {
    LogCapture quiet;
    EXPECT_EQ(set.Init(2, &uninitialised), 0);
  }
  EXPECT_EQ(set.N, 0);
  EXPECT_EQ(set.Item, nullptr);

  ASSERT_EQ(set.Init(1, &p1), 1);
  EXPECT_TRUE(set.IsNotEmpty());
  EXPECT_EQ(set.fUse[0], 1);
  EXPECT_EQ(set.Name[0], nullptr);
  EXPECT_EQ(set.Item[0].NEst, 3);
  EXPECT_EQ(set.Item[0].Depth, 2);
  p1.Linked = &set;
  p2.Linked = &set;
  for (int t = 0; t < 20; ++t) {
    Feed(p1, t == 8 ? 4 : 0, 0.5f, t);
    Feed(p2, t == 5 ? 2 : 0, 0.6f, t);
  }
  EXPECT_EQ(TotalCases(p1), 16u);
  EXPECT_EQ(TotalCases(p2), 16u);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(set.Item[0].GetNCases(c), p1.GetNCases(c) + p2.GetNCases(c)) << c;
  EXPECT_EQ(set.Item[0].GetNCases(CATEGORY_RECOGNIZE), 1u);
  EXPECT_EQ(set.Item[0].GetNCases(CATEGORY_NEAR_RECOGNIZE_EXACT), 4u);
  EXPECT_EQ(set.Item[0].GetParStat(CATEGORY_NORECOGNIZE, 2, 1)->N, p1.GetNCases(4) + p2.GetNCases(4));

  // A disabled member receives nothing.
  EXPECT_EQ(set.SetItem(0, 0, "summary"), 1);
  EXPECT_STREQ(set.Name[0], "summary");
  EXPECT_EQ(set.SetItem(0, 0, nullptr), 1);
  EXPECT_STREQ(set.Name[0], "summary");
  EXPECT_EQ(set.SetItem(1, 1, "x"), 0);
  EXPECT_EQ(set.SetItem(-1, 1, "x"), 0);
  const sp_ulong before = TotalCases(set.Item[0]);
  Feed(p1, 0, 0.5f, 20);
  EXPECT_EQ(TotalCases(p1), 17u);
  EXPECT_EQ(TotalCases(set.Item[0]), before);
}

TEST(PatternStatistics, IsTraceable) {
  PatternStatistics ps(2, 5, 0);
  ParStat dummy;
  ParStat* rec = &dummy;
  ParStat* no = &dummy;
  Feed(ps, 0, 0.8f, 1);
  Feed(ps, 0, 0.9f, 2);
  // No recognitions yet.
  EXPECT_EQ(ps.IsTraceable(0, 1, 1, &rec, &no), 0);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(no, nullptr);
  Feed(ps, 4, 0.2f, 3);
  Feed(ps, 2, 0.85f, 4);
  // Exact recognition 0.2 versus [0.8, 0.9]: separated.
  EXPECT_EQ(ps.IsTraceable(1, 1, 1, &rec, &no), 1);
  EXPECT_EQ(rec, ps.GetParStat(CATEGORY_RECOGNIZE_EXACT, 1, 1));
  EXPECT_EQ(no, ps.GetParStat(CATEGORY_NORECOGNIZE, 1, 1));
  // Other recognition 0.85 lies inside: not separated, pointers still given.
  EXPECT_EQ(ps.IsTraceable(1, 1, 0, &rec, &no), 0);
  EXPECT_EQ(rec, ps.GetParStat(CATEGORY_RECOGNIZE, 1, 1));
  EXPECT_NE(no, nullptr);
  // Out-of-range slot or measure.
  EXPECT_EQ(ps.IsTraceable(2, 1, 1, &rec, &no), 0);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(ps.IsTraceable(0, 5, 1, nullptr, nullptr), 0);
  PatternStatistics empty;
  rec = &dummy;
  EXPECT_EQ(empty.IsTraceable(0, 0, 1, &rec, &no), 0);
  EXPECT_EQ(rec, nullptr);
}

// ---------------------------------------------------------------------------------------
// Reports

TEST(StatisticsReports, ParStatReport) {
  LogCapture log;
  ParStat p;
  p.OutParStat("x", 3);  // no histogram, no values
  ASSERT_EQ(p.InitHistogram(1e-4f, 10.0f, 50, 1), 1);
  p.OutParStat("x", 3);  // N is 0
  EXPECT_TRUE(log.lines().empty());

  p.Include(1e-4f, 1, 1);  // -40 dB
  p.Include(1.0f, 1, 2);   // 0 dB
  p.Include(1e-5f, 1, 3);  // -50 dB, below
  p.Include(100.0f, 1, 4); // 20 dB, above
  p.OutParStat(DeviationStat::GetElemName(2), 3);
  std::vector<std::string> lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 61u);
  const std::vector<std::string> head = {
      "",
      " Статистика величины MaxDevAbsLow, dBm",
      "Среднее -1.75000e+01 СКО  5.51562e+02 N=4 выборок",
      "Min -5.000000e+01, Max 2.000000e+01",
      "NsMin=3, NsMax=4",
      "Гистограмма в диап. -4.00000e+01,  1.00000e+01",
      "Интервал 1.000000e+00",
      "Число выборок < нижней границы  1,   25.000 %",
      "Число выборок > верхней границы 1,   25.000 %",
      "Распределение",
      "000) -40.000 :1  50.000 %",
      "001) -39.000 :0  0.000 %",
  };
  for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(lines[i], head[i]) << i;
  EXPECT_EQ(lines[50], "040) 0.000 :1  50.000 %");
  EXPECT_EQ(lines[59], "049) 9.000 :0  0.000 %");
  EXPECT_EQ(lines[60], "");
  for (const auto& l : log.lines()) EXPECT_EQ(l.channel, 3u);

  // Linear scale, no title; the per-bin percentage is of the values inside the range.
  log.Clear();
  DeviationStat s;
  DeviationEst e = Est(2.0f, 5);
  s.IncludeData(&e);
  s.Elem[1].OutParStat(nullptr, 0);
  lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 61u);
  EXPECT_EQ(lines[1], " Статистика величины ");
  EXPECT_EQ(lines[10], "000)  0.000e+00 :0  0.000 %");
  EXPECT_EQ(lines[59], "049)  1.960e+00 :1  100.000 %");
}

TEST(StatisticsReports, DeviationStatAndTraceableWithMeasuresOff) {
  UseElemGuard guard;
  LogCapture log;
  PatternStatistics ps(1, 5, 0);
  Feed(ps, 4, 0.2f, 1);
  Feed(ps, 0, 0.8f, 2);
  for (int i = 0; i < 5; ++i) DeviationStat::SetflagUseElem(i, 0);
  DeviationStat s;  // not the first live object: the switches stay off
  DeviationEst e = Est(0.5f, 1);
  s.IncludeData(&e);
  s.OutStatictics(1);
  ps.Stat[2].OutStatictics(1);
  EXPECT_TRUE(log.lines().empty());

  ps.OutTraceableValues(1);
  const std::vector<std::string> expected = {
      "",
      "Traceable values: величины, пригодные для распознавания",
      "Распознавание по заранее известному образцу, 1",
      "нет величин",
      "Прочие распознавания: 0",
      "",
  };
  EXPECT_EQ(log.Utf8Lines(), expected);
}

TEST(StatisticsReports, TraceableListing) {
  UseElemGuard guard;
  LogCapture log;
  PatternStatistics none;
  none.OutTraceableValues(2);
  EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{
                                 "", "Traceable values: величины, пригодные для распознавания",
                                 "Объект не инициализирован", ""}));
  log.Clear();
  PatternStatistics ps(1, 5, 0);
  Feed(ps, 0, 0.5f, 10);
  ps.OutTraceableValues(2);
  EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{
                                 "", "Traceable values: величины, пригодные для распознавания",
                                 "Нет случаев распознавания", ""}));

  // Only RelDev (linear) and MaxDevAbsLow (dB) listed.
  DeviationStat::SetflagUseElem(0, 0);
  DeviationStat::SetflagUseElem(3, 0);
  DeviationStat::SetflagUseElem(4, 0);
  Feed(ps, 0, 0.9f, 20);
  Feed(ps, 4, 0.1f, 30);
  Feed(ps, 2, 0.3f, 40);
  log.Clear();
  ps.OutTraceableValues(2);
  const std::vector<std::string> expected = {
      "",
      "Traceable values: величины, пригодные для распознавания",
      "Распознавание по заранее известному образцу, 1",
      "01 YES кат. 0  RelDev",
      "R(1.0000e-01), (5.0000e-01, 9.0000e-01)",
      "R:NsMin=30, Max=30; NsMin=10",
      "02 NO кат. 0  MaxDevAbsLow",
      "R(-100.00), (-100.00, -100.00) dBm",
      "R:NsMin=30, Max=30; NsMin=10",
      "Прочие распознавания: 1",
      "01 YES кат. 0  RelDev",
      "R(3.0000e-01, 3.0000e-01), (5.0000e-01, 9.0000e-01)",
      "R:NsMin=40, Max=40; NsMin=10",
      "02 NO кат. 0  MaxDevAbsLow",
      "R(-100.00, -100.00), (-100.00, -100.00) dBm",
      "R:NsMin=40, Max=40; NsMin=10",
      "",
  };
  EXPECT_EQ(log.Utf8Lines(), expected);
}

TEST(StatisticsReports, CategoriesAndSets) {
  LogCapture log;
  PatternStatistics ps(2, 5, 0);
  EXPECT_EQ(ps.OutStatitistics(3, 4), 1);
  EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"", "", "CATEGORY_NEAR_RECOGNIZE_EXACT",
                                                        "CS3CE0 EstimationCategory 0",
                                                        "CS3CE1 EstimationCategory 1", ""}));
  log.Clear();
  EXPECT_EQ(ps.OutStatitistics(-1, 4), 1);
  const char* names[5] = {"CATEGORY_RECOGNIZE", "CATEGORY_NEAR_RECOGNIZE", "CATEGORY_RECOGNIZE_EXACT",
                          "CATEGORY_NEAR_RECOGNIZE_EXACT", "CATEGORY_NORECOGNIZE"};
  for (const char* n : names) EXPECT_TRUE(log.Contains(n)) << n;
  EXPECT_EQ(log.lines().size(), 2u + 5u * 4u);
  EXPECT_TRUE(log.Contains("CS4CE1 EstimationCategory 1"));

  // Collected values appear under their slot: one non-recognition block, five measures.
  Feed(ps, 0, 0.5f, 1);
  log.Clear();
  EXPECT_EQ(ps.OutStatitistics(CATEGORY_NORECOGNIZE, 4), 1);
  std::vector<std::string> lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 6u + 2u * 5u * 61u);
  EXPECT_EQ(lines[3], "CS4CE0 EstimationCategory 0");
  EXPECT_EQ(lines[5], " Статистика величины AbsDev");
  EXPECT_EQ(lines[5 + 2 * 61], " Статистика величины MaxDevAbsLow, dBm");
  EXPECT_EQ(lines[4 + 5 * 61], "CS4CE1 EstimationCategory 1");

  log.Clear();
  EXPECT_EQ(ps.OutStatitistics(5, 4), 0);
  PatternStatistics empty;
  EXPECT_EQ(empty.OutStatitistics(-1, 4), 0);
  EXPECT_TRUE(log.lines().empty());

  // Categories above 4 end the report with the error line.
  PatternStatistics seven(1, 7, 0);
  EXPECT_EQ(seven.OutStatitistics(-1, 4), 0);
  lines = log.Utf8Lines();
  EXPECT_EQ(lines.back(), "OutStatitistics(): ошибка: категория ?");
  EXPECT_EQ(lines[lines.size() - 2], "");
  EXPECT_EQ(lines.size(), 1u + 5u * 3u + 2u);

  // Sets: titles before each member's report.
  PatternStatisticsSet set;
  log.Clear();
  EXPECT_EQ(set.OutStatitistics(-1, -1, 4), 0);
  EXPECT_EQ(set.OutTraceableValues(-1, 4), 0);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_EQ(set.Init(2, &ps), 1);
  set.SetItem(1, 1, "second");
  EXPECT_EQ(set.OutStatitistics(2, 2, 4), 0);
  EXPECT_EQ(set.OutStatitistics(2, 1, 4), 1);
  EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"second", "", "", "CATEGORY_RECOGNIZE_EXACT",
                                                        "CS2CE0 EstimationCategory 0",
                                                        "CS2CE1 EstimationCategory 1", ""}));
  log.Clear();
  EXPECT_EQ(set.OutTraceableValues(-1, 4), 1);
  EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{
                                 "", "Traceable values: величины, пригодные для распознавания",
                                 "Нет случаев распознавания", "", "second", "",
                                 "Traceable values: величины, пригодные для распознавания",
                                 "Нет случаев распознавания", ""}));
}
