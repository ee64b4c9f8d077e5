// Synthetic audio for the demo and the tests: distinct clips, background sounds and a writer of
// audio files. Everything is deterministic (own random generator, fixed seeds).
#ifndef SIGPAT_SYNTH_H
#define SIGPAT_SYNTH_H

#include <cstdint>
#include <string>
#include <vector>

namespace sigpat::synth {

constexpr double kRate = 44100.0;

// A small deterministic generator (64-bit linear congruential, top bits used).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 2862933555777941757ULL + 3037000493ULL) {}
  double Uniform();  // [0, 1)
  double Symmetric() { return 2.0 * Uniform() - 1.0; }  // [-1, 1)

 private:
  std::uint64_t state_;
};

// A sequence of tones, stepSeconds each, with 5 ms fades so that steps do not click.
// Each entry of chords is one step: one or more simultaneous frequencies.
std::vector<float> ToneSteps(const std::vector<std::vector<double>>& chords, double stepSeconds, double amplitude);
// Rising sweeps from f0 to f1 Hz, each sweepSeconds long, repeated count times.
std::vector<float> Sweeps(double f0, double f1, double sweepSeconds, int count, double amplitude);
// Uniform white noise.
std::vector<float> WhiteNoise(std::size_t n, double amplitude, std::uint64_t seed);
// Speech-like sound: noise shaped by two moving resonances and cut into syllables of 120 to
// 320 ms with short pauses, peak amplitude about the given one.
std::vector<float> SpeechLike(std::size_t n, double amplitude, std::uint64_t seed);
// Adds clip into stream from sample at (clipped at the end of the stream).
void MixInto(std::vector<float>& stream, const std::vector<float>& clip, std::size_t at, double gain = 1.0);
// Concatenates b after a.
void Append(std::vector<float>& a, const std::vector<float>& b);

// Writes interleaved samples (full scale 1.0) with libsndfile; format is a libsndfile format
// word (e.g. SF_FORMAT_WAV | SF_FORMAT_PCM_16). Returns false on failure.
bool WriteAudioFile(const std::string& path, const std::vector<float>& interleaved, int rate, int channels, int format);

}  // namespace sigpat::synth

#endif
