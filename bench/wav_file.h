// The benchmark programs' WAV writer: interleaved samples in [-1, 1] as 16-bit PCM, little-endian
// field by field. Header-only: the benchmark scripts also compile the generators alone.
#ifndef SP_BENCH_WAV_FILE_H
#define SP_BENCH_WAV_FILE_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench_wav {

inline void Put16(std::FILE* f, std::uint32_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  std::fwrite(b, 1, 2, f);
}
inline void Put32(std::FILE* f, std::uint32_t v) {
  Put16(f, v & 0xFFFF);
  Put16(f, v >> 16);
}

// Writes interleaved samples in [-1, 1] as a 16-bit PCM WAV file.
inline bool WriteWav(const std::string& path, const std::vector<double>& x, int rate, int channels) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const std::uint32_t bytes = static_cast<std::uint32_t>(x.size() * 2);
  std::fwrite("RIFF", 1, 4, f);
  Put32(f, 36 + bytes);
  std::fwrite("WAVEfmt ", 1, 8, f);
  Put32(f, 16);
  Put16(f, 1);
  Put16(f, static_cast<std::uint32_t>(channels));
  Put32(f, static_cast<std::uint32_t>(rate));
  Put32(f, static_cast<std::uint32_t>(rate * channels * 2));
  Put16(f, static_cast<std::uint32_t>(channels * 2));
  Put16(f, 16);
  std::fwrite("data", 1, 4, f);
  Put32(f, bytes);
  std::vector<unsigned char> buf(x.size() * 2);
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = std::round(x[i] * 32767.0);
    v = v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v);
    const std::uint16_t u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
    buf[2 * i] = static_cast<unsigned char>(u);
    buf[2 * i + 1] = static_cast<unsigned char>(u >> 8);
  }
  const bool ok = std::fwrite(buf.data(), 1, buf.size(), f) == buf.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace bench_wav

#endif
