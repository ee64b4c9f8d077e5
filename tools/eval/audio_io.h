// Audio file access for the evaluation tools: reading any format libsndfile knows as mono
// float samples, resampling with libsoxr, writing 16-bit WAV files.
#ifndef SP_EVAL_AUDIO_IO_H
#define SP_EVAL_AUDIO_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace speval {

// Reads a sound file and mixes its channels down to mono. Returns false (and sets error) when
// the file cannot be read.
bool ReadMono(const std::string& path, std::vector<float>& samples, double& rate, std::string& error);

// Resamples from inRate to outRate with libsoxr (high quality, deterministic).
std::vector<float> Resample(const std::vector<float>& in, double inRate, double outRate);

// Plays the signal `percent` faster (negative: slower), as a changed playback speed does:
// pitch and tempo change together; the result is shorter by the factor 1 + percent/100.
std::vector<float> ChangeSpeed(const std::vector<float>& in, double percent);

bool WriteWav16(const std::string& path, const std::vector<std::int16_t>& pcm, int rate);

// float in [-1, 1) to 16-bit PCM, rounded and clipped.
std::vector<std::int16_t> ToPcm16(const std::vector<float>& x);

}  // namespace speval

#endif
