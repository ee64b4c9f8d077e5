#include "detail_check.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace spdetail {

namespace {

// Levels floored at `depth` under the loudest, double-centred (band means and frame means
// removed), over frames [f0, f0 + n).
std::vector<float> Centred(const DetailPrint& p, int f0, int n, float depth) {
  float top = -std::numeric_limits<float>::infinity();
  for (int f = f0; f < f0 + n; ++f)
    for (int b = 0; b < kBands; ++b) top = std::max(top, p.Frame(f)[b]);
  std::vector<float> a(static_cast<std::size_t>(n) * kBands);
  std::vector<double> bandMean(kBands, 0.0);
  for (int f = 0; f < n; ++f)
    for (int b = 0; b < kBands; ++b) {
      const float v = std::max(p.Frame(f0 + f)[b], top - depth);
      a[static_cast<std::size_t>(f) * kBands + b] = v;
      bandMean[b] += v;
    }
  for (int f = 0; f < n; ++f) {
    float* row = a.data() + static_cast<std::size_t>(f) * kBands;
    double frameMean = 0.0;
    for (int b = 0; b < kBands; ++b) frameMean += row[b] -= static_cast<float>(bandMean[b] / n);
    for (int b = 0; b < kBands; ++b) row[b] -= static_cast<float>(frameMean / kBands);
  }
  return a;
}

// The correlations of `a` (double-centred, as Centred makes it, n frames) with the input's
// levels over frames [first + k, first + k + n) for the offsets k = 0 .. offsets - 1, each floored
// at floors[k] and double-centred the same way. Since a's band and frame means are zero, the
// input's means change only its norm, which follows from its sums. Offsets that share a floor
// (most do: the loudest frame lies in all of their spans) share one floored copy of the input,
// whose per-frame sums are added up once as running totals: each offset's norm is then a
// difference of totals, and only the cross product with `a` is formed cell by cell, in eight
// band lanes side by side.
void Correlations(const std::vector<float>& a, double aa, const DetailPrint& p, int first, int offsets, int n,
                  const std::vector<float>& floors, double* out) {
  constexpr int kLanes = 8;
  static_assert(kBands % kLanes == 0);
  const int span = offsets + n - 1;  // input frames any offset reads
  std::vector<double> v(static_cast<std::size_t>(span) * kBands);
  // Running totals over the frames before f: of the squares, the rows' sums, the rows' sums
  // squared; and per band, of the values.
  std::vector<double> squares(static_cast<std::size_t>(span) + 1), rowSums(squares.size()), rowSquares(squares.size());
  std::vector<double> columns((static_cast<std::size_t>(span) + 1) * kBands);
  for (int k = 0; k < offsets;) {
    const float floor = floors[static_cast<std::size_t>(k)];
    int end = k + 1;
    while (end < offsets && floors[static_cast<std::size_t>(end)] == floor) ++end;
    // Frames [k, end + n - 1) of the input span, floored.
    const int f0 = k, f1 = end + n - 1;
    squares[static_cast<std::size_t>(f0)] = rowSums[static_cast<std::size_t>(f0)] = rowSquares[static_cast<std::size_t>(f0)] = 0.0;
    std::fill_n(columns.begin() + static_cast<std::ptrdiff_t>(f0) * kBands, kBands, 0.0);
    for (int f = f0; f < f1; ++f) {
      const float* in = p.Frame(first + f);
      double* row = v.data() + static_cast<std::size_t>(f) * kBands;
      const double* before = columns.data() + static_cast<std::size_t>(f) * kBands;
      double* after = columns.data() + static_cast<std::size_t>(f + 1) * kBands;
      double sum = 0.0, sq = 0.0;
      for (int b = 0; b < kBands; ++b) {
        const double x = std::max(in[b], floor);
        row[b] = x;
        sum += x;
        sq += x * x;
        after[b] = before[b] + x;
      }
      const std::size_t at = static_cast<std::size_t>(f);
      squares[at + 1] = squares[at] + sq;
      rowSums[at + 1] = rowSums[at] + sum;
      rowSquares[at + 1] = rowSquares[at] + sum * sum;
    }
    for (; k < end; ++k) {
      const std::size_t lo = static_cast<std::size_t>(k), hi = lo + static_cast<std::size_t>(n);
      double lanes[kLanes] = {};
      for (int f = 0; f < n; ++f) {
        const float* ca = a.data() + static_cast<std::size_t>(f) * kBands;
        const double* row = v.data() + (lo + static_cast<std::size_t>(f)) * kBands;
        for (int b = 0; b < kBands; b += kLanes)
          for (int l = 0; l < kLanes; ++l) lanes[l] += static_cast<double>(ca[b + l]) * row[b + l];
      }
      double ab = 0.0;
      for (double l : lanes) ab += l;
      double cols = 0.0;
      for (int b = 0; b < kBands; ++b) {
        const double c = columns[hi * kBands + static_cast<std::size_t>(b)] - columns[lo * kBands + static_cast<std::size_t>(b)];
        cols += c * c;
      }
      const double vv = squares[hi] - squares[lo], total = rowSums[hi] - rowSums[lo];
      const double centredNorm = vv - cols / n - (rowSquares[hi] - rowSquares[lo]) / kBands +
                                 total * total / (static_cast<double>(n) * kBands);
      // A flat stretch (silence, all floored) has no shape to correlate; what is left of its norm
      // is rounding, which would divide into a huge value.
      out[k] = centredNorm <= 1e-6 * vv ? 0.0 : ab / std::sqrt(aa * std::max(centredNorm, 0.0) + 1e-12);
    }
  }
}

// The median, halfway between the middle two for an even count (values reordered).
float Median(std::vector<float>& v) {
  const std::size_t h = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + h, v.end());
  if (v.size() % 2 == 1) return v[h];
  const float upper = v[h];
  return 0.5f * (upper + *std::max_element(v.begin(), v.begin() + h));
}

}  // namespace

