// Helpers shared by the test programs.
#ifndef SP_TEST_SUPPORT_H
#define SP_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "SignalPattern.h"

namespace sptest {

// Captures the library's diagnostic lines while it lives (installs its own sink handler and
// restores the previous one on destruction).
class LogCapture {
 public:
  struct Line {
    unsigned int channel;
    std::string raw;   // as emitted (Windows-1251)
    std::string utf8;  // converted for comparisons
  };
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<Line>& lines() const { return lines_; }
  std::vector<std::string> Utf8Lines() const;
  // True when some line equals text (UTF-8).
  bool Contains(const std::string& text) const;
  void Clear() { lines_.clear(); }

 private:
  static int Handler(void* context, unsigned int channel, const char* text);
  std::vector<Line> lines_;
  OutLogMessageHandler previous_;
  void* previousContext_;
};

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<unsigned char> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<unsigned char>& bytes);

// Deterministic signal generators (44100 Hz unless said).
std::vector<float> Sine(std::size_t n, double freqHz, double amplitude, double fs = 44100.0);
// A clip of distinct tone steps: each step lasts stepSamples, frequencies from the list.
std::vector<float> ToneSteps(const std::vector<double>& freqs, std::size_t stepSamples, double amplitude,
                             double fs = 44100.0);
// Uniform white noise in [-amplitude, amplitude] from a fixed seed.
std::vector<float> Noise(std::size_t n, double amplitude, std::uint32_t seed);
// Adds gain * clip into stream from sample `at` on (what runs past the end is dropped).
void AddAt(std::vector<float>& stream, const std::vector<float>& clip, std::size_t at, float gain = 1.0f);
// float in [-1,1) to 16-bit PCM (rounded, clipped).
std::vector<std::int16_t> ToPcm16(const std::vector<float>& x);

// Makes a pattern of the whole clip with the library (standard mode) in dir as NAME.tvs, its
// source named NAME.wav; returns the pattern file's path. Failures are test failures.
std::string MakePattern(const TempDir& dir, const std::string& name, const std::vector<float>& clip, float maxSeconds = 0.0f);

// Little-endian field readers for file layout checks.
std::uint32_t U32At(const std::vector<unsigned char>& b, std::size_t offset);
std::uint16_t U16At(const std::vector<unsigned char>& b, std::size_t offset);
float F32At(const std::vector<unsigned char>& b, std::size_t offset);

// FNV-1a 64-bit hash of bytes (golden checks).
std::uint64_t Fnv1a(const std::vector<unsigned char>& bytes);

}  // namespace sptest

#endif
