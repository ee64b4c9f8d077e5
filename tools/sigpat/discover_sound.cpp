// The kind of sound of a discovered clip, whether it lies within music of its own colour, and
// where its tail fades out (see discover_clips.h).
#include <algorithm>
#include <cmath>
#include <utility>

#include "discover_clips.h"

namespace sigpat {

namespace {

constexpr int kBands = 8;
constexpr int kContextBlocks = 144;  // the sound around an occurrence compared with it (1.9 s)
constexpr std::int64_t kGapBlocks = 10;  // ... from this many blocks off it (past a crossfade's worst)
constexpr double kSameColour_dB = 3.5;
constexpr float kBackground_dB = 6.0f;  // a block this close to the background in every band is background
constexpr float kOnset_dB = 10.0f;  // a block this much louder than the one before starts new sound
constexpr float kSwell_dB = 6.0f;   // a tail never rises this much over its lowest
constexpr double kFade_dBPerSecond = 20.0;  // ... and loses at least this much on average
constexpr float kDrop_dB = 6.0f;   // ... but never this much from one block to the next

// The bands' mean levels over blocks first..last of an input, each against their mean (the
// colour of the sound); false when the stretch is empty.
bool Colour(const std::vector<float>& l, std::int64_t first, std::int64_t last, double* out) {
  first = std::max<std::int64_t>(0, first);
  last = std::min(static_cast<std::int64_t>(l.size() / kBands) - 1, last);
  if (last < first) return false;
  std::fill(out, out + kBands, 0.0);
  for (std::int64_t t = first; t <= last; ++t)
    for (int b = 0; b < kBands; ++b) out[b] += l[static_cast<std::size_t>(t * kBands + b)];
  double mean = 0.0;
  for (int b = 0; b < kBands; ++b) mean += out[b] /= static_cast<double>(last - first + 1);
  for (int b = 0; b < kBands; ++b) out[b] -= mean / kBands;
  return true;
}

}  // namespace

bool WithinMusic(const DiscoveredClip& clip, const std::vector<const std::vector<float>*>& levels) {
  for (const ClipOccurrence& o : clip.occurrences) {
    const std::vector<float>& l = *levels[static_cast<std::size_t>(o.input)];
    double in[kBands], side[kBands];
    Colour(l, o.first, o.last, in);
    bool same = false;
    for (const auto& [f, e] : {std::pair{o.first - kGapBlocks - kContextBlocks, o.first - kGapBlocks},
                                std::pair{o.last + kGapBlocks, o.last + kGapBlocks + kContextBlocks}}) {
      if (!Colour(l, f, e, side)) continue;
      double d = 0.0;
      for (int b = 0; b < kBands; ++b) d += std::fabs(side[b] - in[b]);
      if (d / kBands < kSameColour_dB) same = true;
    }
    if (!same) return false;
  }
  return true;
}

std::string SoundKind(const float* levels, std::size_t n) {
  if (n < 8) return "music only";
  // Pauses: blocks whose loudest low band (up to 2.8 kHz) lies 15 dB under the stretch's median.
  std::vector<float> low(n);
  for (std::size_t t = 0; t < n; ++t) {
    float top = -200.0f;
    for (int b = 0; b < 4; ++b) top = std::max(top, levels[t * kBands + b]);
    low[t] = top;
  }
  std::vector<float> sorted(low);
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(n / 2), sorted.end());
  const float median = sorted[n / 2];
  double pauses = 0.0;
  for (std::size_t t = 0; t < n; ++t)
    if (low[t] < median - 15.0f) pauses += 1.0;
  pauses /= static_cast<double>(n);
  // Articulation: how fast the shape of the voice bands (0.7 to 4.1 kHz, each against the mean of
  // all eight) changes over 4 blocks (52 ms, a syllable's pace). Music holds its shape from note
  // to note longer than speech holds a vowel.
  double shape = 0.0;
  for (std::size_t t = 4; t < n; ++t) {
    double now = 0.0, before = 0.0;
    for (int b = 0; b < kBands; ++b) now += levels[t * kBands + b], before += levels[(t - 4) * kBands + b];
    now /= kBands;
    before /= kBands;
    double d = 0.0;
    for (int b = 1; b < 6; ++b) d += std::fabs((levels[t * kBands + b] - now) - (levels[(t - 4) * kBands + b] - before));
    shape += d / 5.0;
  }
  shape /= static_cast<double>(n - 4);
  if (pauses >= 0.3) return "speech only";
  if (shape >= 2.9) return "speech over music";
  return "music only";
}

Background BackgroundOf(const std::vector<float>& levels) {
  Background out;
  const std::size_t n = levels.size() / kBands;
  if (n == 0) {
    out.fill(-1.0e30f);
    return out;
  }
  std::vector<float> band(n);
  for (int b = 0; b < kBands; ++b) {
    for (std::size_t t = 0; t < n; ++t) band[t] = levels[t * kBands + static_cast<std::size_t>(b)];
    const std::size_t k = n / 50;  // 2 %
    std::nth_element(band.begin(), band.begin() + static_cast<long>(k), band.end());
    out[static_cast<std::size_t>(b)] = band[k];
  }
  return out;
}

std::int64_t FadingTail(const std::vector<float>& levels, const Background& background, std::int64_t last,
                        std::int64_t maxBlocks) {
  const auto n = static_cast<std::int64_t>(levels.size() / kBands);
  if (last < 0 || last >= n) return 0;
  const auto loudest = [&](std::int64_t t) {
    const float* row = levels.data() + t * kBands;
    return *std::max_element(row, row + kBands);
  };
  const float start = loudest(last);
  float low = start, before = start;
  for (std::int64_t t = last + 1; t < n && t <= last + maxBlocks; ++t) {
    const float* row = levels.data() + t * kBands;
    bool quiet = true;
    for (int b = 0; b < kBands; ++b) quiet = quiet && row[b] <= background[static_cast<std::size_t>(b)] + kBackground_dB;
    const float level = loudest(t);
    // The tail ends where the channel falls silent or the next sound starts at once; it has
    // died away (the next item's sound, coming in softly, holds its level).
    if (quiet || level > before + kOnset_dB) {
      const std::int64_t tail = t - 1 - last;
      return start - before >= kFade_dBPerSecond * kBlockSeconds * static_cast<double>(tail) ? tail : 0;
    }
    // Sound that does not go on fading, or drops at once (a cut to other, quieter sound), is not
    // a tail.
    if (level > low + kSwell_dB || level < before - kDrop_dB) return 0;
    low = std::min(low, level);
    before = level;
  }
  return 0;
}

}  // namespace sigpat
