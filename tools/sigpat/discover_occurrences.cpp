// Occurrences in discovery: grouping, cutting back-to-back airings apart, links and boundaries
// (see discover_occurrences.h and docs/index.md).
#include "discover_occurrences.h"

#include <algorithm>
#include <map>

namespace sigpat {
namespace discovery {

Occurrences GroupOccurrences(const std::vector<Pair>& pairs) {
  Occurrences g;
  std::vector<Interval>& intervals = g.intervals;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const Pair& p = pairs[i];
    intervals.push_back({p.a, p.first, p.last, p.distance, static_cast<int>(i)});
    intervals.push_back({p.b, p.first + p.offset, p.last + p.offset, p.distance, static_cast<int>(i)});
  }
  std::vector<int> order(intervals.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int x, int y) {
    const Interval& u = intervals[x];
    const Interval& v = intervals[y];
    return u.input != v.input ? u.input < v.input : u.first < v.first;
  });
  UnionFind same(intervals.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const Interval& u = intervals[order[i]];
    for (std::size_t j = i + 1; j < order.size(); ++j) {
      const Interval& v = intervals[order[j]];
      if (v.input != u.input || v.first > u.last) break;
      const std::int64_t common = std::min(u.last, v.last) - v.first + 1;
      if (2 * common >= std::min(u.last - u.first, v.last - v.first) + 1) same.Join(order[i], order[j]);
    }
  }
  std::map<int, int> nodeIndex;
  std::vector<ClipOccurrence>& nodes = g.nodes;
  std::vector<int>& nodeOf = g.nodeOf;
  nodeOf.assign(intervals.size(), 0);
  std::vector<int>& nodeWeight = g.nodeWeight;
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    const auto [it, fresh] = nodeIndex.emplace(same.Find(static_cast<int>(i)), static_cast<int>(nodes.size()));
    const Interval& u = intervals[i];
    if (fresh) {
      nodes.push_back({u.input, u.first, u.last, 0.0});
      nodeWeight.push_back(0);
    }
    ClipOccurrence& n = nodes[static_cast<std::size_t>(it->second)];
    n.first = std::min(n.first, u.first);
    n.last = std::max(n.last, u.last);
    n.distance += u.distance;
    ++nodeWeight[static_cast<std::size_t>(it->second)];
    nodeOf[i] = it->second;
  }
  for (std::size_t n = 0; n < nodes.size(); ++n) nodes[n].distance /= nodeWeight[n];

  return g;
}

namespace {

bool Covers(const Interval& u, const ClipOccurrence& n, std::int64_t slack) {
  return u.first <= n.first + slack && u.last >= n.last - slack;
}

}  // namespace

// Two clips aired back to back agree with another such airing as one stretch; each of them aired
// elsewhere alone agrees with a part of it. Where such an occurrence has a part (a partner that
// agrees over the whole of its own occurrence) that ends where another such part begins (within
// a crossfade), the second clip begins: every pair across that point is cut there, on either side.
// Each part must be heard at least twice elsewhere, the two apart (a song's bars agree with other
// bars of it), and no occurrence longer than a long repeat is cut.
bool SplitBackToBack(const Occurrences& g, std::vector<Pair>& pairs, std::int64_t slack, std::int64_t minBlocks,
                     std::int64_t maxBlocks) {
  std::map<int, std::vector<std::int64_t>> cuts;  // per input: blocks where a clip begins
  std::vector<std::vector<std::size_t>> parts(g.nodes.size());
  for (std::size_t k = 0; k < g.intervals.size(); ++k) {
    const int x = g.nodeOf[k], y = g.nodeOf[k ^ 1];
    if (x != y && Covers(g.intervals[k ^ 1], g.nodes[static_cast<std::size_t>(y)], slack) &&
        !Covers(g.intervals[k], g.nodes[static_cast<std::size_t>(x)], slack))
      parts[static_cast<std::size_t>(x)].push_back(k);
  }
  // A part of x agrees with at least two other occurrences.
  const auto heardTwice = [&](std::size_t x, std::size_t k) {
    const Interval& u = g.intervals[k];
    int partners = 0, first = -1;
    for (const std::size_t j : parts[x]) {
      const Interval& v = g.intervals[j];
      const std::int64_t common = std::min(u.last, v.last) - std::max(u.first, v.first) + 1;
      if (2 * common < std::max(u.last - u.first, v.last - v.first) + 1) continue;
      const int y = g.nodeOf[j ^ 1];
      if (y != first) ++partners;
      if (first < 0) first = y;
      if (partners >= 2) return true;
    }
    return false;
  };
  for (std::size_t x = 0; x < g.nodes.size(); ++x)
    for (const std::size_t k : parts[x]) {
      if (g.nodes[x].last - g.nodes[x].first > maxBlocks) break;
      const Interval& w = g.intervals[k];
      if (w.first <= g.nodes[x].first + slack || !heardTwice(x, k)) continue;
      for (const std::size_t j : parts[x]) {
        const Interval& u = g.intervals[j];
        if (u.first + minBlocks > w.first || u.last + slack < w.first || u.last > w.first + kOverlapBlocks + slack) continue;
        const ClipOccurrence& y = g.nodes[static_cast<std::size_t>(g.nodeOf[j ^ 1])];
        const ClipOccurrence& z = g.nodes[static_cast<std::size_t>(g.nodeOf[k ^ 1])];
        const bool apart = y.input != z.input || z.first > y.last + kAiringGapBlocks || z.last < y.first;
        if (apart && heardTwice(x, j)) {
          cuts[w.input].push_back(w.first);
          break;
        }
      }
    }
  if (cuts.empty()) return false;
  for (auto& [input, c] : cuts) std::sort(c.begin(), c.end());
  const auto inside = [&](int input, std::int64_t shift, std::int64_t first, std::int64_t last, std::vector<std::int64_t>& out) {
    const auto it = cuts.find(input);
    if (it == cuts.end()) return;
    for (const std::int64_t c : it->second)
      if (c - shift > first + slack && c - shift <= last - slack) out.push_back(c - shift);
  };
  std::vector<Pair> out;
  for (const Pair& p : pairs) {
    std::vector<std::int64_t> at;
    inside(p.a, 0, p.first, p.last, at);
    inside(p.b, p.offset, p.first, p.last, at);
    std::sort(at.begin(), at.end());
    std::int64_t from = p.first;
    for (std::size_t i = 0; i <= at.size(); ++i) {
      if (i < at.size() && at[i] < from + slack) continue;
      const std::int64_t to = i < at.size() ? at[i] - 1 : p.last;
      if (to - from + 1 >= minBlocks) {
        Pair q = p;
        q.first = from, q.last = to;
        out.push_back(q);
      }
      from = to + 1;
    }
  }
  pairs = std::move(out);
  return true;
}

