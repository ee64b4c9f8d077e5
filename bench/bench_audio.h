// The benchmarks' generated audio: clips of tone steps over light noise, different for every
// index, and the recognition benchmarks' 60 s stream holding the first ten of them. Shared by
// sp_bench and detector_feed (which also builds in older trees: it needs nothing else).
#ifndef SP_BENCH_BENCH_AUDIO_H
#define SP_BENCH_BENCH_AUDIO_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench_audio {

constexpr double kFs = 44100.0;
constexpr std::size_t kPatternSamples = 4 * 44100;  // patterns of 4 s

// xorshift32: fixed sequences from a seed.
struct Rng {
  std::uint32_t s;
  explicit Rng(std::uint32_t seed) : s(seed ? seed : 1u) {}
  std::uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  double Uniform() { return static_cast<double>(Next()) / 4294967296.0; }  // [0, 1)
};

// A clip of n samples: tone steps of 0.1 .. 0.4 s at frequencies 200 .. 4500 Hz over light noise,
// different for every index.
inline std::vector<float> MakeClip(int index, std::size_t n) {
  Rng rng(0x9E3779B9u ^ static_cast<std::uint32_t>(index * 7919 + 17));
  std::vector<float> x(n);
  double phase = 0.0, freq = 0.0, amplitude = 0.0;
  std::size_t stepLeft = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (stepLeft == 0) {
      freq = 200.0 + 4300.0 * rng.Uniform();
      amplitude = 0.25 + 0.25 * rng.Uniform();
      stepLeft = static_cast<std::size_t>((0.1 + 0.3 * rng.Uniform()) * kFs);
    }
    --stepLeft;
    x[i] = static_cast<float>(amplitude * std::sin(phase) + 0.02 * (2.0 * rng.Uniform() - 1.0));
    phase += 2.0 * M_PI * freq / kFs;
  }
  return x;
}

inline std::vector<std::int16_t> ToPcm16(const std::vector<float>& x) {
  std::vector<std::int16_t> out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = std::round(static_cast<double>(x[i]) * 32767.0);
    out[i] = static_cast<std::int16_t>(v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v));
  }
  return out;
}

// The input stream of the recognition benchmarks: 60 s of noise with the clips of patterns
// 0 .. 9 inserted every 6 s at levels from -6 dB to +3 dB.
inline std::vector<std::int16_t> MakeStream() {
    const std::size_t n = 60 * 44100;
    std::vector<float> x(n);
    Rng rng(12345);
    for (auto& v : x) v = static_cast<float>(0.03 * (2.0 * rng.Uniform() - 1.0));
    for (int k = 0; k < 10; ++k) {
      std::vector<float> clip = MakeClip(k, kPatternSamples);
      const float gain = static_cast<float>(std::pow(10.0, (-6.0 + k) / 20.0));
      const std::size_t at = static_cast<std::size_t>(k) * 6 * 44100 + 1000;
      for (std::size_t i = 0; i < clip.size() && at + i < n; ++i) x[at + i] += gain * clip[i];
    }
    return ToPcm16(x);
}

}  // namespace bench_audio

#endif
