// Shape comparison of the decision layer (see shape_match.h).
#include "shape_match.h"

#include "content_table.h"
#include "flag_scan.h"
#include "fnv1a.h"
#include "../kernels/shape_window.h"
#include "../kernels/speed_sums.h"

#include <algorithm>
#include <cmath>

namespace spdet {

namespace {

constexpr float kTinyNorm = 1.0e-3f;

// 1 - the correlation whose numerator is num and whose two sums of squares are a and b; 2 (not
// compared) when either is empty.
float CorrelationDistance(float num, float a, float b) {
  const float den = std::sqrt(a * b);
  return den > 0.0f ? 1.0f - num / den : 2.0f;
}

// Floors `rows` x `bands` levels at their peak - depth, removes the per-band and per-row means
// and returns the sum of squares of what remains.
float DoubleCentre(std::vector<float>& v, int rows, int bands, float depth) {
  float peak = -1.0e30f;
  for (float x : v) peak = std::max(peak, x);
  for (float& x : v) x = std::max(x - peak, -depth);
  std::vector<float> rowMean(static_cast<std::size_t>(rows), 0.0f), colMean(static_cast<std::size_t>(bands), 0.0f);
  float all = 0.0f;
  for (int r = 0; r < rows; ++r)
    for (int b = 0; b < bands; ++b) {
      const float x = v[static_cast<std::size_t>(r) * bands + b];
      rowMean[static_cast<std::size_t>(r)] += x;
      colMean[static_cast<std::size_t>(b)] += x;
      all += x;
    }
  for (float& m : rowMean) m /= static_cast<float>(bands);
  for (float& m : colMean) m /= static_cast<float>(rows);
  all /= static_cast<float>(rows) * static_cast<float>(bands);
  float norm = 0.0f;
  for (int r = 0; r < rows; ++r)
    for (int b = 0; b < bands; ++b) {
      float& x = v[static_cast<std::size_t>(r) * bands + b];
      x = x - rowMean[static_cast<std::size_t>(r)] - colMean[static_cast<std::size_t>(b)] + all;
      norm += x * x;
    }
  return norm;
}

}  // namespace

bool ShapePattern::SetUp(const float* levels, int n, int nband, int first, int last, int minBlocks,
                         const ShapeTuning& tuning) {
  *this = ShapePattern();
  blocks_ = n;
  const int bands = last - first + 1;
  if (n < std::max(minBlocks, 8) || bands < 2 || bands > kMaxBands) return false;
  const int seg = std::max(8, tuning.SegmentBlocks);
  const int stride = std::max(1, tuning.CoarseStride);
  // Pieces from the newest block back; a short remainder joins the oldest piece.
  for (int end = n; end > 0;) {
    int begin = std::max(0, end - seg);
    if (begin > 0 && begin < seg / 2) begin = 0;
    Piece piece;
    piece.newest = n - end;
    piece.length = end - begin;
    auto build = [&](Plan& plan, int step) {
      plan.stride = step;
      plan.rows = (piece.length + step - 1) / step;
      plan.centred.assign(static_cast<std::size_t>(plan.rows) * bands, 0.0f);
      for (int r = 0; r < plan.rows; ++r) {
        const int k = end - 1 - r * step;  // newest first
        for (int b = 0; b < bands; ++b)
          plan.centred[static_cast<std::size_t>(r) * bands + b] = levels[static_cast<std::size_t>(k) * nband + first + b];
      }
      plan.norm = DoubleCentre(plan.centred, plan.rows, bands, tuning.FloorDepth_dB);
      if (plan.norm < kTinyNorm) plan.norm = 0.0f;
    };
    build(piece.exact, 1);
    build(piece.coarse, stride);
    exactNorm_ += piece.exact.norm;
    coarseNorm_ += piece.coarse.norm;
    pieces_.push_back(std::move(piece));
    end = begin;
  }
  // The parts, oldest piece first.
  Part part;
  for (std::size_t j = pieces_.size(); j-- > 1;) {
    part.blocks += pieces_[j].length;
    part.exactNorm += pieces_[j].exact.norm;
    part.coarseNorm += pieces_[j].coarse.norm;
    parts_.push_back(part);
  }
  far_ = std::max(1, n - 1);
  reach_ = tuning.MaxSpeed > 0.0f ? static_cast<int>(std::ceil(tuning.MaxSpeed * static_cast<float>(far_))) : 0;
  // Each piece moves in proportion to the distance of its centre from the newest block. Piece by
  // piece, every speed, padded to whole groups of the coarse pass's kernel.
  const int span = 2 * reach_ + 1;
  padded_ = (span + sp::kernels::kSpeedGroup - 1) / sp::kernels::kSpeedGroup * sp::kernels::kSpeedGroup;
  speedShifts_.assign(static_cast<std::size_t>(padded_) * pieces_.size(), 0);
  for (int shift = -reach_; shift <= reach_; ++shift)
    for (std::size_t j = 0; j < pieces_.size(); ++j) {
      const float centre = static_cast<float>(pieces_[j].newest) + 0.5f * static_cast<float>(pieces_[j].length - 1);
      speedShifts_[j * static_cast<std::size_t>(padded_) + static_cast<std::size_t>(shift + reach_)] =
          static_cast<int>(std::lround(static_cast<float>(shift) * centre / static_cast<float>(far_)));
    }
  usable_ = exactNorm_ > 0.0f && coarseNorm_ > 0.0f;
  return usable_;
}

float ShapePattern::SpeedOf(int shift) const { return static_cast<float>(shift) / static_cast<float>(far_); }

namespace {
ContentTable<ShapePattern>& ShapeTable() {
  static ContentTable<ShapePattern> table;
  return table;
}
}  // namespace

std::shared_ptr<const ShapePattern> SharedShapePattern(const float* levels, int n, int nband, int first, int last,
                                                       int minBlocks, const ShapeTuning& tuning) {
  const std::size_t bytes = levels != nullptr && n > 0 ? sizeof(float) * static_cast<std::size_t>(n) * static_cast<std::size_t>(nband) : 0;
  Fnv1a f;
  for (int v : {n, nband, first, last, minBlocks, tuning.SegmentBlocks, tuning.CoarseStride}) f.Value(v);
  for (float v : {tuning.FloorDepth_dB, tuning.MaxSpeed, tuning.MinLevel_dB}) f.Value(v);
  f.Value(WordHashOf(levels, bytes));
  return ShapeTable().Get(f.h, Fnv1aOf(levels, bytes), [&] {
    auto made = std::make_shared<ShapePattern>();
    made->SetUp(levels, n, nband, first, last, minBlocks, tuning);
    return made;
  });
}

std::size_t SharedShapePatternCount() { return ShapeTable().Alive(); }

void ShapeMatcher::Configure(int nband, int first, int last, const ShapeTuning& tuning) {
  nband_ = nband;
  first_ = first;
  bands_ = last - first + 1;
  tuning_ = tuning;
  patterns_.clear();
  scores_.clear();
  history_.clear();
  ring_.clear();
  capacity_ = 0;
  count_ = 0;
}

int ShapeMatcher::Add(const float* levels, int n, int minBlocks) {
  patterns_.push_back(SharedShapePattern(levels, n, nband_, first_, first_ + bands_ - 1, minBlocks, tuning_));
  return static_cast<int>(patterns_.size()) - 1;
}

void ShapeMatcher::Start() {
  int longest = 1;
  history_.assign(patterns_.size(), {});
  fresh_.assign(patterns_.size(), 0);
  scored_.assign(patterns_.size(), 0);
  scores_.assign(patterns_.size(), ShapeScore());
  for (std::size_t i = 0; i < patterns_.size(); ++i) {
    const ShapePattern& p = *patterns_[i];
    if (!p.Usable()) continue;
    longest = std::max(longest, p.Blocks() + 2 * p.Reach() + 2);
    history_[i].assign(p.Pieces().size() * static_cast<std::size_t>(2 * p.Reach() + 1), Sums());
  }
  capacity_ = longest;
  ring_.assign(static_cast<std::size_t>(capacity_) * static_cast<std::size_t>(bands_), -120.0f);
  windows_.assign(kWindowEntries, WindowEntry());
  count_ = 0;
}

void ShapeMatcher::Reset() {
  std::fill(ring_.begin(), ring_.end(), -120.0f);
  for (auto& h : history_) std::fill(h.begin(), h.end(), Sums());
  std::fill(fresh_.begin(), fresh_.end(), 0);
  std::fill(scored_.begin(), scored_.end(), 0);
  std::fill(scores_.begin(), scores_.end(), ShapeScore());
  std::fill(windows_.begin(), windows_.end(), WindowEntry());
  count_ = 0;
}

const float* ShapeMatcher::Row(std::int64_t block) const {
  return ring_.data() + static_cast<std::size_t>(block % capacity_) * static_cast<std::size_t>(bands_);
}

const ShapeWindow& ShapeMatcher::Window(std::int64_t newest, int rows, int step) const {
  if (input_ != nullptr) return input_->Window(newest, rows, step);
  std::uint64_t h = static_cast<std::uint64_t>(newest) * 0x9E3779B97F4A7C15ull +
                    static_cast<std::uint64_t>(rows) * 0xC2B2AE3D27D4EB4Full + static_cast<std::uint64_t>(step);
  h ^= h >> 29;
  WindowEntry& e = windows_[static_cast<std::size_t>(h) & (kWindowEntries - 1)];
  if (e.newest != newest || e.rows != rows || e.step != step) {
    const ShapeRows in{ring_.data(), static_cast<int>(newest % capacity_), capacity_, bands_};
    e.newest = newest;
    e.rows = rows;
    e.step = step;
    e.window = WindowShape(rows, step, bands_, tuning_.FloorDepth_dB, tuning_.MinLevel_dB, in);
  }
  return e.window;
}

ShapeMatcher::Sums ShapeMatcher::CompareAt(const ShapePattern& p, std::size_t piece, const ShapePattern::Plan& plan,
                                           std::int64_t windowEnd) const {
  Sums s;
  if (plan.norm <= 0.0f) return s;
  const std::int64_t newest = windowEnd - p.Pieces()[piece].newest;
  const ShapeWindow& w = Window(newest, plan.rows, plan.stride);
  if (!w.live) return s;
  const ShapeMatcher& source = input_ != nullptr ? *input_ : *this;
  const ShapeRows in{source.ring_.data(), static_cast<int>(newest % source.capacity_), source.capacity_, bands_};
  s.num = DotShape(plan.centred.data(), plan.rows, plan.stride, bands_, tuning_.FloorDepth_dB, w, in);
  s.norm = w.norm;
  return s;
}

// The coarse values of piece j of pattern i for the window in slot `slot` (its end mod span),
// the piece moved by `moved` blocks: slot + moved (mod span).
const ShapeMatcher::Sums& ShapeMatcher::History(const ShapePattern& p, std::size_t i, std::size_t j, int slot,
                                                int moved) const {
  const int span = 2 * p.Reach() + 1;
  int at = slot + moved;
  if (at >= span) at -= span;
  else if (at < 0) at += span;
  return history_[i][j * static_cast<std::size_t>(span) + static_cast<std::size_t>(at)];
}

int ShapeMatcher::CoarseBest(const ShapePattern& p, std::size_t i, std::int64_t end, float* distance) const {
  const int span = 2 * p.Reach() + 1;
  const int slot = static_cast<int>(end % span);
  shiftNum_.resize(static_cast<std::size_t>(p.SpeedsPadded()));
  shiftNorm_.resize(static_cast<std::size_t>(p.SpeedsPadded()));
  shiftDistance_.resize(static_cast<std::size_t>(span));
  float* const num = shiftNum_.data();
  float* const norm = shiftNorm_.data();
  // Every speed's sums add its pieces in order.
  static_assert(sizeof(Sums) == 2 * sizeof(float), "Sums are read as pairs of floats");
  sp::kernels::SpeedSums()(reinterpret_cast<const float*>(history_[i].data()), p.SpeedShifts(0),
                           static_cast<int>(p.Pieces().size()), span, p.SpeedsPadded(), slot, num, norm);
  float* const d = shiftDistance_.data();
  const float own = p.CoarseNorm();
  int k = 0;
#if defined(__SSE2__)
  // CorrelationDistance four speeds at a time (square root and division round as the scalar ones).
  const __m128 a = _mm_set1_ps(own), one = _mm_set1_ps(1.0f), two = _mm_set1_ps(2.0f), zero = _mm_setzero_ps();
  for (; k + 4 <= span; k += 4) {
    const __m128 den = _mm_sqrt_ps(_mm_mul_ps(a, _mm_loadu_ps(norm + k)));
    const __m128 v = _mm_sub_ps(one, _mm_div_ps(_mm_loadu_ps(num + k), den));
    const __m128 live = _mm_cmpgt_ps(den, zero);
    _mm_storeu_ps(d + k, _mm_or_ps(_mm_and_ps(live, v), _mm_andnot_ps(live, two)));
  }
#endif
  for (; k < span; ++k) d[k] = CorrelationDistance(num[k], own, norm[k]);
  int best = 0;
  float coarse = 2.0f;
  for (k = 0; k < span; ++k)
    if (d[k] < coarse) {
      coarse = d[k];
      best = k - p.Reach();
    }
  *distance = coarse;
  return best;
}

void ShapeMatcher::Push(const float* levels, const float* gate, const unsigned char* open, const ShapeMatcher* input) {
  // In step: the input has just been pushed this block, holds at least as many blocks and
  // forms the sides alike.
  const bool shared = input != nullptr && input != this && input->count_ == count_ + 1 &&
                      input->capacity_ >= capacity_ && input->bands_ == bands_ && input->first_ == first_ &&
                      input->tuning_.FloorDepth_dB == tuning_.FloorDepth_dB &&
                      input->tuning_.MinLevel_dB == tuning_.MinLevel_dB;
  input_ = shared ? input : nullptr;
  Push(levels, gate, open);
  input_ = nullptr;
}

void ShapeMatcher::Push(const float* levels, const float* gate, const unsigned char* open) {
  ++count_;
  float* row = ring_.data() + static_cast<std::size_t>(count_ % capacity_) * static_cast<std::size_t>(bands_);
  for (int b = 0; b < bands_; ++b) row[b] = std::isfinite(levels[first_ + b]) ? levels[first_ + b] : -120.0f;
  // Most patterns of a large catalogue are shut: only the open ones and those scored at the
  // last block are visited, told from compact flags without touching their records or scores.
  ForEachFlagged(static_cast<int>(patterns_.size()), open, scored_.data(), nullptr,
                 [this, gate](int i) { Compare(static_cast<std::size_t>(i), gate[i]); });
}

void ShapeMatcher::Compare(std::size_t i, float gate) {
  if (gate <= 0.0f) {
    if (scored_[i]) scores_[i] = ShapeScore();
    scored_[i] = 0;
    return;
  }
  ShapeScore& out = scores_[i];
  out = ShapeScore();
  scored_[i] = 0;
  const ShapePattern& p = *patterns_[i];
  if (!p.Usable() || count_ < p.Blocks()) return;
  const int span = 2 * p.Reach() + 1;
  std::vector<Sums>& h = history_[i];
  // Of each piece only the coarse values this window reads (its block at every speed) that the
  // last window compared did not fill already: a piece near the newest block moves little with the
  // speed, so a gate that opens for a block or two reads a few blocks of it, not a span.
  const std::int64_t end = count_ - p.Reach();
  const std::int64_t last = fresh_[i] - p.Reach();  // the window compared last
  for (std::size_t j = 0; j < p.Pieces().size(); ++j) {
    const int reach = p.PieceShift(static_cast<int>(j), p.Reach());
    const std::int64_t first = std::max({last + reach + 1, end - reach, static_cast<std::int64_t>(p.Blocks())});
    for (std::int64_t block = first; block <= end + reach; ++block)
      h[j * static_cast<std::size_t>(span) + static_cast<std::size_t>(block % span)] =
          CompareAt(p, j, p.Pieces()[j].coarse, block);
  }
  fresh_[i] = count_;
  if (count_ < p.Blocks() + 2 * p.Reach()) return;
  float coarse = 2.0f;
  const int best = CoarseBest(p, i, end, &coarse);
  out.Coarse = out.Distance = coarse;
  scored_[i] = 1;
  out.Shift = best;
  out.End = end;
  if (coarse >= gate) return;
  Exact(p, 0, p.ExactNorm(), out);
}

// The exact comparison of pieces first.. (to the oldest) of p, whose own sum of squares is
// `own`, for the window out.End at the speeds next to out.Shift: the best into out.
void ShapeMatcher::Exact(const ShapePattern& p, std::size_t first, float own, ShapeScore& out) const {
  const int around = out.Shift;
  for (int shift = std::max(-p.Reach(), around - 1); shift <= std::min(p.Reach(), around + 1); ++shift) {
    float num = 0.0f, norm = 0.0f;
    for (std::size_t j = first; j < p.Pieces().size(); ++j) {
      const Sums s = CompareAt(p, j, p.Pieces()[j].exact, out.End + p.PieceShift(static_cast<int>(j), shift));
      num += s.num;
      norm += s.norm;
    }
    const float d = CorrelationDistance(num, own, norm);
    if (!out.Exact || d < out.Distance) {
      out.Distance = d;
      out.Shift = shift;
      out.Exact = true;
    }
  }
}

ShapeScore ShapeMatcher::Partial(int i, const std::vector<float>& thresholds, float margin, int longest,
                                 int* part) const {
  *part = -1;
  const std::size_t at = static_cast<std::size_t>(i);
  const ShapePattern& p = *patterns_[at];
  if (!p.Usable() || thresholds.size() != p.Parts().size() || fresh_[at] != count_ ||
      count_ < p.Blocks() + 2 * p.Reach())
    return ShapeScore();
  const std::size_t pieces = p.Pieces().size();
  const std::int64_t end = count_ - p.Reach();
  const int slot = static_cast<int>(end % (2 * p.Reach() + 1));
  partScratch_.assign(thresholds.size(), PartBest());
  for (int shift = -p.Reach(); shift <= p.Reach(); ++shift) {
    // From the oldest piece on: the sums of part k are those of its k + 1 oldest pieces.
    float num = 0.0f, norm = 0.0f;
    for (std::size_t k = 0; k < thresholds.size(); ++k) {
      const std::size_t j = pieces - 1 - k;
      const Sums& h = History(p, at, j, slot, p.PieceShift(static_cast<int>(j), shift));
      num += h.num;
      norm += h.norm;
      // The best speed by num * |num| / norm: the same order as the correlation (the part's own
      // norm is the same at every speed), without a root.
      if (thresholds[k] <= 0.0f || p.Parts()[k].blocks > longest || !(norm > 0.0f)) continue;
      const float q = num * std::fabs(num) / norm;
      PartBest& best = partScratch_[k];
      if (!best.found || q > best.q) best = PartBest{q, shift, true};
    }
  }
  for (std::size_t k = thresholds.size(); k-- > 0;) {
    const PartBest& best = partScratch_[k];
    if (!best.found) continue;
    const float a = p.Parts()[k].coarseNorm;
    ShapeScore out;
    out.End = end;
    out.Shift = best.shift;
    out.Coarse = a > 0.0f ? 1.0f - std::copysign(std::sqrt(std::fabs(best.q) / a), best.q) : 2.0f;
    if (out.Coarse >= thresholds[k] + margin) continue;
    Exact(p, pieces - 1 - k, p.Parts()[k].exactNorm, out);
    if (out.Distance < thresholds[k]) {
      *part = static_cast<int>(k);
      return out;
    }
  }
  return ShapeScore();
}

void ShapeMatcher::PieceSums(int i, int shift, std::vector<float>& num, std::vector<float>& norm) const {
  const ShapePattern& p = *patterns_[static_cast<std::size_t>(i)];
  num.assign(p.Pieces().size(), 0.0f);
  norm.assign(p.Pieces().size(), 0.0f);
  if (!p.Usable() || count_ < p.Blocks() + 2 * p.Reach()) return;
  const std::int64_t end = count_ - p.Reach();
  for (std::size_t j = 0; j < p.Pieces().size(); ++j) {
    const Sums s = CompareAt(p, j, p.Pieces()[j].exact, end + p.PieceShift(static_cast<int>(j), shift));
    num[j] = s.num;
    norm[j] = s.norm;
  }
}

float ShapeMatcher::DistanceOf(int i, const float* levels, int rows, std::vector<float>* parts) const {
  const ShapePattern& p = *patterns_[static_cast<std::size_t>(i)];
  if (parts != nullptr) parts->assign(p.Parts().size(), 2.0f);
  if (!p.Usable() || rows < p.Blocks()) return 2.0f;
  std::vector<Sums> each(p.Pieces().size());
  for (std::size_t j = 0; j < p.Pieces().size(); ++j) {
    const auto& piece = p.Pieces()[j];
    if (piece.exact.norm <= 0.0f) continue;
    const ShapeRows window{levels + first_, rows - 1 - piece.newest, rows, nband_};
    CompareShape(piece.exact.centred.data(), piece.exact.rows, 1, bands_, tuning_.FloorDepth_dB, tuning_.MinLevel_dB,
                 window, each[j].num, each[j].norm);
  }
  float num = 0.0f, norm = 0.0f;
  for (const Sums& s : each) {
    num += s.num;
    norm += s.norm;
  }
  if (parts != nullptr) {
    // Oldest piece first, as the parts are.
    Sums sum;
    for (std::size_t k = 0; k < p.Parts().size(); ++k) {
      const Sums& s = each[each.size() - 1 - k];
      sum.num += s.num;
      sum.norm += s.norm;
      (*parts)[k] = CorrelationDistance(sum.num, p.Parts()[k].exactNorm, sum.norm);
    }
  }
  return CorrelationDistance(num, p.ExactNorm(), norm);
}

}  // namespace spdet
