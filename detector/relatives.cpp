// Relatives among patterns: see relatives.h.
#include "relatives.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "fnv1a.h"
#include "relatives_cache.h"
#include "sketch_screen.h"

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

// The loudest cell of the usable blocks (stored newest first: the cells from block kTail on), in
// eight running maxima the compiler vectorises (a maximum does not depend on the order).
float Peak(const PatternLevels& p, int nband) {
  float lane[8] = {-1e30f, -1e30f, -1e30f, -1e30f, -1e30f, -1e30f, -1e30f, -1e30f};
  if (Usable(p) <= 0) return lane[0];
  const float* c = p.levels + static_cast<std::size_t>(kTail) * nband;
  const std::size_t n = static_cast<std::size_t>(Usable(p)) * nband;
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8)
    for (int l = 0; l < 8; ++l) lane[l] = c[k + l] > lane[l] ? c[k + l] : lane[l];
  for (; k < n; ++k) lane[0] = c[k] > lane[0] ? c[k] : lane[0];
  for (int l = 1; l < 8; ++l) lane[0] = std::max(lane[0], lane[l]);
  return lane[0];
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

// The keys of the last catalogue whose pairs were all looked at by this process: every pair of two
// of them that passed the quick look is in the pair table, so a detector set up on the same
// catalogue (another station, a reload that changed a few patterns) looks up their pairs and
// looks only at the pairs of a pattern new to it.
std::set<std::uint64_t>& Swept() {
  static std::set<std::uint64_t> keys;
  return keys;
}

// Keys of the patterns whose entries on disk were read (or found missing) by this process.
std::set<std::uint64_t>& LoadedKeys() {
  static std::set<std::uint64_t> keys;
  return keys;
}

// Per key, the check value of its entry on disk whose pairs are all in the pair table (read or
// written by this process).
std::map<std::uint64_t, std::uint64_t>& EntryChecks() {
  static std::map<std::uint64_t, std::uint64_t> checks;
  return checks;
}

// The record of the catalogue swept last read or written by this process (name, hash of it).
std::pair<std::string, std::uint64_t>& SweptOnDisk() {
  static std::pair<std::string, std::uint64_t> last;
  return last;
}

std::uint64_t HashOf(const std::vector<SweptMember>& members) {
  return Fnv1aOf(members.data(), members.size() * sizeof(SweptMember));
}

// A new process: the patterns of the catalogue swept on disk whose entries read here are the ones
// the record names (their pairs with each other that passed the quick look are in the table).
void SweptFromDisk(const std::string& name, const std::vector<std::uint64_t>& key, std::vector<char>& swept) {
  std::vector<SweptMember> record;
  if (name.empty() || !ReadSweptCatalogue(name, record)) return;
  std::lock_guard<std::mutex> lock(g_pairMutex);
  SweptOnDisk() = {name, HashOf(record)};
  std::map<std::uint64_t, std::uint64_t> entryOf;
  for (const SweptMember& m : record) entryOf.emplace(m.key, m.entry);
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (key[i] == 0) continue;
    const auto r = entryOf.find(key[i]);
    const auto e = EntryChecks().find(key[i]);
    if (r != entryOf.end() && e != EntryChecks().end() && r->second != 0 && r->second == e->second) swept[i] = 1;
  }
}

