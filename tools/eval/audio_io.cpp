#include "audio_io.h"

#include <sndfile.h>

#include <cmath>

namespace speval {

bool ReadMono(const std::string& path, std::vector<float>& samples, double& rate, std::string& error) {
  SF_INFO info = {};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  const int ch = info.channels > 0 ? info.channels : 1;
  std::vector<float> frames(static_cast<std::size_t>(4096) * ch);
  samples.clear();
  for (;;) {
    sf_count_t got = sf_readf_float(f, frames.data(), 4096);
    if (got <= 0) break;
    for (sf_count_t i = 0; i < got; ++i) {
      double s = 0.0;
      for (int c = 0; c < ch; ++c) s += frames[static_cast<std::size_t>(i) * ch + c];
      samples.push_back(static_cast<float>(s / ch));
    }
  }
  rate = info.samplerate;
  sf_close(f);
  if (samples.empty()) {
    error = path + ": no samples";
    return false;
  }
  return true;
}

bool WriteWav16(const std::string& path, const std::vector<std::int16_t>& pcm, int rate) {
  SF_INFO info = {};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return false;
  sf_count_t n = sf_write_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size()));
  sf_close(f);
  return n == static_cast<sf_count_t>(pcm.size());
}

std::vector<std::int16_t> ToPcm16(const std::vector<float>& x) {
  std::vector<std::int16_t> out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = std::floor(static_cast<double>(x[i]) * 32767.0 + 0.5);
    if (v > 32767.0) v = 32767.0;
    if (v < -32768.0) v = -32768.0;
    out[i] = static_cast<std::int16_t>(v);
  }
  return out;
}

}  // namespace speval
