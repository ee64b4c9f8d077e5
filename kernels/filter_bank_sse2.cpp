// The filter bank's kernels with SSE2 (see filter_bank.h): channels, or bands, four to a
// vector.
#include "filter_bank.h"

#if defined(SP_KERNELS_SSE2)
#include <emmintrin.h>

namespace sp::kernels {
namespace {

// The fold of channels 0 .. 4*kGroups - 1 (relative to base and win); the channel groups'
// sums run interleaved.
template <int kGroups>
inline void FoldChannels(const float* base, const float* win, int N, int Nseg, float* fold) {
  __m128 sum[kGroups];
  for (int g = 0; g < kGroups; ++g) sum[g] = _mm_setzero_ps();
  for (int m = 0; m < Nseg; ++m)
    for (int g = 0; g < kGroups; ++g)
      sum[g] = _mm_add_ps(sum[g], _mm_mul_ps(_mm_loadu_ps(base + m * N + 4 * g), _mm_loadu_ps(win + m * N + 4 * g)));
  for (int g = 0; g < kGroups; ++g) _mm_store_ps(fold + 4 * g, sum[g]);
}

// The DFT of one fold for band groups 0 .. kGroups - 1 (four bands each, relative to the
// tables and out). `fold` holds N values (N a multiple of 4 when kAligned).
template <int kGroups, bool kPower, bool kAligned>
inline void DftGroups(const float* fold, int N, const float* cosT, const float* sinT, int stride, float* out) {
  __m128 re[kGroups], im[kGroups];
  for (int g = 0; g < kGroups; ++g) re[g] = im[g] = _mm_setzero_ps();
  auto step = [&](__m128 v, int q) {
    for (int g = 0; g < kGroups; ++g) {
      re[g] = _mm_add_ps(re[g], _mm_mul_ps(v, _mm_load_ps(cosT + q * stride + 4 * g)));
      if (kPower) im[g] = _mm_add_ps(im[g], _mm_mul_ps(v, _mm_load_ps(sinT + q * stride + 4 * g)));
    }
  };
  if (kAligned) {
    for (int q = 0; q < N; q += 4) {
      const __m128 f4 = _mm_load_ps(fold + q);
      step(_mm_shuffle_ps(f4, f4, 0x00), q);
      step(_mm_shuffle_ps(f4, f4, 0x55), q + 1);
      step(_mm_shuffle_ps(f4, f4, 0xAA), q + 2);
      step(_mm_shuffle_ps(f4, f4, 0xFF), q + 3);
    }
  } else {
    for (int q = 0; q < N; ++q) step(_mm_set1_ps(fold[q]), q);
  }
  for (int g = 0; g < kGroups; ++g)
    _mm_store_ps(out + 4 * g, kPower ? _mm_add_ps(_mm_mul_ps(re[g], re[g]), _mm_mul_ps(im[g], im[g])) : re[g]);
}

template <bool kPower, bool kAligned>
void DftAllGroups(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nGroups,
                  float* out) {
  int g = 0;
  for (; g + 2 <= nGroups; g += 2)
    DftGroups<2, kPower, kAligned>(fold, N, cosT + 4 * g, sinT + 4 * g, stride, out + 4 * g);
  if (g < nGroups) DftGroups<1, kPower, kAligned>(fold, N, cosT + 4 * g, sinT + 4 * g, stride, out + 4 * g);
}

}  // namespace

void FoldSse2(const float* base, const float* win, int N, int Nseg, float* fold) {
  int k = 0;
  if (N == 16) {
    FoldChannels<4>(base, win, N, Nseg, fold);
    k = 16;
  } else if (N == 8) {
    FoldChannels<2>(base, win, N, Nseg, fold);
    k = 8;
  }
  for (; k + 4 <= N; k += 4) FoldChannels<1>(base + k, win + k, N, Nseg, fold + k);
  for (; k < N; ++k) {
    float sum = 0.0f;
    for (int m = 0; m < Nseg; ++m) sum = sum + base[m * N + k] * win[m * N + k];
    fold[k] = sum;
  }
}

void DftSse2(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nBands, bool power,
             float* bands) {
  const int nGroups = (nBands + 3) / 4;
  if (N % 4 == 0) {
    if (power) DftAllGroups<true, true>(fold, N, cosT, sinT, stride, nGroups, bands);
    else DftAllGroups<false, true>(fold, N, cosT, sinT, stride, nGroups, bands);
  } else {
    if (power) DftAllGroups<true, false>(fold, N, cosT, sinT, stride, nGroups, bands);
    else DftAllGroups<false, false>(fold, N, cosT, sinT, stride, nGroups, bands);
  }
}

// Two frames at a time: the frames are independent, so their sums interleave and the
// processor keeps both in flight.
void FramePairSse2(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                   float* fold0, float* fold1, float* bands0, float* bands1) {
  __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  const float* x0 = base;
  const float* x1 = base - 1;
  for (int m = 0; m < Nseg; ++m) {
    const float* w = win + 16 * m;
    const __m128 w0 = _mm_loadu_ps(w), w1 = _mm_loadu_ps(w + 4), w2 = _mm_loadu_ps(w + 8), w3 = _mm_loadu_ps(w + 12);
    a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m), w0));
    b0 = _mm_add_ps(b0, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m), w0));
    a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m + 4), w1));
    b1 = _mm_add_ps(b1, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m + 4), w1));
    a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m + 8), w2));
    b2 = _mm_add_ps(b2, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m + 8), w2));
    a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m + 12), w3));
    b3 = _mm_add_ps(b3, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m + 12), w3));
  }
  _mm_store_ps(fold0, a0);
  _mm_store_ps(fold0 + 4, a1);
  _mm_store_ps(fold0 + 8, a2);
  _mm_store_ps(fold0 + 12, a3);
  _mm_store_ps(fold1, b0);
  _mm_store_ps(fold1 + 4, b1);
  _mm_store_ps(fold1 + 8, b2);
  _mm_store_ps(fold1 + 12, b3);

  __m128 re0 = _mm_setzero_ps(), re1 = re0, im0 = re0, im1 = re0;  // frame fr, bands 0-3 and 4-7
  __m128 RE0 = re0, RE1 = re0, IM0 = re0, IM1 = re0;                // frame fr + 1
  auto step = [&](__m128 v, __m128 V, int q) {
    const __m128 c0 = _mm_load_ps(cosT + 8 * q), c1 = _mm_load_ps(cosT + 8 * q + 4);
    const __m128 s0 = _mm_load_ps(sinT + 8 * q), s1 = _mm_load_ps(sinT + 8 * q + 4);
    re0 = _mm_add_ps(re0, _mm_mul_ps(v, c0));
    RE0 = _mm_add_ps(RE0, _mm_mul_ps(V, c0));
    re1 = _mm_add_ps(re1, _mm_mul_ps(v, c1));
    RE1 = _mm_add_ps(RE1, _mm_mul_ps(V, c1));
    im0 = _mm_add_ps(im0, _mm_mul_ps(v, s0));
    IM0 = _mm_add_ps(IM0, _mm_mul_ps(V, s0));
    im1 = _mm_add_ps(im1, _mm_mul_ps(v, s1));
    IM1 = _mm_add_ps(IM1, _mm_mul_ps(V, s1));
  };
