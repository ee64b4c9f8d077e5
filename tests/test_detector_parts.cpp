// The decision layer's parts on their own, fed made-up distances: the candidate picker (one
// report per occurrence at the best alignment, its position between steps, back-to-back
// occurrences, speed variants, the worst-quarter check, checked patterns) and its report store;
// the level and the shape distance each built alone; and a distance of the tests' own, registered
// in the distance table, whose distances reach the picker as the level distance's do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "../detector/candidate_picker.h"
#include "../detector/centred_levels.h"
#include "../detector/cut_find.h"
#include "../detector/background.h"
#include "../detector/distance.h"
#include "../detector/shape_distance.h"
#include "SignalPattern.h"
#include "../detector/level_pattern.h"
#include "../detector/shape_match.h"
#include "detector_test_clips.h"

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

namespace {

// A distance of the tests' own: the band levels of every block of the pattern's span (its newest
// block left out) against the input's, brought to the pattern's level over its salient cells and
// floored at its floor; the mean difference, in units of kLimit dB times the pattern's threshold.
class BandEnergyDistance final : public spdet::Distance {
 public:
  static constexpr float kLimit = 1.0f;
  static int made;  // instances made by the table's factory
  const char* Name() const override { return "band energy"; }
  void SetUp(const spdet::DistanceSetUp& s) override {
    s_ = s;
    blocks_.resize(static_cast<std::size_t>(s.longest));
  }
  void Reset() override {}
  void Block(const spdet::DistanceBlock& in, const spdet::StepTable& out) override {
    const int nband = s_.nband;
    for (std::size_t i = 0; i < s_.patterns->size(); ++i) {
      const DetectorPattern& P = (*s_.patterns)[i];
      const spdet::LevelPattern* L = (*s_.levels)[i].get();
      for (int s = 0; s < s_.steps; ++s) {
        float& score = out.score[i * s_.steps + s];
        const std::int64_t end = (in.input.blocks * s_.steps - s) * (s_.blockSamples / s_.steps);
        score = kNone;
        if (P.Nblock > 1 && end >= static_cast<std::int64_t>(P.Nblock) * s_.blockSamples + s_.delaySamples) {
          in.input.Segment(s, P.Nblock, blocks_.data());
          float gain = 0.0f, salient = 0.0f, sum = 0.0f;
          for (int pass = 0; pass < 2; ++pass)
            for (int k = 1; k < P.Nblock; ++k)
              for (int b = 0; b < nband; ++b) {
                const std::size_t n = static_cast<std::size_t>(k) * nband + b;
                if (pass == 0 && L->Salient[n] > 0.0f) gain += blocks_[k][b] - L->LogSpectrum[n], salient += 1.0f;
                if (pass == 1) sum += std::fabs(std::max(blocks_[k][b] - gain, L->Floor_dB) - L->LogSpectrum[n]);
                if (pass == 0 && k + 1 == P.Nblock && b + 1 == nband) gain /= std::max(salient, 1.0f);
              }
          score = sum / static_cast<float>((P.Nblock - 1) * nband) / kLimit * P.Threshold;
        }
        out.verify[i * s_.steps + s] = score;
      }
    }
  }
  void Picked(const spdet::StepTable& out) override {
    for (std::size_t i = 0; i < s_.patterns->size(); ++i) out.previous[i] = out.score[i * out.steps];
  }

 private:
  spdet::DistanceSetUp s_;
  std::vector<const float*> blocks_;
};
int BandEnergyDistance::made = 0;

// The level distance alone, over one pattern of 8 blocks in 4 bands (every cell salient, one
// alignment per block) and a ring of the input's levels: `at` blocks of the pattern + 6 dB
// ending at the newest block, `noise` dB in the others.
struct LevelAlone {
  static constexpr int kBands = 4, kN = 8, kRing = kN + 1;
  std::vector<DetectorPattern> patterns{1};
  std::vector<std::shared_ptr<const spdet::LevelPattern>> levels;
  DetectorTuning tuning;
  spdet::PatternGroups groups;
  spdet::BackgroundTracker background;
  std::vector<float> ring = std::vector<float>(kRing * kBands, -120.0f);
  std::vector<float> score = std::vector<float>(1, kNone), verify = score, previous = score;
  std::unique_ptr<spdet::Distance> level = spdet::DistanceTable()[0].make();

