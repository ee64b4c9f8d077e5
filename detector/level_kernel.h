// The per-cell work of the level distance (PatternDetector's own distance): the weighted level
// differences of one pattern against the aligned input blocks, the gain estimate that brings
// the input to the pattern's level, and the coarse pass over every CoarseStep-th block.
// How the distance is formed: docs/detector.md.
//
// Each kernel comes as a scalar twin serving any band count and an SSE2 one keeping the eight
// bands of the standard geometry in two registers. Each band's sum is accumulated in block order
// and the bands are added in band order, so both give the same values for eight bands.
#ifndef SP_DETECTOR_LEVEL_KERNEL_H
#define SP_DETECTOR_LEVEL_KERNEL_H

#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "PatternDetector.h"

namespace spdet {

constexpr float kNotEvaluated = 1.0e9f;  // a distance not compared

// A power as a level in dB, floored at 1e-12 (-120 dB).
inline float LevelDb(float power) { return 10.0f * std::log10(power > 1.0e-12f ? power : 1.0e-12f); }

struct ScalarCells {
  int nb;
  float floor, excess, gain;
  const float* hide;
  float acc = 0.0f, vis = 0.0f, sal = 0.0f;
  ScalarCells(int n, float fl, float ex, float g, const float* h) : nb(n), floor(fl), excess(ex), gain(g), hide(h) {}
  void Clear() { acc = vis = sal = 0.0f; }
  template <bool HIDE>
  void Block(const float* c, const float* p, const float* w, const float* m) {
    for (int b = 0; b < nb; ++b) {
      float x = c[b] - gain;
      x = x < floor ? floor : x;
      if (!HIDE) {
        const float e = x - p[b];
        const float d = -e > excess * e ? -e : excess * e;
        acc += d * w[b];
      } else {
        const float ref = p[b] > hide[b] ? p[b] : hide[b];
        const float miss = p[b] - x;
        const float more = excess * (x - ref);
        float d = miss > more ? miss : more;
        d = d > 0.0f ? d : 0.0f;
        acc += d * w[b];
        vis += p[b] >= hide[b] ? w[b] : 0.0f;
        sal += p[b] >= hide[b] ? m[b] : 0.0f;
      }
    }
  }
  void Sums(float* qs, float* qv, float* qsal) const {
    *qs = acc;
    *qv = vis;
    *qsal = sal;
  }
};

#if defined(__SSE2__)
struct SseCells8 {
  __m128 floor, excess, gain, hide0, hide1, zero;
  __m128 acc0, acc1, vis0, vis1, sal0, sal1;
  SseCells8(int, float fl, float ex, float g, const float* h)
      : floor(_mm_set1_ps(fl)), excess(_mm_set1_ps(ex)), gain(_mm_set1_ps(g)), hide0(_mm_loadu_ps(h)),
        hide1(_mm_loadu_ps(h + 4)), zero(_mm_setzero_ps()) {
    Clear();
  }
  void Clear() { acc0 = acc1 = vis0 = vis1 = sal0 = sal1 = _mm_setzero_ps(); }
  template <bool HIDE>
  static inline void Half(__m128 c, __m128 p, __m128 w, __m128 m, __m128 hide, __m128 fl, __m128 ex, __m128 g,
                          __m128 zero, __m128& acc, __m128& vis, __m128& sal) {
    const __m128 x = _mm_max_ps(_mm_sub_ps(c, g), fl);
    if (!HIDE) {
      const __m128 d = _mm_max_ps(_mm_sub_ps(p, x), _mm_mul_ps(ex, _mm_sub_ps(x, p)));
      acc = _mm_add_ps(acc, _mm_mul_ps(d, w));
    } else {
      const __m128 ref = _mm_max_ps(hide, p);
      const __m128 d = _mm_max_ps(_mm_max_ps(_mm_sub_ps(p, x), _mm_mul_ps(ex, _mm_sub_ps(x, ref))), zero);
      acc = _mm_add_ps(acc, _mm_mul_ps(d, w));
      const __m128 shown = _mm_cmpge_ps(p, hide);
      vis = _mm_add_ps(vis, _mm_and_ps(shown, w));
      sal = _mm_add_ps(sal, _mm_and_ps(shown, m));
    }
  }
  template <bool HIDE>
  void Block(const float* c, const float* p, const float* w, const float* m) {
    Half<HIDE>(_mm_loadu_ps(c), _mm_loadu_ps(p), _mm_loadu_ps(w), HIDE ? _mm_loadu_ps(m) : zero, hide0, floor, excess,
               gain, zero, acc0, vis0, sal0);
    Half<HIDE>(_mm_loadu_ps(c + 4), _mm_loadu_ps(p + 4), _mm_loadu_ps(w + 4), HIDE ? _mm_loadu_ps(m + 4) : zero, hide1,
               floor, excess, gain, zero, acc1, vis1, sal1);
  }
  static float Total(__m128 a, __m128 b) {
    float v[8];
    _mm_storeu_ps(v, a);
    _mm_storeu_ps(v + 4, b);
    float t = 0.0f;
    for (int i = 0; i < 8; ++i) t += v[i];
    return t;
  }
  void Sums(float* qs, float* qv, float* qsal) const {
    *qs = Total(acc0, acc1);
    *qv = Total(vis0, vis1);
    *qsal = Total(sal0, sal1);
  }
};
#endif

// Distance of an input segment from pattern P once `gain` (dB) is taken off the input.
// blocks[k] points at the Nband levels of the input block aligned with the pattern's block k
// (k = 0 newest). STEP > 1 compares every STEP-th block only (the coarse pass). hide[b] is the
// level (in the pattern's terms) up to which the background covers band b: a pattern cell under
// it is not compared, and only input above it counts as excess there. Once the sum passes
// `limit` (a distance) the remaining quarters are skipped and a value >= limit is returned.
// verify receives the distance of the worst quarter of the pattern's span. When less than
// minVisible of the pattern's salient cells stay above the background, nothing is compared.
template <class Cells, int STEP, bool HIDE>
inline float DistanceOf(const DetectorPattern& P, int nband, const float* const* blocks, float gain, float excess,
                        const float* hide, float minVisible, float limit, float* verify) {
  const float totalWeight = STEP == 1 ? P.TotalWeight : P.CoarseTotalWeight;
  const float salientCount = STEP == 1 ? P.SalientCount : P.CoarseSalientCount;
  const float* qw = STEP == 1 ? P.QuarterWeight : P.CoarseQuarterWeight;
  // STEP 1: every block; 2, 4 or 8: the blocks of the coarse pass (multiples of STEP).
  if (totalWeight <= 0.0f) return kNotEvaluated;
  const float stop = limit * totalWeight;
  float total = 0.0f, visible = 0.0f, visibleSalient = 0.0f, worst = 0.0f;
  Cells cells(nband, P.Floor_dB, excess, gain, hide);
  const float* const spectrum = P.LogSpectrum.data();
  const float* const weight = P.Weight.data();
  const float* const salient = P.Salient.data();
  int k = 0;
  for (int q = 0; q < 4; ++q) {
    cells.Clear();
    const int end = P.QuarterEnd[q];
    for (; k < end; k += STEP) {
      const long at = static_cast<long>(k) * nband;
      cells.template Block<HIDE>(blocks[k], spectrum + at, weight + at, salient + at);
    }
    float qs, qv, qsal;
    cells.Sums(&qs, &qv, &qsal);
    if (!HIDE) qv = qw[q];
    total += qs;
    visible += qv;
    visibleSalient += qsal;
    if (qv > 0.0f && qs / qv > worst) worst = qs / qv;
    if (total > stop && q < 3) {
      if (verify != nullptr) *verify = worst;
      return total / totalWeight;
    }
  }
  if (verify != nullptr) *verify = worst;
  if (!HIDE) return total / totalWeight;
  if (visible <= 0.0f || visibleSalient < minVisible * salientCount) return kNotEvaluated;
  return total / visible;
}

// Chooses the plain comparison when the background covers no cell of the pattern (every
// hide[b] at or under the pattern's floor).
template <class Cells, int STEP>
inline float DistanceAt(const DetectorPattern& P, int nband, const float* const* blocks, float gain, float excess,
                        const float* hide, float minVisible, float limit, float* verify) {
  bool any = false;
  for (int b = 0; b < nband; ++b) any |= hide[b] > P.Floor_dB;
  if (any) return DistanceOf<Cells, STEP, true>(P, nband, blocks, gain, excess, hide, minVisible, limit, verify);
  return DistanceOf<Cells, STEP, false>(P, nband, blocks, gain, excess, hide, minVisible, limit, verify);
}

// Level sums of the gain estimate, one time block at a time (see GainOf).
struct ScalarLevels {
  int nb;
  const float* above;
  float g0 = 0.0f;
  float acc = 0.0f, cnt = 0.0f;
  ScalarLevels(int n, const float* a) : nb(n), above(a) {}
  void Clear() { acc = cnt = 0.0f; }
  void First(const float* c, const float* p, const float* m) {
    for (int b = 0; b < nb; ++b) {
      const float u = c[b] >= above[b] ? m[b] : 0.0f;
      acc += u * (c[b] - p[b]);
      cnt += u;
    }
  }
  void Second(const float* c, const float* p, const float* m) {
    for (int b = 0; b < nb; ++b) {
      const float u = c[b] >= above[b] ? m[b] : 0.0f;
      float e = c[b] - p[b];
      e = e > g0 ? g0 : e;
      acc += u * e;
    }
  }
  void Sums(float* a, float* n) const {
    *a = acc;
    *n = cnt;
  }
};

#if defined(__SSE2__)
struct SseLevels8 {
  __m128 above0, above1, g0v;
  __m128 acc0, acc1, cnt0, cnt1;
  float g0 = 0.0f;
  SseLevels8(int, const float* a) : above0(_mm_loadu_ps(a)), above1(_mm_loadu_ps(a + 4)), g0v(_mm_setzero_ps()) {
    Clear();
  }
  void Clear() {
    acc0 = acc1 = cnt0 = cnt1 = _mm_setzero_ps();
    g0v = _mm_set1_ps(g0);
  }
  void First(const float* c, const float* p, const float* m) {
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4);
    const __m128 u0 = _mm_and_ps(_mm_cmpge_ps(c0, above0), _mm_loadu_ps(m));
    const __m128 u1 = _mm_and_ps(_mm_cmpge_ps(c1, above1), _mm_loadu_ps(m + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(u0, _mm_sub_ps(c0, _mm_loadu_ps(p))));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(u1, _mm_sub_ps(c1, _mm_loadu_ps(p + 4))));
    cnt0 = _mm_add_ps(cnt0, u0);
    cnt1 = _mm_add_ps(cnt1, u1);
  }
  void Second(const float* c, const float* p, const float* m) {
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4);
    const __m128 u0 = _mm_and_ps(_mm_cmpge_ps(c0, above0), _mm_loadu_ps(m));
    const __m128 u1 = _mm_and_ps(_mm_cmpge_ps(c1, above1), _mm_loadu_ps(m + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(u0, _mm_min_ps(_mm_sub_ps(c0, _mm_loadu_ps(p)), g0v)));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(u1, _mm_min_ps(_mm_sub_ps(c1, _mm_loadu_ps(p + 4)), g0v)));
  }
  void Sums(float* a, float* n) const {
    *a = SseCells8::Total(acc0, acc1);
    *n = SseCells8::Total(cnt0, cnt1);
  }
};
#endif

