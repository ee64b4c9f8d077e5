#include "fuzz_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace spfuzz {

namespace {
std::string* gScratch = nullptr;

void RemoveScratch() {
  if (gScratch == nullptr) return;
  std::error_code ec;
  std::filesystem::remove_all(*gScratch, ec);
}
}  // namespace

const std::string& ScratchDir() {
  if (gScratch == nullptr) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/spfuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    const char* made = mkdtemp(buf.data());
    if (made == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    gScratch = new std::string(made);
    std::atexit(RemoveScratch);
  }
  return *gScratch;
}

bool WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

void FillSignal(std::int16_t* out, std::size_t n, std::uint32_t seed, float amplitude) {
  std::uint32_t s = seed * 2654435761u + 1u;
  const double f1 = 300.0 + static_cast<double>(seed % 17) * 150.0;
  for (std::size_t i = 0; i < n; ++i) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    double noise = (static_cast<double>(s & 0xFFFF) / 32768.0 - 1.0) * 0.2;
    double tone = 0.5 * std::sin(2.0 * M_PI * f1 * static_cast<double>(i) / 44100.0) +
                  0.3 * std::sin(2.0 * M_PI * 2.7 * f1 * static_cast<double>(i) / 44100.0);
    double v = amplitude * (tone + noise) * 32767.0;
    if (v > 32767.0) v = 32767.0;
    if (v < -32768.0) v = -32768.0;
    out[i] = static_cast<std::int16_t>(v);
  }
}

bool SetUpRecognition(SignalPattern& engine, const std::string& patternFile) {
  char* names[] = {const_cast<char*>(patternFile.c_str())};
  SigRecognitionPar par;
  par.NPattern = 1;
  par.PatternFileNames = names;
  par.NsampleMax = 1152;
  return engine.InitSignalPattern(&par) != 0;
}

LibraryPattern MakeLibraryPattern(const std::string& name, const std::vector<double>& freqs, int stepMs) {
  LibraryPattern p;
  const std::size_t step = static_cast<std::size_t>(44100) * static_cast<std::size_t>(stepMs) / 1000;
  double phase = 0.0;
  for (double f : freqs)
    for (std::size_t i = 0; i < step; ++i) {
      p.clip.push_back(static_cast<std::int16_t>(std::lround(16000.0 * std::sin(phase))));
      phase += 2.0 * M_PI * f / 44100.0;
    }
  std::string source = ScratchDir() + "/" + name + ".wav";
  SignalPattern maker;
  if (maker.CreatePattern(static_cast<sp_ulong>(p.clip.size()), 0, static_cast<sp_ulong>(p.clip.size() - 1),
                          p.clip.data(), SP_SAMPLE_S16, const_cast<char*>(source.c_str()), 44100.0f, 0x20000) == 1 &&
      maker.GetFlagCreatedPattern() == 1)
    p.path = ScratchDir() + "/" + name + ".tvs";
  return p;
}

}  // namespace spfuzz