  LevelAlone() {
    patterns[0].Nblock = kN;
    patterns[0].Threshold = 1.0f;
    patterns[0].Compared = 1;
    auto made = std::make_shared<spdet::LevelPattern>();
    spdet::LevelPattern& P = *made;
    P.Nblock = kN;
    P.Floor_dB = -50.0f;
    P.CoarseStep = 1;
    for (int k = 0; k < kN; ++k)
      for (int b = 0; b < kBands; ++b) P.LogSpectrum.push_back(-20.0f - 6.0f * static_cast<float>((k + b) % 4));
    P.Weight.assign(kN * kBands, 1.0f);
    P.Salient = P.Weight;
    for (int q = 0; q < 4; ++q) {
      P.QuarterEnd[q] = 2 * (q + 1);
      P.QuarterWeight[q] = P.CoarseQuarterWeight[q] = 2.0f * kBands;
    }
    P.TotalWeight = P.CoarseTotalWeight = P.SalientCount = P.CoarseSalientCount = kN * kBands;
    levels.push_back(made);
    tuning.LibraryDeviations = 0;  // no engine: the pattern's own switch
    groups.Build(patterns);
    background.Configure(kBands, 16, 0, 0);
    level->SetUp({&patterns, &tuning, &groups, nullptr, kBands, 1, 576, 0, kN, nullptr, &levels});
    level->Reset();
  }
  // The distance at the newest alignment after block `blocks`, where the pattern is the `shift`
  // blocks before the newest; flag: the pre-selection's flag of the pattern.
  float At(int shift, std::int64_t blocks, unsigned char flag = 1) {
    for (int r = 0; r < kRing; ++r)
      for (int b = 0; b < kBands; ++b) {
        const int k = r - shift;  // ring index r holds the block r steps before the newest
        ring[(kRing - 1 - r) * kBands + b] = k >= 0 && k < kN ? levels[0]->LogSpectrum[k * kBands + b] + 6.0f : -45.0f;
      }
    const spdet::AlignedInput input{ring.data(), kRing, kRing - 1, kBands, 1, blocks};
    const spdet::StepTable table{score.data(), verify.data(), previous.data(), 1};
    level->Block({input, background, &flag, false}, table);
    level->Picked(table);
    return score[0];
  }
};

// The shape distance alone over the patterns of a real engine (no detector attached): fed block
// by block the engine's levels of noise, then pattern 0's clip levels, then noise; its reports
// come through a sink of the test's own.
struct ShapeAlone final : spdet::ReportSink {
  static constexpr std::int64_t kOrigin = 5000;
  SignalPattern rec;
  std::vector<DetectorPattern> patterns;
  DetectorTuning tuning;
  spdet::PatternGroups groups;
  spdet::BackgroundTracker background;
  std::unique_ptr<spdet::Distance> shape = spdet::MakeShapeDistance();
  std::vector<DetectorReport> reports;
  int nband = 0, blockSamples = 0;
  std::int64_t blocks = 0;

  void Store(const DetectorReport& r) override { reports.push_back(r); }
  bool Pending(int) const override { return false; }
  std::int64_t Origin() const override { return kOrigin; }
  float CutSeen(int, int, std::int64_t, std::int64_t, float seen, bool) override { return seen; }

  bool Start(std::vector<std::string> files) {
    std::vector<char*> names;
    for (std::string& f : files) names.push_back(f.data());
    SigRecognitionPar par;
    par.NPattern = static_cast<int>(names.size());
    par.PatternFileNames = names.data();
    if (rec.InitSignalPattern(&par) != 1) return false;
    const TimeBlockView geometry = rec.CurrentTimeBlock();
    nband = geometry.Nband;
    blockSamples = geometry.NsampleBlock;
    patterns.resize(names.size());
    int longest = 1;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      patterns[i].Group = static_cast<int>(i);
      patterns[i].Compared = 1;
      patterns[i].Nblock = rec.TVS[i]->Nblock;
      longest = std::max(longest, patterns[i].Nblock);
    }
    groups.Build(patterns);
    background.Configure(nband, 16, 0, 0);
    shape->SetUp({&patterns, &tuning, &groups, &rec, nband, 1, blockSamples, 0, longest, this});
    shape->Reset();
    return true;
  }
  // One time block of levels (nband dB values) into the distance.
  void Push(const float* levels) {
    const spdet::AlignedInput input{levels, 1, 0, nband, 1, ++blocks};
    shape->Block({input, background, nullptr, false}, {});
  }
  void Finish() {
    const float silence = -120.0f;
    const std::vector<float> ring(static_cast<std::size_t>(nband), silence);
    const spdet::AlignedInput input{ring.data(), 1, 0, nband, 1, blocks};
    shape->Finish({input, background, nullptr, false});
  }
};

