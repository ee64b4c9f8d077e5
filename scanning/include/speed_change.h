// Clips held in memory, resampled and played at another speed (libsoxr, high quality, one
// thread, so that the result is the same on every machine): the speed variants of sigpat create
// and the clips of the evaluation's corpus.
#ifndef SIGPAT_SPEED_CHANGE_H
#define SIGPAT_SPEED_CHANGE_H

#include <vector>

namespace sigpat {

// The clip at outRate instead of inRate. Throws Error when libsoxr fails.
std::vector<float> Resample(const std::vector<float>& in, double inRate, double outRate);

// The clip (at 44100 Hz) played `percent` faster (negative: slower), as a changed playback
// speed does: pitch and tempo change together and the clip is shorter by the factor
// 1 + percent/100.
std::vector<float> ChangeSpeed(const std::vector<float>& in, double percent);

}  // namespace sigpat

#endif
