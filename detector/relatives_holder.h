// The place where the relatives among the patterns are known (relatives.h) and where the reports
// of patterns with relatives wait for the version arbiter (version_arbiter.h) to make one report
// per airing. The detector asks it which reports it takes and hands it the input's levels.
#ifndef SP_DETECTOR_RELATIVES_HOLDER_H
#define SP_DETECTOR_RELATIVES_HOLDER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "relatives.h"

namespace spdet {
class Relatives;
class VersionArbiter;

class RelativesHolder {
 public:
  struct Geometry {
    int nband = 0;
    int blockSamples = 0;    // samples per time block
    int delaySamples = 0;    // from a clip's first sample to the end of its newest block
    double blocksPerSecond = 0.0;
  };
  RelativesHolder();
  ~RelativesHolder();
  RelativesHolder(const RelativesHolder&) = delete;
  RelativesHolder& operator=(const RelativesHolder&) = delete;

  // Finds the relatives among the patterns (levels and names must outlive the holder's use;
  // levels[i].compared false leaves pattern i out) with the comparisons kept in cacheDirectory
  // ("" for none). Throws std::bad_alloc.
  void SetUp(std::vector<PatternLevels> levels, std::vector<const char*> names, const Geometry& g,
             const std::string& cacheDirectory);
  // Forgets the held reports and the input (origin: samples fed before the first block).
  void Reset(std::int64_t origin);
  // The input levels of the time block just made (blocks: time blocks since the origin).
  void Push(const float* levels, std::int64_t blocks);
  // Takes r when it is a report the arbiter decides on (false: the caller stores it).
  bool Take(const DetectorReport& r);
  // Hands over the reports of the airings decided now (all: the end of the stream).
  void Release(bool all, const std::function<void(const DetectorReport&)>& store);

  // The relatives of pattern i (0 when it has none), and the k-th of them: 1, or 0 for bad numbers.
  int Count(int i) const;
  int Get(int i, int k, DetectorRelative& out) const;

 private:
  bool Active() const;
  // Read-only once found, and one object per catalogue content in the process: every station
  // with the same patterns holds the same relations.
  std::shared_ptr<const Relatives> kin_;
  std::unique_ptr<VersionArbiter> arbiter_;
  int blockSamples_ = 0;
};

}  // namespace spdet

#endif