DetailResult CompareDetail(const DetailPrint& clip, const DetailPrint& input, int expected, const DetailTuning& t,
                           float needCorrelation) {
  DetailResult r;
  const int n = clip.frames;
  if (n == 0) return r;
  if (input.frames < n) {
    r.missing = std::numeric_limits<float>::infinity();
    return r;
  }
  // Where the clip lies: the best correlation of the whole clip's floored, centred levels.
  const std::vector<float> c = Centred(clip, 0, n, t.globalFloor_dB);
  double cc = 0;
  for (float v : c) cc += static_cast<double>(v) * v;
  r.correlation = -2.0f;
  const int first = std::max(0, expected - t.searchFrames);
  const int last = std::min(input.frames - n, expected + t.searchFrames);
  if (first <= last) {
    // Each offset's floor: its loudest level less the depth, from the loudest of every frame.
    const int offsets = last - first + 1;
    std::vector<float> frameTop(static_cast<std::size_t>(offsets + n - 1), -std::numeric_limits<float>::infinity());
    for (int f = 0; f < offsets + n - 1; ++f)
      for (int b = 0; b < kBands; ++b) frameTop[f] = std::max(frameTop[f], input.Frame(first + f)[b]);
    std::vector<float> floors(static_cast<std::size_t>(offsets));
    for (int k = 0; k < offsets; ++k)
      floors[k] = *std::max_element(frameTop.begin() + k, frameTop.begin() + k + n) - t.globalFloor_dB;
    std::vector<double> v(static_cast<std::size_t>(offsets));
    Correlations(c, cc, input, first, offsets, n, floors, v.data());
    for (int k = 0; k < offsets; ++k)
      if (static_cast<float>(v[k]) > r.correlation) r.correlation = static_cast<float>(v[k]), r.offset = first + k;
  }
  if (r.correlation < needCorrelation) {
    r.missing = std::numeric_limits<float>::infinity();
    return r;
  }
  // Equalisation: each band's typical difference over the clip's loud cells, taken out.
  float clipTop = -std::numeric_limits<float>::infinity();
  for (float v : clip.levels) clipTop = std::max(clipTop, v);
  float eq[kBands];
  std::vector<float> d;
  for (int b = 0; b < kBands; ++b) {
    d.clear();
    for (int f = 0; f < n; ++f)
      if (clip.Frame(f)[b] > clipTop - t.globalFloor_dB) d.push_back(input.Frame(r.offset + f)[b] - clip.Frame(f)[b]);
    eq[b] = d.size() > 5 ? Median(d) : 0.0f;
  }
  // Window by window (following a drift of a few frames): how far the clip's loud cells fall
  // under the window's typical offset; compression moves whole windows, a missing voice leaves
  // holes. The worst window decides.
  const int w = t.windowFrames;
  int drift = 0;
  std::vector<int> cells;     // the window's loud cells: frame * kBands + band, from the window's start
  std::vector<float> sorted;
  for (int w0 = 0; w0 + w <= n; w0 += w / 2) {
    float top = -std::numeric_limits<float>::infinity();
    for (int f = w0; f < w0 + w; ++f)
      for (int b = 0; b < kBands; ++b) top = std::max(top, clip.Frame(f)[b]);
    cells.clear();
    for (int f = 0; f < w; ++f)
      for (int b = 0; b < kBands; ++b)
        if (clip.Frame(w0 + f)[b] > top - t.windowDepth_dB) cells.push_back(f * kBands + b);
    float best = std::numeric_limits<float>::infinity();
    int bestDrift = drift;
    for (int dd = drift - t.driftFrames; dd <= drift + t.driftFrames; ++dd) {
      const int s = r.offset + w0 + dd;
      if (s < 0 || s + w > input.frames) continue;
      d.clear();
      const float* in = input.Frame(s);
      const float* c = clip.Frame(w0);
      for (const int k : cells) d.push_back(in[k] - c[k] - eq[k % kBands]);
      sorted = d;
      const float typical = Median(sorted);
      double shortfall = 0.0;
      for (float v : d) shortfall += std::max(0.0f, typical - v - t.tolerance_dB);
      const auto mean = static_cast<float>(shortfall / static_cast<double>(d.size()));
      if (mean < best) best = mean, bestDrift = dd;
    }
    drift = bestDrift;
    if (best != std::numeric_limits<float>::infinity()) r.missing = std::max(r.missing, best);
  }
  return r;
}

}  // namespace spdetail
