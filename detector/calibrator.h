// The detector's calibrator: every way a pattern's threshold is set besides the shape path's.
// From the pattern alone (self_calibration.cpp: distorted copies of it and sounds of its make-up,
// with the process-wide table of results and the cache on disk), from background audio measured
// by this detector or elsewhere, and from the pattern's sidecar file (background_calibration.cpp,
// the files themselves in calibration_file.h). It owns its state; DetectorCore forwards the face's
// calls to it and hands it each time block's distances while background audio is measured.
#ifndef SP_DETECTOR_CALIBRATOR_H
#define SP_DETECTOR_CALIBRATOR_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "level_pattern.h"

namespace spdet {

class Calibrator {
 public:
  // What it calibrates, set at Attach; the pointers stay valid until Release. It sets the
  // patterns' thresholds and calibration values; noise is the background tracker's levels,
  // which the self-calibration sets to the background it pretends.
  struct Over {
    std::vector<DetectorPattern>* patterns = nullptr;
    const std::vector<std::shared_ptr<const LevelPattern>>* levels = nullptr;
    const TimeSpectrumEstimation* engine = nullptr;
    const DetectorTuning* tuning = nullptr;
    int nband = 0;
    int steps = 1;         // alignment steps per time block
    int blockSamples = 0;  // samples per time block
    int longest = 0;       // blocks of the longest pattern
    float* noise = nullptr;
  };
  void SetUp(const Over& over);
  void Release();  // (the cache directory chosen and a measurement's seconds stay)

  // The self-calibration cache's directory (PatternDetector::SetCacheDirectory), and the one in
  // force: the chosen one, else the environment's.
  void SetCacheDirectory(const char* directory);
  std::string CacheDirectory() const;

  // Pattern i's threshold from the pattern itself: from the process's table of earlier results,
  // the cache on disk, or anew.
  void SelfCalibrate(int i);

  // Background calibration (PatternDetector documents each). Measuring() is 1 between Begin and
  // End; Measured takes a time block's distances ([i*steps + s]) meanwhile.
  int Measuring() const { return mode_; }
  int Begin();
  void Measured(const float* stepScores);
  int End();
  int FromMeasurement(const float* minimum, double seconds);  // after Begin
  double Seconds() const;
  int Save(int pattern, const char* patternFile) const;
  int Load(int pattern, const char* patternFile);
  static void SidecarName(const char* patternFile, char* out, int outSize);

 private:
  int Count() const { return s_.patterns != nullptr ? static_cast<int>(s_.patterns->size()) : 0; }
  float SelfDistance(const LevelPattern& P, const float* const* blocks);  // the level distance, with noise
  void SelfCalibrateNow(int i);
  std::uint64_t SelfKey(int i) const;
  float GenericNegative(int i);

  Over s_;
  bool cacheChosen_ = false;  // SetCacheDirectory was called: cacheChoice_, else the environment's
  std::string cacheChoice_;
  int mode_ = 0;              // 1 while background audio is being measured
  double blocks_ = 0.0;       // time blocks of background measured
  std::vector<float> scratch_;          // 4*nband levels of the self calibration
  std::vector<float> input_;            // its made-up input, block-major
  std::vector<const float*> blockPtr_;  // pointers to the blocks of input_
};

}  // namespace spdet

#endif
