// The per-cell work of the shape comparison: the correlation sums of one piece of a pattern
// (double-centred levels) against rows of input levels. The input is floored `depth` dB under
// its own peak over the rows compared (as the pattern's piece was), and its sum of squares once
// double-centred is formed from the row, band and total sums. That input side depends on the
// window alone, so a caller comparing many patterns at one window forms it once.
//
// A scalar kernel serves any band count; the SSE2 kernel does eight bands in two registers.
// They add in different orders, so their results may differ in the last bits; every build on
// one processor family uses the same kernel, so results repeat.
#ifndef SP_DETECTOR_SHAPE_KERNEL_H
#define SP_DETECTOR_SHAPE_KERNEL_H

#include <algorithm>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace spdet {

constexpr int kMaxBands = 64;

// Rows of input levels in a ring: row r (counted back from `newest`) is at index
// newest - r*step, wrapped into [0, capacity), `width` floats apart.
struct ShapeRows {
  const float* data;
  int newest;
  int capacity;
  int width;
};

// The input side of a comparison, the same for every pattern compared at that window: the
// window's peak and its sum of squares once floored and double-centred. `live` is false when
// the peak is under minLevel (nothing to compare).
struct ShapeWindow {
  float peak = 0.0f, norm = 0.0f;
  bool live = false;
};

// Scalar twins: any band count up to kMaxBands.
inline ShapeWindow WindowShapeScalar(int rows, int step, int bands, float depth, float minLevel, const ShapeRows& in) {
  ShapeWindow w;
  float peak = -1.0e30f;
  for (int r = 0, k = in.newest; r < rows; ++r, k = k - step < 0 ? k - step + in.capacity : k - step) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    for (int b = 0; b < bands; ++b) peak = std::max(peak, x[b]);
  }
  w.peak = peak;
  if (peak < minLevel) return w;
  float col[kMaxBands] = {}, sq[kMaxBands] = {};
  float rowSquares = 0.0f;
  for (int r = 0, k = in.newest; r < rows; ++r, k = k - step < 0 ? k - step + in.capacity : k - step) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    float rowSum = 0.0f;
    for (int b = 0; b < bands; ++b) {
      const float v = std::max(x[b] - peak, -depth);
      col[b] += v;
      sq[b] += v * v;
      rowSum += v;
    }
    rowSquares += rowSum * rowSum;
  }
  float s = 0.0f, cols = 0.0f, all = 0.0f;
  for (int b = 0; b < bands; ++b) {
    s += sq[b];
    cols += col[b] * col[b];
    all += col[b];
  }
  const float R = static_cast<float>(rows), B = static_cast<float>(bands);
  w.norm = std::max(0.0f, s - rowSquares / B - cols / R + all * all / (R * B));
  w.live = true;
  return w;
}

inline float DotShapeScalar(const float* centred, int rows, int step, int bands, float depth, float peak,
                            const ShapeRows& in) {
  float dot[kMaxBands] = {};
  const float* c = centred;
  for (int r = 0, k = in.newest; r < rows; ++r, c += bands, k = k - step < 0 ? k - step + in.capacity : k - step) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    for (int b = 0; b < bands; ++b) dot[b] += c[b] * std::max(x[b] - peak, -depth);
  }
  float d = 0.0f;
  for (int b = 0; b < bands; ++b) d += dot[b];
  return d;
}

#if defined(__SSE2__)
inline float Sum4(__m128 v) {
  const __m128 h = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

// Eight bands.
inline ShapeWindow WindowShape8(int rows, int step, float depth, float minLevel, const ShapeRows& in) {
  ShapeWindow w;
  __m128 hi = _mm_set1_ps(-1.0e30f);
  for (int r = 0, k = in.newest; r < rows; ++r, k = k - step < 0 ? k - step + in.capacity : k - step) {
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
  for (int r = 0, k = in.newest; r < rows; ++r, k = k - step < 0 ? k - step + in.capacity : k - step) {
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

inline float DotShape8(const float* centred, int rows, int step, float depth, float peak, const ShapeRows& in) {
  const __m128 top = _mm_set1_ps(peak), low = _mm_set1_ps(-depth);
  __m128 dot = _mm_setzero_ps();
  const float* c = centred;
  for (int r = 0, k = in.newest; r < rows; ++r, c += 8, k = k - step < 0 ? k - step + in.capacity : k - step) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    const __m128 v0 = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(x), top), low);
    const __m128 v1 = _mm_max_ps(_mm_sub_ps(_mm_loadu_ps(x + 4), top), low);
    dot = _mm_add_ps(dot, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(c), v0), _mm_mul_ps(_mm_loadu_ps(c + 4), v1)));
  }
  return Sum4(dot);
}
#endif

inline ShapeWindow WindowShape(int rows, int step, int bands, float depth, float minLevel, const ShapeRows& in) {
#if defined(__SSE2__)
  if (bands == 8) return WindowShape8(rows, step, depth, minLevel, in);
#endif
  return WindowShapeScalar(rows, step, bands, depth, minLevel, in);
}

// The pattern side: the sum of the products of its double-centred values with the window's
// floored levels (the window's own means need not be removed: the pattern's are zero).
inline float DotShape(const float* centred, int rows, int step, int bands, float depth, const ShapeWindow& w,
                      const ShapeRows& in) {
#if defined(__SSE2__)
  if (bands == 8) return DotShape8(centred, rows, step, depth, w.peak, in);
#endif
  return DotShapeScalar(centred, rows, step, bands, depth, w.peak, in);
}

// Both sides at once: the correlation's numerator and the window's sum of squares.
inline void CompareShape(const float* centred, int rows, int step, int bands, float depth, float minLevel,
                         const ShapeRows& in, float& num, float& norm) {
  num = norm = 0.0f;
  const ShapeWindow w = WindowShape(rows, step, bands, depth, minLevel, in);
  if (!w.live) return;
  num = DotShape(centred, rows, step, bands, depth, w, in);
  norm = w.norm;
}

}  // namespace spdet

#endif
