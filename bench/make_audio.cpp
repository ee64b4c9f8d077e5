// Writes the audio of the end-to-end benchmark (bench/cli_bench.sh) into a directory:
//   clip0.wav .. clip9.wav   ten 4 s clips, 44100 Hz mono, 16-bit
//   streamA.wav, streamB.wav two 10-minute recordings, 48000 Hz stereo, 16-bit: a noise bed
//                            with the clips inserted at various levels, so that scanning them
//                            decodes, mixes to mono and resamples as with real recordings.
// With --clips FIRST it writes instead
//   step<K>.wav              for K = FIRST .. FIRST + COUNT - 1 (COUNT in place of MINUTES): 4 s
//                            clips of tone steps, 44100 Hz mono, 16-bit, each from seeds of its
//                            own and none of them one of the ten clips above: a catalogue of
//                            distinct spots that the streams never play (bench/make_patterns.sh).
// Usage: sp_make_audio DIR [MINUTES]
//        sp_make_audio DIR COUNT --clips FIRST
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wav_file.h"

namespace {

using bench_wav::WriteWav;

struct Rng {
  std::uint32_t s;
  explicit Rng(std::uint32_t seed) : s(seed ? seed : 1u) {}
  double Uniform() {  // [0, 1)
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return static_cast<double>(s) / 4294967296.0;
  }
};

// Clip k at rate fs: tone steps of 0.1 .. 0.4 s at 200 .. 4500 Hz. The steps come from their
// own generator, so the clip is the same sound at every rate.
std::vector<double> Clip(int k, double seconds, double fs) {
  Rng steps(0x51ED270Bu + 7919u * static_cast<std::uint32_t>(k));
  Rng noise(0x2545F491u + 104729u * static_cast<std::uint32_t>(k));
  const std::size_t n = static_cast<std::size_t>(seconds * fs);
  std::vector<double> x(n);
  double phase = 0.0, freq = 0.0, amplitude = 0.0, left = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (left <= 0.0) {
      freq = 200.0 + 4300.0 * steps.Uniform();
      amplitude = 0.25 + 0.25 * steps.Uniform();
      left += 0.1 + 0.3 * steps.Uniform();
    }
    left -= 1.0 / fs;
    x[i] = amplitude * std::sin(phase) + 0.02 * (2.0 * noise.Uniform() - 1.0);
    phase += 2.0 * M_PI * freq / fs;
  }
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[3]) == "--clips") {
    const std::string dir = argv[1];
    const long count = std::atol(argv[2]), first = std::atol(argv[4]);
    for (long k = first; k < first + count; ++k)  // seeds past the ten clips': other sounds
      if (!WriteWav(dir + "/step" + std::to_string(k) + ".wav", Clip(static_cast<int>(1000 + k), 4.0, 44100.0), 44100, 1))
        return 1;
    return 0;
  }
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s DIR [MINUTES]\n       %s DIR COUNT --clips FIRST\n", argv[0], argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const double minutes = argc > 2 ? std::atof(argv[2]) : 10.0;
  constexpr int kClips = 10;
  for (int k = 0; k < kClips; ++k)
    if (!WriteWav(dir + "/clip" + std::to_string(k) + ".wav", Clip(k, 4.0, 44100.0), 44100, 1)) return 1;

  const int rate = 48000;
  const std::size_t frames = static_cast<std::size_t>(minutes * 60.0 * rate);
  for (int s = 0; s < 2; ++s) {
    Rng bed(1234u + static_cast<std::uint32_t>(s));
    std::vector<double> left(frames), right(frames);
    for (std::size_t i = 0; i < frames; ++i) {
      left[i] = 0.03 * (2.0 * bed.Uniform() - 1.0);
      right[i] = 0.03 * (2.0 * bed.Uniform() - 1.0);
    }
    // A clip every 15 s (cycling through the ten), levels from -6 dB to +3 dB.
    int n = 0;
    for (double t = 5.0 + s; t + 4.0 < minutes * 60.0; t += 15.0, ++n) {
      const int k = n % kClips;
      const std::vector<double> clip = Clip(k, 4.0, rate);
      const double gain = std::pow(10.0, (-6.0 + (n % 10)) / 20.0);
      const std::size_t at = static_cast<std::size_t>(t * rate);
      for (std::size_t i = 0; i < clip.size() && at + i < frames; ++i) {
        left[at + i] += gain * clip[i];
        right[at + i] += gain * clip[i];
      }
    }
    std::vector<double> interleaved(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
      interleaved[2 * i] = left[i];
      interleaved[2 * i + 1] = right[i];
    }
    if (!WriteWav(dir + (s == 0 ? "/streamA.wav" : "/streamB.wav"), interleaved, rate, 2)) return 1;
  }
  return 0;
}