// The registration table with `entries` instead of its own while it lives.
struct TableSwap {
  std::vector<spdet::DistanceEntry> saved = spdet::DistanceTable();
  explicit TableSwap(std::vector<spdet::DistanceEntry> entries) { spdet::DistanceTable() = std::move(entries); }
  ~TableSwap() { spdet::DistanceTable() = saved; }
};

}  // namespace

TEST(Distances, TheLevelDistanceAloneComparesWhatThePreselectionPicksAtTheRightTime) {
  LevelAlone run;
  EXPECT_STREQ(run.level->Name(), "level");
  EXPECT_EQ(run.At(0, LevelAlone::kN - 1), kNone);  // the occurrence would begin before the input
  EXPECT_FLOAT_EQ(run.At(0, LevelAlone::kN), 0.0f);  // the pattern 6 dB louder: no distance
  EXPECT_FLOAT_EQ(run.verify[0], 0.0f);
  EXPECT_FLOAT_EQ(run.patterns[0].Score, 0.0f);
  const float off = run.At(1, LevelAlone::kN + 1);  // one block off
  EXPECT_GT(off, 1.0f);
  EXPECT_FLOAT_EQ(run.previous[0], off);  // kept for the picker's next block
  // Not picked by the pre-selection: not compared, and its cells say so.
  EXPECT_EQ(run.At(0, LevelAlone::kN + 2, 0), kNone);
  EXPECT_EQ(run.previous[0], kNone);
  EXPECT_EQ(run.patterns[0].Score, kNone);
}

TEST(Distances, TheShapeDistanceAloneReportsAnOccurrenceOfItsPatternOnly) {
  sptest::TempDir dir;
  ShapeAlone run;
  ASSERT_TRUE(run.Start({MakePattern(dir, "jingle", Clip(kJingle)), MakePattern(dir, "other", Clip(kOther))}));
  EXPECT_STREQ(run.shape->Name(), "shape");
  // Set up over the patterns: their own shape thresholds, and a reach for the pre-selection.
  ASSERT_GT(run.patterns[0].ShapeThreshold, 0.0f);
  EXPECT_GT(run.shape->SketchReach(0), 0);
  const int n = run.patterns[0].Nblock - 1;
  std::vector<float> clip(static_cast<std::size_t>(n) * run.nband), noise(static_cast<std::size_t>(run.nband));
  spdet::ClipLevels(run.rec, 0, run.patterns[0].Nblock, run.nband, clip.data());
  std::uint32_t seed = 7;
  const auto noiseBlock = [&]() {
    for (float& v : noise) v = -70.0f + static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 24) / 32.0f;
    run.Push(noise.data());
  };
  constexpr int kBefore = 40;
  for (int k = 0; k < kBefore; ++k) noiseBlock();
  for (int k = 0; k < n; ++k) run.Push(clip.data() + static_cast<std::size_t>(k) * run.nband);
  for (int k = 0; k < 3 * n; ++k) noiseBlock();  // (a candidate is confirmed a pattern's length on)
  // The clip whole, then its first piece alone a few blocks on (a short clip's only part, with
  // the speeds tried): the same occurrence, which the picker's store drops as a repeat.
  const std::size_t fed = run.reports.size();
  ASSERT_GE(fed, 1u);
  ASSERT_LE(fed, 2u);
  for (std::size_t k = 1; k < fed; ++k) {
    EXPECT_LT(run.reports[k].Seen, 1.0f);
    EXPECT_TRUE(run.reports[k].SameOccurrence(run.reports[0].Begin, run.reports[0].End));
  }
  const DetectorReport r = run.reports[0];
  EXPECT_EQ(r.Pattern, 0);
  EXPECT_EQ(r.Method, 1);
  EXPECT_LT(r.Score, r.Threshold);
  EXPECT_EQ(r.Tentative, 0);
  EXPECT_FLOAT_EQ(r.Seen, 1.0f);
  // Where the clip's levels were fed, from the sink's origin: block kBefore is the clip's first.
  EXPECT_NEAR(static_cast<double>(r.Begin - ShapeAlone::kOrigin), static_cast<double>(kBefore) * run.blockSamples,
              run.blockSamples);
  // The end of the stream: nothing more waits; a new stream starts empty.
  run.Finish();
  EXPECT_EQ(run.reports.size(), fed);
  // A clip the stream's end cuts short is judged at the end, silence standing in for the rest.
  run.shape->Reset();
  for (int k = 0; k < kBefore; ++k) noiseBlock();
  for (int k = 0; k < n; ++k) run.Push(clip.data() + static_cast<std::size_t>(k) * run.nband);
  EXPECT_EQ(run.reports.size(), fed);  // (not yet confirmed)
  run.Finish();
  ASSERT_GT(run.reports.size(), fed);
  EXPECT_EQ(run.reports[fed].Pattern, 0);
}

