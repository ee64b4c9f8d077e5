// Relatives among patterns: see relatives.h.
#include "relatives.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

#include "calibration_file.h"
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

// The process's table of earlier comparisons: per pair of related pattern contents, the relation
// (each side's); a pair it lacks is unrelated or not compared yet.
struct Pair {
  Relation ab, ba;
};
std::mutex g_pairMutex;
// (Hashed: at 10,000 tone-step clips a tenth of all pairs pass the quick look, millions of entries
// that a tree took most of a warm set-up to insert and walk. The keys are content hashes already.)
struct PairKeyHash {
  std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& id) const noexcept {
    return static_cast<std::size_t>(id.first ^ (id.second * 0x9E3779B97F4A7C15ull) ^ (id.second >> 29));
  }
};
using PairMap = std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, Pair, PairKeyHash>;
PairMap& PairTable() {
  static PairMap table;
  return table;
}

// The keys of the last catalogue whose pairs were all looked at by this process: every related pair
// of two of them is in the pair table (which keeps no other), so a detector set up on the same
// catalogue (another station, a reload that changed a few patterns) looks up their pairs and
// looks only at the pairs of a pattern new to it.
std::set<std::uint64_t>& Swept() {
  static std::set<std::uint64_t> keys;
  return keys;
}

// The records on disk this process read or wrote (relatives_cache.h): all their pairs (the
// related ones) are in the pair table.
std::set<std::string>& RecordsKnown() {
  static std::set<std::string> names;
  return names;
}

// A record on disk into the pair table (both ways round); its members, or none when it cannot be
// read or is not the record its name says (of other members or another block rate). With `within`
// (sorted keys), only the pairs of two of those: another catalogue's record taken for the patterns
// the two share (a 1000-pattern catalogue set up from a 10,000-pattern record need not hold a
// million pairs it never looks up); the record is then not known whole.
std::vector<std::uint64_t> LoadRecord(const std::string& name, const std::string& directory, double blocksPerSecond,
                                      const std::vector<std::uint64_t>* within = nullptr) {
  CatalogueRecord r;
  if (name.empty() || !ReadCatalogueRecord(name, r)) return {};
  if (r.blocksPerSecond != blocksPerSecond || CatalogueRecordName(directory, r.members, blocksPerSecond) != name) return {};
  const auto wanted = [within](std::uint64_t k) { return within == nullptr || std::binary_search(within->begin(), within->end(), k); };
  std::lock_guard<std::mutex> lock(g_pairMutex);
  if (within == nullptr) PairTable().reserve(PairTable().size() + 2 * r.pairs.size());
  for (const CataloguePair& c : r.pairs) {
    if (!c.related || !wanted(c.first) || !wanted(c.second)) continue;
    PairTable()[std::make_pair(c.first, c.second)] = Pair{c.ab, c.ba};
    PairTable()[std::make_pair(c.second, c.first)] = Pair{c.ba, c.ab};
  }
  if (within == nullptr) RecordsKnown().insert(name);
  return std::move(r.members);
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

// The record of this catalogue: its members and every pair of two of them found related (`pairs`,
// in the order taken; a pair of two patterns of one content once, as first taken). The pairs
// compared and found unrelated are not kept: at 10,000 tone-step clips a tenth of all pairs pass
// the quick look and the record held 5 million of them (124 MB) for a few hundred relations; a
// pair of two members it lacks is not related, whether the quick look ruled it out or the
// comparison did. Touched when it is on disk as this process knows it, else written; then the
// oldest records trimmed.
void KeepOnDisk(const std::string& name, std::vector<std::uint64_t> members, bool known, std::vector<CataloguePair> pairs,
                double blocksPerSecond) {
  if (name.empty()) return;
  if (!known || !TouchCatalogueRecord(name)) {
    CatalogueRecord r;
    r.rules = RelationRulesVersion();
    r.build = BuildIdentity();
    r.blocksPerSecond = blocksPerSecond;
    r.pairs = std::move(pairs);
    r.members = std::move(members);
    if (!WriteCatalogueRecord(name, r)) return;
    std::lock_guard<std::mutex> lock(g_pairMutex);
    RecordsKnown().insert(name);
  }
  TrimCatalogueRecords(name);
}

}  // namespace

std::uint64_t RelationRulesVersion() {
  // Raised whenever Compare, the quick look or the content key change in a way the constants
  // below do not show; the constants are part of it.
  constexpr int kRules = 3;
  Fnv1a f;
  f.Value(kRules);
  f.Value(kTail);
  f.Value(kSketch);
  f.Value(kQuietDb);
  for (const float c : {Relatives::kSharedDb, Relatives::kMinSharedFraction, Relatives::kMinSharedSeconds,
                        Relatives::kLookAlikeDb, Relatives::kMinLookAlikeSeconds})
    f.Value(c);
  return f.h;
}

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
  RecordsKnown().clear();
  Swept().clear();
}

