// The candidate picker: per group, the member furthest under its threshold at each alignment
// step; a candidate follows the local minimum of the distance and is reported once no better
// alignment came for the pattern's length, then the group must leave its threshold (or another
// pattern length must pass) before it can start a new one. docs/detector.md, "Best alignment,
// once".
#include <cmath>

#include "detector_core.h"
#include "level_kernel.h"
#include "preselect.h"
#include "report_store.h"
#include "version_arbiter.h"

using spdet::kNotEvaluated;

// Members of every group, leader first, as consecutive runs of GroupMembers.
void spdet::DetectorCore::BuildGroups() {
  // Counting sort by group (linear in the number of patterns): sizes, then runs, each run's
  // members in number order.
  for (int g = 0; g <= NPattern; ++g) GroupStart[g] = 0;
  for (int i = 0; i < NPattern; ++i) ++GroupStart[Patterns[i].Group + 1];
  for (int g = 0; g < NPattern; ++g) GroupStart[g + 1] += GroupStart[g];
  for (int i = 0; i < NPattern; ++i) GroupMembers[GroupStart[Patterns[i].Group]++] = i;
  for (int g = NPattern; g > 0; --g) GroupStart[g] = GroupStart[g - 1];
  GroupStart[0] = 0;
  Leaders.clear();
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Group == i) Leaders.push_back(i);
  if (Preselect != nullptr && Preselect->Count() >= NPattern)
    for (int i = 0; i < NPattern; ++i) Preselect->Use(i, Patterns[i].Group == i);
}

int spdet::DetectorCore::SetGroup(int pattern, int group, float speedPercent) {
  if (Patterns.empty() || pattern < 0 || pattern >= NPattern || group < 0 || group >= NPattern) return 0;
  const int leader = Patterns[group].Group;
  const int old = Patterns[pattern].Group;
  // A pattern that led a group hands its members over as well.
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Group == old || i == pattern) Patterns[i].Group = leader;
  Patterns[pattern].SpeedPercent = speedPercent;
  if (old != leader) Candidates[old].Active = Following[old].Active = 0;
  BuildGroups();
  return 1;
}

int spdet::DetectorCore::SetChecked(int pattern, int checked) {
  if (Patterns.empty() || pattern < 0 || pattern >= NPattern) return 0;
  Patterns[pattern].Checked = checked ? 1 : 0;
  return 1;
}

// The decision at one alignment step (phase steps before the newest), in time order: per
// group, the member furthest under its threshold; a candidate follows the local minimum and is
// reported once no better alignment came for the pattern's length.
void spdet::DetectorCore::PickCandidates(int phase) {
  const std::int64_t step = Blocks * SubSteps - phase;
  for (const int g : LiveGroups) {
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
      TakeBest(f, best, bestRatio, bestTentative, step, phase);
    }
    if (best >= 0 && bestRatio < 1.0f && (c.Active ? bestRatio < c.ScoreRatio : c.Armed != 0)) TakeBest(c, best, bestRatio, bestTentative, step, phase);
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
  if (phase == 0)  // the step before the next block's oldest (patterns not compared: set when they stopped)
    for (const int i : ScoredNow) PrevScore[i] = StepScore[static_cast<long>(i) * SubSteps];
}

// Candidate c takes the alignment of this step: member `best` at `bestRatio` (score / threshold).
void spdet::DetectorCore::TakeBest(Candidate& c, int best, float bestRatio, int tentative, std::int64_t step, int phase) {
  const DetectorPattern& P = Patterns[best];
  c.Active = 1;
  c.LeftLimit = 0;
  c.ScoreRatio = bestRatio;
  // What this block gives the report: the member, its distance and worst quarter, and the
  // library's own deviations of that member in this very block.
  DetectorReport& r = c.Report;
  r.Pattern = best;
  r.Score = StepScore[static_cast<long>(best) * SubSteps + phase];
  r.Verify = StepVerify[static_cast<long>(best) * SubSteps + phase];
  r.RelDev = Engine->TVS[best] != nullptr ? Engine->TVS[best]->RelDev : 2.0f;
  r.RelDevMpb = Engine->TVS[best] != nullptr ? Engine->TVS[best]->RelDevMPB : 2.0f;
  r.Method = 0;
  r.Stretch = 0.0f;
  r.Tentative = tentative;
  c.ScoreBefore = phase + 1 < SubSteps ? StepScore[static_cast<long>(best) * SubSteps + phase + 1] : PrevScore[best];
  c.ScoreAfter = kNotEvaluated;
  c.ScoreAfterSet = 0;
  c.Step = step;
  c.Confirm = step + static_cast<std::int64_t>(SubSteps) * (P.Nblock > 2 ? P.Nblock - 1 : 2);
}

// The candidate's report completed with its position and the pattern's part (group, threshold,
// name) and stored.
void spdet::DetectorCore::Emit(const Candidate& c) {
  DetectorReport r = c.Report;
  const DetectorPattern& P = Patterns[r.Pattern];
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
  r.Begin = Origin + begin;
  r.End = r.Begin + static_cast<std::int64_t>(P.Nblock) * NsampleBlock;
  r.Threshold = P.Threshold;
  r.Confidence = P.Threshold > 0.0f ? 1.0f - r.Score / P.Threshold : 0.0f;
  if (r.Confidence < 0.0f) r.Confidence = 0.0f;
  r.Name = P.Name.c_str();
  Store(r);
}

// Adds a report to the list, unless it repeats the group's last report (the other path may have
// reported the same occurrence).
// Reports of patterns with relatives go to the version arbiter, which makes one of each airing.
void spdet::DetectorCore::Store(const DetectorReport& r) {
  if (Arbiter != nullptr && Arbiter->Wants(r)) Arbiter->Hold(r);
  else Reports->Add(r);
}

int spdet::DetectorCore::Finish() {
  if (Candidates.empty()) return 0;
  const int before = Reports->Count();
  for (int g = 0; g < NPattern; ++g) {
    Candidate& c = Candidates[g];
    if (c.Active) Emit(c);
    if (Following[g].Active) Emit(Following[g]);
    c.Active = Following[g].Active = 0;
  }
  ShapeFinish();
  ReleaseVersions(true);
  return Reports->Count() - before;
}
