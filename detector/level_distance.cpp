// The level distance of one pattern at the aligned input (kernels: level_kernel.h): a coarse
// pass at the engine's own alignment, the exact distance and the finer alignments only where the
// coarse one comes near the threshold. How the distance is formed: docs/detector.md.
#include "detector_core.h"
#include "background.h"
#include "level_kernel.h"

using spdet::CoarseStepOf;
using spdet::DistanceAt;
using spdet::GainOf;
using spdet::kNotEvaluated;

float spdet::DetectorCore::Distance(const DetectorPattern& P, const float* const* blocks, float gain, float* verify) {
  // Per band, the pattern-side level under which the background covers a cell.
  float* hide = BandScratch.data();
  for (int b = 0; b < Nband; ++b) hide[b] = Noise[b] + Tuning.NoiseMargin_dB - gain;
  return DistanceAt<1>(P, Nband, blocks, gain, Tuning.ExcessWeight, hide, Tuning.MinVisible, kNotEvaluated, verify);
}

float spdet::DetectorCore::Gain(const DetectorPattern& P, const float* const* blocks) {
  float* above = BandScratch.data() + Nband;
  for (int b = 0; b < Nband; ++b) above[b] = Noise[b] + Tuning.NoiseMargin_dB;
  return GainOf<1>(P, Nband, blocks, above);
}

// A quick estimate of the distance from every CoarseStep-th block, with the first level
// estimate, stopping once it passes `limit`.
float spdet::DetectorCore::Coarse(const DetectorPattern& P, const float* const* blocks, float limit, float* gain) {
  float* above = BandScratch.data() + Nband;
  float* hide = BandScratch.data();
  for (int b = 0; b < Nband; ++b) above[b] = Noise[b] + Tuning.NoiseMargin_dB;
  return CoarseStepOf(P, Nband, blocks, above, hide, Tuning.ExcessWeight, Tuning.MinVisible, limit, gain);
}

// The input blocks aligned with the blocks of the longest pattern, `phase` steps before the
// newest: pointers into the ring, newest first.
const float* const* spdet::DetectorCore::Segment(int phase) {
  const float** seg = BlockPtr.data() + static_cast<long>(phase) * Longest;
  if (WorkReady[phase]) return seg;
  int r = RingPos - phase;
  while (r < 0) r += RingLength;
  for (int k = 0; k < Longest; ++k) {
    seg[k] = LogRing.data() + static_cast<long>(r) * Nband;
    r -= SubSteps;
    if (r < 0) r += RingLength;
  }
  WorkReady[phase] = 1;
  return seg;
}

// The coarse pass compares at the engine's own alignment, up to half a time block off the
// occurrence: its gate is GateFactor times the threshold, or wider for a pattern whose
// distance grows fast with misalignment (sharp onsets, chirps).
float spdet::DetectorCore::GateOf(const DetectorPattern& P) const {
  const float wide = P.Threshold + Tuning.ShiftGate * P.ShiftDistance;
  const float gate = Tuning.GateFactor * P.Threshold;
  return wide > gate ? wide : gate;
}

// Distance of pattern i at the alignment `phase` steps before the newest: a coarse pass first
// (stopping once past `limit`); the precise one only when the coarse distance comes under the
// gate.
float spdet::DetectorCore::Evaluate(int i, int phase, float* verify, float limit) {
  const DetectorPattern& P = Patterns[i];
  const float* const* seg = Segment(phase);
  const float gate = GateOf(P);
  float gain = 0.0f;
  const float coarse = Coarse(P, seg, limit, &gain);
  // The aligned input must carry some sound: the pattern's peak brought to the input's level.
  if (P.Floor_dB + Tuning.FloorDepth_dB + gain < Tuning.MinLevel_dB) return kNotEvaluated;
  if (coarse >= gate) {
    *verify = kNotEvaluated;
    return coarse;
  }
  gain = Gain(P, seg);
  if (P.Floor_dB + Tuning.FloorDepth_dB + gain < Tuning.MinLevel_dB) return kNotEvaluated;
  return Distance(P, seg, gain, verify);
}

// Scores of pattern i at the alignment steps of the newest time block.
void spdet::DetectorCore::ScorePattern(int i) {
  DetectorPattern& P = Patterns[i];
  float* sc = StepScore.data() + static_cast<long>(i) * SubSteps;
  float* ve = StepVerify.data() + static_cast<long>(i) * SubSteps;
  const float before = P.Score;
  for (int s = 0; s < SubSteps; ++s) sc[s] = ve[s] = kNotEvaluated;
  P.Score = P.Verify = kNotEvaluated;
  const bool leads = Groups.Leads(i);
  if (leads) LeaderNear[i] = 0;
  if (P.Nblock < 1 || !Compares(i)) return;
  const std::int64_t newest = Blocks * SubSteps;
  const std::int64_t stepSamples = NsampleBlock / SubSteps;
  const std::int64_t span = static_cast<std::int64_t>(P.Nblock) * NsampleBlock + DelaySamples;
  if (newest * stepSamples < span) return;  // the occurrence would begin before the input
  const float gate = GateOf(P);
  const float variantGate = Tuning.VariantGate * P.Threshold;
  const float limit = leads && variantGate > gate ? variantGate : gate;
  Background->For(P.Nblock, Blocks, Tuning.NoiseSegments, Tuning.NoiseSegmentBlocks);
  sc[0] = Evaluate(i, 0, &ve[0], limit);
  P.Score = sc[0];
  P.Verify = ve[0];
  if (leads) LeaderNear[i] = (sc[0] < variantGate || before < variantGate) ? 1 : 0;
  if (SubSteps > 1 && (sc[0] < gate || before < gate)) {
    for (int s = 1; s < SubSteps; ++s)
      if ((newest - s) * stepSamples >= span) sc[s] = Evaluate(i, s, &ve[s], gate);
  }
}

