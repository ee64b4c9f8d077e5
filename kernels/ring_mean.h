// Kernel of the block pipeline's time blocks (engine/pipeline.cpp): the mean of the last rows
// of the frame-power ring for every band. See simd.h for the versions and how one is chosen.
#ifndef SP_KERNELS_RING_MEAN_H
#define SP_KERNELS_RING_MEAN_H

#include "simd.h"

namespace sp::kernels {

// The ring has `rows` rows of nband values. For every band b: the rows summed newest first,
// from row pos backwards and wrapping, in single precision and in that order, times scale.
void RingMeanScalar(const float* ring, int rows, int pos, int nband, float scale, float* out);
#if defined(SP_KERNELS_SSE2)
void RingMeanSse2(const float* ring, int rows, int pos, int nband, float scale, float* out);
#endif

// Band b alone; the versions leave the bands that do not fill a vector to it.
inline float RingMeanOfBand(const float* ring, int rows, int pos, int nband, float scale, int b) {
  float sum = 0.0f;
  for (int r = pos; r >= 0; --r) sum += ring[static_cast<long>(r) * nband + b];
  for (int r = rows - 1; r > pos; --r) sum += ring[static_cast<long>(r) * nband + b];
  return sum * scale;
}

}  // namespace sp::kernels

#endif
