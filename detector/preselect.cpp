// Pre-selection of the decision layer: pattern sketches correlated with the input's chunk means
// (see preselect.h).
#include "preselect.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../kernels/preselect_lanes.h"

namespace spdet {

namespace {

constexpr int kSizes[] = {4, 8, 16};
constexpr int kSizeCount = 3;
constexpr int kWanted = 16;  // chunks a sketch aims for: the largest size that still gives them
constexpr float kSilence_dB = -120.0f;
constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max();

// Floors the compared bands of one block `depth` dB under its loudest, into a padded row.
void FloorRow(const float* levels, int first, int bands, float depth, float* row, int width) {
  float peak = -1.0e30f;
  for (int b = 0; b < bands; ++b) {
    const float v = std::isfinite(levels[first + b]) ? levels[first + b] : kSilence_dB;
    row[b] = v;
    peak = std::max(peak, v);
  }
  for (int b = 0; b < bands; ++b) row[b] = std::max(row[b], peak - depth);
  for (int b = bands; b < width; ++b) row[b] = 0.0f;
}

}  // namespace

void Preselector::Configure(int nband, int first, int last, const PreselectTuning& tuning) {
  nband_ = nband;
  first_ = first;
  bands_ = std::min(kWidth, last - first + 1);
  tuning_ = tuning;
  sketches_.clear();
  codes_.clear();
  activeUntil_.clear();
  used_.clear();
  chunks_.clear();
  count_ = 0;
}

int Preselector::Add(const float* levels, int n, int lag, float strictGate) {
  return Add(Draw(levels, n, strictGate), lag);
}

Preselector::Drawn Preselector::Draw(const float* levels, int n, float strictGate) const {
  const bool strict = strictGate > 0.0f;
  Drawn drawn;
  drawn.made_ = true;
  Sketch& s = drawn.sketch_;
  s.strict = strict;
  const int usable = n;
  if (levels != nullptr && bands_ > 1) {
    for (int z = kSizeCount - 1; z >= 0; --z) {
      const int chunks = usable / kSizes[z];
      if (chunks >= (strict ? kWanted / 2 : kWanted) || (z == 0 && chunks >= tuning_.MinChunks)) {
        s.size = z;
        s.chunks = std::min(chunks, tuning_.MaxChunks);
        break;
      }
    }
  }
  if (s.chunks > 0) {
    const int size = kSizes[s.size];
    // Short chunks average less of what covers a clip (speech, noise): their sketches pass lower.
    s.gate = strict ? strictGate
                    : tuning_.Gate * std::sqrt(static_cast<float>(size) / static_cast<float>(kSizes[kSizeCount - 1]));
    std::vector<float> rowsMade(static_cast<std::size_t>(s.chunks) * kWidth, 0.0f);
    float* const rows = rowsMade.data();
    float row[kWidth];
    for (int c = 0; c < s.chunks; ++c) {
      float* out = rows + static_cast<std::size_t>(c) * kWidth;
      // Chunk c holds the rows c*size .. (c+1)*size - 1 counted back from the newest.
      for (int k = size * c; k < size * (c + 1); ++k) {
        FloorRow(levels + static_cast<std::size_t>(n - 1 - k) * nband_, first_, bands_, tuning_.FloorDepth_dB, row, kWidth);
        for (int b = 0; b < bands_; ++b) out[b] += row[b] / static_cast<float>(size);
      }
    }
    // Double-centring, then unit norm.
    std::vector<float> col(kWidth, 0.0f);
    for (int c = 0; c < s.chunks; ++c) {
      float* r = rows + static_cast<std::size_t>(c) * kWidth;
      float mean = 0.0f;
      for (int b = 0; b < bands_; ++b) mean += r[b];
      mean /= static_cast<float>(bands_);
      for (int b = 0; b < bands_; ++b) {
        r[b] -= mean;
        col[static_cast<std::size_t>(b)] += r[b] / static_cast<float>(s.chunks);
      }
    }
    double norm = 0.0;
    for (int c = 0; c < s.chunks; ++c) {
      float* r = rows + static_cast<std::size_t>(c) * kWidth;
      for (int b = 0; b < bands_; ++b) {
        r[b] -= col[static_cast<std::size_t>(b)];
        norm += static_cast<double>(r[b]) * r[b];
      }
    }
    if (norm > 1e-6) {
      // Kept as 8-bit codes in units of the largest value / 127: every sketch is streamed at
      // every turn, and fewer bytes are less time (the same reports as with 16-bit codes or
      // floats on the broadcast and short-clip corpora).
      const float scale = static_cast<float>(1.0 / std::sqrt(norm));
      float peak = 0.0f;
      for (float v : rowsMade) peak = std::max(peak, std::fabs(v * scale));
      s.unit = peak / 127.0f;
      drawn.codes_.reserve(rowsMade.size());
      for (float v : rowsMade) drawn.codes_.push_back(static_cast<std::int8_t>(std::lround(v * scale / s.unit)));
    } else {
      s.chunks = 0;  // flat: nothing to tell it from other sound
    }
  }
  return drawn;
}

int Preselector::Add(Drawn drawn, int lag) {
  Sketch s = drawn.sketch_;
  s.lag = lag;
  if (s.chunks > 0) {
    s.rows = codes_.size();
    codes_.insert(codes_.end(), drawn.codes_.begin(), drawn.codes_.end());
  }
  sketches_.push_back(std::move(s));
  used_.push_back(1);
  return static_cast<int>(sketches_.size()) - 1;
}

void Preselector::Start() {
  capacity_ = kSizes[kSizeCount - 1] * (tuning_.MaxChunks + 2) + 2;
  floored_.assign(static_cast<std::size_t>(capacity_) * kWidth, 0.0f);
  chunks_.assign(kSizeCount, Chunks());
  for (int z = 0; z < kSizeCount; ++z) {
    Chunks& c = chunks_[static_cast<std::size_t>(z)];
    c.size = kSizes[z];
    c.rows.assign(static_cast<std::size_t>(capacity_) * kWidth, 0.0f);
    c.sums.assign(static_cast<std::size_t>(capacity_) * kWidth, 0.0);
    c.squares.assign(static_cast<std::size_t>(capacity_), 0.0);
    c.steps.assign(static_cast<std::size_t>(tuning_.MaxChunks) * kWidth, 0);
  }
  spread_.assign(static_cast<std::size_t>(kSizeCount) * static_cast<std::size_t>(tuning_.MaxChunks + 1), 0.0);
  // Which sketches correlate at a block: by how often (every 1, 2, 4 or 8 blocks) and when.
  // How far ahead a flag's time can run out: the hold, the longest lag and the longest turn.
  int lag = 0;
  turns_.assign(4, {});
  for (std::size_t e = 0; e < turns_.size(); ++e) turns_[e].assign(std::size_t{1} << e, {});
  for (std::size_t i = 0; i < sketches_.size(); ++i) {
    const Sketch& s = sketches_[i];
    if (s.chunks == 0) continue;
    const int every = kSizes[s.size] / (s.strict ? 2 : 4);
    std::size_t e = 0;
    while ((1 << e) < every) ++e;
    turns_[e][i & ((std::size_t{1} << e) - 1)].push_back(static_cast<int>(i));
    lag = std::max(lag, s.lag);
  }
  std::size_t ahead = 1;
  while (ahead < static_cast<std::size_t>(tuning_.Hold + lag + 8 + 2)) ahead <<= 1;
  expiries_.assign(ahead, {});
  Reset();
}

void Preselector::Reset() {
  count_ = 0;
  spreadAt_.assign(spread_.size(), -1);
  std::fill(floored_.begin(), floored_.end(), 0.0f);
  for (Chunks& c : chunks_) {
    std::fill(c.rows.begin(), c.rows.end(), 0.0f);
    std::fill(c.sums.begin(), c.sums.end(), 0.0);
    std::fill(c.squares.begin(), c.squares.end(), 0.0);
    c.at = -1;
  }
  activeUntil_.resize(sketches_.size());
  for (std::size_t i = 0; i < sketches_.size(); ++i) activeUntil_[i] = sketches_[i].chunks > 0 ? -1 : kForever;
  nearUntil_ = activeUntil_;
  active_.resize(sketches_.size());  // the detector keeps pointers to these flags
  near_.resize(sketches_.size());
  for (std::size_t i = 0; i < sketches_.size(); ++i) active_[i] = near_[i] = activeUntil_[i] == kForever ? 1 : 0;
  for (std::vector<int>& due : expiries_) due.clear();
}

void Preselector::Push(const float* levels) {
  ++count_;
  const std::size_t at = static_cast<std::size_t>(count_ % capacity_);
  FloorRow(levels, first_, bands_, tuning_.FloorDepth_dB, floored_.data() + at * kWidth, kWidth);
  for (Chunks& c : chunks_) {
    // Mean of the last `size` floored blocks, centred across the bands.
    float* y = c.rows.data() + at * kWidth;
    std::fill(y, y + kWidth, 0.0f);
    for (int k = 0; k < c.size; ++k) {
      const std::int64_t block = count_ - k;
      if (block < 1) break;
      const float* r = floored_.data() + static_cast<std::size_t>(block % capacity_) * kWidth;
      for (int b = 0; b < bands_; ++b) y[b] += r[b];
    }
    float mean = 0.0f;
    for (int b = 0; b < bands_; ++b) mean += y[b];
    mean /= static_cast<float>(bands_);
    double square = 0.0;
    for (int b = 0; b < bands_; ++b) {
      y[b] = y[b] / static_cast<float>(c.size) - mean / static_cast<float>(c.size);
      square += static_cast<double>(y[b]) * y[b];
    }
    // Running sums along every size-th block.
    const std::int64_t before = count_ - c.size;
    const std::size_t from = static_cast<std::size_t>((before > 0 ? before : 0) % capacity_);
    const bool first = before <= 0;
    double* s = c.sums.data() + at * kWidth;
    for (int b = 0; b < kWidth; ++b) s[b] = (first ? 0.0 : c.sums[from * kWidth + b]) + y[b];
    c.squares[at] = (first ? 0.0 : c.squares[from]) + square;
  }
  // Flags whose time ran out (or that were waiting for their sketch to be used again).
  std::vector<int>& due = expiries_[static_cast<std::size_t>(count_) & (expiries_.size() - 1)];
  for (const int i : due) Refresh(i);
  due.clear();
  // A sketch of chunks of 8 or 16 blocks changes little from one block to the next: it is
  // correlated every 2nd or 4th block (patterns take turns: sketch i when count + i is a
  // multiple), and passes for that much longer. A strict sketch is correlated half as often
  // again and not held: it only tells its caller when to compare later on.
  for (std::size_t e = 0; e < turns_.size(); ++e) {
    const int every = 1 << e;
    for (const int i : turns_[e][static_cast<std::size_t>((every - count_ % every) % every)]) {
      const Sketch& s = sketches_[static_cast<std::size_t>(i)];
      if (!used_[static_cast<std::size_t>(i)]) continue;
      const float r = Correlate(s, every);
      std::int64_t& active = activeUntil_[static_cast<std::size_t>(i)];
      std::int64_t& near = nearUntil_[static_cast<std::size_t>(i)];
      const std::int64_t wasActive = active, wasNear = near;
      // Too little input yet to judge: compared from `every` blocks before the sketch can judge
      // (neither distance can compare a pattern before its span is in the input).
      if (r == -2.0f && !s.strict) {
        active = std::max(active, count_ + every);
        near = std::max(near, count_ + every);
      }
      if (r >= s.gate) {
        active = count_ + (s.strict ? 0 : tuning_.Hold + s.lag) + every;
        near = count_ + (s.strict ? 0 : tuning_.Hold) + every;
      }
      if (active != wasActive) Expire(i, active);
      if (near != wasNear && near != active) Expire(i, near);
      Refresh(i);
      if (r >= s.gate && s.target >= 0) Raise(s.target, active);
    }
  }
}

void Preselector::SetTarget(int sketch, int target) {
  if (sketch >= 0 && sketch < Count() && target >= 0 && target < Count() && target != sketch)
    sketches_[static_cast<std::size_t>(sketch)].target = target;
}

// Sketch i's active flag (not its near one) is held at least until `active`.
void Preselector::Raise(int i, std::int64_t active) {
  const std::size_t at = static_cast<std::size_t>(i);
  if (active <= activeUntil_[at]) return;
  activeUntil_[at] = active;
  Expire(i, active);
  Refresh(i);
}

// Sketch i's flags as of the newest block; a sketch not in use keeps them until it is again.
void Preselector::Refresh(int i) {
  const std::size_t at = static_cast<std::size_t>(i);
  if (sketches_[at].chunks == 0 || !used_[at]) return;
  active_[at] = activeUntil_[at] >= count_ ? 1 : 0;
  near_[at] = nearUntil_[at] >= count_ ? 1 : 0;
}

// Sketch i is looked at again the block after `until`.
void Preselector::Expire(int i, std::int64_t until) {
  expiries_[static_cast<std::size_t>(until + 1) & (expiries_.size() - 1)].push_back(i);
}

void Preselector::Use(int i, bool on) {
  used_[static_cast<std::size_t>(i)] = on ? 1 : 0;
  if (on && !expiries_.empty()) Expire(i, count_);  // its flags brought up to date at the next block
}

// Root of the input's sum of squares over the `chunks` chunks of size index z ending one block
// before the newest, once their per-band means are removed too; 0 when the input is too even to
// judge. Every sketch of that shape divides by the same, so it is formed once a time block.
double Preselector::Spread(int z, int chunks) {
  const std::size_t key = static_cast<std::size_t>(z) * static_cast<std::size_t>(tuning_.MaxChunks + 1) +
                          static_cast<std::size_t>(chunks);
  if (spreadAt_[key] == count_) return spread_[key];
  const Chunks& in = chunks_[static_cast<std::size_t>(z)];
  const std::int64_t newestAt = (count_ - 1) % capacity_;
  std::int64_t oldestAt = newestAt - static_cast<std::int64_t>(in.size) * chunks;  // the span fits the ring
  if (oldestAt < 0) oldestAt += capacity_;
  const double* hi = in.sums.data() + static_cast<std::size_t>(newestAt) * kWidth;
  const double* lo = in.sums.data() + static_cast<std::size_t>(oldestAt) * kWidth;
  double cols = 0.0;
  for (int b = 0; b < bands_; ++b) {
    const double d = hi[b] - lo[b];
    cols += d * d;
  }
  const double squares = in.squares[static_cast<std::size_t>(newestAt)] -
                         in.squares[static_cast<std::size_t>(oldestAt)] - cols / chunks;
  spreadAt_[key] = count_;
  spread_[key] = squares > 1e-6 ? std::sqrt(squares) : 0.0;
  return spread_[key];
}

// The input chunks of size index z at the newest block in 16-bit steps: a sketch's correlation
// is then a sum of integer products (exact, so the same in any order), two bands a multiply-add.
const Preselector::Chunks& Preselector::Stepped(int z) {
  static_assert(kWidth == sp::kernels::kSketchWidth, "the kernels' rows are the sketches' rows");
  Chunks& in = chunks_[static_cast<std::size_t>(z)];
  if (in.at == count_) return in;
  in.at = count_;
  const std::int64_t reach = (count_ - 1) / in.size;  // chunks the input holds
  const int n = static_cast<int>(std::min<std::int64_t>(reach, tuning_.MaxChunks));
  // (A sketch reaching further than the input holds is not correlated: no chunk past n is read.)
  std::int64_t at = (count_ - 1) % capacity_;
  const float peak = sp::kernels::ChunkPeak(in.rows.data(), n, at, in.size, capacity_);
  in.unit = peak / 32767.0f;
  if (!(in.unit > 0.0f)) return in;
  // Rounded to the nearest step (ties to even), the largest to +-32767 at most.
  const float scale = 1.0f / in.unit;
  at = (count_ - 1) % capacity_;
  for (int c = 0; c < n; ++c) {
    const float* y = in.rows.data() + static_cast<std::size_t>(at) * kWidth;
    std::int16_t* q = in.steps.data() + static_cast<std::size_t>(c) * kWidth;
    sp::kernels::StepRow(y, scale, q);
    at -= in.size;
    if (at < 0) at += capacity_;
  }
  return in;
}

// Correlation of sketch s with the input chunks at its positions, the newest chunk ending one
// block before the newest block. -2: the input does not reach back far enough yet, but will
// within `soon` blocks; -3: not for longer.
float Preselector::Correlate(const Sketch& s, int soon) {
  const int size = kSizes[s.size];
  const std::int64_t newest = count_ - 1;
  const std::int64_t oldest = newest - static_cast<std::int64_t>(size) * s.chunks;  // exclusive
  if (oldest < 0) return oldest + soon >= 0 ? -2.0f : -3.0f;
  const double spread = Spread(s.size, s.chunks);
  if (!(spread > 0.0)) return 0.0f;
  const Chunks& in = Stepped(s.size);
  if (!(in.unit > 0.0f)) return 0.0f;
  const std::int8_t* p = codes_.data() + s.rows;
  const std::int16_t* y = in.steps.data();
  const std::int32_t num = sp::kernels::CodeDot(p, y, s.chunks);
  return static_cast<float>(static_cast<double>(num) * in.unit * s.unit / spread);
}

}  // namespace spdet