void Relatives::Find(const std::vector<PatternLevels>& patterns, int nband, double blocksPerSecond,
                     const std::string& cacheDirectory) {
  blocksPerSecond_ = blocksPerSecond;
  of_.assign(patterns.size(), {});
  std::vector<std::uint64_t> key(patterns.size(), 0);
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (patterns[i].compared && patterns[i].nblock > 0) key[i] = ContentKey(patterns[i], nband);
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
  // (the order of each pattern's relations). Pairs of two patterns of a catalogue swept before
  // come from the table: the ones it lacks are not related (ruled out by the quick look, or by the
  // comparison when they came from a record, which keeps only related pairs). Swept before: the last
  // catalogue of this process when it holds them all, else this catalogue's record on disk, else
  // the last catalogue of this process, else the record on disk sharing most patterns with this one.
  std::vector<std::uint64_t> members;
  for (const std::uint64_t k : key)
    if (k != 0) members.push_back(k);
  const std::size_t patternsCompared = members.size();
  std::sort(members.begin(), members.end());
  members.erase(std::unique(members.begin(), members.end()), members.end());
  // (A catalogue of one content has no pairs: nothing to keep.)
  const std::string record =
      cacheDirectory.empty() || members.size() < 2 ? std::string() : CatalogueRecordName(cacheDirectory, members, blocksPerSecond);
  std::vector<char> swept(patterns.size(), 0);
  bool sweptBefore = false, known = false;
  std::size_t covered = 0;
  {
    std::lock_guard<std::mutex> lock(g_pairMutex);
    sweptBefore = !Swept().empty();
    for (std::size_t i = 0; i < patterns.size(); ++i)
      if (key[i] != 0 && Swept().count(key[i]) != 0) swept[i] = 1, ++covered;
    known = RecordsKnown().count(record) != 0;
  }
  if (!record.empty() && covered < patternsCompared) {
    if (!known) known = !LoadRecord(record, cacheDirectory, blocksPerSecond).empty();
    std::vector<std::uint64_t> nearest;
    if (!known && !sweptBefore)
      nearest = LoadRecord(NearestCatalogueRecord(cacheDirectory, members, blocksPerSecond, record), cacheDirectory,
                           blocksPerSecond, &members);
    for (std::size_t i = 0; i < patterns.size(); ++i)
      if (key[i] != 0 && (known || std::binary_search(nearest.begin(), nearest.end(), key[i]))) swept[i] = 1;
  }
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> indexOf;  // (the order is the sort's below)
  for (std::size_t i = 0; i < patterns.size(); ++i)
    if (swept[i]) indexOf[key[i]].push_back(i);
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  // (A pair kept the other way round passed the quick look too, which is symmetric; it is compared
  // anew below in this order, as a first set-up would.)
  if (!indexOf.empty()) {
    std::lock_guard<std::mutex> lock(g_pairMutex);
    for (const auto& [id, pair] : PairTable()) {
      const auto first = indexOf.find(id.first);
      if (first == indexOf.end()) continue;
      const auto second = indexOf.find(id.second);
      if (second == indexOf.end()) continue;
      for (const std::size_t a : first->second)
        for (const std::size_t b : second->second)
          if (a != b) pairs.emplace_back(std::min(a, b), std::max(a, b));
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
  std::vector<CataloguePair> found;  // for the record
  std::set<std::pair<std::uint64_t, std::uint64_t>> recorded;
  for (const auto& [i, j] : pairs) {
    Pair pair;
    const auto id = std::make_pair(key[i], key[j]);
    bool related = false;
    {
      std::lock_guard<std::mutex> lock(g_pairMutex);
      auto it = PairTable().find(id);
      if (it != PairTable().end()) pair = it->second, related = true;
    }
    if (!related) {
      // (Only related pairs are kept, in the table as on disk: the unrelated ones of a cold
      // 10,000-pattern set-up held 400 MB for the life of a monitor.)
      related = Compare(patterns[i], patterns[j], nband, blocksPerSecond, pair.ab, pair.ba);
      if (related) {
        std::lock_guard<std::mutex> lock(g_pairMutex);
        PairTable()[id] = pair;
      }
    }
    if (!related) continue;
    if (recorded.insert(std::minmax(key[i], key[j])).second) found.push_back({key[i], key[j], true, pair.ab, pair.ba});
    pair.ab.other = static_cast<int>(j);
    pair.ba.other = static_cast<int>(i);
    of_[i].push_back(pair.ab);
    of_[j].push_back(pair.ba);
  }
  KeepOnDisk(record, std::move(members), known, std::move(found), blocksPerSecond);
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
