// The pre-selection's kernels with SSE2 (see preselect_lanes.h): a row in two vectors of four.
// Included by preselect_lanes.h and defined inline: the pre-selection calls them for every row
// stepped and every sketch correlated, on a few lanes each, and a call per use cost more than
// the work (1.5 % of the detector's instructions with 1000 patterns). Only preselect_lanes.h
// includes it, after kSketchWidth.
#ifndef SP_KERNELS_PRESELECT_LANES_SSE2_H
#define SP_KERNELS_PRESELECT_LANES_SSE2_H

#if defined(SP_KERNELS_SSE2)
#include <emmintrin.h>

#include <algorithm>

namespace sp::kernels {

static_assert(kSketchWidth == 8, "two vectors of four lanes a row");

inline float ChunkPeakSse2(const float* rows, int n, std::int64_t at, std::int64_t step, std::int64_t capacity) {
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 top = _mm_setzero_ps();
  for (int c = 0; c < n; ++c) {
    const float* y = rows + static_cast<std::size_t>(at) * kSketchWidth;
    top = _mm_max_ps(top, _mm_and_ps(_mm_loadu_ps(y), magnitude));
    top = _mm_max_ps(top, _mm_and_ps(_mm_loadu_ps(y + 4), magnitude));
    at -= step;
    if (at < 0) at += capacity;
  }
  float lanes[4];
  _mm_storeu_ps(lanes, top);
  return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
}

// (The conversion rounds to nearest, ties to even, as the processor's default rounding does.)
inline void StepRowSse2(const float* row, float scale, std::int16_t* out) {
  const __m128 f = _mm_set1_ps(scale);
  const __m128i lo = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(row), f));
  const __m128i hi = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(row + 4), f));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(lo, hi));
}

// Products of at most 127 * 32767, eight to a lane per pair of chunks.
inline std::int32_t CodeDotSse2(const std::int8_t* codes, const std::int16_t* steps, int chunks) {
  __m128i acc = _mm_setzero_si128();
  int c = 0;
  for (; c + 2 <= chunks; c += 2, codes += 2 * kSketchWidth, steps += 2 * kSketchWidth) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    const __m128i lo = _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
    const __m128i hi = _mm_srai_epi16(_mm_unpackhi_epi8(bytes, bytes), 8);
    acc = _mm_add_epi32(acc, _mm_madd_epi16(lo, _mm_loadu_si128(reinterpret_cast<const __m128i*>(steps))));
    acc = _mm_add_epi32(acc,
                        _mm_madd_epi16(hi, _mm_loadu_si128(reinterpret_cast<const __m128i*>(steps + kSketchWidth))));
  }
  if (c < chunks) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
    const __m128i lo = _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
    acc = _mm_add_epi32(acc, _mm_madd_epi16(lo, _mm_loadu_si128(reinterpret_cast<const __m128i*>(steps))));
  }
  std::int32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

}  // namespace sp::kernels

#endif

#endif
