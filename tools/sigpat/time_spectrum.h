// The time-spectrum of a whole input as the library makes it: the engine's band powers of every
// time block (8 bands, 576 samples a block at 44100 Hz), as levels in dB. What a pattern made
// from any stretch of the input holds, block for block.
#ifndef SIGPAT_TIME_SPECTRUM_H
#define SIGPAT_TIME_SPECTRUM_H

#include <cstdint>
#include <vector>

#include "audio_input.h"

namespace sigpat {

struct TimeSpectrum {
  int bands = 8;
  std::vector<float> levels;  // blocks x bands, oldest first, dB
  std::int64_t samples = 0;   // input samples read (44100 Hz)
  std::size_t blocks() const { return levels.size() / static_cast<std::size_t>(bands); }
};

constexpr int kSpectrumBlockSamples = 576;
// Time block k holds the input samples from BlockStartSample(k) on for one block: the engine's
// delay (its filters' length) is taken off, so that a pattern made with create --begin
// BlockStartSample(k) begins with block k.
std::int64_t BlockStartSample(std::int64_t block);
// The first block that starts at or after a sample.
std::int64_t BlockAtSample(std::int64_t sample);

// Reads the input to its end through the engine. Throws Error when the engine refuses a block.
TimeSpectrum ComputeTimeSpectrum(AudioInput& input);
// The same from samples in memory (16-bit, mono, 44100 Hz).
TimeSpectrum ComputeTimeSpectrum(const std::int16_t* samples, std::size_t n);

}  // namespace sigpat

#endif
