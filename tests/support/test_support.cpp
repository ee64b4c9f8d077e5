#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace sptest {

LogCapture::LogCapture() { previous_ = SetOutLogMessageHandler(&LogCapture::Handler, this, &previousContext_); }

LogCapture::~LogCapture() { SetOutLogMessageHandler(previous_, previousContext_); }

int LogCapture::Handler(void* context, unsigned int channel, const char* text) {
  auto* self = static_cast<LogCapture*>(context);
  self->lines_.push_back(Line{channel, text, Cp1251ToUtf8(text)});
  return 1;
}

std::vector<std::string> LogCapture::Utf8Lines() const {
  std::vector<std::string> out;
  for (const auto& l : lines_) out.push_back(l.utf8);
  return out;
}

bool LogCapture::Contains(const std::string& text) const {
  for (const auto& l : lines_)
    if (l.utf8 == text) return true;
  return false;
}

#if defined(_WIN32)
// Windows has no mkdtemp: a directory under the user's temporary directory, named after the
// process and a counter, created exclusively (create_directory fails when it exists).
TempDir::TempDir() {
  static unsigned counter = 0;
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  const unsigned long pid = GetCurrentProcessId();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::filesystem::path candidate =
        base / ("sptest-" + std::to_string(pid) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
  path_ = base.string();
}
#else
TempDir::TempDir() {
  char pattern[] = "/tmp/sptest-XXXXXX";
  char* p = mkdtemp(pattern);
  path_ = p != nullptr ? p : "/tmp";
}
#endif

TempDir::~TempDir() {
  std::error_code ec;
  // Never remove the fallback (the system's temporary directory itself).
  if (path_ != "/tmp" && path_ != std::filesystem::temp_directory_path(ec).string())
    std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<float> Sine(std::size_t n, double freqHz, double amplitude, double fs) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i)
    x[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * freqHz * static_cast<double>(i) / fs));
  return x;
}

std::vector<float> ToneSteps(const std::vector<double>& freqs, std::size_t stepSamples, double amplitude,
                             double fs) {
  std::vector<float> x;
  double phase = 0.0;
  for (double f : freqs)
    for (std::size_t i = 0; i < stepSamples; ++i) {
      x.push_back(static_cast<float>(amplitude * std::sin(phase)));
      phase += 2.0 * M_PI * f / fs;
    }
  return x;
}

std::vector<float> Noise(std::size_t n, double amplitude, std::uint32_t seed) {
  std::vector<float> x(n);
  std::uint32_t s = seed ? seed : 1u;
  for (std::size_t i = 0; i < n; ++i) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    double u = (static_cast<double>(s) / 4294967296.0) * 2.0 - 1.0;
    x[i] = static_cast<float>(amplitude * u);
  }
  return x;
}

std::string MakePattern(const TempDir& dir, const std::string& name, const std::vector<float>& clip, float maxSeconds) {
  std::vector<std::int16_t> pcm = ToPcm16(clip);
  std::string source = dir.File(name + ".wav");
  SignalPattern maker;
  if (maxSeconds > 0.0f) maker.DefineMaxCreatedPatternDuration(maxSeconds);
  EXPECT_EQ(maker.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1),
                                pcm.data(), SP_SAMPLE_S16, const_cast<char*>(source.c_str()), 44100.0f, 0x20000),
            1);
  EXPECT_EQ(maker.GetFlagCreatedPattern(), 1);
  return dir.File(name + ".tvs");
}

void AddAt(std::vector<float>& stream, const std::vector<float>& clip, std::size_t at, float gain) {
  for (std::size_t i = 0; i < clip.size() && at + i < stream.size(); ++i) stream[at + i] += gain * clip[i];
}

std::vector<std::int16_t> ToPcm16(const std::vector<float>& x) {
  std::vector<std::int16_t> out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = std::round(static_cast<double>(x[i]) * 32767.0);
    if (v > 32767.0) v = 32767.0;
    if (v < -32768.0) v = -32768.0;
    out[i] = static_cast<std::int16_t>(v);
  }
  return out;
}

std::uint32_t U32At(const std::vector<unsigned char>& b, std::size_t o) {
  return static_cast<std::uint32_t>(b.at(o)) | (static_cast<std::uint32_t>(b.at(o + 1)) << 8) |
         (static_cast<std::uint32_t>(b.at(o + 2)) << 16) | (static_cast<std::uint32_t>(b.at(o + 3)) << 24);
}

std::uint16_t U16At(const std::vector<unsigned char>& b, std::size_t o) {
  return static_cast<std::uint16_t>(b.at(o) | (b.at(o + 1) << 8));
}

float F32At(const std::vector<unsigned char>& b, std::size_t o) {
  std::uint32_t u = U32At(b, o);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

std::uint64_t Fnv1a(const std::vector<unsigned char>& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace sptest
