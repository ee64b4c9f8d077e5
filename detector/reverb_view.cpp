// The reverberant view of the shape distance (reverb_view.h).
#include "reverb_view.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr float kTiny = 1.0e-12f;
// A view whose threshold would fall under this share of the plain one is not worth comparing:
// the smeared pattern correlates with too much of what it is not.
constexpr float kLowestFactor = 0.5f;
}  // namespace

void spdet::SmearLevels(float* levels, int n, int nband, float blockSeconds, float rt60, float drrDb) {
  if (!(rt60 > 0.0f) || !(blockSeconds > 0.0f) || n <= 0) return;
  // Energy left of a block's sound one block later, and the tail's weight so that the whole
  // tail holds drrDb less energy than the direct sound.
  const double a = std::pow(10.0, -6.0 * blockSeconds / rt60);
  const double g = std::pow(10.0, -drrDb / 10.0) * (1.0 - a) / a;
  for (int b = 0; b < nband; ++b) {
    double tail = 0.0, before = 0.0;  // the decaying energy of the blocks before, and the last block's
    for (int k = 0; k < n; ++k) {
      float& level = levels[static_cast<std::size_t>(k) * nband + b];
      tail = a * (tail + before);
      before = std::pow(10.0, level / 10.0);
      level = static_cast<float>(10.0 * std::log10(std::max(before + g * tail, static_cast<double>(kTiny))));
    }
  }
}

void spdet::ReverbView::Configure(int nband, int first, int last, const ShapeTuning& shape, const ReverbTuning& tuning,
                                  float blockSeconds) {
  tuning_ = tuning;
  blockSeconds_ = blockSeconds;
  nband_ = nband;
  matcher_.Configure(nband, first, last, shape);
  factor_.clear();
}

void spdet::ReverbView::Add(const float* levels, int n, int minBlocks, float plainThreshold) {
  if (!Enabled() || levels == nullptr || n <= 0 || !(plainThreshold > 0.0f)) {
    matcher_.Add(nullptr, 0, 1);
    factor_.push_back(0.0f);
    return;
  }
  const std::size_t size = static_cast<std::size_t>(n) * static_cast<std::size_t>(nband_);
  scratch_.assign(levels, levels + size);
  SmearLevels(scratch_.data(), n, nband_, blockSeconds_, tuning_.Rt60, tuning_.Drr_dB);
  const int at = matcher_.Add(scratch_.data(), n, minBlocks);
  if (!matcher_.Pattern(at).Usable()) {
    factor_.push_back(0.0f);
    return;
  }
  // The sounds the plain threshold was made with (the clip backwards, its halves swapped), heard
  // in the same room.
  float closest = 2.0f;
  std::vector<float> other(size);
  for (int t = 0; t < 2; ++t) {
    for (int k = 0; k < n; ++k) {
      const int from = t == 0 ? n - 1 - k : (k + n / 2) % n;
      std::copy_n(levels + static_cast<std::size_t>(from) * nband_, nband_,
                  other.begin() + static_cast<std::ptrdiff_t>(k) * nband_);
    }
    SmearLevels(other.data(), n, nband_, blockSeconds_, tuning_.Rt60, tuning_.Drr_dB);
    closest = std::min(closest, matcher_.DistanceOf(at, other.data(), n));
  }
  const float own = std::min(plainThreshold, tuning_.NegativeScale * closest);
  const float factor = own / plainThreshold;
  factor_.push_back(factor >= kLowestFactor ? factor : 0.0f);
}

void spdet::ReverbView::Start() {
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
