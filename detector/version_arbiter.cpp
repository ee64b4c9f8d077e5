// One report per airing among relatives: see version_arbiter.h.
#include "version_arbiter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "cut_find.h"

namespace spdet {

namespace {

constexpr float kFloorDepthDb = 30.0f;  // input levels floored this far under the stretch's peak
// The fraction heard: blocks either side of the placement tried, and speeds (percent) around none.
constexpr int kHeardReach = 4;
constexpr int kHeardSpeeds = 6;
constexpr double kHeardSpeedStep = 0.5;
// Where its report found the airing cut, the levels' rise and fall over this long count too
// (cut_find.h): on the development set 0.15-0.25 s placed every cut through the station chain
// within 0.05 of where it was, 0.3 s and over one at the end of a programme 0.057 early.
constexpr double kHeardEnvelopeSeconds = 0.2;

// Pearson correlation of two cell arrays (n blocks x nband) after each has its band means and
// block means taken off: what is left is how the spectrum moves, not its level or colour.
float CentredCorrelation(std::vector<float>& x, std::vector<float>& y, int n, int nband) {
  for (std::vector<float>* v : {&x, &y}) {
    std::vector<double> band(static_cast<std::size_t>(nband), 0.0);
    double grand = 0.0;
    for (int k = 0; k < n; ++k)
      for (int b = 0; b < nband; ++b) band[static_cast<std::size_t>(b)] += (*v)[static_cast<std::size_t>(k) * nband + b];
    for (double& m : band) grand += m, m /= n;
    grand /= static_cast<double>(n) * nband;
    for (int k = 0; k < n; ++k) {
      float* row = v->data() + static_cast<std::size_t>(k) * nband;
      double mean = 0.0;
      for (int b = 0; b < nband; ++b) mean += row[b];
      mean /= nband;
      for (int b = 0; b < nband; ++b) row[b] = static_cast<float>(row[b] - mean - band[static_cast<std::size_t>(b)] + grand);
    }
  }
  double xy = 0.0, xx = 0.0, yy = 0.0;
  for (std::size_t c = 0; c < x.size(); ++c) {
    xy += static_cast<double>(x[c]) * y[c];
    xx += static_cast<double>(x[c]) * x[c];
    yy += static_cast<double>(y[c]) * y[c];
  }
  return xx > 0.0 && yy > 0.0 ? static_cast<float>(xy / std::sqrt(xx * yy)) : 0.0f;
}

bool Contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

}  // namespace

void VersionArbiter::SetUp(const Relatives* kin, std::vector<PatternLevels> levels, std::vector<const char*> names,
                           const Geometry& g) {
  kin_ = kin;
  levels_ = std::move(levels);
  names_ = std::move(names);
  g_ = g;
  int longest = 0;
  for (std::size_t i = 0; i < levels_.size(); ++i)
    if (!kin_->Of(static_cast<int>(i)).empty()) longest = std::max(longest, levels_[i].nblock);
  // An airing is judged up to the end of its longest relative; reports of parts come up to twice
  // a pattern's length after the part.
  capacity_ = Active() ? 4 * longest + static_cast<int>(10.0 * g.blocksPerSecond) : 0;
  history_.assign(static_cast<std::size_t>(capacity_) * g.nband, 0.0f);
  silent_.assign(static_cast<std::size_t>(g.nband), -std::numeric_limits<float>::max());
  Reset(0);
}

void VersionArbiter::Reset(std::int64_t origin) {
  origin_ = origin;
  blocks_ = 0;
  held_.clear();
  decided_.clear();
}

bool VersionArbiter::Wants(const DetectorReport& r) const {
  return Active() && r.Tentative == 0 && !kin_->Of(Leader(r)).empty();
}

void VersionArbiter::Push(const float* levels, std::int64_t blocks) {
  blocks_ = blocks;
  if (capacity_ == 0) return;
  std::copy(levels, levels + g_.nband, history_.begin() + static_cast<std::size_t>(blocks % capacity_) * g_.nband);
}

const float* VersionArbiter::Block(std::int64_t index) const {
  if (index < 1 || index > blocks_ || index <= blocks_ - capacity_) return nullptr;
  return history_.data() + static_cast<std::size_t>(index % capacity_) * g_.nband;
}

const float* VersionArbiter::HeardBlock(std::int64_t index) const {
  const float* in = Block(index);
  return in == nullptr && ended_ && index > blocks_ ? silent_.data() : in;
}

std::int64_t VersionArbiter::InputBlock(double start, double factor, int k) const {
  const double endSample = start + (k + 1) * static_cast<double>(g_.blockSamples) / factor + g_.delaySamples;
  return static_cast<std::int64_t>(std::llround(endSample / g_.blockSamples));
}

std::int64_t VersionArbiter::AlignedEnd(const DetectorReport& r) const {
  const int p = Leader(r);
  const double factor = 1.0 + r.Stretch / 100.0;
  std::int64_t end = r.End - origin_;
  auto consider = [&](int x, int offset) {
    const double start = static_cast<double>(r.Begin - origin_) + offset * g_.blockSamples / factor;
    end = std::max(end, static_cast<std::int64_t>(start + levels_[static_cast<std::size_t>(x)].nblock * g_.blockSamples / factor) +
                            g_.delaySamples);
  };
  consider(p, 0);
  for (const Relation& rel : kin_->Of(p)) consider(rel.other, rel.offset);
  return end;
}

void VersionArbiter::Hold(const DetectorReport& r) {
  const int p = Leader(r);
  for (const Decided& d : decided_)
    if (Contains(d.family, p) && r.SameOccurrence(d.begin + origin_, d.end + origin_)) return;  // that airing has its report
  const std::int64_t end = AlignedEnd(r);
  held_.push_back({r, end / g_.blockSamples + static_cast<std::int64_t>(0.5 * g_.blocksPerSecond) + 1});
}

float VersionArbiter::Match(int p, int first, int last, double start, double factor) const {
  const PatternLevels& P = levels_[static_cast<std::size_t>(p)];
  first = std::max(0, first);
  last = std::min(last, P.nblock);
  const int n = last - first;
  if (n < 4) return kNotHeard;
  const int nband = g_.nband;
  const int reach = 2 + static_cast<int>(0.01 * last);
  float best = kNotHeard;
  std::vector<float> x(static_cast<std::size_t>(n) * nband), y(x.size());
  for (int shift = -reach; shift <= reach; ++shift) {
    const auto at = [&](int k) { return HeardBlock(InputBlock(start, factor, k) + shift); };
    if (at(first) == nullptr || at(last - 1) == nullptr) continue;
    float peak = -std::numeric_limits<float>::max();
    for (int k = 0; k < n; ++k) {
      const float* in = at(first + k);
      const float* pat = P.levels + static_cast<std::size_t>(P.nblock - 1 - (first + k)) * nband;
      for (int b = 0; b < nband; ++b) {
        x[static_cast<std::size_t>(k) * nband + b] = in[b];
        y[static_cast<std::size_t>(k) * nband + b] = pat[b];
        peak = std::max(peak, in[b]);
      }
    }
    for (float& v : x) v = std::max(v, peak - kFloorDepthDb);
    best = std::max(best, CentredCorrelation(x, y, n, nband));
  }
  return best;
}

float VersionArbiter::Heard(int p, double start, double& factor, bool cut) const {
  const PatternLevels& P = levels_[static_cast<std::size_t>(p)];
  const int n = P.nblock - 1;
  const int from = (n + 1) / 2;
  if (n < 10 || g_.nband < 3) return -1.0f;
  std::vector<float> clip(static_cast<std::size_t>(n) * g_.nband);
  for (int k = 0; k < n; ++k)
    std::copy_n(P.levels + static_cast<std::size_t>(P.nblock - 1 - k) * g_.nband, g_.nband,
                clip.begin() + static_cast<std::ptrdiff_t>(k) * g_.nband);
  // The input floored as the pattern's levels are (30 dB under the peak; unfloored, its quiet
  // cells decorrelate the blocks).
  std::vector<float> floored(clip.size());
  std::vector<const float*> input(static_cast<std::size_t>(n));
  float seen = -1.0f;
  double best = -2.0, found = factor;
  const int envelope = static_cast<int>(std::lround(kHeardEnvelopeSeconds * g_.blocksPerSecond));
  // Block by block the correlation falls off a block away from the alignment, and a speed change
  // the report found a little off (a part's shape match) drifts by a few blocks over a half: the
  // best of small shifts and speeds by how well the first half matches.
  for (int step = -kHeardSpeeds; step <= kHeardSpeeds + 1; ++step) {
    const double f = step <= kHeardSpeeds ? 1.0 + step * kHeardSpeedStep / 100.0 : factor;
    for (int shift = -kHeardReach; shift <= kHeardReach; ++shift) {
      bool held = true;
      float peak = -std::numeric_limits<float>::max();
      for (int k = 0; k < n && held; ++k) {
        const float* in = HeardBlock(InputBlock(start, f, k) + shift);
        held = in != nullptr;
        if (!held) break;
        float* out = floored.data() + static_cast<std::size_t>(k) * g_.nband;
        std::copy_n(in, g_.nband, out);
        peak = std::max(peak, *std::max_element(out, out + g_.nband));
        input[static_cast<std::size_t>(k)] = out;
      }
      if (!held) continue;
      for (float& v : floored) v = std::max(v, peak - kFloorDepthDb);
      double head = 0.0;
      const float heard = FractionHeard(clip.data(), input.data(), n, 0, from, g_.nband, 0, g_.nband - 1, cut, &head, true, false,
                                        envelope);
      if (head > best) best = head, seen = heard, found = f;
    }
  }
  factor = found;
  return seen;
}

void VersionArbiter::Decide(std::vector<DetectorReport> cluster, const std::function<void(const DetectorReport&)>& emit) {
  // The firmest report places the airing.
  const DetectorReport base = *std::max_element(cluster.begin(), cluster.end(), [](const DetectorReport& a, const DetectorReport& b) {
    return a.Confidence < b.Confidence;
  });
  const int p = Leader(base);
  const double factor = 1.0 + base.Stretch / 100.0;
  const double start = static_cast<double>(base.Begin - origin_);
  std::vector<int> family = {p};
  std::vector<int> offset = {0};
  for (const Relation& rel : kin_->Of(p)) family.push_back(rel.other), offset.push_back(rel.offset);
  const std::size_t n = family.size();
  auto startOf = [&](std::size_t i, double f = 0.0) {
    return start + offset[i] * static_cast<double>(g_.blockSamples) / (f > 0.0 ? f : factor);
  };
  // A small speed change found on one report (a part, a shape match) is often that report's own
  // error: the stretches are heard both at it and at no change, the better taken.
  auto heardAs = [&](std::size_t i, int first, int last) {
    float m = Match(family[i], first, last, startOf(i), factor);
    if (factor != 1.0 && std::fabs(base.Stretch) < kClearStretch) m = std::max(m, Match(family[i], first, last, startOf(i, 1.0), 1.0));
    return m;
  };
  // Each candidate against each other on the stretches where the two differ.
  std::vector<float> score(n, 1.0f), heard(n, 1.0f);
  std::vector<int> runner(n, -1);
  std::vector<char> beaten(n, 0);  // another version heard and clearly better on their stretches
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      if (i == j) continue;
      const Relation* ij = nullptr;
      const Relation* ji = nullptr;
      for (const Relation& r : kin_->Of(family[i])) if (r.other == family[j]) ij = &r;
      for (const Relation& r : kin_->Of(family[j])) if (r.other == family[i]) ji = &r;
      if (ij == nullptr || ji == nullptr) continue;
      const float si = heardAs(i, ij->differBegin, ij->differEnd);
      const float sj = heardAs(j, ji->differBegin, ji->differEnd);
      // Not heard: not told apart. (A stretch heard may correlate below 0 with a version that did
      // not air: that is a clear margin, not a stretch missing.) Nor where neither stretch is
      // heard well: the airing was cut or drowned there, and what came after it favours one
      // version by chance, which would leave the other out of the candidates.
      const bool told = si != kNotHeard && sj != kNotHeard && std::max(si, sj) >= kMinHeard;
      const float margin = told ? si - sj : 0.0f;
      if (runner[i] < 0 || margin < score[i]) score[i] = margin, runner[i] = family[j];
      if (told && sj >= kMinHeard && -margin >= kMinMargin) beaten[i] = 1;
      heard[i] = std::min(heard[i], std::max(si, 0.0f));
    }
  const std::size_t w = static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
  // The winner's own report, a whole one before a part, the firmest first.
  DetectorReport out = base;
  bool own = false;
  for (const DetectorReport& r : cluster)
    if (Leader(r) == family[w] &&
        (!own || (r.Seen >= 1.0f) > (out.Seen >= 1.0f) || ((r.Seen >= 1.0f) == (out.Seen >= 1.0f) && r.Confidence > out.Confidence)))
      out = r, own = true;
  double placedAt = 1.0 + out.Stretch / 100.0;  // the speed its length was given at
  if (!own) {  // a version nobody reported: placed by the relation
    const PatternLevels& W = levels_[static_cast<std::size_t>(family[w])];
    out.Pattern = out.Group = family[w];
    out.Name = names_[static_cast<std::size_t>(family[w])];
    out.Begin = base.Begin + static_cast<std::int64_t>(std::llround(offset[w] * g_.blockSamples / factor));
    // Its length as the pattern gives it, unless the relative's report found a clear speed change
    // (small ones found on a relative are not this version's own).
    const double speed = std::fabs(base.Stretch) >= kClearStretch ? factor : 1.0;
    placedAt = speed;
    out.End = out.Begin + static_cast<std::int64_t>(std::llround(W.nblock * g_.blockSamples / speed));
    out.SpeedPercent = 0.0f;
    // How much of it played: a relative's report may have been cut where the relative differs. A
    // version told apart was heard to the end of its last differing stretch; the rest counts where
    // it matches the input.
    int differEnd = 0;
    for (const Relation& r : kin_->Of(family[w])) differEnd = std::max(differEnd, r.differEnd);
    const int usable = W.nblock - 2;
    const bool rest = usable - differEnd < g_.blocksPerSecond ||
                      heardAs(w, differEnd, usable) >= kMinHeard;
    if (score[w] < kMinMargin || !rest) {
      const int seen = score[w] < kMinMargin ? static_cast<int>(std::lround(base.Seen * W.nblock)) : differEnd;
      out.Seen = std::min(1.0f, static_cast<float>(seen) / static_cast<float>(W.nblock));
      out.End = std::min(out.End, out.Begin + static_cast<std::int64_t>(std::llround(seen * g_.blockSamples / factor)));
    } else {
      out.Seen = 1.0f;
    }
  }
  // How much of it played, to the block, now that the input after the airing is in the history:
  // a part found by the shape distance ends up to a few seconds before the cut, a version placed
  // by its relation has the fraction of a relative's report. The speed that matches best also
  // gives a whole airing its length (a part's shape match found +2.8 % on an airing at +2 %: its
  // end 186 ms late).
  double speed = placedAt;
  const float seen = Heard(family[w], static_cast<double>(out.Begin - origin_), speed, out.Seen < 1.0f);
  if (seen >= 1.0f && std::fabs(speed - placedAt) >= kHeardSpeedStep / 200.0)
    out.End = out.Begin + static_cast<std::int64_t>(std::llround(static_cast<double>(out.End - out.Begin) * placedAt / speed));
  if (seen >= 0.0f) out.Seen = seen;
  if (seen >= 0.0f && seen < 1.0f) {
    const int n = levels_[static_cast<std::size_t>(family[w])].nblock - 1;
    out.End = out.Begin + static_cast<std::int64_t>(std::llround(seen * n * g_.blockSamples / speed));
  }
  out.RunnerUp = runner[w];
  out.RunnerUpName = runner[w] >= 0 ? names_[static_cast<std::size_t>(runner[w])] : nullptr;
  out.Margin = score[w];
  out.Undecided = score[w] >= kMinMargin && heard[w] >= kMinHeard ? 0 : 1;
  if (out.Undecided) {
    // The versions close to the best, and every version no other has clearly beaten: one only a
    // little behind on a stretch heard a little (what followed a cut, by chance) may have aired.
    int k = 0;
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return score[a] > score[b]; });
    for (std::size_t i : order)
      if (k < 4 && (score[i] >= score[w] - kMinMargin || !beaten[i])) out.CandidateNames[k++] = names_[static_cast<std::size_t>(family[i])];
  }
  emit(out);
  Decided d;
  d.begin = out.Begin - origin_;
  d.end = out.End - origin_;
  for (const DetectorReport& r : cluster) d.begin = std::min(d.begin, r.Begin - origin_), d.end = std::max(d.end, r.End - origin_);
  d.family = family;
  d.forget = blocks_ + capacity_;
  decided_.push_back(d);
}

