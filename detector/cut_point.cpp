// Where an airing cut short stops: the block at which the input stops matching the clip.
//
// The whole-clip and part comparisons judge what was heard by pieces (a tenth to a fifth of the
// clip each), so the fraction they give is off by up to a piece: a clip cut after 70 % came out
// as seen to 79 %, and the check after the detector, which compares the fraction reported in
// detail, then found the last 9 % missing and dropped the airing (a 4 s spot cut after 65-85 %
// was lost where one cut after 55 % or 90 % was found). Here every block of the clip from
// PartialMinSeen on is compared with the input's block aligned with it: the correlation over the
// bands of the two levels, each with its band means over the window taken off and its own mean.
// The cut is where the sum of (correlation - level) from PartialMinSeen on is greatest: up to it
// the clip mostly matches, after it mostly not. Where the pieces found a cut, it only ever lowers
// the fraction they gave (with the band means of a window half noise, a few cuts came out late,
// never early).
//
// Where they found none, or for the level distance, which judges the clip whole, a clip cut after
// 80-90 % under a bed can still pass whole (the bed hides what did not play): before, its report
// said seen 1.0, the shape path's report of it was a repeat, and the check after the detector
// dropped the airing for its missing tail (12 tone-step spots cut after 80 %: 3 found, 85 %: 0).
// There the level is relative to how well the clip's first part matches, and a cut is taken only
// where the tail after it is long enough and the input lacks the clip's loud cells there: talked
// over to its end, a clip is still under the voice.
#include <algorithm>
#include <cmath>
#include <vector>

#include "cut_masked.h"
#include "detector_core.h"
#include "distance.h"
#include "shape_path.h"

