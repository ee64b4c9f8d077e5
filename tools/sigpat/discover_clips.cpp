// Discovery of repeated clips in time-spectra (see discover_clips.h).
#include "discover_clips.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <limits>
#include <numeric>
#include <tuple>

#include "discover_occurrences.h"
#include "shape_index.h"

namespace sigpat {

using namespace discovery;

namespace {

constexpr int kBands = 8;
constexpr float kFloorDepth_dB = 40.0f;  // as the keys: what lies deeper under a block's loudest band is not compared
constexpr int kDropBlocks = 25;          // an extension ends after this many blocks' worth of disagreement
constexpr double kSongBarsSeconds = 8.0;  // music heard twice shorter than this may be a song's bars
constexpr double kShortRepeatSeconds = 2.5;  // talk alone or music alone heard twice shorter than this needs a third airing
constexpr int kLoopCheckBlocks = 77;  // a second
// Past where the copies stop agreeing, an end moves on over at most this many blocks (0.2 s) whose
// distance stays under kCovered_dB: the clip still there under the next song fading in over its
// last moments. (A start needs no such step: a clip starts at full level over a song fading out.)
constexpr int kCoveredBlocks = 15;
constexpr float kCovered_dB = 4.5f;
constexpr std::int64_t kLongerBlocks = 77;  // a clip heard under talk is this much (a second) longer than what agrees
constexpr std::int64_t kTailBlocks = 77;  // a clip's tail heard past where its copies agree: at most a second
constexpr std::int64_t kMaxExtension = 20 * 60 * 77;  // blocks: no repeat is followed further (20 min)

std::vector<float> Floored(const std::vector<float>& levels) {
  std::vector<float> out(levels);
  for (std::size_t t = 0; t + kBands <= out.size(); t += kBands) {
    float top = -1.0e30f;
    for (int b = 0; b < kBands; ++b) top = std::max(top, out[t + b]);
    for (int b = 0; b < kBands; ++b) out[t + b] = std::max(out[t + b], top - kFloorDepth_dB);
  }
  return out;
}

// Two inputs' floored levels at one offset (block t of a against t + offset of b), with the
// difference of their equalisation taken out: the distance of a block is the mean absolute
// difference of the bands' levels once the per-band difference of the stretch compared (the
// two stations' equalisation) and the block's overall difference (level, compression) are
// removed. A block of a copy of the same sound is within a dB or two; of other sound, 6 to 12.
class Alignment {
 public:
  Alignment(const std::vector<float>& a, const std::vector<float>& b, std::int64_t offset)
      : a_(a), b_(b), offset_(offset), na_(static_cast<std::int64_t>(a.size() / kBands)),
        nb_(static_cast<std::int64_t>(b.size() / kBands)) {}
  bool Valid(std::int64_t t) const { return t >= 0 && t < na_ && t + offset_ >= 0 && t + offset_ < nb_; }
  void Equalise(std::int64_t first, std::int64_t last) {
    double sum[kBands] = {};
    int n = 0;
    for (std::int64_t t = first; t <= last; ++t) {
      if (!Valid(t)) continue;
      double d[kBands], m = 0.0;
      for (int b = 0; b < kBands; ++b) m += d[b] = Row(a_, t)[b] - Row(b_, t + offset_)[b];
      m /= kBands;
      for (int b = 0; b < kBands; ++b) sum[b] += d[b] - m;
      ++n;
    }
    for (int b = 0; b < kBands; ++b) eq_[b] = n > 0 ? static_cast<float>(sum[b] / n) : 0.0f;
  }
  float Distance(std::int64_t t) const {
    float r[kBands], m = 0.0f;
    for (int b = 0; b < kBands; ++b) m += r[b] = Row(a_, t)[b] - Row(b_, t + offset_)[b] - eq_[b];
    m /= kBands;
    float d = 0.0f;
    for (int b = 0; b < kBands; ++b) d += std::fabs(r[b] - m);
    return d / kBands;
  }
  double Mean(std::int64_t first, std::int64_t last) const {
    double s = 0.0;
    int n = 0;
    for (std::int64_t t = first; t <= last; ++t)
      if (Valid(t)) s += Distance(t), ++n;
    return n > 0 ? s / n : 1.0e9;
  }
  std::int64_t offset() const { return offset_; }

