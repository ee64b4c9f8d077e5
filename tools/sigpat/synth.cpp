#include "synth.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace sigpat::synth {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Gain of a 5 ms fade-in/fade-out at sample i of n.
double Fade(std::size_t i, std::size_t n) {
  const double fade = 0.005 * kRate;
  double g = 1.0;
  if (i < fade) g = 0.5 - 0.5 * std::cos(kPi * i / fade);
  if (n - 1 - i < fade) g = std::min(g, 0.5 - 0.5 * std::cos(kPi * (n - 1 - i) / fade));
  return g;
}

}  // namespace

double Random::Uniform() {
  state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state_ >> 11) * (1.0 / 9007199254740992.0);
}

std::vector<float> ToneSteps(const std::vector<std::vector<double>>& chords, double stepSeconds, double amplitude) {
  const std::size_t step = static_cast<std::size_t>(stepSeconds * kRate);
  std::vector<float> out;
  out.reserve(step * chords.size());
  for (const auto& chord : chords) {
    for (std::size_t i = 0; i < step; ++i) {
      double v = 0.0;
      for (double f : chord) v += std::sin(2.0 * kPi * f * static_cast<double>(i) / kRate);
      out.push_back(static_cast<float>(amplitude * Fade(i, step) * v / static_cast<double>(chord.size())));
    }
  }
  return out;
}

std::vector<float> Sweeps(double f0, double f1, double sweepSeconds, int count, double amplitude) {
  const std::size_t n = static_cast<std::size_t>(sweepSeconds * kRate);
  std::vector<float> out;
  for (int k = 0; k < count; ++k) {
    double phase = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      // Exponential sweep: equal time per octave.
      double f = f0 * std::pow(f1 / f0, static_cast<double>(i) / static_cast<double>(n));
      phase += 2.0 * kPi * f / kRate;
      out.push_back(static_cast<float>(amplitude * Fade(i, n) * std::sin(phase)));
    }
  }
  return out;
}

std::vector<float> WhiteNoise(std::size_t n, double amplitude, std::uint64_t seed) {
  Random rnd(seed);
  std::vector<float> out(n);
  for (auto& v : out) v = static_cast<float>(amplitude * rnd.Symmetric());
  return out;
}

std::vector<float> SpeechLike(std::size_t n, double amplitude, std::uint64_t seed) {
  Random rnd(seed);
  std::vector<float> out(n, 0.0f);
  // Two resonators (second-order band-passes) whose centres move from syllable to syllable.
  double y1[2] = {0, 0}, y2[2] = {0, 0};
  std::size_t pos = 0;
  while (pos < n) {
    const std::size_t syllable = static_cast<std::size_t>((0.12 + 0.2 * rnd.Uniform()) * kRate);
    const std::size_t pause = static_cast<std::size_t>((0.03 + 0.12 * rnd.Uniform()) * kRate);
    const double centre[2] = {300.0 + 600.0 * rnd.Uniform(), 1000.0 + 1800.0 * rnd.Uniform()};
    const double level = 0.5 + 0.5 * rnd.Uniform();
    double a1[2], a2[2];
    for (int r = 0; r < 2; ++r) {
      const double radius = 0.995;
      a1[r] = 2.0 * radius * std::cos(2.0 * kPi * centre[r] / kRate);
      a2[r] = -radius * radius;
    }
    for (std::size_t i = 0; i < syllable + pause && pos < n; ++i, ++pos) {
      const double x = rnd.Symmetric();
      double v = 0.0;
      for (int r = 0; r < 2; ++r) {
        double y = 0.02 * x + a1[r] * y1[r] + a2[r] * y2[r];
        y2[r] = y1[r];
        y1[r] = y;
        v += y;
      }
      const double env = i < syllable ? std::sin(kPi * static_cast<double>(i) / static_cast<double>(syllable)) : 0.0;
      out[pos] = static_cast<float>(std::clamp(amplitude * level * env * v, -1.0, 1.0));
    }
  }
  return out;
}

void MixInto(std::vector<float>& stream, const std::vector<float>& clip, std::size_t at, double gain) {
  for (std::size_t i = 0; i < clip.size() && at + i < stream.size(); ++i)
    stream[at + i] = static_cast<float>(stream[at + i] + gain * clip[i]);
}

void Append(std::vector<float>& a, const std::vector<float>& b) { a.insert(a.end(), b.begin(), b.end()); }

bool WriteAudioFile(const std::string& path, const std::vector<float>& interleaved, int rate, int channels, int format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return false;
  // Clip rather than let integer formats wrap.
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels));
  const bool ok = sf_writef_float(f, interleaved.data(), frames) == frames;
  return sf_close(f) == 0 && ok;
}

}  // namespace sigpat::synth