std::uint64_t ContentKey(const PatternLevels& p, int nband) {
  Fnv1a f;
  f.Value(p.nblock);
  f.Value(nband);
  f.Value(WordHashOf(p.levels, static_cast<std::size_t>(p.nblock) * nband * sizeof(float)));
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

// Quiet blocks at a pattern's start and end (a lead-in, a fade to silence): alike in any two
// patterns, so the quick look starts after them.
struct Edges {
  int lead = 0, trail = 0;
};

Edges EdgesOf(const PatternLevels& p, int nband) {
  Edges e;
  const int n = Usable(p);
  const float peak = Peak(p, nband);
  while (e.lead < n && Quiet(p, nband, e.lead, peak)) ++e.lead;
  while (e.trail < n - e.lead && Quiet(p, nband, n - 1 - e.trail, peak)) ++e.trail;
  return e;
}

// The quick look: the first blocks after the quiet lead-in of either, starts aligned, alike.
bool StartsAlike(const PatternLevels& a, const Edges& ea, const PatternLevels& b, const Edges& eb, int nband) {
  const int s = std::max(ea.lead, eb.lead);
  if (s + kSketch > std::min(Usable(a), Usable(b))) return false;
  return SketchDistance(a, s, b, s, kSketch, nband) < 2.0f * Relatives::kSharedDb;
}

// The last blocks before the quiet tail of either, ends aligned, alike.
bool EndsAlike(const PatternLevels& a, const Edges& ea, const PatternLevels& b, const Edges& eb, int nband) {
  const int t = std::max(ea.trail, eb.trail);
  const int na = Usable(a), nb = Usable(b);
  if (t + kSketch > std::min(na, nb)) return false;
  return SketchDistance(a, na - t - kSketch, b, nb - t - kSketch, kSketch, nband) < 2.0f * Relatives::kSharedDb;
}

// kSketch blocks of a pattern from block `first` (from its start) with their mean taken off, laid
// out in a row: the quick look of many pairs without the pattern's layout, stopping as soon as a
// pair is too far apart. Empty when the pattern has no such blocks.
struct Sketch {
  std::vector<float> cells;
};

Sketch SketchOf(const PatternLevels& p, int nband, int first) {
  Sketch s;
  if (first < 0 || first + kSketch > Usable(p)) return s;
  double mean = 0.0;
  for (int k = 0; k < kSketch; ++k)
    for (int band = 0; band < nband; ++band) {
      s.cells.push_back(At(p, nband, first + k, band));
      mean += s.cells.back();
    }
  mean /= static_cast<double>(s.cells.size());
  for (float& c : s.cells) c = static_cast<float>(c - mean);
  return s;
}

// Whether two sketches are within the quick look's distance (their mean difference is taken off
// by the sketches' own means).
bool Near(const Sketch& a, const Sketch& b) {
  if (a.cells.empty() || a.cells.size() != b.cells.size()) return false;
  const float limit = 2.0f * Relatives::kSharedDb * static_cast<float>(a.cells.size());
  float d = 0.0f;
  for (std::size_t c = 0; c < a.cells.size(); ++c) {
    d += std::fabs(a.cells[c] - b.cells[c]);
    if (d >= limit) return false;
  }
  return true;
}

// Every pattern's entry made to list exactly its pairs in this catalogue that passed the quick look
// (in the order of the other's key: moving patterns changes nothing), written when it lists other
// pairs, and the record of the catalogue swept naming them with their entries' check values.
void KeepOnDisk(const std::vector<std::string>& entry, const std::vector<std::uint64_t>& key,
                std::vector<std::vector<CachedPair>>& compared, const std::string& record) {
  std::vector<SweptMember> members;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (entry[i].empty()) continue;
    std::vector<CachedPair>& list = compared[i];
    std::stable_sort(list.begin(), list.end(), [](const CachedPair& x, const CachedPair& y) { return x.other < y.other; });
    list.erase(std::unique(list.begin(), list.end(), [](const CachedPair& x, const CachedPair& y) { return x.other == y.other; }),
               list.end());
    std::uint64_t check = RelativesEntryCheck(key[i], list);
    bool known = false;
    {
      std::lock_guard<std::mutex> lock(g_pairMutex);
      const auto e = EntryChecks().find(key[i]);
      known = e != EntryChecks().end() && e->second == check;
    }
    if (!known) {
      const bool written = check != 0 && WriteRelativesEntry(entry[i], key[i], list);
      std::lock_guard<std::mutex> lock(g_pairMutex);
      if (written) EntryChecks()[key[i]] = check;
      else EntryChecks().erase(key[i]), check = 0;
    }
    members.push_back({key[i], check});
  }
  if (record.empty()) return;
  std::sort(members.begin(), members.end(), [](const SweptMember& x, const SweptMember& y) { return x.key < y.key; });
  members.erase(std::unique(members.begin(), members.end(), [](const SweptMember& x, const SweptMember& y) { return x.key == y.key; }),
                members.end());
  const std::pair<std::string, std::uint64_t> now{record, HashOf(members)};
  {
    std::lock_guard<std::mutex> lock(g_pairMutex);
    if (SweptOnDisk() == now) return;
  }
  const bool written = WriteSweptCatalogue(record, members);
  std::lock_guard<std::mutex> lock(g_pairMutex);
  SweptOnDisk() = written ? now : std::pair<std::string, std::uint64_t>{};
}

}  // namespace

