// The level distance (kernels: level_kernel.h) as a part of its own: at every time block the
// group leaders the pre-selection picked, and the speed variants of those near their threshold,
// are compared by a coarse pass at the engine's own alignment, the exact distance and the finer
// alignments only where the coarse one comes near the threshold. How the distance is formed:
// docs/detector.md.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "background.h"
#include "candidate_picker.h"
#include "distance.h"
#include "flag_scan.h"
#include "level_kernel.h"

namespace spdet {
namespace {

class LevelDistance final : public Distance {
 public:
  const char* Name() const override { return "level"; }
  void SetUp(const DistanceSetUp& s) override;
  void Reset() override;
  void Block(const DistanceBlock& in, const StepTable& out) override;
  void Picked(const StepTable& out) override;

 private:
  bool Compares(int i) const {
    const DetectorPattern& P = (*s_.patterns)[static_cast<std::size_t>(i)];
    const TimeSpectrumEstimation* e = s_.engine;
    return s_.tuning->LibraryDeviations == 1 ? e->TVS[i] == nullptr || e->TVS[i]->fUsePattern != 0 : P.Compared != 0;
  }
  const float* const* Segment(const AlignedInput& in, int phase);
  float GateOf(const DetectorPattern& P) const;
  float Evaluate(const AlignedInput& in, int i, int phase, float* verify, float limit);
  void ScorePattern(const AlignedInput& in, BackgroundTracker& background, const StepTable& out, int i);

