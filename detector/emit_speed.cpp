// The speed of an airing the level distance found, measured when it is reported: see
// emit_speed.h.
#include "emit_speed.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "centred_levels.h"
#include "detector_core.h"

namespace spdet {

// Level alignments of clips this many blocks or more are fitted; a fit is taken when it is at least
// kLevelSpeedMin off factor 1 and correlates kLevelSpeedGain better than factor 1 does (the
// speed and tempo steps of the capture sets are 3-6 %; the quick sets' 2 %). Without a shape
// path's limit, factors up to kLevelSpeedMax are tried.
constexpr int kLevelSpeedMinBlocks = 16;
constexpr double kLevelSpeedMin = 0.012;
constexpr double kLevelSpeedGain = 0.02;
constexpr double kLevelSpeedMax = 0.065;
// A shape report's speed is checked only where the clip's blocks correlate this well at the fit.
constexpr double kPlaceMinScore = 0.3;

namespace {

// The search narrows in three passes: factors kCoarseStep apart at every other shift over about
// kCoarseBlocks of the clip's blocks, then at factors kMediumStep apart over four times as many
// and kFineStep apart over every block, around the best before (kMediumShift and kFineShift
// steps either side).
constexpr double kCoarseStep = 0.01;
constexpr double kMediumStep = 0.002;
constexpr double kFineStep = 0.0005;
constexpr int kMediumShift = 4;
constexpr int kFineShift = 2;
constexpr int kCoarseBlocks = 60;

// Levels of each block centred (centred_levels.h) and brought to unit length; a block without
// spread stays zero.
void Centre(const std::vector<const float*>& blocks, int lo, int bands, std::vector<float>& out) {
  std::vector<double> x;
  CentreBlocks(blocks.data(), static_cast<int>(blocks.size()), lo, bands, x);
  out.assign(x.size(), 0.0f);
  for (std::size_t at = 0; at < x.size(); at += static_cast<std::size_t>(bands)) {
    double norm = 0.0;
    for (int j = 0; j < bands; ++j) norm += x[at + j] * x[at + j];
    if (norm <= 0.0) continue;  // (a missing block too)
    const double scale = 1.0 / std::sqrt(norm);
    for (int j = 0; j < bands; ++j) out[at + j] = static_cast<float>(x[at + j] * scale);
  }
}

// The largest speed change a clip's fit tries: the shape path's limit when set.
double MaxSpeed(const DetectorTuning& tuning) {
  return tuning.ShapeMaxSpeed > 0.0f ? tuning.ShapeMaxSpeed : kLevelSpeedMax;
}

// A fit that finds the clip played off its speed: far enough off factor 1 and correlating
// clearly better there than at factor 1.
bool OffSpeed(const StretchFit& fit) {
  return std::fabs(fit.factor - 1.0) >= kLevelSpeedMin && fit.score >= fit.unit + kLevelSpeedGain;
}

}  // namespace

StretchFit FitStretch(const float* clip, int n, int nband, int lo, int hi, const std::vector<const float*>& rows,
                      double middle, int steps, double maxStretch) {
  const int bands = hi - lo + 1;
  StretchFit fit;
  if (n < 2 || bands < 2 || rows.empty()) return fit;
  std::vector<const float*> blocks(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) blocks[static_cast<std::size_t>(k)] = clip + static_cast<std::size_t>(k) * nband;
  std::vector<float> c, y;
  Centre(blocks, lo, bands, c);
  Centre(rows, lo, bands, y);
  const double centre = (n - 1) / 2.0;
  const long count = static_cast<long>(rows.size());
  // Mean correlation of every stride-th block of the clip at factor f, shift o (steps).
  const auto score = [&](double f, double o, int stride) {
    double sum = 0.0;
    int compared = 0;
    const double from = middle - centre * f * steps + o + 0.5, by = f * steps;
    for (int k = 0; k < n; k += stride, ++compared) {
      const double at = from + k * by;
      if (at < 0.0) continue;
      const long j = static_cast<long>(at);  // (rounded: at holds the half)
      if (j >= count || rows[static_cast<std::size_t>(j)] == nullptr) continue;
      const float* a = c.data() + static_cast<std::size_t>(k) * bands;
      const float* b = y.data() + static_cast<std::size_t>(j) * bands;
      float part[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      int t = 0;
      for (; t + 4 <= bands; t += 4)
        for (int q = 0; q < 4; ++q) part[q] += a[t + q] * b[t + q];
      for (; t < bands; ++t) part[0] += a[t] * b[t];
      sum += static_cast<double>(part[0] + part[1]) + static_cast<double>(part[2] + part[3]);
    }
    return compared > 0 ? sum / compared : 0.0;
  };
  double best = -2.0, bestF = 1.0;
  int bestO = 0;
  // Factors `step` apart within `width` of `around` (and maxStretch of 1), shifts within `shifts`
  // of `at` every `every` steps, every `stride`-th block.
  const auto search = [&](double around, double width, double step, int at, int shifts, int every, int stride) {
    const int factors = static_cast<int>(std::lround(width / step));
    best = -2.0;
    for (int q = -factors; q <= factors; ++q) {
      const double f = around + q * step;
      if (std::fabs(f - 1.0) > maxStretch + 1e-9) continue;
      for (int o = at - shifts; o <= at + shifts; o += every) {
        const double s = score(f, o, stride);
        if (s > best) best = s, bestF = f, bestO = o;
      }
    }
  };
  const int reach = static_cast<int>(std::ceil(maxStretch * centre * steps)) + steps;
  search(1.0, std::floor(maxStretch / kCoarseStep) * kCoarseStep, kCoarseStep, 0, reach, 2, std::max(1, n / kCoarseBlocks));
  search(bestF, kCoarseStep, kMediumStep, bestO, kMediumShift, 1, std::max(1, n / (4 * kCoarseBlocks)));
  search(bestF, kMediumStep, kFineStep, bestO, kFineShift, 1, 1);
  // The shift between steps from a parabola through the neighbours.
  double delta = 0.0;
  const double before = score(bestF, bestO - 1, 1), after = score(bestF, bestO + 1, 1);
  const double den = before - 2.0 * best + after;
  if (den < 0.0) delta = std::clamp(0.5 * (before - after) / den, -0.5, 0.5);
  fit.factor = bestF;
  fit.offset = bestO + delta;
  fit.score = best;
  fit.unit = -2.0;
  for (int o = -2; o <= 2; ++o) fit.unit = std::max(fit.unit, score(1.0, o, 1));
  return fit;
}

}  // namespace spdet

// Pattern i's clip fitted to the aligned input around `middle` (the step of its middle block at
// factor 1), at factors up to `max` from 1: rows and first hold the input's blocks it was fitted
// to (rows[j]: step first + j). False where it cannot be fitted (too short, or the engine that
// held the clip's levels was released or set up again before the end of the stream).
bool spdet::DetectorCore::FitClip(int i, double middle, double max, std::vector<const float*>& rows, std::int64_t& first,
                                  StretchFit& fit) {
  if (!EngineUnchanged() || Engine->TVS == nullptr) return false;
  const DetectorPattern& P = Patterns[i];
  const int n = P.Nblock - 1;
  const int lo = std::max(0, Engine->BandFirst), hi = std::min(Nband - 1, Engine->BandLast);
  const SignalTVSEx* T = Engine->TVS[i];
  if (n < kLevelSpeedMinBlocks || hi - lo + 1 < 3 || T == nullptr || T->SpectrumByBand == nullptr) return false;
  const std::int64_t newest = Blocks * SubSteps;
  const double centre = (n - 1) / 2.0;
  const double span = (centre + 1.0) * (1.0 + max) * SubSteps + max * centre * SubSteps + 2.0 * SubSteps;
  first = static_cast<std::int64_t>(std::floor(middle - span));
  const std::int64_t last = static_cast<std::int64_t>(std::ceil(middle + span));
  rows.assign(static_cast<std::size_t>(last - first + 1), nullptr);
  for (std::int64_t t = first; t <= last; ++t) {
    const std::int64_t back = newest - t;
    if (t <= 0 || back < 0 || back >= RingLength) continue;
    const int row = static_cast<int>(((RingPos - back) % RingLength + RingLength) % RingLength);
    rows[static_cast<std::size_t>(t - first)] = LogRing.data() + static_cast<long>(row) * Nband;
  }
  std::vector<float> clip(static_cast<std::size_t>(n) * Nband);
  ClipLevels(i, clip.data());
  fit = FitStretch(clip.data(), n, Nband, lo, hi, rows, middle - static_cast<double>(first), SubSteps, max);
  return true;
}

// The airing's ends where the level alignment of pattern i at `step` was played off its speed;
// false where it was played at its speed (or the input around it is no longer kept, or the clip
// cannot be fitted).
bool spdet::DetectorCore::PlaceLevel(int i, std::int64_t step, CandidatePicker::Placed* out) {
  const int n = Patterns[i].Nblock - 1;
  const double centre = (n - 1) / 2.0;
  const double max = MaxSpeed(Tuning);
  // Block k of the clip (oldest first) is aligned with the input at step - (n - k) * SubSteps.
  const double middle = static_cast<double>(step) - (n - centre) * SubSteps;
  std::vector<const float*> rows;
  std::int64_t first = 0;
  StretchFit fit;
  if (!FitClip(i, middle, max, rows, first, fit)) return false;
  if (!OffSpeed(fit)) return false;
  const double at = middle + fit.offset;
  out->begin = at + (-1.0 - centre) * fit.factor * SubSteps;
  out->end = at + (n - centre) * fit.factor * SubSteps;
  out->stretch = static_cast<float>(100.0 * (1.0 / fit.factor - 1.0));
  out->seen = 1.0f;
  // What was heard of the clip, at the fit: the level alignment's own view misjudges the blocks
  // that drift off it.
  if (n >= 2 && n < Longest) {
    std::vector<const float*>& input = CutInput;
    input.assign(static_cast<std::size_t>(n), nullptr);
    bool known = true;
    for (int k = 0; k < n && known; ++k) {
      const long j = std::lround(at + (k - centre) * fit.factor * SubSteps) - static_cast<long>(first);
      known = j >= 0 && j < static_cast<long>(rows.size()) && rows[static_cast<std::size_t>(j)] != nullptr;
      if (known) input[static_cast<std::size_t>(k)] = rows[static_cast<std::size_t>(j)];
    }
    if (known) out->seen = Heard(i, 0, false);
  }
  return true;
}

// A whole airing the shape distance reported off its speed, fitted again block by block around
// the report. Through a room the shape distance's speed is not to be trusted: reverberation
// smears the later blocks of a clip more than its first onset, and a stretch of 0.4-2.6 % fits
// the smeared pieces better than the clip at its speed (its end came up to 112 ms early). The
// clip's blocks, each centred on its own, keep their onsets through the smear: where they fit
// at least kPlaceMinScore and find no speed change (as the level path judges one), the airing
// is placed at its speed where they fit best; otherwise the report stands as the shape distance
// gave it.
void spdet::DetectorCore::PlaceShape(DetectorReport& r) {
  if (r.Method != DetectorReport::kShapeMethod || r.Stretch == 0.0f || r.Seen < 1.0f || r.Pattern < 0 || r.Pattern >= NPattern) return;
  const int i = r.Pattern;
  const int n = Patterns[i].Nblock - 1;
  const double centre = (n - 1) / 2.0;
  const double stepSamples = static_cast<double>(NsampleBlock) / SubSteps;
  const double factor = 1.0 - r.Stretch / 100.0;  // input time per clip time
  const double begin = static_cast<double>(r.Begin - Origin + DelaySamples) / stepSamples;
  const double middle = begin + (centre + 1.0) * factor * SubSteps;
  std::vector<const float*> rows;
  std::int64_t first = 0;
  StretchFit fit, unit;
  if (!FitClip(i, middle, MaxSpeed(Tuning), rows, first, fit)) return;
  if (OffSpeed(fit) || fit.score < kPlaceMinScore) return;
  const double around = middle + fit.offset;
  if (!FitClip(i, around, 0.0, rows, first, unit)) return;
  const double at = around + unit.offset;
  std::int64_t from = std::llround((at + (-1.0 - centre) * SubSteps) * stepSamples) - DelaySamples;
  if (from < 0) from = 0;
  r.Begin = Origin + from;
  r.End = r.Begin + static_cast<std::int64_t>(Patterns[i].Nblock) * NsampleBlock;
  r.Stretch = 0.0f;
}
