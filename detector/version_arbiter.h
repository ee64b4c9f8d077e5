// One report per airing among relatives (relatives.h): the reports of patterns that have
// relatives are held until the longest of them would have ended, then one report is made for the
// airing: the version whose differing stretches match the input best against every other
// candidate, with the runner-up and the margin; or, where those stretches were not heard well
// enough (talked over, cut off, drowned), one undecided report naming the candidates. Later
// reports of the same airing by a relative are dropped. docs/versions.md.
//
// The arbiter keeps its own history of the input's levels (one aligned block per time block) long
// enough to judge every stretch of the airing when it decides.
#ifndef SP_DETECTOR_VERSION_ARBITER_H
#define SP_DETECTOR_VERSION_ARBITER_H

#include <cstdint>
#include <functional>
#include <vector>

#include "PatternDetector.h"
#include "relatives.h"

namespace spdet {

class VersionArbiter {
 public:
  // Correlation a version must beat each other candidate by on their differing stretches, and
  // the least correlation of its own stretch with the input, for the version to be decided.
  static constexpr float kMinMargin = 0.12f;
  static constexpr float kMinHeard = 0.35f;
  static constexpr float kClearStretch = 1.5f;  // percent
  static constexpr float kNotHeard = -2.0f;     // Match: the stretch is not in the input history

  struct Geometry {
    int nband = 0;
    int blockSamples = 0;   // samples per time block
    int delaySamples = 0;   // from a clip's first sample to the end of its newest block
    double blocksPerSecond = 0.0;
  };

  // kin and levels (with the patterns' names) must outlive the arbiter's use. Throws std::bad_alloc.
  void SetUp(const Relatives* kin, std::vector<PatternLevels> levels, std::vector<const char*> names,
             const Geometry& g);
  void Reset(std::int64_t origin);
  bool Active() const { return kin_ != nullptr && kin_->Any(); }
  // True for the reports it decides on: firm reports of a pattern with relatives.
  bool Wants(const DetectorReport& r) const;
  void Hold(const DetectorReport& r);
  // The input levels of the time block just made (blocks: time blocks since the origin).
  void Push(const float* levels, std::int64_t blocks);
  // Decides the airings whose time has come (all: the end of the stream) and hands their reports
  // to emit.
  void Release(bool all, const std::function<void(const DetectorReport&)>& emit);

  // Correlation of pattern p's blocks [first, last) (from its start), its start at input sample
  // start (from the origin) and played `factor` times as fast, with the input history; kNotHeard
  // when the history does not hold them. Exposed for tests.
  float Match(int p, int first, int last, double start, double factor) const;
  // The fraction of pattern p heard (cut_find.h), placed as for Match at the speed that matches
  // its first half best (factor: the report's, in; the one taken, out); `cut`: its report found
  // it cut. -1 when the history does not hold it.
  float Heard(int p, double start, double& factor, bool cut) const;

 private:
  struct Held {
    DetectorReport report;
    std::int64_t due = 0;  // block at which its airing is decided
  };
  struct Decided {
    std::int64_t begin = 0, end = 0;  // samples from the origin
    std::vector<int> family;
    std::int64_t forget = 0;          // block after which it is forgotten
  };
  int Leader(const DetectorReport& r) const { return r.Group >= 0 ? r.Group : r.Pattern; }
  std::int64_t AlignedEnd(const DetectorReport& r) const;
  void Decide(std::vector<DetectorReport> cluster, const std::function<void(const DetectorReport&)>& emit);
  const float* Block(std::int64_t index) const;
  // The block, or nothing heard past the newest once the stream has ended (an airing cut by the
  // end of a file); null where the history does not hold it.
  const float* HeardBlock(std::int64_t index) const;
  // The input block where block k of a pattern ends, placed at `start` (from the origin) and played
  // `factor` times as fast (block c ends at sample c * blockSamples).
  std::int64_t InputBlock(double start, double factor, int k) const;

  const Relatives* kin_ = nullptr;
  std::vector<PatternLevels> levels_;
  std::vector<const char*> names_;
  Geometry g_;
  std::int64_t origin_ = 0;
  std::int64_t blocks_ = 0;
  int capacity_ = 0;             // blocks of history
  std::vector<float> history_;   // capacity_ * nband, block i at (i % capacity_)
  std::vector<Held> held_;
  std::vector<Decided> decided_;
  std::vector<float> silent_;    // a block of nothing heard
  bool ended_ = false;  // deciding at the end of the stream: nothing comes after the newest block
};

}  // namespace spdet

#endif