#pragma GCC unroll 1
  for (int q = 0; q < 16; q += 4) {
    const __m128 f = _mm_load_ps(fold0 + q), F = _mm_load_ps(fold1 + q);
    step(_mm_shuffle_ps(f, f, 0x00), _mm_shuffle_ps(F, F, 0x00), q);
    step(_mm_shuffle_ps(f, f, 0x55), _mm_shuffle_ps(F, F, 0x55), q + 1);
    step(_mm_shuffle_ps(f, f, 0xAA), _mm_shuffle_ps(F, F, 0xAA), q + 2);
    step(_mm_shuffle_ps(f, f, 0xFF), _mm_shuffle_ps(F, F, 0xFF), q + 3);
  }
  _mm_storeu_ps(bands0, _mm_add_ps(_mm_mul_ps(re0, re0), _mm_mul_ps(im0, im0)));
  _mm_storeu_ps(bands0 + 4, _mm_add_ps(_mm_mul_ps(re1, re1), _mm_mul_ps(im1, im1)));
  _mm_storeu_ps(bands1, _mm_add_ps(_mm_mul_ps(RE0, RE0), _mm_mul_ps(IM0, IM0)));
  _mm_storeu_ps(bands1 + 4, _mm_add_ps(_mm_mul_ps(RE1, RE1), _mm_mul_ps(IM1, IM1)));
}

}  // namespace sp::kernels

#endif
