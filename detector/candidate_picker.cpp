// The candidate picker (candidate_picker.h): per group, the member furthest under its threshold
// at each alignment step; a candidate follows the local minimum of the distance and is reported
// once no better alignment came for the pattern's length, then the group must leave its
// threshold (or another pattern length must pass) before it can start a new one.
// docs/detector.md, "Best alignment, once".
#include "candidate_picker.h"

#include <cmath>

#include "level_kernel.h"
#include "relatives_holder.h"

using spdet::kNotEvaluated;

// Members of every group, leader first, as consecutive runs of members.
void spdet::PatternGroups::Build(const std::vector<DetectorPattern>& Patterns) {
  const int NPattern = static_cast<int>(Patterns.size());
  std::vector<int>& GroupStart = start;
  std::vector<int>& GroupMembers = members;
  GroupStart.assign(static_cast<std::size_t>(NPattern) + 1, 0);
  GroupMembers.resize(static_cast<std::size_t>(NPattern));
  // Counting sort by group (linear in the number of patterns): sizes, then runs, each run's
  // members in number order.
  for (int g = 0; g <= NPattern; ++g) GroupStart[g] = 0;
  for (int i = 0; i < NPattern; ++i) ++GroupStart[Patterns[i].Group + 1];
  for (int g = 0; g < NPattern; ++g) GroupStart[g + 1] += GroupStart[g];
  for (int i = 0; i < NPattern; ++i) GroupMembers[GroupStart[Patterns[i].Group]++] = i;
  for (int g = NPattern; g > 0; --g) GroupStart[g] = GroupStart[g - 1];
  GroupStart[0] = 0;
  leaders.clear();
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Group == i) leaders.push_back(i);
}

void spdet::CandidatePicker::Configure(const std::vector<DetectorPattern>* patterns, const DetectorTuning* tuning,
                                       const Geometry& g, RelativesHolder* kin) {
  patterns_ = patterns;
  tuning_ = tuning;
  g_ = g;
  kin_ = kin;
  const std::size_t n = patterns->size();
  candidates_.assign(n, Candidate());
  following_.assign(n, Candidate());
  pending_.assign(n, 1);
}

void spdet::CandidatePicker::Reset(std::int64_t origin) {
  origin_ = origin;
  for (std::size_t i = 0; i < candidates_.size(); ++i) {
    candidates_[i].Active = 0;
    following_[i].Active = 0;
    candidates_[i].Armed = 1;
    pending_[i] = 0;
    candidates_[i].Rearm = 0;
  }
  store_.Reset(static_cast<int>(candidates_.size()));
}

void spdet::CandidatePicker::Drop(int g) {
  candidates_[static_cast<std::size_t>(g)].Active = following_[static_cast<std::size_t>(g)].Active = 0;
}

