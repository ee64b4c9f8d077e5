// The filter bank's kernels with AVX2, chosen at run time (see filter_bank.h): eight
// channels, or the eight bands, to a vector.
#include "filter_bank.h"

#if defined(SP_KERNELS_AVX2)
#include <immintrin.h>

namespace sp::kernels {

// FramePairSse2 with eight lanes: channels 0-7 and 8-15 of the fold, bands 0-7 of the DFT.
// The same sums in the same order; plain multiplications and additions, no fused ones.
__attribute__((target("avx2"))) void FramePairAvx2(const float* base, const float* win, int Nseg, const float* cosT,
                                                   const float* sinT, float* fold0, float* fold1, float* bands0,
                                                   float* bands1) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, b0 = a0, b1 = a0;
  const float* x0 = base;
  const float* x1 = base - 1;
  for (int m = 0; m < Nseg; ++m) {
    const __m256 w0 = _mm256_loadu_ps(win + 16 * m), w1 = _mm256_loadu_ps(win + 16 * m + 8);
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_loadu_ps(x0 + 16 * m), w0));
    b0 = _mm256_add_ps(b0, _mm256_mul_ps(_mm256_loadu_ps(x1 + 16 * m), w0));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_loadu_ps(x0 + 16 * m + 8), w1));
    b1 = _mm256_add_ps(b1, _mm256_mul_ps(_mm256_loadu_ps(x1 + 16 * m + 8), w1));
  }
  _mm256_storeu_ps(fold0, a0);
  _mm256_storeu_ps(fold0 + 8, a1);
  _mm256_storeu_ps(fold1, b0);
  _mm256_storeu_ps(fold1 + 8, b1);

  __m256 re = _mm256_setzero_ps(), im = re, RE = re, IM = re;
  // Kept as a loop: fully unrolled, the compiler hoists every load and spills them.
#pragma GCC unroll 2
  for (int q = 0; q < 16; ++q) {
    const __m256 c = _mm256_loadu_ps(cosT + 8 * q), s = _mm256_loadu_ps(sinT + 8 * q);
    const __m256 v = _mm256_broadcast_ss(fold0 + q), V = _mm256_broadcast_ss(fold1 + q);
    re = _mm256_add_ps(re, _mm256_mul_ps(v, c));
    RE = _mm256_add_ps(RE, _mm256_mul_ps(V, c));
    im = _mm256_add_ps(im, _mm256_mul_ps(v, s));
    IM = _mm256_add_ps(IM, _mm256_mul_ps(V, s));
  }
  _mm256_storeu_ps(bands0, _mm256_add_ps(_mm256_mul_ps(re, re), _mm256_mul_ps(im, im)));
  _mm256_storeu_ps(bands1, _mm256_add_ps(_mm256_mul_ps(RE, RE), _mm256_mul_ps(IM, IM)));
}

// Four frames at a time (fr .. fr + 3; frame fr + i reads i before `base`): twice the sums in
// flight of FramePairAvx2, so that their chains of additions overlap. Writes 8 bands per
// frame to out[0 .. 3] and leaves the last frame's fold in lastFold.
__attribute__((target("avx2"))) void FrameQuadAvx2(const float* base, const float* win, int Nseg, const float* cosT,
                                                   const float* sinT, float* const* out, float* lastFold) {
  alignas(32) float fold[4][16];
  {
    __m256 a[4][2];
    for (int i = 0; i < 4; ++i) a[i][0] = a[i][1] = _mm256_setzero_ps();
    for (int m = 0; m < Nseg; ++m) {
      const __m256 w0 = _mm256_loadu_ps(win + 16 * m), w1 = _mm256_loadu_ps(win + 16 * m + 8);
      for (int i = 0; i < 4; ++i) {
        a[i][0] = _mm256_add_ps(a[i][0], _mm256_mul_ps(_mm256_loadu_ps(base - i + 16 * m), w0));
        a[i][1] = _mm256_add_ps(a[i][1], _mm256_mul_ps(_mm256_loadu_ps(base - i + 16 * m + 8), w1));
      }
    }
    for (int i = 0; i < 4; ++i) {
      _mm256_store_ps(fold[i], a[i][0]);
      _mm256_store_ps(fold[i] + 8, a[i][1]);
    }
  }
  __m256 re[4], im[4];
  for (int i = 0; i < 4; ++i) re[i] = im[i] = _mm256_setzero_ps();
#pragma GCC unroll 2
  for (int q = 0; q < 16; ++q) {
    const __m256 c = _mm256_loadu_ps(cosT + 8 * q), s = _mm256_loadu_ps(sinT + 8 * q);
    for (int i = 0; i < 4; ++i) {
      const __m256 v = _mm256_broadcast_ss(&fold[i][q]);
      re[i] = _mm256_add_ps(re[i], _mm256_mul_ps(v, c));
      im[i] = _mm256_add_ps(im[i], _mm256_mul_ps(v, s));
    }
  }
  for (int i = 0; i < 4; ++i)
    _mm256_storeu_ps(out[i], _mm256_add_ps(_mm256_mul_ps(re[i], re[i]), _mm256_mul_ps(im[i], im[i])));
  for (int k = 0; k < 16; ++k) lastFold[k] = fold[3][k];
}

}  // namespace sp::kernels

#endif
