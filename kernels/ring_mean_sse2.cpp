// The ring mean with SSE2 (see ring_mean.h): the bands four to a vector, eight at a time.
#include "ring_mean.h"

#if defined(SP_KERNELS_SSE2)
#include <emmintrin.h>

namespace sp::kernels {

void RingMeanSse2(const float* ring, int rows, int pos, int nband, float scale, float* out) {
  int b = 0;
  for (; b + 8 <= nband; b += 8) {
    __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
    for (int r = pos; r >= 0; --r) {
      lo = _mm_add_ps(lo, _mm_loadu_ps(ring + static_cast<long>(r) * nband + b));
      hi = _mm_add_ps(hi, _mm_loadu_ps(ring + static_cast<long>(r) * nband + b + 4));
    }
    for (int r = rows - 1; r > pos; --r) {
      lo = _mm_add_ps(lo, _mm_loadu_ps(ring + static_cast<long>(r) * nband + b));
      hi = _mm_add_ps(hi, _mm_loadu_ps(ring + static_cast<long>(r) * nband + b + 4));
    }
    _mm_storeu_ps(out + b, _mm_mul_ps(lo, _mm_set1_ps(scale)));
    _mm_storeu_ps(out + b + 4, _mm_mul_ps(hi, _mm_set1_ps(scale)));
  }
  for (; b + 4 <= nband; b += 4) {
    __m128 sum = _mm_setzero_ps();
    for (int r = pos; r >= 0; --r) sum = _mm_add_ps(sum, _mm_loadu_ps(ring + static_cast<long>(r) * nband + b));
    for (int r = rows - 1; r > pos; --r) sum = _mm_add_ps(sum, _mm_loadu_ps(ring + static_cast<long>(r) * nband + b));
    _mm_storeu_ps(out + b, _mm_mul_ps(sum, _mm_set1_ps(scale)));
  }
  for (; b < nband; ++b) out[b] = RingMeanOfBand(ring, rows, pos, nband, scale, b);
}

}  // namespace sp::kernels

#endif
