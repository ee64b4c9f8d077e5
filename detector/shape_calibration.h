// The shape distance's self-calibration values of a pattern: the distances of sounds made from
// the pattern itself (the clip backwards, its halves swapped) to the whole clip, to each of its
// parts, and to the clip as the reverberant view smears it. They depend only on the pattern's
// spectrum, the engine's bands and block, the detector's tuning and the library's build, and
// take a fifth of a set-up's instructions; found once, they are kept in a process-wide table and
// in the cache directory (shapecal/, beside the level distance's selfcal/).
#ifndef SP_DETECTOR_SHAPE_CALIBRATION_H
#define SP_DETECTOR_SHAPE_CALIBRATION_H

#include <cstdint>
#include <string>
#include <vector>

#include "DetectorTuning.h"

namespace spdet {

struct ShapeSelfValues {
  float negative = 0.0f;     // the whole clip's closest distance
  std::vector<float> parts;  // per part, its closest distance
  float reverb = -1.0f;      // the reverberant view's closest distance (negative: none)
};

// What the values are a function of, as one key (the library's build included: another build
// finds nothing).
struct ShapeSelfInputs {
  const float* spectrumByBand = nullptr;  // nblock x nband, band-major
  int nblock = 0, nband = 0, bandFirst = 0, bandLast = 0, blockSamples = 0;
  double fs = 0.0;
  const DetectorTuning* tuning = nullptr;
};
std::uint64_t ShapeSelfKey(const ShapeSelfInputs& in);

// The values of a key: from the process's table, else the cache directory's entry (an entry that
// is not exactly what KeepShapeSelf writes counts as none). directory may be empty (no disk).
bool FindShapeSelf(std::uint64_t key, const std::string& directory, ShapeSelfValues& out);
// Keeps the values of a key in the table and, where a directory is given, on disk (written
// whole; a failure to write only costs the next set-up the work).
void KeepShapeSelf(std::uint64_t key, const std::string& directory, const ShapeSelfValues& values);

}  // namespace spdet

#endif