 private:
  static const float* Row(const std::vector<float>& v, std::int64_t t) { return v.data() + t * kBands; }
  const std::vector<float>& a_;
  const std::vector<float>& b_;
  std::int64_t offset_, na_, nb_;
  float eq_[kBands] = {};
};

std::int64_t Median(std::vector<std::int64_t> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

std::int64_t DiscoveredClip::blocks() const {
  const ClipOccurrence& o = occurrences[static_cast<std::size_t>(cleanest)];
  return o.last - o.first + 1;
}

std::vector<DiscoveredClip> DiscoverClips(const std::vector<const std::vector<float>*>& levels, const DiscoverTuning& tuning,
                                          DiscoverStats* stats) {
  DiscoverStats local;
  DiscoverStats& st = stats != nullptr ? *stats : local;
  const auto blocksOf = [](double seconds) { return static_cast<std::int64_t>(std::llround(seconds / kBlockSeconds)); };
  const std::int64_t minBlocks = std::max<std::int64_t>(4, blocksOf(tuning.minLength));
  const std::int64_t tol = blocksOf(tuning.boundaryTolerance);

  // The index of every input's keys, and the aligned pairs it proposes.
  std::vector<std::vector<float>> floored;
  spindex::ShapeIndex index;
  for (const std::vector<float>* l : levels) {
    floored.push_back(Floored(*l));
    index.Add(spindex::MakeKeys(l->data(), l->size() / kBands));
  }
  index.Build();
  std::vector<Background> backgrounds;
  for (const std::vector<float>* l : levels) backgrounds.push_back(BackgroundOf(*l));
  st.postings = index.Postings();
  st.indexBytes = index.Bytes();
  spindex::VoteTuning vt;
  std::vector<spindex::Vote> votes = index.Pairs(vt, minBlocks);
  st.votes = votes.size();
  const std::vector<spindex::Candidate> candidates = spindex::Candidates(std::move(votes), vt);
  votes = {};
  st.candidates = candidates.size();

  // Each candidate verified and extended both ways from its middle to where the copies stop
  // agreeing (the best-scoring stretch, each block scoring agree_dB minus its distance).
  const float agree = tuning.agree_dB;
  const int span = spindex::KeySpan();
  std::map<std::tuple<int, int, std::int64_t>, std::vector<Pair>> verified;  // by inputs and offset
  std::vector<Pair> pairs;
  for (const spindex::Candidate& c : candidates) {
    const int a = static_cast<int>(c.query), b = static_cast<int>(c.stream);
    bool seen = false;
    for (std::int64_t o = c.offset - 2; o <= c.offset + 2 && !seen; ++o) {
      const auto it = verified.find({a, b, o});
      if (it == verified.end()) continue;
      for (const Pair& p : it->second)
        if (static_cast<std::int64_t>(c.first) >= p.first - span && static_cast<std::int64_t>(c.last) <= p.last + span)
          seen = true;
    }
    if (seen) continue;
    const std::int64_t seedFirst = c.first, seedLast = static_cast<std::int64_t>(c.last) + span - 1;
    // The offset (to a block either side) where the seed agrees best.
    double best = 1.0e9;
    std::int64_t offset = c.offset;
    for (std::int64_t o = c.offset - 3; o <= c.offset + 3; ++o) {
      if (a == b && o < minBlocks) continue;
      Alignment al(floored[a], floored[b], o);
      al.Equalise(seedFirst, seedLast);
      const double m = al.Mean(seedFirst, seedLast);
      if (m < best) best = m, offset = o;
    }
    if (!(best < agree)) continue;
    Alignment al(floored[a], floored[b], offset);
    al.Equalise(seedFirst, seedLast);
    const auto score = [&](std::int64_t t) { return std::clamp(agree - al.Distance(t), -agree, agree); };
    // In one input the earlier copy ends before the later one begins.
    const bool oneInput = a == b;
    const std::int64_t mid = (seedFirst + seedLast) / 2;
    double cum = 0.0, top = 0.0;
    std::int64_t last = mid - 1;
    bool capped = false;
    for (std::int64_t t = mid; al.Valid(t) && t - mid < kMaxExtension; ++t) {
      if (oneInput && t >= seedFirst + offset + kOverlapBlocks) {
        capped = true;
        break;
      }
      cum += score(t);
      if (cum > top) top = cum, last = t;
      if (cum < top - agree * kDropBlocks) break;
    }
    cum = top = 0.0;
    std::int64_t first = mid;
    for (std::int64_t t = mid - 1; al.Valid(t) && mid - t < kMaxExtension; --t) {
      if (oneInput && t + offset + kOverlapBlocks <= last) {
        capped = true;
        break;
      }
      cum += score(t);
      if (cum > top) top = cum, first = t;
      if (cum < top - agree * kDropBlocks) break;
    }
    // Two copies that run into each other and go on agreeing are a sound that repeats itself (a
    // loop of music, a steady rhythm), not a clip played twice: past the point where the copies
    // meet, they still agree for another second.
    if (capped) {
      double ahead = 0.0;
      int n = 0;
      for (std::int64_t t = last + 1; t <= last + kLoopCheckBlocks && al.Valid(t); ++t) ahead += score(t), ++n;
      if (n == 0 || ahead > 0.0) continue;
    }
    if (last - first + 1 < minBlocks) continue;
    for (int k = 0; k < kCoveredBlocks; ++k) {
      const std::int64_t t = last + 1;
      if (!al.Valid(t) || (oneInput && t >= first + offset + kOverlapBlocks) || !(al.Distance(t) < kCovered_dB)) break;
      last = t;
    }
    Pair p{a, b, first, last, offset, al.Mean(first, last)};
    verified[{a, b, c.offset}].push_back(p);
    pairs.push_back(p);
  }
  // Of alignments of the same stretches at other offsets (steady sound agrees with itself a few
  // blocks off, a rhythm a beat off), the one that agrees best stays.
  // Agreement counts by its length and closeness: the sum of the blocks' scores.
  const auto worth = [&](const Pair& p) { return static_cast<double>(p.last - p.first + 1) * (agree - p.distance); };
  std::sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) {
    return std::tie(x.a, x.b, x.first) < std::tie(y.a, y.b, y.first);
  });
  std::vector<Pair> best;
  for (std::size_t g = 0; g < pairs.size();) {
    std::size_t h = g;
    std::int64_t longest = 0;
    for (; h < pairs.size() && pairs[h].a == pairs[g].a && pairs[h].b == pairs[g].b; ++h)
      longest = std::max(longest, pairs[h].last - pairs[h].first + 1);
    for (std::size_t i = g; i < h; ++i) {
      const Pair& p = pairs[i];
      bool other = false;
      // Pairs of this group that overlap p begin at most `longest` blocks before it.
      std::size_t j = i;
      while (j > g && pairs[j - 1].first >= p.first - longest) --j;
      for (; j < h && pairs[j].first <= p.last && !other; ++j) {
        const Pair& q = pairs[j];
        if (j == i || q.offset == p.offset || worth(q) <= worth(p)) continue;
        const std::int64_t common = std::min(p.last, q.last) - std::max(p.first, q.first) + 1;
        const std::int64_t shorter = std::min(p.last - p.first, q.last - q.first) + 1;
        if (2 * common >= shorter && std::llabs(p.offset - q.offset) < shorter) other = true;
      }
      if (!other) best.push_back(p);
    }
    g = h;
  }
  pairs = std::move(best);
  st.verified = pairs.size();

