// The decision layer's parts on their own, fed made-up distances: the candidate picker (one
// report per occurrence at the best alignment, its position between steps, back-to-back
// occurrences, speed variants, the worst-quarter check, checked patterns) and its report store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "../detector/candidate_picker.h"

namespace {

constexpr float kNone = 1.0e9f;  // a distance not compared

// A picker over `n` patterns of `nblock` blocks each (threshold 1), four steps per block of 1024
// samples, fed distances block by block: score(i, step) for each pattern and alignment step.
struct PickerRun {
  static constexpr int kSteps = 4, kBlock = 1024, kDelay = 2048;
  std::vector<DetectorPattern> patterns;
  DetectorTuning tuning;
  spdet::PatternGroups groups;
  spdet::CandidatePicker picker;
  std::vector<float> score, verify, previous;
  std::vector<SignalTVSEx*> engine;
  std::int64_t blocks = 0;

  PickerRun(int n, int nblock, std::int64_t origin = 0) : patterns(static_cast<std::size_t>(n)) {
    for (int i = 0; i < n; ++i) {
      patterns[i].Group = i;
      patterns[i].Nblock = nblock;
      patterns[i].Threshold = 1.0f;
      patterns[i].Name = std::to_string(i);
      patterns[i].Name.insert(0, 1, 'p');
    }
    groups.Build(patterns);
    picker.Configure(&patterns, &tuning, {kSteps, kBlock, kDelay}, nullptr);
    picker.Reset(origin);
    score.assign(static_cast<std::size_t>(n) * kSteps, kNone);
    verify = score;
    previous.assign(static_cast<std::size_t>(n), kNone);
    engine.assign(static_cast<std::size_t>(n), nullptr);
  }
  void Group(int member, int leader, float speed) {
    patterns[member].Group = leader;
    patterns[member].SpeedPercent = speed;
    groups.Build(patterns);
  }
  // Feeds blocks until `lastStep`; worst(i, step) defaults to the score.
  void Feed(std::int64_t lastStep, const std::function<float(int, std::int64_t)>& dist,
            const std::function<float(int, std::int64_t)>& worst = nullptr) {
    const int n = static_cast<int>(patterns.size());
    while ((blocks + 1) * kSteps <= lastStep) {
      ++blocks;
      for (int i = 0; i < n; ++i)
        for (int s = 0; s < kSteps; ++s) {
          const std::int64_t step = blocks * kSteps - s;
          score[i * kSteps + s] = dist(i, step);
          verify[i * kSteps + s] = worst ? worst(i, step) : score[i * kSteps + s];
        }
      const spdet::StepDistances d{score.data(), verify.data(), previous.data()};
      for (int s = kSteps - 1; s >= 0; --s) picker.Pick(blocks * kSteps - s, s, d, groups.leaders, groups, nullptr, engine.data());
      for (int i = 0; i < n; ++i) previous[i] = score[i * kSteps];
    }
  }
  std::vector<DetectorReport> Reports() const {
    std::vector<DetectorReport> out;
    for (int i = 0; i < picker.Reports().Count(); ++i) out.push_back(*picker.Reports().At(i));
    return out;
  }
  // The begin in samples of an occurrence whose best alignment is `step` (+ delta).
  static std::int64_t BeginAt(double step, int nblock) {
    return std::llround(step * kBlock / kSteps) - static_cast<std::int64_t>(nblock) * kBlock - kDelay;
  }
};

// A V-shaped dip of the distance with its bottom at `at`: `bottom` there, `slopeBefore` and
// `slopeAfter` per step on either side.
std::function<float(int, std::int64_t)> Dip(std::int64_t at, float bottom, float slopeBefore, float slopeAfter,
                                            int pattern = 0) {
  return [=](int i, std::int64_t step) {
    if (i != pattern) return 3.0f;
    const float d = static_cast<float>(step - at);
    return bottom + (d < 0 ? -d * slopeBefore : d * slopeAfter);
  };
}

}  // namespace

TEST(CandidatePicker, OneReportAtTheBestAlignmentOnceThePatternLengthHasPassed) {
  constexpr int kNblock = 8;
  PickerRun run(1, kNblock, 5000);
  // Confirmed (Nblock - 1) blocks of steps after the best: not before.
  run.Feed(100 + PickerRun::kSteps * (kNblock - 1) - 1, Dip(100, 0.5f, 0.2f, 0.1f));
  EXPECT_EQ(run.picker.Reports().Count(), 0);
  EXPECT_TRUE(run.picker.Active(0));
  run.Feed(400, Dip(100, 0.5f, 0.2f, 0.1f));
  const std::vector<DetectorReport> r = run.Reports();
  ASSERT_EQ(r.size(), 1u);  // the dip's tail under the threshold makes no second report
  EXPECT_EQ(r[0].Pattern, 0);
  EXPECT_FLOAT_EQ(r[0].Score, 0.5f);
  EXPECT_FLOAT_EQ(r[0].Confidence, 0.5f);
  EXPECT_FLOAT_EQ(r[0].RelDev, 2.0f);  // no engine pattern: not compared
  EXPECT_EQ(r[0].Tentative, 0);
  EXPECT_STREQ(r[0].Name, "p0");
  // The minimum between steps from the parabola through 0.7, 0.5, 0.6: 1/6 step after the best.
  const float delta = 0.5f * (0.7f - 0.6f) / (0.7f - 2.0f * 0.5f + 0.6f);
  EXPECT_EQ(r[0].Begin, 5000 + PickerRun::BeginAt(100.0 + delta, kNblock));
  EXPECT_EQ(r[0].End - r[0].Begin, kNblock * PickerRun::kBlock);
  EXPECT_FALSE(run.picker.Active(0));
}

