// Discovery of repeated clips in time-spectra, without patterns: the index of coarse spectral
// shapes proposes aligned pairs of stretches, an exact per-block distance verifies each pair and
// extends it to where its two copies stop agreeing, the stretches that recur are grouped into
// clips with all their occurrences, and clips that share most of their content into families
// (versions). Works on levels only; reading audio, patterns and output are discover.cpp's.
// See docs/index.md.
#ifndef SIGPAT_DISCOVER_CLIPS_H
#define SIGPAT_DISCOVER_CLIPS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sigpat {

struct DiscoverTuning {
  double minLength = 1.0;   // seconds: shorter repeats are not reported
  double maxLength = 0.0;   // seconds: longer repeats are left out; 0: none
  int minCount = 2;         // occurrences a clip needs
  double longRepeat = 60.0; // seconds: longer repeats are songs (kind "long repeat"), not clips
  float agree_dB = 2.5f;    // per-block distance under which two copies agree
  double boundaryTolerance = 0.25;  // seconds: occurrences whose ends differ by less are one
};

// An occurrence: time blocks first..last (both included) of input `input`.
struct ClipOccurrence {
  int input = 0;
  std::int64_t first = 0, last = 0;
  double distance = 0.0;  // mean per-block distance (dB) to the clip's other occurrences
};

struct DiscoveredClip {
  std::vector<ClipOccurrence> occurrences;  // by input and position
  int cleanest = 0;  // the occurrence closest to the others
  int family = 0;    // clips of one family share most of their content
  // Within the clip (time blocks from its start): the stretches the other versions of the family
  // do not share; empty for a clip alone in its family.
  std::vector<std::pair<std::int64_t, std::int64_t>> differs;
  bool longRepeat = false;
  std::string kind;  // "speech over music", "music only", "speech only", "long repeat"
  std::int64_t blocks() const;
};

struct DiscoverStats {
  std::size_t postings = 0, indexBytes = 0, votes = 0, candidates = 0, verified = 0;
};

// levels: per input, time blocks x 8 bands in dB, oldest first (TimeSpectrum::levels).
std::vector<DiscoveredClip> DiscoverClips(const std::vector<const std::vector<float>*>& levels, const DiscoverTuning& tuning,
                                          DiscoverStats* stats = nullptr);

// The kind of sound of a stretch of levels (n blocks x 8 bands): "speech only" when it pauses
// often (30 % of its blocks 15 dB under its median), "speech over music" when the shape of its
// voice bands changes at a syllable's pace (2.9 dB over 52 ms on average) without pauses, "music
// only" otherwise (docs/index.md).
std::string SoundKind(const float* levels, std::size_t n);

// Whether every occurrence of a clip has sound of its own colour (the bands' mean levels, each
// against their mean, within 3.5 dB on average) in the 2 s just before or just after it: the song
// whose bars it repeats, where a clip aired between other sound has something else around it.
bool WithinMusic(const DiscoveredClip& clip, const std::vector<const std::vector<float>*>& levels);

// Per band, the level that 2 % of an input's blocks lie under: the channel's background (its
// noise, or digital silence).
using Background = std::array<float, 8>;
Background BackgroundOf(const std::vector<float>& levels);

// How many blocks past block `last` (at most maxBlocks) the sound there goes on dying away: up
// to the block before the channel's background (every band within 6 dB of it) or before new
// sound starting at once (10 dB over the block before), losing 20 dB a second on average and
// under 6 dB a block; 0 when it rises 6 dB over its lowest before (the next sound swelling in),
// drops at once to other sound, holds its level, or neither comes within maxBlocks.
std::int64_t FadingTail(const std::vector<float>& levels, const Background& background, std::int64_t last,
                        std::int64_t maxBlocks);

constexpr double kBlockSeconds = 576.0 / 44100.0;

}  // namespace sigpat

#endif