  DistanceSetUp s_;
  const float* noise_ = nullptr;      // the background's levels in force for the current comparisons
  std::vector<unsigned char> scored_;  // per pattern: 1 while its cells are a comparison's (this block or the last)
  std::vector<int> scoredNow_;         // this block: the patterns compared
  std::vector<unsigned char> leaderNear_;  // per pattern: leader's distance came within VariantGate (this or last block)
  std::vector<float> scratch_;         // 2*nband levels of one comparison
  std::vector<const float*> segments_;  // steps*longest pointers into the ring, newest first
  std::vector<unsigned char> ready_;    // per step: its segment is set up for this time block
};

void LevelDistance::SetUp(const DistanceSetUp& s) {
  s_ = s;
  const std::size_t n = s.patterns->size();
  scored_.assign(n, 1);
  leaderNear_.assign(n, 0);
  scoredNow_.clear();
  scoredNow_.reserve(n);
  scratch_.assign(2 * static_cast<std::size_t>(s.nband), 0.0f);
  segments_.assign(static_cast<std::size_t>(s.steps) * static_cast<std::size_t>(s.longest), nullptr);
  ready_.assign(static_cast<std::size_t>(s.steps), 0);
}

void LevelDistance::Reset() {
  std::fill(scored_.begin(), scored_.end(), 1);
  std::fill(leaderNear_.begin(), leaderNear_.end(), 0);
  scoredNow_.clear();
  for (DetectorPattern& P : *s_.patterns) P.Score = P.Verify = kNotEvaluated;
}

// The input blocks aligned with the blocks of the longest pattern, `phase` steps before the
// newest: pointers into the ring, newest first.
const float* const* LevelDistance::Segment(const AlignedInput& in, int phase) {
  const float** seg = segments_.data() + static_cast<long>(phase) * s_.longest;
  if (!ready_[static_cast<std::size_t>(phase)]) in.Segment(phase, s_.longest, seg);
  ready_[static_cast<std::size_t>(phase)] = 1;
  return seg;
}

// The coarse pass compares at the engine's own alignment, up to half a time block off the
// occurrence: its gate is GateFactor times the threshold, or wider for a pattern whose
// distance grows fast with misalignment (sharp onsets, chirps).
float LevelDistance::GateOf(const DetectorPattern& P) const {
  const float wide = P.Threshold + s_.tuning->ShiftGate * P.ShiftDistance;
  const float gate = s_.tuning->GateFactor * P.Threshold;
  return wide > gate ? wide : gate;
}

// Distance of pattern i at the alignment `phase` steps before the newest: a coarse pass first
// (stopping once past `limit`); the precise one only when the coarse distance comes under the
// gate.
float LevelDistance::Evaluate(const AlignedInput& in, int i, int phase, float* verify, float limit) {
  const DetectorTuning& t = *s_.tuning;
  const float gate = GateOf((*s_.patterns)[static_cast<std::size_t>(i)]);
  const LevelPattern& P = *(*s_.levels)[static_cast<std::size_t>(i)];
  const float* const* seg = Segment(in, phase);
  float gain = 0.0f;
  const float coarse = LevelCoarse(P, s_.nband, seg, noise_, t, scratch_.data(), limit, &gain);
  // The aligned input must carry some sound: the pattern's peak brought to the input's level.
  if (P.Floor_dB + t.FloorDepth_dB + gain < t.MinLevel_dB) return kNotEvaluated;
  if (coarse >= gate) {
    *verify = kNotEvaluated;
    return coarse;
  }
  gain = LevelGain(P, s_.nband, seg, noise_, t, scratch_.data());
  if (P.Floor_dB + t.FloorDepth_dB + gain < t.MinLevel_dB) return kNotEvaluated;
  return LevelDistanceAt(P, s_.nband, seg, gain, noise_, t, scratch_.data(), verify);
}

// Distances of pattern i at the alignment steps of the newest time block.
void LevelDistance::ScorePattern(const AlignedInput& in, BackgroundTracker& background, const StepTable& out, int i) {
  const DetectorTuning& t = *s_.tuning;
  DetectorPattern& P = (*s_.patterns)[static_cast<std::size_t>(i)];
  const int steps = s_.steps;
  float* sc = out.score + static_cast<long>(i) * steps;
  float* ve = out.verify + static_cast<long>(i) * steps;
  const float before = P.Score;
  for (int s = 0; s < steps; ++s) sc[s] = ve[s] = kNotEvaluated;
  P.Score = P.Verify = kNotEvaluated;
  const bool leads = s_.groups->Leads(i);
  if (leads) leaderNear_[static_cast<std::size_t>(i)] = 0;
  if (P.Nblock < 1 || !Compares(i)) return;
  const std::int64_t newest = in.blocks * steps;
  const std::int64_t stepSamples = s_.blockSamples / steps;
  const std::int64_t span = static_cast<std::int64_t>(P.Nblock) * s_.blockSamples + s_.delaySamples;
  if (newest * stepSamples < span) return;  // the occurrence would begin before the input
  const float gate = GateOf(P);
  const float variantGate = t.VariantGate * P.Threshold;
  const float limit = leads && variantGate > gate ? variantGate : gate;
  background.For(P.Nblock, in.blocks, t.NoiseSegments, t.NoiseSegmentBlocks);
  sc[0] = Evaluate(in, i, 0, &ve[0], limit);
  P.Score = sc[0];
  P.Verify = ve[0];
  if (leads) leaderNear_[static_cast<std::size_t>(i)] = (sc[0] < variantGate || before < variantGate) ? 1 : 0;
  if (steps > 1 && (sc[0] < gate || before < gate)) {
    for (int s = 1; s < steps; ++s)
      if ((newest - s) * stepSamples >= span) sc[s] = Evaluate(in, i, s, &ve[s], gate);
  }
}

// Distances at every alignment step of this time block (phase 0: the newest). Group leaders come
// first; the other members of a group (speed variants) are compared only while their leader
// comes within VariantGate of its threshold.
void LevelDistance::Block(const DistanceBlock& in, const StepTable& out) {
  std::fill(ready_.begin(), ready_.end(), 0);
  noise_ = in.background.Levels();
  std::vector<DetectorPattern>& patterns = *s_.patterns;
  const PatternGroups& groups = *s_.groups;
  const int steps = s_.steps;
  const unsigned char* preselected = in.calibrating ? nullptr : in.preselected;
  scoredNow_.clear();
  const auto visit = [&](int i, int leader, bool member) {
    if ((member && !in.calibrating && !leaderNear_[static_cast<std::size_t>(leader)]) ||
        (preselected != nullptr && preselected[leader] == 0)) {
      // (Set once when it stops being compared: most of a large catalogue is not touched.)
      if (!scored_[static_cast<std::size_t>(i)]) return;
      const long at = static_cast<long>(i) * steps;
      std::fill_n(out.score + at, steps, kNotEvaluated);
      std::fill_n(out.verify + at, steps, kNotEvaluated);
      patterns[static_cast<std::size_t>(i)].Score = patterns[static_cast<std::size_t>(i)].Verify = kNotEvaluated;
      out.previous[i] = kNotEvaluated;  // what this block's newest step will have been
      scored_[static_cast<std::size_t>(i)] = 0;
      return;
    }
    ScorePattern(in.input, in.background, out, i);
    scored_[static_cast<std::size_t>(i)] = 1;
    scoredNow_.push_back(i);
  };
  const int n = static_cast<int>(patterns.size());
  if (preselected == nullptr) {
    for (const int g : groups.leaders) visit(g, g, false);
  } else {  // only the leaders selected now or compared at the last block
    ForEachFlagged(n, preselected, scored_.data(), nullptr, [&](int i) {
      if (patterns[static_cast<std::size_t>(i)].Group == i) visit(i, i, false);
    });
  }
  if (static_cast<int>(groups.leaders.size()) < n)  // speed variants
    for (const int g : groups.leaders)
      for (int m = groups.start[g]; m < groups.start[g + 1]; ++m)
        if (groups.members[m] != g) visit(groups.members[m], g, true);
}

// The step before the next block's oldest (patterns not compared: set when they stopped).
void LevelDistance::Picked(const StepTable& out) {
  for (const int i : scoredNow_) out.previous[i] = out.score[static_cast<long>(i) * out.steps];
}

}  // namespace

std::unique_ptr<Distance> MakeLevelDistance() { return std::make_unique<LevelDistance>(); }

}  // namespace spdet