// The decision at one alignment step (phase steps before the newest), in time order: per
// group, the member furthest under its threshold; a candidate follows the local minimum and is
// reported once no better alignment came for the pattern's length.
void spdet::CandidatePicker::Pick(std::int64_t step, int phase, const StepDistances& d, const std::vector<int>& live,
                                  const PatternGroups& groups, const unsigned char* selected,
                                  SignalTVSEx* const* engine) {
  const std::vector<DetectorPattern>& Patterns = *patterns_;
  const DetectorTuning& Tuning = *tuning_;
  const int SubSteps = g_.steps;
  const float* StepScore = d.score;
  const float* StepVerify = d.verify;
  const std::vector<int>& GroupStart = groups.start;
  const std::vector<int>& GroupMembers = groups.members;
  const auto LevelSelected = [selected](int g) { return selected == nullptr || selected[g] != 0; };
  std::vector<Candidate>& Candidates = candidates_;
  std::vector<Candidate>& Following = following_;
  std::vector<unsigned char>& Pending = pending_;
  for (const int g : live) {
    // Groups led by g, not compared and with neither a candidate nor a wait: nothing to do. These
    // are most of a large catalogue, told from compact flags without touching their records.
    if (!Pending[g] && !LevelSelected(g)) continue;
    Candidate& c = Candidates[g];
    if (!c.Active && !LevelSelected(g)) {  // nothing compared, nothing pending
      c.Armed = 1;
      Pending[g] = 0;
      continue;
    }
    int best = -1;
    float bestRatio = 1.0e30f;
    int bestTentative = 0;
    for (int m = GroupStart[g]; m < GroupStart[g + 1]; ++m) {
      const int i = GroupMembers[m];
      const DetectorPattern& P = Patterns[i];
      const float v = StepScore[static_cast<long>(i) * SubSteps + phase];
      if (v >= kNotEvaluated || P.Threshold <= 0.0f) continue;
      // z: the score against the limit the pattern is taken under (its threshold, or for a
      // checked pattern CheckedScale times it); under 1 it passes.
      const float accept = P.Checked && Tuning.CheckedScale > 1.0f ? Tuning.CheckedScale : 1.0f;
      const float z0 = v / P.Threshold;
      float z = z0 / accept;
      // Verification: every quarter of the pattern must be there, not just most of it.
      const float verify = StepVerify[static_cast<long>(i) * SubSteps + phase];
      if (z < 1.0f && verify > Tuning.VerifyFactor * P.Threshold * accept) z = 1.0f;
      if (z < bestRatio) {
        bestRatio = z;
        best = i;
        bestTentative = z0 >= 1.0f || verify > Tuning.VerifyFactor * P.Threshold ? 1 : 0;
      }
    }
    Candidate& f = Following[g];
    if (!c.Armed && (bestRatio >= 1.0f || step >= c.Rearm)) c.Armed = 1;
    for (Candidate* x : {&c, &f}) {
      if (!x->Active) break;  // (an occurrence is followed only beside a candidate)
      if (bestRatio >= 1.0f) x->LeftLimit = 1;
      if (!x->ScoreAfterSet && step == x->Step + 1) {
        x->ScoreAfter = StepScore[static_cast<long>(x->Report.Pattern) * SubSteps + phase];
        x->ScoreAfterSet = 1;
      }
    }
    // An alignment so far from the candidate's that the two would share less than half of the
    // clip is another occurrence (the same clip played again right after, or over a crossfade).
    // A better one reports the candidate at once and takes its place; another, once the
    // distance has left its limit since the candidate's best (not the same occurrence's tail),
    // is followed and becomes the candidate when that one is reported.
    const bool apart = best >= 0 && bestRatio < 1.0f && c.Active &&
                       2 * (step - c.Step) > static_cast<std::int64_t>(SubSteps) * Patterns[c.Report.Pattern].Nblock;
    if (apart && bestRatio < c.ScoreRatio) {
      Emit(c);
      c.Active = f.Active = 0;
    } else if (apart && c.LeftLimit && (!f.Active || bestRatio < f.ScoreRatio)) {
      TakeBest(f, best, bestRatio, bestTentative, step, phase, d, engine);
    }
    if (best >= 0 && bestRatio < 1.0f && (c.Active ? bestRatio < c.ScoreRatio : c.Armed != 0)) TakeBest(c, best, bestRatio, bestTentative, step, phase, d, engine);
    if (c.Active && step >= c.Confirm) {
      Emit(c);
      if (f.Active) {  // the next occurrence is the candidate now
        c = f;
        f.Active = 0;
      } else {
        c.Active = 0;
        // One report per occurrence: a new candidate needs the group to leave its threshold
        // first, or another pattern length to pass.
        c.Armed = 0;
        c.Rearm = step + static_cast<std::int64_t>(SubSteps) * Patterns[c.Report.Pattern].Nblock;
      }
    }
    Pending[g] = c.Active || !c.Armed ? 1 : 0;
  }
}

