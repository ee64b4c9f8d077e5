// The reverberant view of the shape distance (reverb_view.h).
#include "reverb_view.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
constexpr float kTiny = 1.0e-12f;
// A view whose threshold would fall under this share of the plain one is not worth comparing:
// the smeared pattern correlates with too much of what it is not.
constexpr float kLowestFactor = 0.5f;
}  // namespace

namespace {

// Energy left of a block's sound one block later, and the tail's weight so that the whole tail
// holds drrDb less energy than the direct sound.
struct Decay {
  double a, g;
  Decay(float blockSeconds, float rt60, float drrDb)
      : a(std::pow(10.0, -6.0 * blockSeconds / rt60)), g(std::pow(10.0, -drrDb / 10.0) * (1.0 - a) / a) {}
};

// Smeared levels into out (n blocks x nband) from the energies of the blocks, block k's being
// block from(k)'s of `power`.
// (Block by block, every band's own decay in step: the same sums as band by band.)
template <class From>
void Smear(const double* power, float* out, int n, int nband, const Decay& d, From from) {
  // Per band: the decaying energy of the blocks before, and the last block's.
  std::vector<double> tail(static_cast<std::size_t>(nband), 0.0), before(static_cast<std::size_t>(nband), 0.0);
  for (int k = 0; k < n; ++k) {
    const double* in = power + static_cast<std::size_t>(from(k)) * nband;
    float* o = out + static_cast<std::size_t>(k) * nband;
    for (int b = 0; b < nband; ++b) {
      tail[b] = d.a * (tail[b] + before[b]);
      before[b] = in[b];
      o[b] = static_cast<float>(10.0 * std::log10(std::max(before[b] + d.g * tail[b], static_cast<double>(kTiny))));
    }
  }
}

void Powers(const float* levels, std::size_t size, std::vector<double>& power) {
  power.resize(size);
  for (std::size_t i = 0; i < size; ++i) power[i] = std::pow(10.0, levels[i] / 10.0);
}

}  // namespace

void spdet::SmearLevels(float* levels, int n, int nband, float blockSeconds, float rt60, float drrDb) {
  if (!(rt60 > 0.0f) || !(blockSeconds > 0.0f) || n <= 0) return;
  std::vector<double> power;
  Powers(levels, static_cast<std::size_t>(n) * static_cast<std::size_t>(nband), power);
  Smear(power.data(), levels, n, nband, Decay(blockSeconds, rt60, drrDb), [](int k) { return k; });
}

void spdet::ReverbView::Configure(int nband, int first, int last, const ShapeTuning& shape, const ReverbTuning& tuning,
                                  float blockSeconds) {
  tuning_ = tuning;
  blockSeconds_ = blockSeconds;
  nband_ = nband;
  matcher_.Configure(nband, first, last, shape);
  factor_.clear();
}

void spdet::ReverbView::Add(const float* levels, int n, int minBlocks, float plainThreshold, float known,
                            float* made) {
  smeared_ = false;
  if (made != nullptr) *made = -1.0f;
  if (!Enabled() || levels == nullptr || n <= 0 || !(plainThreshold > 0.0f)) {
    matcher_.Add(nullptr, 0, 1);
    factor_.push_back(0.0f);
    return;
  }
  const std::size_t size = static_cast<std::size_t>(n) * static_cast<std::size_t>(nband_);
  // The blocks' energies once for the three smears below (each the same as SmearLevels').
  const bool smears = tuning_.Rt60 > 0.0f && blockSeconds_ > 0.0f;
  std::vector<double> power;
  if (smears) Powers(levels, size, power);
  const Decay decay(blockSeconds_, tuning_.Rt60, tuning_.Drr_dB);
  scratch_.resize(size);
  if (smears)
    Smear(power.data(), scratch_.data(), n, nband_, decay, [](int k) { return k; });
  else
    std::copy_n(levels, size, scratch_.begin());
  smeared_ = smears;
  const int at = matcher_.Add(scratch_.data(), n, minBlocks);
  if (!matcher_.Pattern(at).Usable()) {
    factor_.push_back(0.0f);
    return;
  }
  // The sounds the plain threshold was made with (the clip backwards, its halves swapped), heard
  // in the same room.
  float closest = 2.0f;
  if (known >= 0.0f) {
    closest = known;
  } else {
    std::vector<float> other(size);
    for (int t = 0; t < 2; ++t) {
      const auto from = [t, n](int k) { return t == 0 ? n - 1 - k : (k + n / 2) % n; };
      if (smears)
        Smear(power.data(), other.data(), n, nband_, decay, from);
      else
        for (int k = 0; k < n; ++k)
          std::copy_n(levels + static_cast<std::size_t>(from(k)) * nband_, nband_,
                      other.begin() + static_cast<std::ptrdiff_t>(k) * nband_);
      closest = std::min(closest, matcher_.DistanceOf(at, other.data(), n));
    }
  }
  if (made != nullptr) *made = closest;
  const float own = std::min(plainThreshold, tuning_.NegativeScale * closest);
  const float factor = own / plainThreshold;
  factor_.push_back(factor >= kLowestFactor ? factor : 0.0f);
}

void spdet::ReverbView::Start() {
  smeared_ = false;
  matcher_.Start();
  gate_.assign(factor_.size(), 0.0f);
  open_.assign(factor_.size(), 0);
}

void spdet::ReverbView::Reset() {
  if (!Enabled()) return;
  matcher_.Reset();
  std::fill(gate_.begin(), gate_.end(), 0.0f);
  std::fill(open_.begin(), open_.end(), 0);
}

void spdet::ReverbView::Push(const float* levels, const ShapeMatcher& plain, const float* gate) {
  if (!Enabled() || matcher_.Count() != plain.Count()) return;
  for (std::size_t i = 0; i < factor_.size(); ++i) {
    const bool near = factor_[i] > 0.0f && gate[i] > 0.0f && plain.Score(static_cast<int>(i)).Coarse < tuning_.Open;
    gate_[i] = near ? gate[i] * factor_[i] : 0.0f;
    open_[i] = near ? 1 : 0;
  }
  matcher_.Push(levels, gate_.data(), open_.data(), &plain);
}

spdet::ShapeScore spdet::ReverbView::Better(int i, const ShapeScore& plain, float firm) const {
  if (!Enabled() || i >= matcher_.Count() || (plain.Exact && plain.Distance < firm)) return plain;
  const std::size_t at = static_cast<std::size_t>(i);
  const ShapeScore& view = matcher_.Score(i);
  if (!view.Exact || open_[at] == 0 || view.End != plain.End) return plain;
  ShapeScore out = view;
  out.Distance = view.Distance / factor_[at];
  out.Coarse = view.Coarse / factor_[at];
  return plain.Exact && plain.Distance <= out.Distance ? plain : out;
}
