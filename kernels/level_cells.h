// Kernels of the detector's level distance (detector/level_kernel.h): the weighted level
// differences of one pattern against the aligned input blocks, and the sums of the gain
// estimate that brings the input to the pattern's level. See simd.h for the versions.
//
// The order of the sums, the same in every version and for every band count: each band keeps
// its own sum, accumulated in block order; the band sums are then added in band order. The
// vector versions hold eight bands in their lanes and leave other band counts to the scalar one.
#ifndef SP_KERNELS_LEVEL_CELLS_H
#define SP_KERNELS_LEVEL_CELLS_H

#include "simd.h"

namespace sp::kernels {

constexpr int kLevelMaxBands = 64;

// One pattern against the input: blocks[k] points at the nband input levels aligned with the
// pattern's block k; spectrum, weight and salient hold the pattern's nband values per block.
// Input levels are lowered by `gain` and floored at `floor`; `hide` holds per band the pattern
// level up to which the background covers a cell.
struct LevelCells {
  int nband;
  float floor, excess, gain;
  const float* hide;
  const float* const* blocks;
  const float* spectrum;
  const float* weight;
  const float* salient;
};

// Over blocks from, from + step, ... before `to`: sums[0] the weighted differences, and with
// `hidden` (cells under hide[] not compared, input above it counting as excess) sums[1] the
// weight and sums[2] the salience of the cells left in view. Without it, sums[1] = sums[2] = 0.
void LevelCellSumsScalar(const LevelCells& in, int from, int to, int step, bool hidden, float sums[3]);
// The gain estimate over blocks 0, step, ... before n: cells where the input stands at or
// above `above` (the floor field) count with their salience. First pass: sums[0] the salient
// level differences, sums[1] the salience. Second pass: sums[0] with every difference capped
// at g0 (sums[1] is left alone).
void LevelGainFirstScalar(const LevelCells& in, const float* above, int n, int step, float sums[2]);
void LevelGainSecondScalar(const LevelCells& in, const float* above, int n, float g0, float sums[2]);
#if defined(SP_KERNELS_SSE2)
void LevelCellSumsSse2(const LevelCells& in, int from, int to, int step, bool hidden, float sums[3]);
void LevelGainFirstSse2(const LevelCells& in, const float* above, int n, int step, float sums[2]);
void LevelGainSecondSse2(const LevelCells& in, const float* above, int n, float g0, float sums[2]);
#endif
#if defined(SP_KERNELS_AVX2)
void LevelCellSumsAvx2(const LevelCells& in, int from, int to, int step, bool hidden, float sums[3]);
void LevelGainFirstAvx2(const LevelCells& in, const float* above, int n, int step, float sums[2]);
void LevelGainSecondAvx2(const LevelCells& in, const float* above, int n, float g0, float sums[2]);
#endif

// The versions this processor runs, chosen once.
struct LevelKernels {
  void (*cellSums)(const LevelCells&, int, int, int, bool, float*);
  void (*gainFirst)(const LevelCells&, const float*, int, int, float*);
  void (*gainSecond)(const LevelCells&, const float*, int, float, float*);
};
inline const LevelKernels& Level() {
  static const LevelKernels chosen = [] {
#if defined(SP_KERNELS_AVX2)
    if (HasAvx2()) return LevelKernels{LevelCellSumsAvx2, LevelGainFirstAvx2, LevelGainSecondAvx2};
#endif
#if defined(SP_KERNELS_SSE2)
    return LevelKernels{LevelCellSumsSse2, LevelGainFirstSse2, LevelGainSecondSse2};
#else
    return LevelKernels{LevelCellSumsScalar, LevelGainFirstScalar, LevelGainSecondScalar};
#endif
  }();
  return chosen;
}

}  // namespace sp::kernels

#endif
