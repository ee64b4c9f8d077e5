// Kernels of the detector's shape comparison (detector/shape_match.cpp): the correlation sums
// of one piece of a pattern (double-centred levels) against rows of input levels. The input is
// floored `depth` dB under its own peak over the rows compared (as the pattern's piece was), and
// its sum of squares once double-centred is formed from the row, band and total sums. That
// input side depends on the window alone, so a caller comparing many patterns at one window
// forms it once. See simd.h for the versions.
//
// The order of the sums: eight bands (the standard geometry) are summed the way four vector
// lanes take them (band b and b + 4 in one lane, the lanes folded pairwise), on every processor;
// the *8Scalar functions are that order in portable code and the twins of the SSE2 ones. Other
// band counts are summed band by band. There is no AVX2 version: the sums fold the two halves
// of the eight bands together at every row, so a vector of eight would do the same work.
#ifndef SP_KERNELS_SHAPE_WINDOW_H
#define SP_KERNELS_SHAPE_WINDOW_H

#include <cstddef>

#include "simd.h"

namespace sp::kernels {

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

// Any band count up to kMaxBands, band by band.
ShapeWindow WindowShapeScalar(int rows, int step, int bands, float depth, float minLevel, const ShapeRows& in);
float DotShapeScalar(const float* centred, int rows, int step, int bands, float depth, float peak,
                     const ShapeRows& in);
// Eight bands in the lanes' order.
ShapeWindow WindowShape8Scalar(int rows, int step, float depth, float minLevel, const ShapeRows& in);
float DotShape8Scalar(const float* centred, int rows, int step, float depth, float peak, const ShapeRows& in);
#if defined(SP_KERNELS_SSE2)
ShapeWindow WindowShape8Sse2(int rows, int step, float depth, float minLevel, const ShapeRows& in);
float DotShape8Sse2(const float* centred, int rows, int step, float depth, float peak, const ShapeRows& in);
#endif

inline ShapeWindow WindowShape(int rows, int step, int bands, float depth, float minLevel, const ShapeRows& in) {
  if (bands != 8) return WindowShapeScalar(rows, step, bands, depth, minLevel, in);
#if defined(SP_KERNELS_SSE2)
  return WindowShape8Sse2(rows, step, depth, minLevel, in);
#else
  return WindowShape8Scalar(rows, step, depth, minLevel, in);
#endif
}

// The pattern side: the sum of the products of its double-centred values with the window's
// floored levels (the window's own means need not be removed: the pattern's are zero).
inline float DotShape(const float* centred, int rows, int step, int bands, float depth, const ShapeWindow& w,
                      const ShapeRows& in) {
  if (bands != 8) return DotShapeScalar(centred, rows, step, bands, depth, w.peak, in);
#if defined(SP_KERNELS_SSE2)
  return DotShape8Sse2(centred, rows, step, depth, w.peak, in);
#else
  return DotShape8Scalar(centred, rows, step, depth, w.peak, in);
#endif
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

// The index of the row before row k (wrapping).
inline int PreviousRow(int k, int step, int capacity) { return k - step < 0 ? k - step + capacity : k - step; }

}  // namespace sp::kernels

#endif
