// The coarse pass's sums over speeds with AVX2, chosen at run time (see speed_sums.h): eight
// speeds at a time, their (num, norm) pairs gathered four to a vector, each lane adding its own
// speed's pieces in order.
#include "speed_sums.h"

#if defined(SP_KERNELS_AVX2)
#include <immintrin.h>

#define SP_AVX2 __attribute__((target("avx2")))

namespace sp::kernels {
namespace {

// The four ring slots slot + s, wrapped into [0, span).
SP_AVX2 inline __m128i Wrap(__m128i s, __m128i slot, __m128i span) {
  __m128i at = _mm_add_epi32(s, slot);
  at = _mm_add_epi32(at, _mm_and_si128(_mm_cmplt_epi32(at, _mm_setzero_si128()), span));
  return _mm_sub_epi32(at, _mm_andnot_si128(_mm_cmplt_epi32(at, span), span));
}

}  // namespace

SP_AVX2 void SpeedSumsAvx2(const float* values, const int* shifts, int pieces, int span, int padded, int slot,
                           float* num, float* norm) {
  const __m128i sl = _mm_set1_epi32(slot), sp = _mm_set1_epi32(span);
  // (the masked form, every element taken: the plain one leaves its source undefined)
  const __m256d none = _mm256_setzero_pd(), all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  for (int k = 0; k < padded; k += kSpeedGroup) {
    // Lanes: num and norm of speeds k .. k + 3 (a), k + 4 .. k + 7 (b).
    __m256 a = _mm256_setzero_ps(), b = a;
    for (int j = 0; j < pieces; ++j) {
      const auto* h = reinterpret_cast<const double*>(values + 2L * j * span);
      const int* s = shifts + static_cast<long>(j) * padded + k;
      const __m128i i0 = Wrap(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), sl, sp);
      const __m128i i1 = Wrap(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4)), sl, sp);
      // Each pair is moved as one 64-bit element; its bits are not read as a double.
      a = _mm256_add_ps(a, _mm256_castpd_ps(_mm256_mask_i32gather_pd(none, h, i0, all, 8)));
      b = _mm256_add_ps(b, _mm256_castpd_ps(_mm256_mask_i32gather_pd(none, h, i1, all, 8)));
    }
    alignas(32) float pa[8], pb[8];
    _mm256_store_ps(pa, a);
    _mm256_store_ps(pb, b);
    for (int i = 0; i < 4; ++i) {
      num[k + i] = pa[2 * i];
      norm[k + i] = pa[2 * i + 1];
      num[k + 4 + i] = pb[2 * i];
      norm[k + 4 + i] = pb[2 * i + 1];
    }
  }
}

}  // namespace sp::kernels

#endif
