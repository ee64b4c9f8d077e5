// Where an airing cut short stops: the block at which the input stops matching the clip.
//
// The whole-clip and part comparisons judge what was heard by pieces (a tenth to a fifth of the
// clip each), so the fraction they give is off by up to a piece: a clip cut after 70 % came out
// as seen to 79 %, and the check after the detector, which compares the fraction reported in
// detail, then found the last 9 % missing and dropped the airing (a 4 s spot cut after 65-85 %
// was lost where one cut after 55 % or 90 % was found). Here every block of the clip from
// PartialMinSeen on is compared with the input's block aligned with it: the correlation over the
// bands of the two levels, each with its band means over the window taken off and its own mean.
// The cut is where the sum of (correlation - kCutTail) from PartialMinSeen on is greatest: up
// to it the clip mostly matches, after it mostly not. It only ever lowers the fraction the pieces
// gave: with the band means of a window half noise, a few cuts came out late, never early.
#include <algorithm>
#include <cmath>
#include <vector>

#include "detector_core.h"
#include "shape_path.h"

namespace {

// On tone-step spots of 4 s cut after 55-90 % under a noise bed, 0.3 found the most of them
// (0.2: a few cuts placed late). The cut is then moved back by kCutBack of the clip: a fraction
// a little short costs the check after the detector nothing, one too long fails it.
constexpr double kCutTail = 0.3;
constexpr int kCutBackPercent = 2;

}  // namespace

// Pattern i's window ending at block `end` at speed step `shift`; `seen`: the fraction the pieces
// gave. Returns it, lowered to the cut where the blocks say so.
float spdet::DetectorCore::CutSeen(int i, int shift, std::int64_t end, float seen) {
  const int n = Patterns[i].Nblock - 1;
  const int from = static_cast<int>(std::ceil(Tuning.PartialMinSeen * static_cast<float>(n)));
  const std::int64_t newest = Shape->matcher.Blocks() - 1;
  const int length = n - shift;  // blocks of input the window spans at that speed
  if (n < 2 || from >= n || length < 2 || end > newest) return seen;
  std::vector<float>& clip = Shape->cutClip;
  clip.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(Nband));
  ClipLevels(i, clip.data());
  // The input's block aligned with block k of the clip (oldest first); the ring holds Longest + 1
  // blocks back from the newest.
  std::vector<const float*>& input = Shape->cutInput;
  input.assign(static_cast<std::size_t>(n), nullptr);
  int first = n;
  for (int k = n - 1; k >= 0; --k) {
    const std::int64_t back = (newest - end) + std::llround(static_cast<double>(n - 1 - k) * length / n);
    if (back < 0 || back > Longest) break;
    int row = RingPos - static_cast<int>(back) * SubSteps;
    row = ((row % RingLength) + RingLength) % RingLength;
    input[static_cast<std::size_t>(k)] = LogRing.data() + static_cast<long>(row) * Nband;
    first = k;
  }
  if (first > from) return seen;
  const int lo = std::max(0, Engine->BandFirst), hi = std::min(Nband - 1, Engine->BandLast);
  const int bands = hi - lo + 1;
  if (bands < 3) return seen;
  std::vector<double> clipMean(static_cast<std::size_t>(bands), 0.0), inputMean(static_cast<std::size_t>(bands), 0.0);
  for (int k = first; k < n; ++k)
    for (int b = 0; b < bands; ++b) {
      clipMean[static_cast<std::size_t>(b)] += clip[static_cast<std::size_t>(k) * Nband + lo + b];
      inputMean[static_cast<std::size_t>(b)] += input[static_cast<std::size_t>(k)][lo + b];
    }
  for (int b = 0; b < bands; ++b) {
    clipMean[static_cast<std::size_t>(b)] /= n - first;
    inputMean[static_cast<std::size_t>(b)] /= n - first;
  }
  std::vector<double> x(static_cast<std::size_t>(bands)), y(static_cast<std::size_t>(bands));
  double gain = 0.0, best = 0.0;
  int cut = from;
  for (int k = from; k < n; ++k) {
    double mx = 0.0, my = 0.0;
    for (int b = 0; b < bands; ++b) {
      x[static_cast<std::size_t>(b)] = clip[static_cast<std::size_t>(k) * Nband + lo + b] - clipMean[static_cast<std::size_t>(b)];
      y[static_cast<std::size_t>(b)] = input[static_cast<std::size_t>(k)][lo + b] - inputMean[static_cast<std::size_t>(b)];
      mx += x[static_cast<std::size_t>(b)];
      my += y[static_cast<std::size_t>(b)];
    }
    mx /= bands;
    my /= bands;
    double xy = 0.0, xx = 0.0, yy = 0.0;
    for (int b = 0; b < bands; ++b) {
      const double u = x[static_cast<std::size_t>(b)] - mx, v = y[static_cast<std::size_t>(b)] - my;
      xy += u * v;
      xx += u * u;
      yy += v * v;
    }
    const double r = xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
    gain += r - kCutTail;
    if (gain > best) {
      best = gain;
      cut = k + 1;
    }
  }
  cut = std::max(from, cut - kCutBackPercent * n / 100);
  return std::min(seen, static_cast<float>(cut) / static_cast<float>(n));
}
