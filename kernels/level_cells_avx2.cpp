// The level distance's kernels with AVX2, chosen at run time (see level_cells.h): the eight
// bands in one vector, one lane per band sum; other band counts go to the scalar version.
#include "level_cells.h"

#if defined(SP_KERNELS_AVX2)
#include <immintrin.h>

#define SP_AVX2 __attribute__((target("avx2")))

namespace sp::kernels {
namespace {

// The eight band sums added in band order.
SP_AVX2 inline float Total(__m256 v) {
  float a[8];
  _mm256_storeu_ps(a, v);
  float t = 0.0f;
  for (float x : a) t += x;
  return t;
}

template <bool HIDDEN>
SP_AVX2 void CellSums8(const LevelCells& in, int from, int to, int step, float sums[3]) {
  const __m256 fl = _mm256_set1_ps(in.floor), ex = _mm256_set1_ps(in.excess), g = _mm256_set1_ps(in.gain);
  const __m256 hv = _mm256_loadu_ps(in.hide), zero = _mm256_setzero_ps();
  __m256 acc = zero, vis = zero, sal = zero;
  for (int k = from; k < to; k += step) {
    const long at = static_cast<long>(k) * 8;
    const __m256 pv = _mm256_loadu_ps(in.spectrum + at), wv = _mm256_loadu_ps(in.weight + at);
    const __m256 x = _mm256_max_ps(_mm256_sub_ps(_mm256_loadu_ps(in.blocks[k]), g), fl);
    if (!HIDDEN) {
      const __m256 d = _mm256_max_ps(_mm256_sub_ps(pv, x), _mm256_mul_ps(ex, _mm256_sub_ps(x, pv)));
      acc = _mm256_add_ps(acc, _mm256_mul_ps(d, wv));
    } else {
      const __m256 ref = _mm256_max_ps(hv, pv);
      const __m256 d = _mm256_max_ps(_mm256_max_ps(_mm256_sub_ps(pv, x), _mm256_mul_ps(ex, _mm256_sub_ps(x, ref))), zero);
      acc = _mm256_add_ps(acc, _mm256_mul_ps(d, wv));
      const __m256 shown = _mm256_cmp_ps(pv, hv, _CMP_GE_OS);
      vis = _mm256_add_ps(vis, _mm256_and_ps(shown, wv));
      sal = _mm256_add_ps(sal, _mm256_and_ps(shown, _mm256_loadu_ps(in.salient + at)));
    }
  }
  sums[0] = Total(acc);
  sums[1] = Total(vis);
  sums[2] = Total(sal);
}

}  // namespace

SP_AVX2 void LevelCellSumsAvx2(const LevelCells& in, int from, int to, int step, bool hidden, float sums[3]) {
  if (in.nband != 8) return LevelCellSumsScalar(in, from, to, step, hidden, sums);
  if (hidden) return CellSums8<true>(in, from, to, step, sums);
  CellSums8<false>(in, from, to, step, sums);
}

SP_AVX2 void LevelGainFirstAvx2(const LevelCells& in, const float* above, int n, int step, float sums[2]) {
  if (in.nband != 8) return LevelGainFirstScalar(in, above, n, step, sums);
  const __m256 a = _mm256_loadu_ps(above);
  __m256 acc = _mm256_setzero_ps(), cnt = acc;
  for (int k = 0; k < n; k += step) {
    const long at = static_cast<long>(k) * 8;
    const __m256 c = _mm256_loadu_ps(in.blocks[k]);
    const __m256 u = _mm256_and_ps(_mm256_cmp_ps(c, a, _CMP_GE_OS), _mm256_loadu_ps(in.salient + at));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(u, _mm256_sub_ps(c, _mm256_loadu_ps(in.spectrum + at))));
    cnt = _mm256_add_ps(cnt, u);
  }
  sums[0] = Total(acc);
  sums[1] = Total(cnt);
}

SP_AVX2 void LevelGainSecondAvx2(const LevelCells& in, const float* above, int n, float g0, float sums[2]) {
  if (in.nband != 8) return LevelGainSecondScalar(in, above, n, g0, sums);
  const __m256 a = _mm256_loadu_ps(above), gv = _mm256_set1_ps(g0);
  __m256 acc = _mm256_setzero_ps();
  for (int k = 0; k < n; ++k) {
    const long at = static_cast<long>(k) * 8;
    const __m256 c = _mm256_loadu_ps(in.blocks[k]);
    const __m256 u = _mm256_and_ps(_mm256_cmp_ps(c, a, _CMP_GE_OS), _mm256_loadu_ps(in.salient + at));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(u, _mm256_min_ps(_mm256_sub_ps(c, _mm256_loadu_ps(in.spectrum + at)), gv)));
  }
  sums[0] = Total(acc);
}

}  // namespace sp::kernels

#undef SP_AVX2
#endif
