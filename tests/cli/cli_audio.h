// The audio the sigpat tests scan: a clip of tone steps and quiet noise with the clip in it.
#ifndef SIGPAT_TEST_CLI_AUDIO_H
#define SIGPAT_TEST_CLI_AUDIO_H

#include <cstdint>
#include <vector>

#include "synth.h"

constexpr double kClipAt = 7.3;  // seconds into the usual stream

// Tone steps of 150 ms, 2.4 s.
inline std::vector<float> Clip() {
  return sigpat::synth::ToneSteps({{523}, {1568}, {784}, {2637}, {659}, {3136}, {1047}, {440}, {2093}, {880}, {1319},
                                   {2794}, {698}, {1760}, {587}, {2349}},
                                  0.15, 0.5);
}

// Seconds of quiet noise with the clip at each of the given times.
inline std::vector<float> Stream(double seconds, const std::vector<double>& clipsAt, std::uint64_t seed) {
  std::vector<float> s = sigpat::synth::WhiteNoise(static_cast<std::size_t>(seconds * 44100), 0.02, seed);
  for (double at : clipsAt) sigpat::synth::MixInto(s, Clip(), static_cast<std::size_t>(at * 44100));
  return s;
}

#endif
