// Relatives among patterns: see relatives.h.
#include "relatives.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "fnv1a.h"

namespace spdet {

namespace {

// The newest blocks of a pattern average what followed the clip when it was made: left out.
constexpr int kTail = 2;
// Blocks of the quick look at a pair's starts and ends before the whole comparison.
constexpr int kSketch = 24;

// Level of block k (from the oldest) in band b.
inline float At(const PatternLevels& p, int nband, int k, int b) {
  return p.levels[static_cast<std::size_t>(p.nblock - 1 - k) * nband + b];
}

int Usable(const PatternLevels& p) { return p.nblock - kTail; }

// Mean level difference of a's blocks [ka, ka + n) and b's [kb, kb + n) after their mean
// difference is taken off: the quick look.
float SketchDistance(const PatternLevels& a, int ka, const PatternLevels& b, int kb, int n, int nband) {
  double gain = 0.0;
  for (int k = 0; k < n; ++k)
    for (int band = 0; band < nband; ++band) gain += At(a, nband, ka + k, band) - At(b, nband, kb + k, band);
  gain /= static_cast<double>(n) * nband;
  double d = 0.0;
  for (int k = 0; k < n; ++k)
    for (int band = 0; band < nband; ++band)
      d += std::fabs(At(a, nband, ka + k, band) - At(b, nband, kb + k, band) - gain);
  return static_cast<float>(d / (static_cast<double>(n) * nband));
}

struct Alignment {
  int offset = 0;  // b's start lies this many blocks after a's
  int first = 0, last = 0;  // a's blocks [first, last) overlap b's
  std::vector<float> distance;  // per overlapping block, smoothed (0 where both are quiet)
  int shared = 0;               // blocks alike where at least one of the two is not quiet
  int run = 0;                  // the longest run of them (gaps up to a third of a second and quiet
                                // blocks do not break it)
};

// Blocks whose loudest band stays this far under the pattern's peak are quiet: floored levels
// are alike in any two patterns and tell nothing.
constexpr float kQuietDb = 20.0f;

float Peak(const PatternLevels& p, int nband) {
  float peak = -1e30f;
  for (int k = 0; k < Usable(p); ++k)
    for (int band = 0; band < nband; ++band) peak = std::max(peak, At(p, nband, k, band));
  return peak;
}

bool Quiet(const PatternLevels& p, int nband, int k, float peak) {
  for (int band = 0; band < nband; ++band)
    if (At(p, nband, k, band) > peak - kQuietDb) return false;
  return true;
}

void Align(const PatternLevels& a, const PatternLevels& b, int nband, int offset, int smooth, int gap, Alignment& out) {
  out.offset = offset;
  out.first = std::max(0, offset);
  out.last = std::min(Usable(a), offset + Usable(b));
  out.distance.clear();
  out.shared = 0;
  const int n = out.last - out.first;
  if (n <= 0) return;
  // The level difference of the whole: the median of the blocks' mean differences (a version's
  // other part does not move it).
  std::vector<float> mean(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    float s = 0.0f;
    for (int band = 0; band < nband; ++band)
      s += At(a, nband, out.first + k, band) - At(b, nband, out.first + k - offset, band);
    mean[static_cast<std::size_t>(k)] = s / static_cast<float>(nband);
  }
  std::vector<float> sorted = mean;
  std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
  const float gain = sorted[static_cast<std::size_t>(n / 2)];
  std::vector<float> raw(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    float s = 0.0f;
    for (int band = 0; band < nband; ++band)
      s += std::fabs(At(a, nband, out.first + k, band) - At(b, nband, out.first + k - offset, band) - gain);
    raw[static_cast<std::size_t>(k)] = s / static_cast<float>(nband);
  }
  const float peakA = Peak(a, nband), peakB = Peak(b, nband);
  out.distance.resize(static_cast<std::size_t>(n));
  out.run = 0;
  int runStart = -1, lastShared = -1;
  for (int k = 0; k < n; ++k) {
    if (Quiet(a, nband, out.first + k, peakA) && Quiet(b, nband, out.first + k - offset, peakB)) {
      out.distance[static_cast<std::size_t>(k)] = 0.0f;
      if (runStart >= 0 && k - lastShared <= gap) lastShared = k;  // quiet in both: the run goes on
      continue;
    }
    const int lo = std::max(0, k - smooth), hi = std::min(n - 1, k + smooth);
    float s = 0.0f;
    for (int m = lo; m <= hi; ++m) s += raw[static_cast<std::size_t>(m)];
    out.distance[static_cast<std::size_t>(k)] = s / static_cast<float>(hi - lo + 1);
    if (out.distance[static_cast<std::size_t>(k)] < Relatives::kSharedDb) {
      ++out.shared;
      if (runStart < 0 || k - lastShared > gap) runStart = k;
      lastShared = k;
      out.run = std::max(out.run, k - runStart + 1);
    }
  }
}

// a's side of the relation found at alignment al (a's blocks; sign: +1 for a, -1 for b's view,
// whose blocks are a's minus the offset).
Relation Side(const Alignment& al, int usable, int other, int shift, float shared) {
  Relation r;
  r.other = other;
  r.offset = shift == 0 ? al.offset : -al.offset;
  r.shared = shared;
  int lo = usable, hi = 0;
  float sum = 0.0f;
  int n = 0;
  const int first = al.first - shift, last = al.last - shift;  // the overlap in this pattern's blocks
  for (int k = first; k < last; ++k) {
    const float d = al.distance[static_cast<std::size_t>(k - first)];
    if (d >= Relatives::kSharedDb) {
      lo = std::min(lo, k), hi = std::max(hi, k + 1);
      sum += d, ++n;
    }
  }
  if (first > 0) lo = 0, hi = std::max(hi, first);
  if (last < usable) lo = std::min(lo, last), hi = usable;
  if (lo < hi) {
    r.differBegin = lo, r.differEnd = hi;
    // Only beyond the other's end or start: as far apart as can be.
    r.apart = n > 0 ? sum / static_cast<float>(n) : 4.0f * Relatives::kApartDb;
  }
  return r;
}

// The process's table of earlier comparisons: per pair of pattern contents, the relation or none.
struct Pair {
  bool related = false;
  Relation ab, ba;
};
std::mutex g_pairMutex;
std::map<std::pair<std::uint64_t, std::uint64_t>, Pair>& PairTable() {
  static std::map<std::pair<std::uint64_t, std::uint64_t>, Pair> table;
  return table;
}

std::uint64_t ContentKey(const PatternLevels& p, int nband) {
  Fnv1a f;
  f.Value(p.nblock);
  f.Value(nband);
  f.Bytes(p.levels, static_cast<std::size_t>(p.nblock) * nband * sizeof(float));
  return f.h;
}

// Look-alikes: patterns of near-equal length whose levels stay close over the whole of them
// without sharing a stretch outright (the same bed under another voice: the voice lies on top of
// every block). Mean level difference over the blocks not quiet in both, starts aligned, the
// overall difference (median) taken off; -1 when the two are not of near-equal length.
float WholeDistance(const PatternLevels& a, const PatternLevels& b, int nband, int& alike) {
  const int na = Usable(a), nb = Usable(b);
  if (std::abs(na - nb) > std::max(2, std::max(na, nb) / 100)) return -1.0f;
  const int n = std::min(na, nb);
  std::vector<float> mean(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    float s = 0.0f;
    for (int band = 0; band < nband; ++band) s += At(a, nband, k, band) - At(b, nband, k, band);
    mean[static_cast<std::size_t>(k)] = s / static_cast<float>(nband);
  }
  std::vector<float> sorted = mean;
  std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
  const float gain = sorted[static_cast<std::size_t>(n / 2)];
  const float peakA = Peak(a, nband), peakB = Peak(b, nband);
  double sum = 0.0;
  int counted = 0;
  alike = 0;
  for (int k = 0; k < n; ++k) {
    if (Quiet(a, nband, k, peakA) && Quiet(b, nband, k, peakB)) continue;
    float s = 0.0f;
    for (int band = 0; band < nband; ++band) s += std::fabs(At(a, nband, k, band) - At(b, nband, k, band) - gain);
    s /= static_cast<float>(nband);
    sum += s, ++counted;
    if (s < Relatives::kSharedDb) ++alike;
  }
  return counted > 0 ? static_cast<float>(sum / counted) : -1.0f;
}

}  // namespace

bool Relatives::Plausible(const PatternLevels& a, const PatternLevels& b, int nband) {
  const int na = Usable(a), nb = Usable(b);
  if (std::min(na, nb) < kSketch) return false;
  // The quick look: the starts, or the ends, alike.
  return SketchDistance(a, 0, b, 0, kSketch, nband) < 2.0f * kSharedDb ||
         SketchDistance(a, na - kSketch, b, nb - kSketch, kSketch, nband) < 2.0f * kSharedDb;
}

bool Relatives::Compare(const PatternLevels& a, const PatternLevels& b, int nband, double blocksPerSecond,
                        Relation& ab, Relation& ba) {
  const int na = Usable(a), nb = Usable(b);
  const int shorter = std::min(na, nb);
  const int minShared = std::max(static_cast<int>(std::ceil(kMinSharedSeconds * blocksPerSecond)),
                                 static_cast<int>(std::ceil(kMinSharedFraction * static_cast<float>(shorter))));
  if (shorter < minShared || !Plausible(a, b, nband)) return false;
  const bool starts = SketchDistance(a, 0, b, 0, kSketch, nband) < 2.0f * kSharedDb;
  const bool ends = SketchDistance(a, na - kSketch, b, nb - kSketch, kSketch, nband) < 2.0f * kSharedDb;
  const int smooth = std::max(1, static_cast<int>(std::lround(0.05 * blocksPerSecond)));
  const int gap = static_cast<int>(std::lround(0.33 * blocksPerSecond));
  Alignment best, other;
  if (starts) Align(a, b, nband, 0, smooth, gap, best);
  if (ends && (na != nb || !starts)) {
    Align(a, b, nband, na - nb, smooth, gap, other);
    // Both: a cut-down keeps the opening and the end tag of its long version. The starts are
    // taken where they share enough (an airing is placed from its start, and a part heard is
    // most often the opening).
    if (!starts || (best.run < minShared && other.run > best.run)) std::swap(best, other);
  }
  // Shared content is one stretch (an opening, a body, an end tag): alike blocks scattered over
  // two patterns (a bed's pauses, floored cells) make no relatives.
  if (best.run < minShared) {
    // No stretch shared outright: look-alikes are relatives that differ everywhere.
    int alike = 0;
    const float d = shorter >= kMinLookAlikeSeconds * blocksPerSecond ? WholeDistance(a, b, nband, alike) : -1.0f;
    if (d < 0.0f || d >= kLookAlikeDb) return false;
    ab = Relation{};
    ab.differEnd = na;
    ab.shared = static_cast<float>(alike) / static_cast<float>(shorter);
    ab.apart = d;
    ba = ab;
    ba.differEnd = nb;
    return true;
  }
  const float shared = static_cast<float>(best.shared) / static_cast<float>(shorter);
  ab = Side(best, na, -1, 0, shared);
  ba = Side(best, nb, -1, best.offset, shared);
  return true;
}

void Relatives::Find(const std::vector<PatternLevels>& patterns, int nband, double blocksPerSecond) {
  blocksPerSecond_ = blocksPerSecond;
  of_.assign(patterns.size(), {});
  std::vector<std::uint64_t> key(patterns.size(), 0);
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (patterns[i].compared && patterns[i].nblock > 0) key[i] = ContentKey(patterns[i], nband);
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (key[i] == 0) continue;
    for (std::size_t j = i + 1; j < patterns.size(); ++j) {
      if (key[j] == 0) continue;
      // Most pairs of a catalogue differ at once in their starts and ends: looked at anew each
      // time (cheaper than a table of them all).
      if (!Plausible(patterns[i], patterns[j], nband)) continue;
      Pair pair;
      const auto id = std::make_pair(key[i], key[j]);
      bool known = false;
      {
        std::lock_guard<std::mutex> lock(g_pairMutex);
        auto it = PairTable().find(id);
        if (it != PairTable().end()) pair = it->second, known = true;
      }
      if (!known) {
        pair.related = Compare(patterns[i], patterns[j], nband, blocksPerSecond, pair.ab, pair.ba);
        std::lock_guard<std::mutex> lock(g_pairMutex);
        PairTable()[id] = pair;
      }
      if (!pair.related) continue;
      pair.ab.other = static_cast<int>(j);
      pair.ba.other = static_cast<int>(i);
      of_[i].push_back(pair.ab);
      of_[j].push_back(pair.ba);
    }
  }
}

const std::vector<Relation>& Relatives::Of(int pattern) const {
  static const std::vector<Relation> none;
  return pattern >= 0 && static_cast<std::size_t>(pattern) < of_.size() ? of_[static_cast<std::size_t>(pattern)] : none;
}

bool Relatives::Any() const {
  return std::any_of(of_.begin(), of_.end(), [](const std::vector<Relation>& r) { return !r.empty(); });
}

bool Relatives::Indistinct(const Relation& r) const {
  return static_cast<double>(r.differEnd - r.differBegin) < kMinDifferSeconds * blocksPerSecond_ || r.apart < kApartDb;
}

}  // namespace spdet