// Candidate c takes the alignment of this step: member `best` at `bestRatio` (score / threshold).
void spdet::CandidatePicker::TakeBest(Candidate& c, int best, float bestRatio, int tentative, std::int64_t step, int phase,
                                      const StepDistances& d, SignalTVSEx* const* engine) {
  const DetectorPattern& P = (*patterns_)[best];
  const int SubSteps = g_.steps;
  const float* StepScore = d.score;
  const float* StepVerify = d.verify;
  const float* PrevScore = d.previous;
  c.Active = 1;
  c.LeftLimit = 0;
  c.ScoreRatio = bestRatio;
  // What this block gives the report: the member, its distance and worst quarter, and the
  // library's own deviations of that member in this very block.
  DetectorReport& r = c.Report;
  r.Pattern = best;
  r.Score = StepScore[static_cast<long>(best) * SubSteps + phase];
  r.Verify = StepVerify[static_cast<long>(best) * SubSteps + phase];
  if (deviations_ != nullptr) {
    deviations_(deviationsContext_, best, &r.RelDev, &r.RelDevMpb);
  } else {
    r.RelDev = engine[best] != nullptr ? engine[best]->RelDev : 2.0f;
    r.RelDevMpb = engine[best] != nullptr ? engine[best]->RelDevMPB : 2.0f;
  }
  r.Method = DetectorReport::kLevelMethod;
  r.Stretch = 0.0f;
  r.Tentative = tentative;
  // (A clip cut short can pass whole here: what followed the cut hides under the input's noise.)
  r.Seen = seen_ != nullptr ? seen_(seenContext_, best, phase) : 1.0f;
  c.ScoreBefore = phase + 1 < SubSteps ? StepScore[static_cast<long>(best) * SubSteps + phase + 1] : PrevScore[best];
  c.ScoreAfter = kNotEvaluated;
  c.ScoreAfterSet = 0;
  c.Step = step;
  c.Confirm = step + static_cast<std::int64_t>(SubSteps) * (P.Nblock > 2 ? P.Nblock - 1 : 2);
}

// The candidate's report completed with its position and the pattern's part (group, threshold,
// name) and stored.
void spdet::CandidatePicker::Emit(const Candidate& c) {
  DetectorReport r = c.Report;
  const DetectorPattern& P = (*patterns_)[r.Pattern];
  const int SubSteps = g_.steps;
  const int NsampleBlock = g_.blockSamples;
  const int DelaySamples = g_.delaySamples;
  // Position of the minimum between alignment steps from a parabola through the neighbours.
  float delta = 0.0f;
  if (c.ScoreAfterSet && c.ScoreBefore < kNotEvaluated && c.ScoreAfter < kNotEvaluated) {
    const float den = c.ScoreBefore - 2.0f * r.Score + c.ScoreAfter;
    if (den > 0.0f) {
      delta = 0.5f * (c.ScoreBefore - c.ScoreAfter) / den;
      if (delta > 0.5f) delta = 0.5f;
      if (delta < -0.5f) delta = -0.5f;
    }
  }
  r.Group = P.Group;
  r.SpeedPercent = P.SpeedPercent;
  const double end = (static_cast<double>(c.Step) + delta) * (static_cast<double>(NsampleBlock) / SubSteps);
  std::int64_t begin = static_cast<std::int64_t>(std::llround(end)) -
                       static_cast<std::int64_t>(P.Nblock) * NsampleBlock - DelaySamples;
  if (begin < 0) begin = 0;
  r.Begin = origin_ + begin;
  r.End = r.Begin + std::llround(static_cast<double>(r.Seen) * static_cast<double>(P.Nblock) * NsampleBlock);
  // (An airing played off the clip's speed: its ends from the speed measured, emit_speed.h.)
  Placed placed;
  if (place_ != nullptr && place_(placeContext_, r.Pattern, c.Step, &placed)) {
    const double stepSamples = static_cast<double>(NsampleBlock) / SubSteps;
    begin = std::llround(placed.begin * stepSamples) - DelaySamples;
    if (begin < 0) begin = 0;
    r.Seen = placed.seen;
    r.Stretch = placed.stretch;
    r.Begin = origin_ + begin;
    r.End = r.Begin + std::llround(static_cast<double>(r.Seen) * (placed.end - placed.begin) * stepSamples);
  }
  r.Threshold = P.Threshold;
  r.Confidence = P.Threshold > 0.0f ? 1.0f - r.Score / P.Threshold : 0.0f;
  if (r.Confidence < 0.0f) r.Confidence = 0.0f;
  r.Name = P.Name.c_str();
  Store(r);
}

// Adds a report to the list, unless it repeats the group's last report (the other path may have
// reported the same occurrence).
// Reports of patterns with relatives go to the version arbiter, which makes one of each airing.
void spdet::CandidatePicker::Store(const DetectorReport& r) {
  if (kin_ == nullptr || !kin_->Take(r)) store_.Add(r);
}

void spdet::CandidatePicker::EmitAll() {
  for (std::size_t g = 0; g < candidates_.size(); ++g) {
    Candidate& c = candidates_[g];
    if (c.Active) Emit(c);
    if (following_[g].Active) Emit(following_[g]);
    c.Active = following_[g].Active = 0;
  }
}