bool Relatives::Plausible(const PatternLevels& a, const PatternLevels& b, int nband) {
  const Edges ea = EdgesOf(a, nband), eb = EdgesOf(b, nband);
  return StartsAlike(a, ea, b, eb, nband) || EndsAlike(a, ea, b, eb, nband);
}

bool Relatives::Compare(const PatternLevels& a, const PatternLevels& b, int nband, double blocksPerSecond,
                        Relation& ab, Relation& ba) {
  const int na = Usable(a), nb = Usable(b);
  const int shorter = std::min(na, nb);
  const int minShared = std::max(static_cast<int>(std::ceil(kMinSharedSeconds * blocksPerSecond)),
                                 static_cast<int>(std::ceil(kMinSharedFraction * static_cast<float>(shorter))));
  if (shorter < minShared) return false;
  const Edges ea = EdgesOf(a, nband), eb = EdgesOf(b, nband);
  const bool starts = StartsAlike(a, ea, b, eb, nband);
  const bool ends = EndsAlike(a, ea, b, eb, nband);
  if (!starts && !ends) return false;
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

void Relatives::ForgetComparisons() {
  std::lock_guard<std::mutex> lock(g_pairMutex);
  PairTable().clear();
  LoadedKeys().clear();
  EntryChecks().clear();
  SweptOnDisk() = {};
  Swept().clear();
}

void Relatives::Find(const std::vector<PatternLevels>& patterns, int nband, double blocksPerSecond,
                     const std::string& cacheDirectory) {
  blocksPerSecond_ = blocksPerSecond;
  of_.assign(patterns.size(), {});
  std::vector<std::uint64_t> key(patterns.size(), 0);
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (patterns[i].compared && patterns[i].nblock > 0) key[i] = ContentKey(patterns[i], nband);
  // The entries on disk of patterns this process has not read yet, into the process's table; one
  // missing or refused is written (again) below.
  std::vector<std::string> entry(patterns.size());
  if (!cacheDirectory.empty())
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      if (key[i] == 0) continue;
      entry[i] = RelativesEntryName(cacheDirectory, key[i], blocksPerSecond);
      {
        std::lock_guard<std::mutex> lock(g_pairMutex);
        if (!LoadedKeys().insert(key[i]).second) continue;
      }
      std::vector<CachedPair> cached;
      std::uint64_t check = 0;
      if (!ReadRelativesEntry(entry[i], key[i], cached, &check)) continue;
      std::lock_guard<std::mutex> lock(g_pairMutex);
      for (const CachedPair& c : cached) {
        PairTable()[std::make_pair(key[i], c.other)] = Pair{c.related, c.mine, c.theirs};
        PairTable()[std::make_pair(c.other, key[i])] = Pair{c.related, c.theirs, c.mine};
      }
      EntryChecks()[key[i]] = check;
    }
  std::vector<Edges> edges(patterns.size());
  std::vector<Sketch> heads(patterns.size()), tails(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (key[i] != 0) {
      edges[i] = EdgesOf(patterns[i], nband);
      const int n = Usable(patterns[i]);
      heads[i] = SketchOf(patterns[i], nband, edges[i].lead);
      tails[i] = SketchOf(patterns[i], nband, n - edges[i].trail - kSketch);
    }
  SketchScreen headScreen(kSketch, nband, patterns.size()), tailScreen(kSketch, nband, patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) headScreen.Add(heads[i].cells), tailScreen.Add(tails[i].cells);
  const float limit = 2.0f * Relatives::kSharedDb * static_cast<float>(kSketch * nband);
  // The quick look of a pair: through the screen and the sketches when both have edges of one
  // length (most pairs), else in full.
  auto plausible = [&](std::size_t i, std::size_t j) {
    const PatternLevels &a = patterns[i], &b = patterns[j];
    const bool starts = edges[i].lead == edges[j].lead ? headScreen.MayBeNear(i, j, limit) && Near(heads[i], heads[j])
                                                       : StartsAlike(a, edges[i], b, edges[j], nband);
    if (starts) return true;
    return edges[i].trail == edges[j].trail ? tailScreen.MayBeNear(i, j, limit) && Near(tails[i], tails[j])
                                            : EndsAlike(a, edges[i], b, edges[j], nband);
  };
  // The pairs to compare (or look up), in the order of their first pattern and then their second
  // (the order of each pattern's relations). Pairs of two patterns of the last catalogue swept
  // come from the table: the ones it lacks did not pass the quick look. A process that has swept
  // no catalogue yet takes the one on disk.
  std::vector<char> swept(patterns.size(), 0);
  bool sweptBefore = false;
  {
    std::lock_guard<std::mutex> lock(g_pairMutex);
    sweptBefore = !Swept().empty();
    for (std::size_t i = 0; i < patterns.size(); ++i)
      if (key[i] != 0 && Swept().count(key[i]) != 0) swept[i] = 1;
  }
  const std::string record = cacheDirectory.empty() ? std::string() : SweptCatalogueName(cacheDirectory, blocksPerSecond);
  if (!sweptBefore) SweptFromDisk(record, key, swept);
  std::multimap<std::uint64_t, std::size_t> indexOf;
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (swept[i]) indexOf.emplace(key[i], i);
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  // (A pair kept the other way round passed the quick look too, which is symmetric; it is compared
  // anew below in this order, as a first set-up would.)
  if (!indexOf.empty()) {
    std::lock_guard<std::mutex> lock(g_pairMutex);
    for (const auto& [id, pair] : PairTable()) {
      const auto first = indexOf.equal_range(id.first);
      if (first.first == first.second) continue;
      const auto second = indexOf.equal_range(id.second);
      for (auto a = first.first; a != first.second; ++a)
        for (auto b = second.first; b != second.second; ++b)
          if (a->second != b->second) pairs.emplace_back(std::min(a->second, b->second), std::max(a->second, b->second));
    }
  }
  // Each pair with a pattern new to the table once. Most pairs of a catalogue differ at once in
  // their starts and ends: looked at anew each time (cheaper than a table of them all).
  // The new patterns taken a tile at a time against all others, so the screen's sums of a tile stay
  // in the cache while the others' stream past (the order does not matter: the pairs are sorted).
  std::vector<std::size_t> fresh;
  for (std::size_t u = 0; u < patterns.size(); ++u)
    if (key[u] != 0 && !swept[u]) fresh.push_back(u);
  constexpr std::size_t kTile = 64;
  for (std::size_t t = 0; t < fresh.size(); t += kTile) {
    const std::size_t end = std::min(fresh.size(), t + kTile);
    for (std::size_t j = 0; j < patterns.size(); ++j) {
      if (key[j] == 0 || (!swept[j] && j < fresh[t])) continue;
      for (std::size_t f = t; f < end; ++f) {
        const std::size_t u = fresh[f];
        if (j == u || (!swept[j] && j < u)) continue;
        const std::size_t i = std::min(u, j), k = std::max(u, j);
        if (plausible(i, k)) pairs.emplace_back(i, k);
      }
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  // Per pattern, the pairs compared in full (for its entry).
  std::vector<std::vector<CachedPair>> compared(patterns.size());
  for (const auto& [i, j] : pairs) {
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
    if (!cacheDirectory.empty()) {
      compared[i].push_back({key[j], pair.related, pair.ab, pair.ba});
      compared[j].push_back({key[i], pair.related, pair.ba, pair.ab});
    }
    if (!pair.related) continue;
    pair.ab.other = static_cast<int>(j);
    pair.ba.other = static_cast<int>(i);
    of_[i].push_back(pair.ab);
    of_[j].push_back(pair.ba);
  }
  KeepOnDisk(entry, key, compared, record);
  std::lock_guard<std::mutex> lock(g_pairMutex);
  Swept().clear();
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (key[i] != 0) Swept().insert(key[i]);
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
