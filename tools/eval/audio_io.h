// Audio file access for the evaluation tools: reading through the tool's audio input as mono
// float samples at 44100 Hz, writing 16-bit WAV files. (Resampling and speed changes: the
// tool's speed_change.h.)
#ifndef SP_EVAL_AUDIO_IO_H
#define SP_EVAL_AUDIO_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace speval {

// Reads an audio file as sigpat does (channels mixed to their mean, resampled to 44100 Hz).
// Returns false (and sets error) when the file cannot be read or holds no samples.
bool ReadMono(const std::string& path, std::vector<float>& samples, std::string& error);

bool WriteWav16(const std::string& path, const std::vector<std::int16_t>& pcm, int rate);

// float in [-1, 1) to 16-bit PCM, rounded and clipped.
std::vector<std::int16_t> ToPcm16(const std::vector<float>& x);

}  // namespace speval

#endif
