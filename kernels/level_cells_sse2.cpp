// The level distance's kernels with SSE2 (see level_cells.h): the eight bands of the standard
// geometry in two vectors, one lane per band sum; other band counts go to the scalar version.
#include "level_cells.h"

#if defined(SP_KERNELS_SSE2)
#include <emmintrin.h>

namespace sp::kernels {
namespace {

// The eight band sums added in band order.
inline float Total(__m128 lo, __m128 hi) {
  float v[8];
  _mm_storeu_ps(v, lo);
  _mm_storeu_ps(v + 4, hi);
  float t = 0.0f;
  for (float x : v) t += x;
  return t;
}

template <bool HIDDEN>
inline void Half(const float* c, const float* p, const float* w, const float* m, const float* hide, __m128 fl,
                 __m128 ex, __m128 g, __m128& acc, __m128& vis, __m128& sal) {
  const __m128 pv = _mm_loadu_ps(p), wv = _mm_loadu_ps(w);
  const __m128 x = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(c), g), fl);
  if (!HIDDEN) {
    const __m128 d = _mm_max_ps(_mm_sub_ps(pv, x), _mm_mul_ps(ex, _mm_sub_ps(x, pv)));
    acc = _mm_add_ps(acc, _mm_mul_ps(d, wv));
  } else {
    const __m128 hv = _mm_loadu_ps(hide);
    const __m128 ref = _mm_max_ps(hv, pv);
    const __m128 d = _mm_max_ps(_mm_max_ps(_mm_sub_ps(pv, x), _mm_mul_ps(ex, _mm_sub_ps(x, ref))), _mm_setzero_ps());
    acc = _mm_add_ps(acc, _mm_mul_ps(d, wv));
    const __m128 shown = _mm_cmpge_ps(pv, hv);
    vis = _mm_add_ps(vis, _mm_and_ps(shown, wv));
    sal = _mm_add_ps(sal, _mm_and_ps(shown, _mm_loadu_ps(m)));
  }
}

template <bool HIDDEN>
void CellSums8(const LevelCells& in, int from, int to, int step, float sums[3]) {
  const __m128 fl = _mm_set1_ps(in.floor), ex = _mm_set1_ps(in.excess), g = _mm_set1_ps(in.gain);
  __m128 acc0 = _mm_setzero_ps(), acc1 = acc0, vis0 = acc0, vis1 = acc0, sal0 = acc0, sal1 = acc0;
  for (int k = from; k < to; k += step) {
    const long at = static_cast<long>(k) * 8;
    const float *c = in.blocks[k], *p = in.spectrum + at, *w = in.weight + at, *m = in.salient + at;
    Half<HIDDEN>(c, p, w, m, in.hide, fl, ex, g, acc0, vis0, sal0);
    Half<HIDDEN>(c + 4, p + 4, w + 4, m + 4, in.hide + 4, fl, ex, g, acc1, vis1, sal1);
  }
  sums[0] = Total(acc0, acc1);
  sums[1] = Total(vis0, vis1);
  sums[2] = Total(sal0, sal1);
}

}  // namespace

void LevelCellSumsSse2(const LevelCells& in, int from, int to, int step, bool hidden, float sums[3]) {
  if (in.nband != 8) return LevelCellSumsScalar(in, from, to, step, hidden, sums);
  if (hidden) return CellSums8<true>(in, from, to, step, sums);
  CellSums8<false>(in, from, to, step, sums);
}

void LevelGainFirstSse2(const LevelCells& in, const float* above, int n, int step, float sums[2]) {
  if (in.nband != 8) return LevelGainFirstScalar(in, above, n, step, sums);
  const __m128 a0 = _mm_loadu_ps(above), a1 = _mm_loadu_ps(above + 4);
  __m128 acc0 = _mm_setzero_ps(), acc1 = acc0, cnt0 = acc0, cnt1 = acc0;
  for (int k = 0; k < n; k += step) {
    const long at = static_cast<long>(k) * 8;
    const float *c = in.blocks[k], *p = in.spectrum + at, *m = in.salient + at;
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4);
    const __m128 u0 = _mm_and_ps(_mm_cmpge_ps(c0, a0), _mm_loadu_ps(m));
    const __m128 u1 = _mm_and_ps(_mm_cmpge_ps(c1, a1), _mm_loadu_ps(m + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(u0, _mm_sub_ps(c0, _mm_loadu_ps(p))));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(u1, _mm_sub_ps(c1, _mm_loadu_ps(p + 4))));
    cnt0 = _mm_add_ps(cnt0, u0);
    cnt1 = _mm_add_ps(cnt1, u1);
  }
  sums[0] = Total(acc0, acc1);
  sums[1] = Total(cnt0, cnt1);
}

void LevelGainSecondSse2(const LevelCells& in, const float* above, int n, float g0, float sums[2]) {
  if (in.nband != 8) return LevelGainSecondScalar(in, above, n, g0, sums);
  const __m128 a0 = _mm_loadu_ps(above), a1 = _mm_loadu_ps(above + 4), gv = _mm_set1_ps(g0);
  __m128 acc0 = _mm_setzero_ps(), acc1 = acc0;
  for (int k = 0; k < n; ++k) {
    const long at = static_cast<long>(k) * 8;
    const float *c = in.blocks[k], *p = in.spectrum + at, *m = in.salient + at;
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4);
    const __m128 u0 = _mm_and_ps(_mm_cmpge_ps(c0, a0), _mm_loadu_ps(m));
    const __m128 u1 = _mm_and_ps(_mm_cmpge_ps(c1, a1), _mm_loadu_ps(m + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(u0, _mm_min_ps(_mm_sub_ps(c0, _mm_loadu_ps(p)), gv)));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(u1, _mm_min_ps(_mm_sub_ps(c1, _mm_loadu_ps(p + 4)), gv)));
  }
  sums[0] = Total(acc0, acc1);
}

}  // namespace sp::kernels

#endif