void VersionArbiter::Release(bool all, const std::function<void(const DetectorReport&)>& emit) {
  ended_ = all;
  decided_.erase(std::remove_if(decided_.begin(), decided_.end(), [this](const Decided& d) { return d.forget < blocks_; }),
                 decided_.end());
  while (!held_.empty()) {
    auto due = std::min_element(held_.begin(), held_.end(), [](const Held& a, const Held& b) { return a.due < b.due; });
    if (!all && due->due > blocks_) break;
    // Its airing: the held reports of its family that share more than half of it.
    const DetectorReport first = due->report;
    const int p = Leader(first);
    std::vector<DetectorReport> cluster;
    for (auto it = held_.begin(); it != held_.end();) {
      const int q = Leader(it->report);
      bool kin = q == p;
      for (const Relation& r : kin_->Of(p)) kin = kin || r.other == q;
      if (kin && it->report.SameOccurrence(first.Begin, first.End)) {
        cluster.push_back(it->report);
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
    // A report of a relative that came in after this airing was decided is dropped (Hold);
    // those held now are decided together.
    bool known = false;
    for (const Decided& d : decided_)
      if (Contains(d.family, p) && first.SameOccurrence(d.begin + origin_, d.end + origin_)) known = true;
    if (!known) Decide(std::move(cluster), emit);
  }
}

}  // namespace spdet
