// The level distance's kernels in portable scalar code (see level_cells.h). Max(a, b) is
// a > b ? a : b, as the vector instructions take it, so that zeros keep the same sign.
#include "level_cells.h"

namespace sp::kernels {
namespace {

inline float Max(float a, float b) { return a > b ? a : b; }
inline float Min(float a, float b) { return a < b ? a : b; }

// The band sums added in band order.
inline float Total(const float* v, int n) {
  float t = 0.0f;
  for (int b = 0; b < n; ++b) t += v[b];
  return t;
}

}  // namespace

void LevelCellSumsScalar(const LevelCells& in, int from, int to, int step, bool hidden, float sums[3]) {
  const int nb = in.nband;
  float acc[kLevelMaxBands] = {}, vis[kLevelMaxBands] = {}, sal[kLevelMaxBands] = {};
  for (int k = from; k < to; k += step) {
    const long at = static_cast<long>(k) * nb;
    const float *c = in.blocks[k], *p = in.spectrum + at, *w = in.weight + at, *m = in.salient + at;
    for (int b = 0; b < nb; ++b) {
      const float x = Max(c[b] - in.gain, in.floor);
      if (!hidden) {
        acc[b] += Max(p[b] - x, in.excess * (x - p[b])) * w[b];
      } else {
        const float ref = Max(in.hide[b], p[b]);
        acc[b] += Max(Max(p[b] - x, in.excess * (x - ref)), 0.0f) * w[b];
        const bool shown = p[b] >= in.hide[b];
        vis[b] += shown ? w[b] : 0.0f;
        sal[b] += shown ? m[b] : 0.0f;
      }
    }
  }
  sums[0] = Total(acc, nb);
  sums[1] = Total(vis, nb);
  sums[2] = Total(sal, nb);
}

void LevelGainFirstScalar(const LevelCells& in, const float* above, int n, int step, float sums[2]) {
  const int nb = in.nband;
  float acc[kLevelMaxBands] = {}, cnt[kLevelMaxBands] = {};
  for (int k = 0; k < n; k += step) {
    const long at = static_cast<long>(k) * nb;
    const float *c = in.blocks[k], *p = in.spectrum + at, *m = in.salient + at;
    for (int b = 0; b < nb; ++b) {
      const float u = c[b] >= above[b] ? m[b] : 0.0f;
      acc[b] += u * (c[b] - p[b]);
      cnt[b] += u;
    }
  }
  sums[0] = Total(acc, nb);
  sums[1] = Total(cnt, nb);
}

void LevelGainSecondScalar(const LevelCells& in, const float* above, int n, float g0, float sums[2]) {
  const int nb = in.nband;
  float acc[kLevelMaxBands] = {};
  for (int k = 0; k < n; ++k) {
    const long at = static_cast<long>(k) * nb;
    const float *c = in.blocks[k], *p = in.spectrum + at, *m = in.salient + at;
    for (int b = 0; b < nb; ++b) {
      const float u = c[b] >= above[b] ? m[b] : 0.0f;
      acc[b] += u * Min(c[b] - p[b], g0);
    }
  }
  sums[0] = Total(acc, nb);
}

}  // namespace sp::kernels