  // Occurrences; where one is two clips aired back to back (each aired elsewhere alone), its
  // pairs are cut where the second clip begins and the occurrences grouped again.
  const std::int64_t slack = 2 * tol;
  Occurrences g = GroupOccurrences(pairs);
  if (SplitBackToBack(g, pairs, slack, minBlocks, blocksOf(tuning.longRepeat))) g = GroupOccurrences(pairs);
  const std::vector<Interval>& intervals = g.intervals;
  std::vector<ClipOccurrence>& nodes = g.nodes;
  const std::vector<int>& nodeOf = g.nodeOf;
  const std::vector<int>& nodeWeight = g.nodeWeight;

  // Clips: connected sets of linked occurrences. Positions within a clip are carried along the
  // links (a block of one occurrence is a block of the other at the pair's offset), so that each
  // side's boundary is where most of the occurrences that show it stop agreeing.
  const std::vector<std::vector<Link>> links = LinkOccurrences(g, pairs, slack);
  const std::vector<int> shown = ShownBoundaries(g, tol);
  std::vector<int> seen(nodes.size(), 0);
  std::vector<DiscoveredClip> clips;
  std::vector<int> clipOfNode(nodes.size(), -1);
  for (std::size_t start = 0; start < nodes.size(); ++start) {
    if (seen[start] || links[start].empty()) continue;
    // The component, with each node's offset from the first.
    std::vector<std::pair<int, std::int64_t>> members{{static_cast<int>(start), 0}};
    seen[start] = 1;
    for (std::size_t k = 0; k < members.size(); ++k)
      for (const Link& l : links[static_cast<std::size_t>(members[k].first)])
        if (!seen[static_cast<std::size_t>(l.to)]) {
          seen[static_cast<std::size_t>(l.to)] = 1;
          members.push_back({l.to, members[k].second + l.offset});
        }
    std::vector<std::int64_t> firsts, lasts, shownFirsts, shownLasts;
    for (const auto& [m, off] : members) {
      const ClipOccurrence& n = nodes[static_cast<std::size_t>(m)];
      firsts.push_back(n.first - off);
      lasts.push_back(n.last - off);
      if (shown[static_cast<std::size_t>(m)] & 1) shownFirsts.push_back(n.first - off);
      if (shown[static_cast<std::size_t>(m)] & 2) shownLasts.push_back(n.last - off);
    }
    const std::int64_t first = Median(shownFirsts.empty() ? firsts : shownFirsts);
    std::int64_t last = Median(shownLasts.empty() ? lasts : shownLasts);
    // Where the copies stop agreeing because the others lie under the next sound there, the
    // clip's fading tail is heard on in an occurrence that nothing follows at once: the clip
    // ends where that tail reaches the background or new sound begins.
    std::int64_t tail = 0;
    for (const auto& [m, off] : members) {
      const int input = nodes[static_cast<std::size_t>(m)].input;
      tail = std::max(tail, FadingTail(*levels[static_cast<std::size_t>(input)], backgrounds[static_cast<std::size_t>(input)],
                                       last + off, kTailBlocks));
    }
    last += tail;
    // Two occurrences of one clip cannot overlap: the better supported one stays.
    std::sort(members.begin(), members.end(), [&](const auto& x, const auto& y) {
      return nodeWeight[static_cast<std::size_t>(x.first)] > nodeWeight[static_cast<std::size_t>(y.first)];
    });
    DiscoveredClip clip;
    for (const auto& [m, off] : members) {
      ClipOccurrence o = nodes[static_cast<std::size_t>(m)];
      const std::int64_t length = static_cast<std::int64_t>(levels[static_cast<std::size_t>(o.input)]->size() / kBands);
      o.first = std::max<std::int64_t>(0, first + off);
      o.last = std::min<std::int64_t>(length - 1, last + off);
      bool overlaps = o.last < o.first;
      for (const ClipOccurrence& k : clip.occurrences)
        if (k.input == o.input && o.first <= k.last && k.first <= o.last) overlaps = true;
      if (!overlaps) {
        clip.occurrences.push_back(o);
        clipOfNode[static_cast<std::size_t>(m)] = static_cast<int>(clips.size());
      }
    }
    const auto reject = [&] {
      for (int& c : clipOfNode)
        if (c == static_cast<int>(clips.size())) c = -1;
    };
    if (static_cast<int>(clip.occurrences.size()) < tuning.minCount) {
      reject();
      continue;
    }
    std::sort(clip.occurrences.begin(), clip.occurrences.end(), [](const ClipOccurrence& x, const ClipOccurrence& y) {
      return x.input != y.input ? x.input < y.input : x.first < y.first;
    });
    clip.cleanest = 0;
    for (std::size_t k = 1; k < clip.occurrences.size(); ++k)
      if (clip.occurrences[k].distance < clip.occurrences[static_cast<std::size_t>(clip.cleanest)].distance)
        clip.cleanest = static_cast<int>(k);
    // Occurrences that follow each other within a few seconds are one airing (a repeated bar
    // of a song, a clip played twice in a row); a clip is aired at least twice.
    const int airings = Airings(clip.occurrences);
    const std::int64_t n = clip.blocks();
    if (n < minBlocks || airings < 2) {
      reject();
      continue;
    }
    clip.longRepeat = static_cast<double>(n) * kBlockSeconds > tuning.longRepeat;
    clips.push_back(std::move(clip));
  }