TEST(Distances, ATestDistanceInTheTableReportsThroughThePicker) {
  ASSERT_EQ(spdet::DistanceTable().size(), 2u);
  EXPECT_STREQ(spdet::DistanceTable()[0].name, "level");
  EXPECT_STREQ(spdet::DistanceTable()[1].name, "shape");
  sptest::TempDir dir;
  const std::vector<float> jingle = Clip(kJingle);
  std::vector<float> stream = sptest::Noise(16 * 44100, 0.02, 5);
  const std::size_t truth[2] = {3 * 44100 + 211, 10 * 44100};
  for (const std::size_t at : truth) AddAt(stream, jingle, at);
  const std::vector<std::string> files = {MakePattern(dir, "jingle", jingle), MakePattern(dir, "other", Clip(kOther))};
  const auto scan = [&](std::vector<spdet::DistanceEntry> table) {
    TableSwap swap(std::move(table));
    Scanner s(files);
    DetectorTuning tuning;
    tuning.PreselectGate = -1.0f;  // every pattern compared at every block
    s.det.SetTuning(tuning);
    EXPECT_TRUE(s.Start());
    s.Feed(stream);
    std::vector<DetectorReport> level;  // the picker's reports (the shape path's are method 1)
    for (const DetectorReport& r : s.Reports())
      if (r.Method == 0) level.push_back(r);
    return level;
  };
  const auto make = []() -> std::unique_ptr<spdet::Distance> {
    ++BandEnergyDistance::made;
    return std::make_unique<BandEnergyDistance>();
  };
  const std::vector<DetectorReport> own = scan({{"band energy", make}});
  EXPECT_EQ(BandEnergyDistance::made, 1);
  ASSERT_EQ(own.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(own[k].Pattern, 0);
    // At the best alignment, between steps (a quarter block): as the level distance's would be.
    EXPECT_NEAR(static_cast<double>(own[k].Begin), static_cast<double>(truth[k]), 150.0) << k;
    EXPECT_LT(own[k].Score, own[k].Threshold);
  }
  // Without a distance in the table the picker has nothing to report.
  EXPECT_TRUE(scan({}).empty());
}

