// The shape comparison's kernels with SSE2 (see shape_window.h): eight bands in two vectors.
#include "shape_window.h"

#if defined(SP_KERNELS_SSE2)
#include <emmintrin.h>

#include <algorithm>

namespace sp::kernels {
namespace {

// (v0 + v2) + (v1 + v3).
inline float Sum4(__m128 v) {
  const __m128 h = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

}  // namespace

ShapeWindow WindowShape8Sse2(int rows, int step, float depth, float minLevel, const ShapeRows& in) {
  ShapeWindow w;
  __m128 hi = _mm_set1_ps(-1.0e30f);
  for (int r = 0, k = in.newest; r < rows; ++r, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    hi = _mm_max_ps(hi, _mm_max_ps(_mm_loadu_ps(x), _mm_loadu_ps(x + 4)));
  }
  hi = _mm_max_ps(hi, _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(1, 0, 3, 2)));
  hi = _mm_max_ps(hi, _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(2, 3, 0, 1)));
  const float peak = _mm_cvtss_f32(hi);
  w.peak = peak;
  if (peak < minLevel) return w;
  const __m128 top = _mm_set1_ps(peak), low = _mm_set1_ps(-depth);
  __m128 col0 = _mm_setzero_ps(), col1 = col0, sq = col0, rowSq = col0;
  for (int r = 0, k = in.newest; r < rows; ++r, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    const __m128 v0 = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(x), top), low);
    const __m128 v1 = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(x + 4), top), low);
    col0 = _mm_add_ps(col0, v0);
    col1 = _mm_add_ps(col1, v1);
    sq = _mm_add_ps(sq, _mm_add_ps(_mm_mul_ps(v0, v0), _mm_mul_ps(v1, v1)));
    // The row's sum in every lane, squared.
    __m128 t = _mm_add_ps(v0, v1);
    t = _mm_add_ps(t, _mm_shuffle_ps(t, t, _MM_SHUFFLE(1, 0, 3, 2)));
    t = _mm_add_ps(t, _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 3, 0, 1)));
    rowSq = _mm_add_ss(rowSq, _mm_mul_ss(t, t));
  }
  const float cols = Sum4(_mm_add_ps(_mm_mul_ps(col0, col0), _mm_mul_ps(col1, col1)));
  const float all = Sum4(_mm_add_ps(col0, col1));
  const float R = static_cast<float>(rows);
  w.norm = std::max(0.0f, Sum4(sq) - _mm_cvtss_f32(rowSq) / 8.0f - cols / R + all * all / (R * 8.0f));
  w.live = true;
  return w;
}

float DotShape8Sse2(const float* centred, int rows, int step, float depth, float peak, const ShapeRows& in) {
  const __m128 top = _mm_set1_ps(peak), low = _mm_set1_ps(-depth);
  __m128 dot = _mm_setzero_ps();
  const float* c = centred;
  for (int r = 0, k = in.newest; r < rows; ++r, c += 8, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    const __m128 v0 = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(x), top), low);
    const __m128 v1 = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(x + 4), top), low);
    dot = _mm_add_ps(dot, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(c), v0), _mm_mul_ps(_mm_loadu_ps(c + 4), v1)));
  }
  return Sum4(dot);
}

}  // namespace sp::kernels

#endif
