// Kernel of the shape comparison's coarse pass over speeds (detector/shape_match.cpp): the sums
// of a pattern's pieces at every speed, each piece read where that speed moves it. See simd.h
// for the versions and how one is chosen.
//
// The order of the sums: each speed keeps its own pair of sums and adds the pieces in piece
// order (0, 1, ...); the vector version holds several speeds in its lanes.
#ifndef SP_KERNELS_SPEED_SUMS_H
#define SP_KERNELS_SPEED_SUMS_H

#include "simd.h"

namespace sp::kernels {

// The speeds' lanes come in groups of this many: shift tables and outputs are padded to it.
constexpr int kSpeedGroup = 8;

// values: per piece j, `span` pairs (num, norm) in a ring, piece j's from values + 2 * j * span.
// shifts: per piece j, `padded` (span rounded up to kSpeedGroup) shifts in [-span, span), one per
// speed, from shifts + j * padded; padding entries are 0. For every speed k < padded:
//   num[k] = sum over j of the num of piece j at ring slot (slot + shift[j][k]) mod span,
// norm[k] likewise; slot lies in [0, span).
void SpeedSumsScalar(const float* values, const int* shifts, int pieces, int span, int padded, int slot, float* num,
                     float* norm);
#if defined(SP_KERNELS_AVX2)
void SpeedSumsAvx2(const float* values, const int* shifts, int pieces, int span, int padded, int slot, float* num,
                   float* norm);
#endif

// The version this processor runs, chosen once.
using SpeedSumsKernel = void (*)(const float*, const int*, int, int, int, int, float*, float*);
inline SpeedSumsKernel SpeedSums() {
  static const SpeedSumsKernel chosen = [] {
#if defined(SP_KERNELS_AVX2)
    if (HasAvx2()) return SpeedSumsKernel{SpeedSumsAvx2};
#endif
    return SpeedSumsKernel{SpeedSumsScalar};
  }();
  return chosen;
}

}  // namespace sp::kernels

#endif
