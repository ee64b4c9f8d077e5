// Kernels of the decision layer's pre-selection (detector/preselect.cpp): its input chunks are
// rows of eight band values, stepped to 16-bit integers for the correlation with a sketch's
// 8-bit codes. See simd.h for the versions and how one is chosen; the SSE2 versions here are
// defined inline in their header instead of a file of their own.
#ifndef SP_KERNELS_PRESELECT_LANES_H
#define SP_KERNELS_PRESELECT_LANES_H

#include <cstdint>

#include "simd.h"

namespace sp::kernels {

constexpr int kSketchWidth = 8;  // values a row

// The largest magnitude in n rows of `rows` (kSketchWidth values each): the first at row `at`,
// each next `step` rows before it, wrapping at `capacity` rows. 0 for n = 0.
float ChunkPeakScalar(const float* rows, int n, std::int64_t at, std::int64_t step, std::int64_t capacity);
// One row times scale, rounded to the nearest integer (ties to even); |row * scale| <= 32767.
void StepRowScalar(const float* row, float scale, std::int16_t* out);
// The sum of codes[i] * steps[i] over chunks * kSketchWidth values, exact (32 bits hold it for
// the pre-selection's lengths), so the same in any order.
std::int32_t CodeDotScalar(const std::int8_t* codes, const std::int16_t* steps, int chunks);

}  // namespace sp::kernels

// The SSE2 versions, inline (preselect_lanes_sse2.h).
#include "preselect_lanes_sse2.h"

namespace sp::kernels {

// The version the build targets (the lanes are narrow: AVX2 would not pay here).
inline float ChunkPeak(const float* rows, int n, std::int64_t at, std::int64_t step, std::int64_t capacity) {
#if defined(SP_KERNELS_SSE2)
  return ChunkPeakSse2(rows, n, at, step, capacity);
#else
  return ChunkPeakScalar(rows, n, at, step, capacity);
#endif
}
inline void StepRow(const float* row, float scale, std::int16_t* out) {
#if defined(SP_KERNELS_SSE2)
  StepRowSse2(row, scale, out);
#else
  StepRowScalar(row, scale, out);
#endif
}
inline std::int32_t CodeDot(const std::int8_t* codes, const std::int16_t* steps, int chunks) {
#if defined(SP_KERNELS_SSE2)
  return CodeDotSse2(codes, steps, chunks);
#else
  return CodeDotScalar(codes, steps, chunks);
#endif
}

}  // namespace sp::kernels

#endif
