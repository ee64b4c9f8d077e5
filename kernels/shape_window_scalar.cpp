// The shape comparison's kernels in portable scalar code (see shape_window.h): any band count
// band by band, and eight bands in the order of four vector lanes. Max(a, b) is a > b ? a : b,
// as the vector instructions take it.
#include <algorithm>

#include "shape_window.h"

namespace sp::kernels {
namespace {

inline float Max(float a, float b) { return a > b ? a : b; }

// The four lanes added as the vector code does: (v0 + v2) + (v1 + v3).
inline float Sum4(const float* v) { return (v[0] + v[2]) + (v[1] + v[3]); }

}  // namespace

ShapeWindow WindowShapeScalar(int rows, int step, int bands, float depth, float minLevel, const ShapeRows& in) {
  ShapeWindow w;
  float peak = -1.0e30f;
  for (int r = 0, k = in.newest; r < rows; ++r, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    for (int b = 0; b < bands; ++b) peak = std::max(peak, x[b]);
  }
  w.peak = peak;
  if (peak < minLevel) return w;
  float col[kMaxBands] = {}, sq[kMaxBands] = {};
  float rowSquares = 0.0f;
  for (int r = 0, k = in.newest; r < rows; ++r, k = PreviousRow(k, step, in.capacity)) {
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

float DotShapeScalar(const float* centred, int rows, int step, int bands, float depth, float peak,
                     const ShapeRows& in) {
  float dot[kMaxBands] = {};
  const float* c = centred;
  for (int r = 0, k = in.newest; r < rows; ++r, c += bands, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    for (int b = 0; b < bands; ++b) dot[b] += c[b] * std::max(x[b] - peak, -depth);
  }
  float d = 0.0f;
  for (int b = 0; b < bands; ++b) d += dot[b];
  return d;
}

ShapeWindow WindowShape8Scalar(int rows, int step, float depth, float minLevel, const ShapeRows& in) {
  ShapeWindow w;
  float hi[4] = {-1.0e30f, -1.0e30f, -1.0e30f, -1.0e30f};
  for (int r = 0, k = in.newest; r < rows; ++r, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    for (int j = 0; j < 4; ++j) hi[j] = Max(hi[j], Max(x[j], x[j + 4]));
  }
  const float peak = Max(Max(hi[0], hi[2]), Max(hi[1], hi[3]));
  w.peak = peak;
  if (peak < minLevel) return w;
  float col[8] = {}, sq[4] = {}, rowSq = 0.0f;
  for (int r = 0, k = in.newest; r < rows; ++r, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    float v[8], t[4];
    for (int b = 0; b < 8; ++b) {
      v[b] = Max(x[b] - peak, -depth);
      col[b] += v[b];
    }
    for (int j = 0; j < 4; ++j) {
      sq[j] += v[j] * v[j] + v[j + 4] * v[j + 4];
      t[j] = v[j] + v[j + 4];
    }
    const float rowSum = (t[0] + t[2]) + (t[1] + t[3]);
    rowSq += rowSum * rowSum;
  }
  float squares[4], sums[4];
  for (int j = 0; j < 4; ++j) {
    squares[j] = col[j] * col[j] + col[j + 4] * col[j + 4];
    sums[j] = col[j] + col[j + 4];
  }
  const float cols = Sum4(squares), all = Sum4(sums);
  const float R = static_cast<float>(rows);
  w.norm = std::max(0.0f, Sum4(sq) - rowSq / 8.0f - cols / R + all * all / (R * 8.0f));
  w.live = true;
  return w;
}

float DotShape8Scalar(const float* centred, int rows, int step, float depth, float peak, const ShapeRows& in) {
  float dot[4] = {};
  const float* c = centred;
  for (int r = 0, k = in.newest; r < rows; ++r, c += 8, k = PreviousRow(k, step, in.capacity)) {
    const float* x = in.data + static_cast<std::size_t>(k) * in.width;
    for (int j = 0; j < 4; ++j) dot[j] += c[j] * Max(x[j] - peak, -depth) + c[j + 4] * Max(x[j + 4] - peak, -depth);
  }
  return Sum4(dot);
}

}  // namespace sp::kernels