// The level difference between the input segment and pattern P over the pattern's salient
// cells where the input stands above the background (input level >= above[b]), in dB. In the
// precise pass (STEP 1) cells raised above the first estimate (by sound under the clip) count
// at that estimate, so that they do not pull the level up. Returns kNoGain when no such cell.
constexpr float kNoGain = -1.0e30f;

template <class Levels, int STEP>
inline float GainOf(const DetectorPattern& P, int nband, const float* const* blocks, const float* above) {
  const int N = P.Nblock;
  // STEP 0: every block, first estimate only; 2, 4 or 8: the blocks of the coarse pass.
  const int step = STEP >= 2 ? STEP : 1;
  Levels lv(nband, above);
  const float* const spectrum = P.LogSpectrum.data();
  const float* const salient = P.Salient.data();
  for (int k = 0; k < N; k += step) {
    const long at = static_cast<long>(k) * nband;
    lv.First(blocks[k], spectrum + at, salient + at);
  }
  float acc, cnt;
  lv.Sums(&acc, &cnt);
  if (cnt <= 0.0f) return kNoGain;
  const float g0 = acc / cnt;
  if (STEP != 1) return g0;
  lv.g0 = g0;
  lv.Clear();
  for (int k = 0; k < N; ++k) {
    const long at = static_cast<long>(k) * nband;
    lv.Second(blocks[k], spectrum + at, salient + at);
  }
  const float count = cnt;
  lv.Sums(&acc, &cnt);
  return acc / count;
}

