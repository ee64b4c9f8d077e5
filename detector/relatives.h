// Relatives among the patterns of a catalogue: patterns that share content (versions of an advert
// with other end tags or middle sections, the same bed under another voice, a spot and its
// cut-down), found from the patterns' levels alone, with the stretch of each where it differs
// from the other. The decision layer reports one version per airing among relatives, decided on
// those stretches (version_arbiter.h); sigpat info lists them. docs/versions.md.
//
// Two patterns are compared with their starts aligned and with their ends aligned (versions keep
// the opening or the end, and cut-downs keep the opening); per block, the mean level difference
// over the bands after the overall level difference is taken off, smoothed over a tenth of a
// second. Blocks under SharedDb are shared (blocks quiet in both count neither way). Relatives
// share one run of at least MinSharedFraction of the shorter pattern and MinSharedSeconds. The rest
// of each is its differing stretch (from the first to the last block that is not shared, and the
// part of the longer one beyond the shorter). Patterns of near-equal length that share no such run
// but stay close over the whole (look-alikes, below) are relatives differing everywhere.
//
// Results are kept per pair of pattern contents for the process (a pattern that changes has other
// content, so nothing stale is used): a second detector on the same catalogue finds them at once,
// and after a reload only the pairs of the patterns new to the process are looked at; with a
// cache directory they are also kept on disk for the next run (relatives_cache.h).
#ifndef SP_DETECTOR_RELATIVES_H
#define SP_DETECTOR_RELATIVES_H

#include <cstdint>
#include <string>
#include <vector>

namespace spdet {

// A pattern's levels as the detector keeps them: Nblock*Nband dB, block-major, block 0 newest.
struct PatternLevels {
  int nblock = 0;
  const float* levels = nullptr;
  bool compared = true;  // false: not taken into account (speed variants, patterns never compared)
};

// One pattern's relation to a relative. Blocks are counted from the pattern's oldest (its start).
struct Relation {
  int other = -1;
  int offset = 0;        // the relative's start lies this many blocks after this one's (ends aligned: na - nb)
  int differBegin = 0;   // this pattern's blocks [differBegin, differEnd) differ from the relative
  int differEnd = 0;
  float shared = 0.0f;   // fraction of the shorter pattern shared
  float apart = 0.0f;    // mean level difference over the differing stretch, dB (0: none differs)
};

class Relatives {
 public:
  static constexpr float kSharedDb = 1.0f;
  static constexpr float kMinSharedFraction = 0.3f;
  static constexpr float kMinSharedSeconds = 2.0f;
  // Relatives differing in less than this, or by less than kApartDb there, cannot be told apart.
  static constexpr float kMinDifferSeconds = 0.5f;
  static constexpr float kApartDb = 1.5f;
  // Look-alikes: patterns of at least kMinLookAlikeSeconds whose lengths differ by at most 1 %
  // and whose levels differ by under kLookAlikeDb on average over the whole (the same bed under
  // another voice) are relatives that differ from start to end: an airing of one is told from the
  // other on the whole of both.
  static constexpr float kLookAlikeDb = 3.0f;
  static constexpr float kMinLookAlikeSeconds = 5.0f;

  // Finds the relatives among the patterns (nband bands, blocksPerSecond time blocks a second).
  // With a cache directory (calibration_file.h), the comparisons are also kept there between runs
  // (relatives_cache.h). Throws std::bad_alloc.
  void Find(const std::vector<PatternLevels>& patterns, int nband, double blocksPerSecond,
            const std::string& cacheDirectory = std::string());
  // Forgets the process's table of comparisons (benchmarks and tests: a set-up as a new process).
  static void ForgetComparisons();
  void Clear() { of_.clear(); }

  const std::vector<Relation>& Of(int pattern) const;
  bool Any() const;
  // True when the relation's differing stretch is too short or too faint to tell the two apart.
  bool Indistinct(const Relation& r) const;
  // Compares two patterns (levels as above); returns false when they are not relatives. Exposed
  // for tests; Find uses it with the process's table of earlier results.
  // The quick look before the comparison: their starts or their ends alike (after the quiet
  // lead-in or before the quiet tail of either).
  static bool Plausible(const PatternLevels& a, const PatternLevels& b, int nband);
  static bool Compare(const PatternLevels& a, const PatternLevels& b, int nband, double blocksPerSecond, Relation& ab,
                      Relation& ba);

 private:
  std::vector<std::vector<Relation>> of_;
  double blocksPerSecond_ = 1.0;
};

}  // namespace spdet

#endif
