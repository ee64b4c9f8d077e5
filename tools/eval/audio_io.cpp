#include "audio_io.h"

#include <sndfile.h>

#include <cmath>
#include <memory>

#include "audio_input.h"
#include "messages.h"

namespace speval {

bool ReadMono(const std::string& path, std::vector<float>& samples, std::string& error) {
  samples.clear();
  try {
    std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(path, sigpat::AudioOptions{});
    std::vector<double> buf(65536);
    while (const std::size_t n = in->ReadFullScale(buf.data(), buf.size()))
      for (std::size_t i = 0; i < n; ++i) samples.push_back(static_cast<float>(buf[i]));
  } catch (const sigpat::Error& e) {
    error = e.what();
    return false;
  }
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