// Occurrences are linked by a pair that agrees over the whole of both (a pair that agrees over
// the common part of two versions only links neither: it makes them one family). At the start a
// pair may fall short of one occurrence by up to a second where it reaches the other's start:
// that other one is covered there (the song before it fading out over its opening), so the pair
// cannot agree earlier, while the first shows its opening to partners heard clean. (Ends are not
// let off so: versions differ by what follows the common part.)
std::vector<std::vector<Link>> LinkOccurrences(const Occurrences& g, const std::vector<Pair>& pairs, std::int64_t slack) {
  constexpr std::int64_t kCoveredStartBlocks = 77;  // a second
  std::vector<std::vector<Link>> links(g.nodes.size());
  for (std::size_t i = 0; i + 1 < g.intervals.size(); i += 2) {
    const int x = g.nodeOf[i], y = g.nodeOf[i + 1];
    if (x == y) continue;
    const Interval& u = g.intervals[i];
    const Interval& v = g.intervals[i + 1];
    const ClipOccurrence& nx = g.nodes[static_cast<std::size_t>(x)];
    const ClipOccurrence& ny = g.nodes[static_cast<std::size_t>(y)];
    if (u.last < nx.last - slack || v.last < ny.last - slack) continue;
    const bool startX = u.first <= nx.first + slack, startY = v.first <= ny.first + slack;
    if (!(startX && startY) && !(startX && v.first <= ny.first + kCoveredStartBlocks) &&
        !(startY && u.first <= nx.first + kCoveredStartBlocks))
      continue;
    const std::int64_t offset = pairs[static_cast<std::size_t>(u.pair)].offset;
    links[static_cast<std::size_t>(x)].push_back({y, offset});
    links[static_cast<std::size_t>(y)].push_back({x, -offset});
  }
  return links;
}

// An occurrence shows where its clip begins when a partner agrees with it from the start of both
// (within tol), and where it ends likewise. One whose every partner was heard further than it lies
// under other sound there (a song fading out over its start, talk over its end): its own boundary
// is where the covering begins, not the clip's.
std::vector<int> ShownBoundaries(const Occurrences& g, std::int64_t tol) {
  std::vector<int> shown(g.nodes.size(), 0);
  for (std::size_t i = 0; i + 1 < g.intervals.size(); i += 2) {
    const std::size_t x = static_cast<std::size_t>(g.nodeOf[i]), y = static_cast<std::size_t>(g.nodeOf[i + 1]);
    const Interval& u = g.intervals[i];
    const Interval& v = g.intervals[i + 1];
    const int bits = (u.first <= g.nodes[x].first + tol && v.first <= g.nodes[y].first + tol ? 1 : 0) |
                     (u.last >= g.nodes[x].last - tol && v.last >= g.nodes[y].last - tol ? 2 : 0);
    shown[x] |= bits;
    shown[y] |= bits;
  }
  return shown;
}

}  // namespace discovery
}  // namespace sigpat