namespace {

// On tone-step spots of 4 s cut after 55-90 % under a noise bed, 0.3 found the most of them
// (0.2: a few cuts placed late). The cut is then moved back by kCutBack of the clip: a fraction
// a little short costs the check after the detector nothing, one too long fails it.
constexpr double kCutTail = 0.3;
constexpr int kCutBackPercent = 2;
// Where the pieces found a cut, a block counts as heard while it correlates over this share of
// how well the first PartialMinSeen of the clip does, or kCutTail, whichever is higher. Right
// after a cut the bed can still correlate 0.3-0.85 for a tone step's length (through the band
// means), the blocks heard 0.9 and over: with kCutTail alone, spots cut after 60-65 % were
// taken as heard to 65-79 % and the check after the detector dropped them.
constexpr double kPartCutTail = 0.7;
// Where the pieces found no cut: the blocks correlating under this share of how well the first
// PartialMinSeen of the clip does are not heard (the bed after a cut still correlates 0.1-0.6
// with the clip's blocks through the window's band means; the blocks heard 0.9 and over, on the
// spots under a bed); a cut needs a tail of kCutTailShare percent of the clip, of whose loud
// cells the input lacks kCutMissing (the spots' tails: 0.41-0.67; whole airings of the broadcast
// quick set, talked over, through the station chain or in car noise: 0.21 at most).
constexpr double kLevelCutTail = 0.6;
constexpr int kCutTailShare = 8;
constexpr double kCutMissing = 0.3;
// A cut leaves a tail in which at least this percentage of the clip's blocks could be heard
// over the input's floor (see cut_masked.cpp).
constexpr int kTailAudible = 5;

// Where the input stops matching the clip: clip[k * nband + lo..hi] is block k of the clip (oldest
// first, n of them), input[k] the input's levels aligned with it (from `first` on; null before).
// The cut (blocks heard, from `from` on) is where the sum of (correlation - level) is greatest
// (level < 0: -level times the mean correlation of the blocks before `from`, at least kCutTail
// where `cut`, the pieces having found the clip cut).
struct Cut {
  int heard = 0;
  double missing = 0.0;  // (relative level only) the share of the tail's loud cells the input lacks
  bool covered = false;  // (where `cut`) what the blocks did not hear, the input's floor covers
};

// Of the clip's loud cells (within kLoud dB of its loudest in blocks [first, b)) in blocks [a, b),
// the share the input lacks: under the clip's level by more than kAbsent dB, the input brought to
// the clip's level over blocks [first, from) (where the clip is heard).
constexpr double kLoud = 15.0, kAbsent = 10.0;
double Missing(const float* clip, const float* const* input, int first, int from, int a, int b, int nband, int lo, int hi) {
  float peak = -1e30f;
  for (int k = first; k < b; ++k)
    for (int band = lo; band <= hi; ++band) peak = std::max(peak, clip[static_cast<std::size_t>(k) * nband + band]);
  const auto cells = [&](int k, auto&& visit) {
    const float* c = clip + static_cast<std::size_t>(k) * nband;
    for (int band = lo; band <= hi; ++band)
      if (c[band] >= peak - kLoud) visit(c[band], input[k][band]);
  };
  double offset = 0.0;
  int count = 0;
  for (int k = first; k < from; ++k)
    cells(k, [&](double c, double y) {
      offset += y - c;
      ++count;
    });
  if (count == 0) return 0.0;
  offset /= count;
  int absent = 0;
  count = 0;
  for (int k = a; k < b; ++k)
    cells(k, [&](double c, double y) {
      absent += y - offset < c - kAbsent ? 1 : 0;
      ++count;
    });
  return count > 0 ? static_cast<double>(absent) / count : 0.0;
}

Cut FindCut(const float* clip, const float* const* input, int n, int first, int from, int nband, int lo, int hi, double level,
            bool cut) {
  const int bands = hi - lo + 1;
  const bool relative = level < 0.0;
  std::vector<double> clipMean(static_cast<std::size_t>(bands), 0.0), inputMean(static_cast<std::size_t>(bands), 0.0);
  for (int k = first; k < n; ++k)
    for (int b = 0; b < bands; ++b) {
      clipMean[static_cast<std::size_t>(b)] += clip[static_cast<std::size_t>(k) * nband + lo + b];
      inputMean[static_cast<std::size_t>(b)] += input[k][lo + b];
    }
  for (int b = 0; b < bands; ++b) {
    clipMean[static_cast<std::size_t>(b)] /= n - first;
    inputMean[static_cast<std::size_t>(b)] /= n - first;
  }
  std::vector<double> x(static_cast<std::size_t>(bands)), y(static_cast<std::size_t>(bands)), r(static_cast<std::size_t>(n), 0.0);
  double gain = 0.0, best = 0.0;
  Cut out;
  out.heard = from;
  const auto correlation = [&](int k) {
    double mx = 0.0, my = 0.0;
    for (int b = 0; b < bands; ++b) {
      x[static_cast<std::size_t>(b)] = clip[static_cast<std::size_t>(k) * nband + lo + b] - clipMean[static_cast<std::size_t>(b)];
      y[static_cast<std::size_t>(b)] = input[k][lo + b] - inputMean[static_cast<std::size_t>(b)];
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
    return xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
  };
  for (int k = first; k < n; ++k) r[static_cast<std::size_t>(k)] = correlation(k);
  if (relative) {  // relative to how well the first blocks match
    double head = 0.0;
    for (int k = first; k < from; ++k) head += r[static_cast<std::size_t>(k)];
    level = from > first ? -level * head / (from - first) : kCutTail;
    if (cut) level = std::max(level, kCutTail);
  }
  std::vector<char> audible;  // (where `cut`)
  if (cut) spdet::AudibleBlocks(clip, input, n, first, from, nband, lo, hi, audible);
  for (int k = from; k < n; ++k) {
    if (cut && !audible[static_cast<std::size_t>(k)]) continue;
    gain += r[static_cast<std::size_t>(k)] - level;
    if (gain > best) {
      best = gain;
      out.heard = k + 1;
    }
  }
  if (cut && 100 * std::count(audible.begin() + out.heard, audible.end(), 1) < kTailAudible * n) out.covered = true;
  if (relative && !cut && out.heard < n) out.missing = Missing(clip, input, first, from, out.heard, n, nband, lo, hi);
  return out;
}

}  // namespace

// Pattern i's window ending at block `end` at speed step `shift`; `seen`: the fraction the pieces
// gave. Returns it, lowered to the cut where the blocks say so. Where the pieces found the clip
// whole (seen 1), the blocks still may find it cut: see Heard.
float spdet::DetectorCore::CutSeen(int i, int shift, std::int64_t end, float seen) {
  const int n = Patterns[i].Nblock - 1;
  const int from = static_cast<int>(std::ceil(Tuning.PartialMinSeen * static_cast<float>(n)));
  const std::int64_t newest = Shape->matcher.Blocks() - 1;
  const int length = n - shift;  // blocks of input the window spans at that speed
  if (n < 2 || from >= n || length < 2 || end > newest) return seen;
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
  if (seen >= 1.0f) return Heard(i, first, -kLevelCutTail, false);
  // (Where what the pieces missed is under the input's floor, the blocks take the clip for whole.)
  const float heard = Heard(i, first, -kPartCutTail, true);
  return heard >= 1.0f ? 1.0f : std::min(seen, heard);
}

// Pattern i's blocks against Shape->cutInput (the input's blocks aligned with them from `first`
// on): the fraction heard, moved back kCutBackPercent. level: the correlation under which a
// block is taken for not heard; under 0, -level times the mean correlation of the blocks before
// PartialMinSeen (at least kCutTail where `cut`). Unless `cut` (the pieces found the clip cut),
// the clip is taken for whole unless a tail of kCutTailShare of it is not heard and lacks
// kCutMissing of the clip's loud cells.
float spdet::DetectorCore::Heard(int i, int first, double level, bool cut) {
  const int n = Patterns[i].Nblock - 1;
  const int from = static_cast<int>(std::ceil(Tuning.PartialMinSeen * static_cast<float>(n)));
  const int lo = std::max(0, Engine->BandFirst), hi = std::min(Nband - 1, Engine->BandLast);
  if (hi - lo + 1 < 3 || from >= n || (!cut && n < 10)) return 1.0f;
  std::vector<float>& clip = Shape->cutClip;
  clip.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(Nband));
  ClipLevels(i, clip.data());
  const Cut found = FindCut(clip.data(), Shape->cutInput.data(), n, first, from, Nband, lo, hi, level, cut);
  if (found.covered || (!cut && (100 * (n - found.heard) < kCutTailShare * n || found.missing < kCutMissing))) return 1.0f;
  const int heard = std::max(from, found.heard - kCutBackPercent * n / 100);
  return static_cast<float>(heard) / static_cast<float>(n);
}

// The level distance judges the clip whole; at its alignment `phase` steps before the newest,
// the blocks say whether the clip was cut (see Heard). Returns the fraction heard, 1 for a clip
// heard whole.
float spdet::DetectorCore::LevelSeen(int i, int phase) {
  const int n = Patterns[i].Nblock - 1;
  if (Shape == nullptr || n < 2 || n >= Longest) return 1.0f;
  // Block k of the clip (oldest first) is the pattern's block n - k (newest first).
  const AlignedInput aligned{LogRing.data(), RingLength, RingPos, Nband, SubSteps, Blocks};
  std::vector<const float*>& input = Shape->cutInput;
  input.resize(static_cast<std::size_t>(n) + 1);
  aligned.Segment(phase, n + 1, input.data());
  std::reverse(input.begin(), input.end());
  input.pop_back();
  return Heard(i, 0, -kLevelCutTail, false);
}
