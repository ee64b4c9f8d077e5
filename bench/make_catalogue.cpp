// Writes the audio of a realistic catalogue for the set-up benchmark (bench/setup_bench.sh) into a
// directory: 44100 Hz mono 16-bit WAV files c0000.wav .. c(N-1).wav.
//   - 70 % distinct clips of 4-30 s: a bed (a soft chord that changes every 1-3 s), a voice
//     (tone steps of 0.1-0.4 s) and an end tag (a 1.5 s sting); quiet edges of 0.3 s.
//   - 30 % relatives of some of them, in groups of 2-4 (the clip and 1-3 relatives), cycling
//     through: the same clip with another end tag, a cut-down (the first part and the same end
//     tag), another voice on the same bed.
// Usage: sp_make_catalogue DIR [COUNT]   (COUNT 1000 by default)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wav_file.h"

namespace {

constexpr double kRate = 44100.0;
constexpr double kEdge = 0.3;  // quiet at each end
constexpr double kTag = 1.5;   // length of the end tag

struct Rng {
  std::uint32_t s;
  explicit Rng(std::uint32_t seed) : s(seed * 2654435761u + 0x9E3779B9u) {
    if (s == 0) s = 1;
    for (int i = 0; i < 4; ++i) Uniform();
  }
  double Uniform() {  // [0, 1)
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return static_cast<double>(s) / 4294967296.0;
  }
};

// Adds tone steps of 0.1-0.4 s from [from, to) s: the voice or, shorter and louder, a tag.
void AddSteps(std::vector<double>& x, std::uint32_t seed, double from, double to, double gain) {
  Rng r(seed);
  double phase = 0.0, freq = 0.0, amplitude = 0.0, left = 0.0;
  const std::size_t end = std::min(x.size(), static_cast<std::size_t>(to * kRate));
  for (std::size_t i = static_cast<std::size_t>(from * kRate); i < end; ++i) {
    if (left <= 0.0) {
      freq = 200.0 + 4300.0 * r.Uniform();
      amplitude = gain * (0.5 + 0.5 * r.Uniform());
      left += 0.1 + 0.3 * r.Uniform();
    }
    left -= 1.0 / kRate;
    x[i] += amplitude * std::sin(phase);
    phase += 2.0 * M_PI * freq / kRate;
  }
}

// Adds the bed over [from, to) s: three-note chords changing every 1-3 s, with a little noise.
void AddBed(std::vector<double>& x, std::uint32_t seed, double from, double to) {
  Rng r(seed), noise(seed ^ 0xA5A5A5A5u);
  double f[3] = {0, 0, 0}, ph[3] = {0, 0, 0}, left = 0.0;
  const std::size_t end = std::min(x.size(), static_cast<std::size_t>(to * kRate));
  for (std::size_t i = static_cast<std::size_t>(from * kRate); i < end; ++i) {
    if (left <= 0.0) {
      const double root = 110.0 * std::pow(2.0, std::floor(24.0 * r.Uniform()) / 12.0);
      f[0] = root, f[1] = root * 1.26, f[2] = root * 1.5;
      left += 1.0 + 2.0 * r.Uniform();
    }
    left -= 1.0 / kRate;
    double v = 0.01 * (2.0 * noise.Uniform() - 1.0);
    for (int k = 0; k < 3; ++k) {
      v += 0.06 * std::sin(ph[k]);
      ph[k] += 2.0 * M_PI * f[k] / kRate;
    }
    x[i] += v;
  }
}

// One clip: body of `body` s (bed + voice), then the tag, with quiet edges.
std::vector<double> Make(double body, std::uint32_t bed, std::uint32_t voice, std::uint32_t tag) {
  std::vector<double> x(static_cast<std::size_t>((2 * kEdge + body + kTag) * kRate), 0.0);
  AddBed(x, bed, kEdge, kEdge + body);
  AddSteps(x, voice, kEdge, kEdge + body, 0.3);
  AddSteps(x, tag, kEdge + body, kEdge + body + kTag, 0.5);
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [COUNT]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int relatives = count * 3 / 10, distinct = count - relatives;
  int n = 0;
  const auto write = [&](const std::vector<double>& x) {
    char name[32];
    std::snprintf(name, sizeof name, "/c%04d.wav", n++);
    if (!bench_wav::WriteWav(dir + name, x, 44100, 1)) {
      std::fprintf(stderr, "%s%s: cannot write\n", dir.c_str(), name);
      std::exit(1);
    }
  };
  // Body lengths 2.2-28.2 s (clips of 4-30 s), spread by a fixed generator.
  Rng lengths(7);
  std::vector<double> body(static_cast<std::size_t>(distinct));
  for (auto& b : body) b = 2.2 + 26.0 * lengths.Uniform();
  for (int k = 0; k < distinct; ++k) {
    const auto s = static_cast<std::uint32_t>(k);
    write(Make(body[k], 1000 + s, 2000 + s, 3000 + s));
  }
  // Groups of 2, 3, 4 in turn (1, 2, 3 relatives) on every other distinct clip.
  int made = 0, group = 0;
  for (int base = 0; made < relatives && base < distinct; base += 2, ++group) {
    const auto s = static_cast<std::uint32_t>(base);
    const int members = 1 + group % 3;
    for (int m = 0; m < members && made < relatives; ++m, ++made) {
      const auto v = static_cast<std::uint32_t>(10000 + 10 * made);
      switch ((made + group) % 3) {
        case 0:  // another end tag
          write(Make(body[base], 1000 + s, 2000 + s, v));
          break;
        case 1:  // a cut-down: the first part, at least 2 s, with the same end tag
          write(Make(std::fmax(2.0, body[base] * (0.4 + 0.1 * m)), 1000 + s, 2000 + s, 3000 + s));
          break;
        default:  // another voice on the same bed
          write(Make(body[base], 1000 + s, v + 1, 3000 + s));
          break;
      }
    }
  }
  std::printf("%d clips in %s (%d relatives)\n", n, dir.c_str(), made);
  return 0;
}