// The level and shape distances' arrays are made once per pattern content and tuning in the
// process: a second detector over the same patterns (another station) adds none and reports
// alike; a tuning that changes them makes its own; the last detector to let go frees them.
TEST(Distances, DetectorsOverTheSamePatternsShareTheirLevelAndShapeArrays) {
  sptest::TempDir dir;
  const std::vector<float> jingle = Clip(kJingle);
  std::vector<float> stream = sptest::Noise(8 * 44100, 0.02, 7);
  AddAt(stream, jingle, 2 * 44100 + 97);
  const std::vector<std::string> files = {MakePattern(dir, "jingle", jingle), MakePattern(dir, "other", Clip(kOther))};
  const std::size_t before = spdet::SharedLevelPatternCount(), shapesBefore = spdet::SharedShapePatternCount();
  {
    Scanner a(files), b(files), deeper(files);
    ASSERT_TRUE(a.Start());
    EXPECT_EQ(spdet::SharedLevelPatternCount(), before + 2);
    const std::size_t shapes = spdet::SharedShapePatternCount();
    EXPECT_GE(shapes, shapesBefore + 2);  // both patterns' plain views (and their reverberant ones)
    ASSERT_TRUE(b.Start());
    EXPECT_EQ(spdet::SharedLevelPatternCount(), before + 2);
    EXPECT_EQ(spdet::SharedShapePatternCount(), shapes);
    DetectorTuning tuning;
    tuning.FloorDepth_dB += 6.0f;
    tuning.ShapeFloorDepth_dB += 6.0f;
    deeper.det.SetTuning(tuning);
    ASSERT_TRUE(deeper.Start());
    EXPECT_EQ(spdet::SharedLevelPatternCount(), before + 4);
    EXPECT_GE(spdet::SharedShapePatternCount(), shapes + 2);
    deeper.det.Detach();
    EXPECT_EQ(spdet::SharedLevelPatternCount(), before + 2);
    EXPECT_EQ(spdet::SharedShapePatternCount(), shapes);
    a.Feed(stream);
    b.Feed(stream);
    const std::vector<DetectorReport> ra = a.Reports(), rb = b.Reports();
    ASSERT_FALSE(ra.empty());
    ASSERT_EQ(ra.size(), rb.size());
    for (std::size_t k = 0; k < ra.size(); ++k) {
      EXPECT_EQ(ra[k].Pattern, rb[k].Pattern);
      EXPECT_EQ(ra[k].Begin, rb[k].Begin);
      EXPECT_EQ(ra[k].Score, rb[k].Score);  // bit for bit
    }
    for (int i = 0; i < 2; ++i) EXPECT_EQ(a.det.Pattern(i).Threshold, b.det.Pattern(i).Threshold);
  }
  EXPECT_EQ(spdet::SharedLevelPatternCount(), before);
  EXPECT_EQ(spdet::SharedShapePatternCount(), shapesBefore);
}

// Blocks are compared by their shape over the bands (the cut finder, the speed fit of level
// reports): a gain and an equaliser on the input change nothing, a missing block counts for
// nothing, and the cut falls where the input stops following the clip.
TEST(Distances, CentredBlocksIgnoreGainAndEqualisationAndFindTheCut) {
  constexpr int kBands = 16, kBlocks = 10, kHeard = 6;
  std::vector<float> clip(kBlocks * kBands), input(clip.size());
  std::uint32_t seed = 11;
  for (float& v : clip) v = -60.0f + static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 26);
  for (int k = 0; k < kBlocks; ++k)
    for (int b = 0; b < kBands; ++b) {  // heard with 3 dB more and a tilt, then its mirror image
      const float c = clip[static_cast<std::size_t>(k * kBands + b)];
      input[static_cast<std::size_t>(k * kBands + b)] = k < kHeard ? c + 3.0f + 0.5f * static_cast<float>(b) : -c;
    }
  std::vector<const float*> blocks(kBlocks), rows(kBlocks);
  for (int k = 0; k < kBlocks; ++k) {
    blocks[static_cast<std::size_t>(k)] = clip.data() + k * kBands;
    rows[static_cast<std::size_t>(k)] = input.data() + k * kBands;
  }
  std::vector<double> x, y;
  spdet::CentreBlocks(blocks.data(), kHeard, 0, kBands, x);
  spdet::CentreBlocks(rows.data(), kHeard, 0, kBands, y);
  for (int k = 0; k < kHeard; ++k)
    EXPECT_NEAR(spdet::CentredCorrelation(x.data() + k * kBands, y.data() + k * kBands, kBands), 1.0, 1e-9) << k;
  // A missing block: zeros, and the band means are those of the others (bands 2.. only here).
  blocks[1] = nullptr;
  spdet::CentreBlocks(blocks.data(), 3, 2, 4, x);
  ASSERT_EQ(x.size(), 12u);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(x[static_cast<std::size_t>(4 + j)], 0.0);
    EXPECT_NEAR(x[static_cast<std::size_t>(j)] + x[static_cast<std::size_t>(8 + j)], 0.0, 1e-9);
  }
  EXPECT_EQ(spdet::CentredCorrelation(x.data() + 4, x.data(), 4), 0.0);  // no spread: no correlation
  blocks[1] = clip.data() + kBands;
  const spdet::Cut cut = spdet::FindCut(clip.data(), rows.data(), kBlocks, 0, 2, kBands, 0, kBands - 1, -0.6, false);
  EXPECT_EQ(cut.heard, kHeard);
  EXPECT_GT(cut.head, 0.5);
  EXPECT_LT(cut.correlation[kHeard], 0.0);
}
