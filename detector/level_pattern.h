// What the level distance compares of a pattern: its levels in dB block by block, the cells'
// weights and the sums over them (level_kernel.h reads them). Made once from a pattern's content
// and never changed after, so every detector of the process with the same pattern (every station
// of a monitor) holds the one copy through a process-wide table.
#ifndef SP_DETECTOR_LEVEL_PATTERN_H
#define SP_DETECTOR_LEVEL_PATTERN_H

#include <cstddef>
#include <memory>
#include <vector>

namespace spdet {

struct LevelPattern {
  int Nblock = 0;                  // pattern length in time blocks
  std::vector<float> LogSpectrum;  // Nblock*Nband, block-major, block 0 newest: level in dB, floored
  std::vector<float> Weight;       // Nblock*Nband cell weights (0: not compared)
  std::vector<float> Salient;      // Nblock*Nband: 1 for the cells that set the level difference
  float SalientCount = 0.0f;       // number of salient cells
  float TotalWeight = 0.0f;        // sum of the weights
  float QuarterWeight[4] = {};     // weights of the four quarters of the pattern's span
  int QuarterEnd[4] = {};          // first block after each quarter
  int CoarseStep = 1;              // the coarse pass compares every CoarseStep-th block
  float CoarseSalientCount = 0.0f; // the same sums over those blocks
  float CoarseTotalWeight = 0.0f;
  float CoarseQuarterWeight[4] = {};
  float Floor_dB = 0.0f;           // floor of the pattern's levels
};

// Everything besides the spectrum that a LevelPattern depends on: the band count, the bands the
// engine computes, and the tuning's depths and weights.
struct LevelRules {
  int nband = 0;
  int bandFirst = 0, bandLast = 0;  // bands outside are not compared
  float floorDepth = 0.0f, salientDepth = 0.0f, quietWeight = 0.0f, tailWeight = 0.0f;
};

// The LevelPattern of a pattern's spectrum (band-major, nblock x nband powers, block 0 newest):
// made anew, or the one already held in this process for the same content and rules.
std::shared_ptr<const LevelPattern> SharedLevelPattern(const float* spectrumByBand, int nblock, const LevelRules& rules);
std::shared_ptr<const LevelPattern> MakeLevelPattern(const float* spectrumByBand, int nblock, const LevelRules& rules);
// LevelPatterns the process table holds alive (for tests and measurements).
std::size_t SharedLevelPatternCount();

}  // namespace spdet

#endif