TEST(CandidatePicker, BackToBackOccurrencesAreTwoReportsAndANewOneNeedsTheGroupToLeaveItsThreshold) {
  constexpr int kNblock = 8;
  // Two dips 40 steps apart with the distance leaving the threshold between them: two reports.
  {
    PickerRun run(1, kNblock);
    run.Feed(300, [](int, std::int64_t s) { return std::min(Dip(100, 0.4f, 0.1f, 0.1f)(0, s), Dip(140, 0.3f, 0.1f, 0.1f)(0, s)); });
    const std::vector<DetectorReport> r = run.Reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].Begin, PickerRun::BeginAt(100, kNblock));
    EXPECT_EQ(r[1].Begin, PickerRun::BeginAt(140, kNblock));
  }
  // The distance stays under the threshold after the report: a lower dip before another pattern
  // length has passed is the same occurrence's tail; once it left the threshold, a new one counts.
  {
    PickerRun run(1, kNblock);
    run.Feed(400, [](int, std::int64_t s) {
      if (s < 90) return 2.0f;
      if (s < 156) return std::min({Dip(100, 0.4f, 0.1f, 0.1f)(0, s), Dip(150, 0.3f, 0.1f, 0.1f)(0, s), 0.9f});
      return Dip(220, 0.2f, 0.1f, 0.1f)(0, s);
    });
    const std::vector<DetectorReport> r = run.Reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].Begin, PickerRun::BeginAt(100, kNblock));
    EXPECT_EQ(r[1].Begin, PickerRun::BeginAt(220, kNblock));
  }
  // The end of the stream reports the open candidate at once.
  {
    PickerRun run(1, kNblock);
    run.Feed(104, Dip(100, 0.4f, 0.1f, 0.1f));
    EXPECT_EQ(run.picker.Reports().Count(), 0);
    run.picker.EmitAll();
    ASSERT_EQ(run.picker.Reports().Count(), 1);
    EXPECT_EQ(run.picker.Reports().At(0)->Begin, PickerRun::BeginAt(100, kNblock));
  }
}

TEST(CandidatePicker, AGroupReportsItsMemberFurthestUnderItsThresholdOnce) {
  PickerRun run(3, 8);
  run.Group(1, 0, 3.0f);
  run.patterns[1].Threshold = 2.0f;  // 0.8 / 2 is further under than 0.5 / 1
  run.Feed(300, [](int i, std::int64_t s) {
    if (i == 2) return kNone;
    return Dip(100, i == 0 ? 0.5f : 0.8f, 0.1f, 0.1f, i)(i, s);
  });
  const std::vector<DetectorReport> r = run.Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Pattern, 1);
  EXPECT_EQ(r[0].Group, 0);
  EXPECT_FLOAT_EQ(r[0].SpeedPercent, 3.0f);
  EXPECT_FLOAT_EQ(r[0].Threshold, 2.0f);
  // A dropped group forgets its candidate.
  PickerRun dropped(1, 8);
  dropped.Feed(104, Dip(100, 0.4f, 0.1f, 0.1f));
  dropped.picker.Drop(0);
  dropped.picker.EmitAll();
  EXPECT_EQ(dropped.picker.Reports().Count(), 0);
}

TEST(CandidatePicker, EveryQuarterMustBeThereAndCheckedPatternsAreTakenTentatively) {
  const auto dip = Dip(100, 0.5f, 0.1f, 0.1f);
  // A worst quarter over VerifyFactor times the threshold: nothing.
  {
    PickerRun run(1, 8);
    run.Feed(300, dip, [&](int, std::int64_t) { return run.tuning.VerifyFactor * 1.01f; });
    EXPECT_EQ(run.picker.Reports().Count(), 0);
  }
  // A checked pattern is taken up to CheckedScale times its threshold, as a tentative report.
  {
    PickerRun run(1, 8);
    run.patterns[0].Checked = 1;
    run.Feed(300, Dip(100, 1.2f, 0.1f, 0.1f));
    const std::vector<DetectorReport> r = run.Reports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Tentative, 1);
    EXPECT_FLOAT_EQ(r[0].Confidence, 0.0f);
    PickerRun plain(1, 8);
    plain.Feed(300, Dip(100, 1.2f, 0.1f, 0.1f));
    EXPECT_EQ(plain.picker.Reports().Count(), 0);
  }
  // Another path's report of the same occurrence is stored once; Reset forgets everything.
  {
    PickerRun run(1, 8);
    run.Feed(300, dip);
    ASSERT_EQ(run.picker.Reports().Count(), 1);
    DetectorReport again = *run.picker.Reports().At(0);
    again.Begin += 1000;
    again.End += 1000;
    run.picker.Store(again);
    EXPECT_EQ(run.picker.Reports().Count(), 1);
    run.picker.Reset(0);
    EXPECT_EQ(run.picker.Reports().Count(), 0);
    run.picker.Store(again);
    EXPECT_EQ(run.picker.Reports().Count(), 1);
  }
}