  // Families: clips with occurrences that overlap by half of the shorter one.
  UnionFind family(clips.size());
  struct Placed {
    int clip;
    ClipOccurrence o;
  };
  std::vector<Placed> placed;
  for (std::size_t c = 0; c < clips.size(); ++c)
    for (const ClipOccurrence& o : clips[c].occurrences) placed.push_back({static_cast<int>(c), o});
  std::sort(placed.begin(), placed.end(), [](const Placed& x, const Placed& y) {
    return x.o.input != y.o.input ? x.o.input < y.o.input : x.o.first < y.o.first;
  });
  std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>> shared(clips.size());
  std::vector<std::vector<int>> covered(clips.size());  // per clip and occurrence: inside another clip's
  for (std::size_t c = 0; c < clips.size(); ++c) covered[c].assign(clips[c].occurrences.size(), 0);
  // ... and clips that a pair shows agreeing over half of both (versions of one spot).
  for (std::size_t i = 0; i + 1 < intervals.size(); i += 2) {
    const int cx = clipOfNode[static_cast<std::size_t>(nodeOf[i])], cy = clipOfNode[static_cast<std::size_t>(nodeOf[i + 1])];
    if (cx < 0 || cy < 0 || cx == cy) continue;
    const std::int64_t length = intervals[i].last - intervals[i].first + 1;
    if (2 * length < clips[static_cast<std::size_t>(cx)].blocks() || 2 * length < clips[static_cast<std::size_t>(cy)].blocks()) continue;
    family.Join(cx, cy);
    for (const std::size_t k : {i, i + 1}) {
      const int c = k == i ? cx : cy;
      const Interval& u = intervals[k];
      auto& occ = clips[static_cast<std::size_t>(c)].occurrences;
      for (std::size_t n = 0; n < occ.size(); ++n) {
        const ClipOccurrence& o = occ[n];
        if (o.input != u.input || u.last < o.first || o.last < u.first) continue;
        shared[static_cast<std::size_t>(c)].push_back({u.first - o.first, u.last - o.first});
        // An occurrence the pair agrees with from end to end, against a part of a clip a second
        // or more longer, is that clip heard under other sound (talk over its end, a song over
        // its start). (Versions differ by their end tags; a boundary that is off, by less.)
        if (u.first <= o.first + tol && u.last >= o.last - tol &&
            clips[static_cast<std::size_t>(k == i ? cy : cx)].blocks() > o.last - o.first + 1 + kLongerBlocks)
          covered[static_cast<std::size_t>(c)][n] = 1;
      }
    }
  }
  for (std::size_t i = 0; i < placed.size(); ++i)
    for (std::size_t j = i + 1; j < placed.size(); ++j) {
      const Placed& u = placed[i];
      const Placed& v = placed[j];
      if (v.o.input != u.o.input || v.o.first > u.o.last) break;
      if (u.clip == v.clip) continue;
      const std::int64_t lo = std::max(u.o.first, v.o.first), hi = std::min(u.o.last, v.o.last);
      const std::int64_t shorter = std::min(u.o.last - u.o.first, v.o.last - v.o.first) + 1;
      if (hi - lo + 1 < shorter / 2) continue;
      family.Join(u.clip, v.clip);
      for (const Placed* x : {&u, &v}) {
        const Placed* y = x == &u ? &v : &u;
        shared[static_cast<std::size_t>(x->clip)].push_back({lo - x->o.first, hi - x->o.first});
        if (y->o.first - tol <= x->o.first && x->o.last <= y->o.last + tol &&
            y->o.last - y->o.first > x->o.last - x->o.first) {
          const auto& occ = clips[static_cast<std::size_t>(x->clip)].occurrences;
          for (std::size_t k = 0; k < occ.size(); ++k)
            if (occ[k].input == x->o.input && occ[k].first == x->o.first) covered[static_cast<std::size_t>(x->clip)][k] = 1;
        }
      }
    }
  // A clip heard fewer than minCount times outside longer clips is a part of those (the common
  // part of versions, a stretch of music a jingle shares with a song), not a clip of its own.
  std::vector<DiscoveredClip> out;
  std::map<int, int> familyNumber;
  for (std::size_t c = 0; c < clips.size(); ++c) {
    DiscoveredClip& clip = clips[c];
    if (std::count(covered[c].begin(), covered[c].end(), 0) < tuning.minCount) continue;
    const int root = family.Find(static_cast<int>(c));
    const auto it = familyNumber.emplace(root, static_cast<int>(familyNumber.size())).first;
    clip.family = it->second;
    // What the family's other clips do not share, in this clip's blocks.
    if (!shared[c].empty()) {
      std::vector<char> mask(static_cast<std::size_t>(clip.blocks()), 0);
      for (const auto& [lo, hi] : shared[c])
        for (std::int64_t t = std::max<std::int64_t>(0, lo); t <= hi && t < clip.blocks(); ++t) mask[static_cast<std::size_t>(t)] = 1;
      for (std::int64_t t = 0; t < clip.blocks();) {
        if (mask[static_cast<std::size_t>(t)]) {
          ++t;
          continue;
        }
        std::int64_t e = t;
        while (e + 1 < clip.blocks() && !mask[static_cast<std::size_t>(e + 1)]) ++e;
        if (e - t + 1 > tol) clip.differs.push_back({t, e});
        t = e + 1;
      }
    }
    const ClipOccurrence& o = clip.occurrences[static_cast<std::size_t>(clip.cleanest)];
    const double seconds = static_cast<double>(clip.blocks()) * kBlockSeconds;
    if (tuning.maxLength > 0.0 && seconds > tuning.maxLength) continue;
    clip.kind = clip.longRepeat ? "long repeat"
                                : SoundKind(levels[static_cast<std::size_t>(o.input)]->data() + o.first * kBands,
                                            static_cast<std::size_t>(o.last - o.first + 1));
    // A few seconds of music heard twice, each time with music of the same colour around it, are
    // a song's bars that it repeats (a chorus, a loop), not a clip: such a clip needs a third airing.
    if (clip.kind == "music only" && seconds < kSongBarsSeconds && Airings(clip.occurrences) < 3 && WithinMusic(clip, levels))
      continue;
    // A second or two of talk alone or of music alone heard twice is as likely a phrase of talk or
    // a song's bar that happens to recur as a clip (the short clips a station makes, its sweepers
    // and stings, are voice over a music bed): it needs a third airing.
    if ((clip.kind == "music only" || clip.kind == "speech only") && seconds < kShortRepeatSeconds &&
        Airings(clip.occurrences) < 3)
      continue;
    out.push_back(std::move(clip));
  }
  std::sort(out.begin(), out.end(), [](const DiscoveredClip& x, const DiscoveredClip& y) {
    const ClipOccurrence& u = x.occurrences.front();
    const ClipOccurrence& v = y.occurrences.front();
    return u.input != v.input ? u.input < v.input : u.first < v.first;
  });
  return out;
}

}  // namespace sigpat
