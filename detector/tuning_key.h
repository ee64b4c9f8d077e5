// A key over every field of the detector's tuning (DetectorTuning.cpp, beside the table of its
// fields): results kept between processes are keyed by it, so that other tuning finds none.
#ifndef SP_DETECTOR_TUNING_KEY_H
#define SP_DETECTOR_TUNING_KEY_H

#include <cstdint>

#include "DetectorTuning.h"

namespace spdet {
std::uint64_t TuningKey(const DetectorTuning& tuning);
}

#endif
