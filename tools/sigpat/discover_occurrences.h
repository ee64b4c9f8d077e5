// Occurrences in discovery (discover_clips.cpp): the verified pairs' stretches grouped into
// occurrences, occurrences of two clips aired back to back cut apart, and occurrences linked into
// clips, each boundary taken from the occurrences that show it. Internal to discovery.
#ifndef SIGPAT_DISCOVER_OCCURRENCES_H
#define SIGPAT_DISCOVER_OCCURRENCES_H

#include <cstdint>
#include <numeric>
#include <vector>

#include "discover_clips.h"

namespace sigpat {
namespace discovery {

constexpr int kOverlapBlocks = 38;  // two copies in one input may overlap this much (a crossfade, 0.5 s)
constexpr std::int64_t kAiringGapBlocks = 6 * 77;  // 6 s

struct UnionFind {
  std::vector<int> parent;
  explicit UnionFind(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
  int Find(int x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  void Join(int a, int b) { parent[Find(a)] = Find(b); }
};

// Two stretches that agree: blocks first..last of input a and first + offset.. of input b.
struct Pair {
  int a = 0, b = 0;
  std::int64_t first = 0, last = 0, offset = 0;  // blocks of a; b at + offset
  double distance = 0.0;
};

struct Interval {
  int input = 0;
  std::int64_t first = 0, last = 0;
  double distance = 0.0;
  int pair = 0;
};

// The pairs' stretches grouped into occurrences: those in one input that overlap by half of the
// shorter one are one occurrence (heard by several partners, each agreeing over its own part of
// it), as long as the longest agreement any partner shows it.
struct Occurrences {
  std::vector<Interval> intervals;  // two per pair: its stretch in a, then in b
  std::vector<ClipOccurrence> nodes;
  std::vector<int> nodeOf, nodeWeight;  // per interval its occurrence; per occurrence its intervals
};

Occurrences GroupOccurrences(const std::vector<Pair>& pairs);

// Two clips aired back to back agree with another such airing as one stretch; each of them aired
// elsewhere alone agrees with a part of it. Cuts every pair where the second clip begins (see
// discover_occurrences.cpp); false when nothing was cut.
bool SplitBackToBack(const Occurrences& g, std::vector<Pair>& pairs, std::int64_t slack, std::int64_t minBlocks,
                     std::int64_t maxBlocks);

// A link between two occurrences of one clip: a block of the node is block + offset of `to`.
struct Link {
  int to;
  std::int64_t offset;
};

// Per occurrence, the occurrences it is linked to (see discover_occurrences.cpp).
std::vector<std::vector<Link>> LinkOccurrences(const Occurrences& g, const std::vector<Pair>& pairs, std::int64_t slack);

// Per occurrence: bit 1 when it shows where its clip begins, bit 2 where it ends.
std::vector<int> ShownBoundaries(const Occurrences& g, std::int64_t tol);

// Occurrences (by input and position) that follow each other within a few seconds are one airing.
inline int Airings(const std::vector<ClipOccurrence>& occurrences) {
  int airings = 0;
  for (std::size_t k = 0; k < occurrences.size(); ++k) {
    const ClipOccurrence& o = occurrences[k];
    if (k == 0 || o.input != occurrences[k - 1].input || o.first - occurrences[k - 1].last > kAiringGapBlocks) ++airings;
  }
  return airings;
}

}  // namespace discovery
}  // namespace sigpat

#endif
