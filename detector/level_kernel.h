// The level distance (PatternDetector's own distance) of one pattern against the aligned input
// blocks, the gain estimate that brings the input to the pattern's level, and the coarse pass
// over every CoarseStep-th block. The per-cell sums are kernels/level_cells.h, which fixes
// their order for every band count and every vector target, so the distances do not depend on
// the version the processor runs. How the distance is formed: docs/detector.md.
#ifndef SP_DETECTOR_LEVEL_KERNEL_H
#define SP_DETECTOR_LEVEL_KERNEL_H

#include <cmath>

#include "../kernels/level_cells.h"
#include "DetectorTuning.h"
#include "level_pattern.h"

namespace spdet {

constexpr float kNotEvaluated = 1.0e9f;  // a distance not compared

// A power as a level in dB, floored at 1e-12 (-120 dB).
inline float LevelDb(float power) { return 10.0f * std::log10(power > 1.0e-12f ? power : 1.0e-12f); }

// Distance of an input segment from pattern P once `gain` (dB) is taken off the input.
// blocks[k] points at the Nband levels of the input block aligned with the pattern's block k
// (k = 0 newest). STEP > 1 compares every STEP-th block only (the coarse pass). hide[b] is the
// level (in the pattern's terms) up to which the background covers band b: a pattern cell under
// it is not compared, and only input above it counts as excess there. Once the sum passes
// `limit` (a distance) the remaining quarters are skipped and a value >= limit is returned.
// verify receives the distance of the worst quarter of the pattern's span. When less than
// minVisible of the pattern's salient cells stay above the background, nothing is compared.
template <int STEP, bool HIDE>
inline float DistanceOf(const LevelPattern& P, int nband, const float* const* blocks, float gain, float excess,
                        const float* hide, float minVisible, float limit, float* verify) {
  const float totalWeight = STEP == 1 ? P.TotalWeight : P.CoarseTotalWeight;
  const float salientCount = STEP == 1 ? P.SalientCount : P.CoarseSalientCount;
  const float* qw = STEP == 1 ? P.QuarterWeight : P.CoarseQuarterWeight;
  // STEP 1: every block; 2, 4 or 8: the blocks of the coarse pass (multiples of STEP).
  if (totalWeight <= 0.0f) return kNotEvaluated;
  const float stop = limit * totalWeight;
  float total = 0.0f, visible = 0.0f, visibleSalient = 0.0f, worst = 0.0f;
  const sp::kernels::LevelCells cells{nband,   P.Floor_dB,          excess,           gain, hide, blocks,
                                      P.LogSpectrum.data(), P.Weight.data(), P.Salient.data()};
  const auto sumsOf = sp::kernels::Level().cellSums;
  int k = 0;
  for (int q = 0; q < 4; ++q) {
    const int end = P.QuarterEnd[q];
    float sums[3];
    sumsOf(cells, k, end, STEP, HIDE, sums);
    if (k < end) k += (end - k + STEP - 1) / STEP * STEP;
    const float qs = sums[0], qv = HIDE ? sums[1] : qw[q], qsal = sums[2];
    total += qs;
    visible += qv;
    visibleSalient += qsal;
    if (qv > 0.0f && qs / qv > worst) worst = qs / qv;
    if (total > stop && q < 3) {
      if (verify != nullptr) *verify = worst;
      return total / totalWeight;
    }
  }
  if (verify != nullptr) *verify = worst;
  if (!HIDE) return total / totalWeight;
  if (visible <= 0.0f || visibleSalient < minVisible * salientCount) return kNotEvaluated;
  return total / visible;
}

// Chooses the plain comparison when the background covers no cell of the pattern (every
// hide[b] at or under the pattern's floor).
template <int STEP>
inline float DistanceAt(const LevelPattern& P, int nband, const float* const* blocks, float gain, float excess,
                        const float* hide, float minVisible, float limit, float* verify) {
  bool any = false;
  for (int b = 0; b < nband; ++b) any |= hide[b] > P.Floor_dB;
  if (any) return DistanceOf<STEP, true>(P, nband, blocks, gain, excess, hide, minVisible, limit, verify);
  return DistanceOf<STEP, false>(P, nband, blocks, gain, excess, hide, minVisible, limit, verify);
}

// The level difference between the input segment and pattern P over the pattern's salient
// cells where the input stands above the background (input level >= above[b]), in dB. In the
// precise pass (STEP 1) cells raised above the first estimate (by sound under the clip) count
// at that estimate, so that they do not pull the level up. Returns kNoGain when no such cell.
constexpr float kNoGain = -1.0e30f;

template <int STEP>
inline float GainOf(const LevelPattern& P, int nband, const float* const* blocks, const float* above) {
  const int N = P.Nblock;
  // STEP 0: every block, first estimate only; 2, 4 or 8: the blocks of the coarse pass.
  const int step = STEP >= 2 ? STEP : 1;
  const sp::kernels::LevelCells cells{nband,   0.0f, 0.0f, 0.0f, nullptr, blocks, P.LogSpectrum.data(),
                                      nullptr, P.Salient.data()};
  float sums[2];
  sp::kernels::Level().gainFirst(cells, above, N, step, sums);
  const float cnt = sums[1];
  if (cnt <= 0.0f) return kNoGain;
  const float g0 = sums[0] / cnt;
  if (STEP != 1) return g0;
  sp::kernels::Level().gainSecond(cells, above, N, g0, sums);
  return sums[0] / cnt;
}

// A quick estimate of the distance from every CoarseStep-th block, with the first level
// estimate, stopping once it passes `limit`.
template <int STEP>
inline float CoarseOf(const LevelPattern& P, int nband, const float* const* blocks, const float* above,
                      float* hide, float excess, float minVisible, float limit, float* gain) {
  const float g = GainOf<STEP == 1 ? 0 : STEP>(P, nband, blocks, above);
  *gain = g;
  if (g == kNoGain) return kNotEvaluated;
  // above[b] is the background + margin in the input's terms; in the pattern's terms:
  for (int b = 0; b < nband; ++b) hide[b] = above[b] - g;
  return DistanceAt<STEP>(P, nband, blocks, g, excess, hide, minVisible, limit, nullptr);
}

inline float CoarseStepOf(const LevelPattern& P, int nband, const float* const* blocks, const float* above,
                          float* hide, float excess, float minVisible, float limit, float* gain) {
  switch (P.CoarseStep) {
    case 1:
      return CoarseOf<1>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    case 2:
      return CoarseOf<2>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    case 4:
      return CoarseOf<4>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    default:
      return CoarseOf<8>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
  }
}

// The level distance with the background in force: noise[b] the background's level in band b
// (dB, in the input's terms; kNoBackground: none), scratch 2*nband levels.
inline float LevelDistanceAt(const LevelPattern& P, int nband, const float* const* blocks, float gain,
                             const float* noise, const DetectorTuning& t, float* scratch, float* verify) {
  // Per band, the pattern-side level under which the background covers a cell.
  float* hide = scratch;
  for (int b = 0; b < nband; ++b) hide[b] = noise[b] + t.NoiseMargin_dB - gain;
  return DistanceAt<1>(P, nband, blocks, gain, t.ExcessWeight, hide, t.MinVisible, kNotEvaluated, verify);
}

inline float LevelGain(const LevelPattern& P, int nband, const float* const* blocks, const float* noise,
                       const DetectorTuning& t, float* scratch) {
  float* above = scratch + nband;
  for (int b = 0; b < nband; ++b) above[b] = noise[b] + t.NoiseMargin_dB;
  return GainOf<1>(P, nband, blocks, above);
}

// A quick estimate of the distance from every CoarseStep-th block, with the first level
// estimate, stopping once it passes `limit`.
inline float LevelCoarse(const LevelPattern& P, int nband, const float* const* blocks, const float* noise,
                         const DetectorTuning& t, float* scratch, float limit, float* gain) {
  float* above = scratch + nband;
  float* hide = scratch;
  for (int b = 0; b < nband; ++b) above[b] = noise[b] + t.NoiseMargin_dB;
  return CoarseStepOf(P, nband, blocks, above, hide, t.ExcessWeight, t.MinVisible, limit, gain);
}
}  // namespace spdet

#endif