// Per band: the input level above which a cell stands out of the background (for the level

// A quick estimate of the distance from every CoarseStep-th block, with the first level
// estimate, stopping once it passes `limit`.
template <class Cells, class Levels, int STEP>
inline float CoarseOf(const DetectorPattern& P, int nband, const float* const* blocks, const float* above,
                      float* hide, float excess, float minVisible, float limit, float* gain) {
  const float g = GainOf<Levels, STEP == 1 ? 0 : STEP>(P, nband, blocks, above);
  *gain = g;
  if (g == kNoGain) return kNotEvaluated;
  // above[b] is the background + margin in the input's terms; in the pattern's terms:
  for (int b = 0; b < nband; ++b) hide[b] = above[b] - g;
  return DistanceAt<Cells, STEP>(P, nband, blocks, g, excess, hide, minVisible, limit, nullptr);
}

template <class Cells, class Levels>
inline float CoarseStepOf(const DetectorPattern& P, int nband, const float* const* blocks, const float* above,
                          float* hide, float excess, float minVisible, float limit, float* gain) {
  switch (P.CoarseStep) {
    case 1:
      return CoarseOf<Cells, Levels, 1>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    case 2:
      return CoarseOf<Cells, Levels, 2>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    case 4:
      return CoarseOf<Cells, Levels, 4>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    default:
      return CoarseOf<Cells, Levels, 8>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
  }
}
}  // namespace spdet

#endif
