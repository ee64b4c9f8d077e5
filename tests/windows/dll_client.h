// A client run of the library that uses only its exported interface. The program
// sp_dll_client runs it linked with signalpattern.dll through the import library; the Linux
// suite (test_windows_dll) runs it in-process and compares its files with a Windows run's.
//
// RunDllClient(dir): in dir, makes two pattern files from fixed generated audio, runs
// recognition with statistics and test-data recording over a stream that holds one of the
// clips twice, and writes what it saw: the pattern files (clip_a.tvs, clip_b.tvs), the
// test-data file (client.tvd) and a text record (client.txt) of every recognition, every
// block's deviation bits, the records read back from the test-data file and the statistics
// reports. Builds of the library for different platforms must produce these files byte for
// byte. Everything is written under short relative names, which the pattern files record.
//
// The audio is made with integer arithmetic only, so that the input itself cannot differ
// between platforms. The run checks what it can on its own (files made, both occurrences
// found, the other pattern never).
#ifndef SP_TESTS_WINDOWS_DLL_CLIENT_H
#define SP_TESTS_WINDOWS_DLL_CLIENT_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "SignalPattern.h"

namespace spclient {

constexpr int kFs = 44100;
constexpr int kBlock = 1152;

inline int failures = 0;

inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "sp_dll_client: FAILED: %s\n", what);
    ++failures;
  }
}

// Deterministic noise: a 32-bit linear congruential generator, values in [-amplitude, amplitude].
struct Lcg {
  std::uint32_t state;
  int Next(int amplitude) {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 16) % static_cast<std::uint32_t>(2 * amplitude + 1)) - amplitude;
  }
};

// A triangle wave of the given period (samples) and peak, at sample t.
inline int Triangle(int t, int period, int peak) {
  const int phase = t % period;
  const int half = period / 2;
  const int rising = phase < half ? phase : period - phase;  // 0 .. half
  return (4 * peak * rising) / period - peak;
}

// A clip of tone steps: each step of stepSamples holds a triangle wave of the next period.
inline std::vector<std::int16_t> Clip(const std::vector<int>& periods, int stepSamples, int peak) {
  std::vector<std::int16_t> x;
  for (int p : periods)
    for (int t = 0; t < stepSamples; ++t) x.push_back(static_cast<std::int16_t>(Triangle(t, p, peak)));
  return x;
}

inline void Mix(std::vector<std::int16_t>& stream, const std::vector<std::int16_t>& clip, std::size_t at, int num, int den) {
  for (std::size_t i = 0; i < clip.size() && at + i < stream.size(); ++i) {
    int v = stream[at + i] + clip[i] * num / den;
    if (v > 32767) v = 32767;
    if (v < -32768) v = -32768;
    stream[at + i] = static_cast<std::int16_t>(v);
  }
}

inline std::FILE* out = nullptr;

inline int Sink(void* /*context*/, unsigned int channel, const char* text) {
  std::fprintf(out, "log %u: %s\n", channel, Cp1251ToUtf8(text).c_str());
  return 1;
}

inline std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// The test-data file is opened by a protected operation: a client reaches it by derivation.
class Recognizer : public SignalPattern {
 public:
  using TimeSpectrumEstimation::OpenForWriteTestDataFile;
};

inline std::string MakePattern(const char* source, const std::vector<std::int16_t>& clip) {
  SignalPattern maker;
  Check(maker.CreatePattern(static_cast<sp_ulong>(clip.size()), 0, static_cast<sp_ulong>(clip.size() - 1),
                            const_cast<std::int16_t*>(clip.data()), SP_SAMPLE_S16, const_cast<char*>(source),
                            44100.0f, 0x20000) == 1,
        "CreatePattern");
  Check(maker.GetFlagCreatedPattern() == 1, "pattern file written");
  const char* name = maker.GetPatternFileName();
  std::fprintf(out, "pattern %s -> %s\n", source, name != nullptr ? name : "(none)");
  return name != nullptr ? name : "";
}

// The whole run; returns the number of failed checks (or -1 when dir cannot be used). The
// working directory is restored afterwards, the sink handler too.
inline int RunDllClient(const std::string& dir) {
  failures = 0;
  std::error_code ec;
  const std::filesystem::path previousDir = std::filesystem::current_path(ec);
  std::filesystem::create_directories(dir, ec);
  std::filesystem::current_path(dir, ec);
  if (ec) {
    std::fprintf(stderr, "sp_dll_client: cannot enter %s\n", dir.c_str());
    return -1;
  }
  out = std::fopen("client.txt", "wb");
  if (out == nullptr) {
    std::filesystem::current_path(previousDir, ec);
    return -1;
  }
  void* previousContext = nullptr;
  const OutLogMessageHandler previous = SetOutLogMessageHandler(&Sink, nullptr, &previousContext);

  SignalPattern probe;
  std::fprintf(out, "version %s %d\n", probe.GetVersionName(), probe.GetLinearVersionNumber());

  // Two clips of 1.5 s: a and b share no step frequency.
  const std::vector<std::int16_t> a = Clip({100, 31, 57, 13, 80, 23, 44, 17, 66, 27}, 6615, 12000);
  const std::vector<std::int16_t> b = Clip({90, 35, 11, 50, 19, 75, 29, 15, 40, 21}, 6615, 12000);
  const std::string fileA = MakePattern("clip_a.wav", a);
  const std::string fileB = MakePattern("clip_b.wav", b);

  // Ten seconds of noise with clip a at 2 s (full level) and at 6 s (a third quieter).
  std::vector<std::int16_t> stream(10 * kFs);
  Lcg noise{2024u};
  for (auto& s : stream) s = static_cast<std::int16_t>(noise.Next(300));
  Mix(stream, a, 2 * kFs + 333, 1, 1);
  Mix(stream, a, 6 * kFs + 1000, 2, 3);

  std::vector<char*> names = {const_cast<char*>(fileA.c_str()), const_cast<char*>(fileB.c_str())};
  SigRecognitionPar par;
  par.NPattern = 2;
  par.PatternFileNames = names.data();
  par.fStatistics = 1;

  {
    Recognizer rec;
    Check(rec.InitSignalPattern(&par) == 1, "recognition set-up");
    Check(rec.GetTVSCount() == 2, "two patterns loaded");
    // Static data of an exported class, read across the DLL boundary.
    std::fprintf(out, "DeviationStat objects %lu, measures %d%d%d%d%d\n",
                 static_cast<unsigned long>(DeviationStat::NObject), DeviationStat::fUseElem[0],
                 DeviationStat::fUseElem[1], DeviationStat::fUseElem[2], DeviationStat::fUseElem[3],
                 DeviationStat::fUseElem[4]);
    char tvdName[] = "client";
    Check(rec.OpenForWriteTestDataFile(tvdName) == 1, "test-data file opened");

    int found[2] = {0, 0};
    int block = 0;
    for (std::size_t pos = 0; pos + kBlock <= stream.size(); pos += kBlock, ++block) {
      const int n = rec.Pattern(kBlock, stream.data() + pos, SP_SAMPLE_S16, nullptr);
      Check(n >= 0, "Pattern");
      const RecognizeParam* m = rec.GetRecognizeParam();
      std::fprintf(out, "block %d: %d %08x", block, n, static_cast<unsigned>(Bits(m->RelDev)));
      for (int i = 0; i < rec.GetTVSCount(); ++i)
        std::fprintf(out, " %08x/%08x", static_cast<unsigned>(Bits(rec.GetTVS()[i]->RelDev)),
                     static_cast<unsigned>(Bits(rec.GetTVS()[i]->RelDevMPB)));
      std::fprintf(out, "\n");
      if (n > 0) {
        const int p = rec.GetLastRecognizedPatternNumber();
        if (p >= 0 && p < 2) found[p] += n;
        std::fprintf(out, "found %d %s %ld-%ld total %d\n", p, rec.GetLastRecognizedPatternFileName(),
                     static_cast<long>(rec.RecognizedBegin), static_cast<long>(rec.RecognizedEnd),
                     rec.GetNRecognize());
      }
    }
    Check(found[0] == 2, "clip a found twice");
    Check(found[1] == 0, "clip b never found");

    // Read the monitoring records back by stream position.
    if (rec.OpenForReadTestData() == 1) {
      for (sp_ulong sample = 0; sample < stream.size(); sample += kFs) {
        const RecognizeParam* r = static_cast<const RecognizeParam*>(rec.ReadTestData(sample));
        Check(r != nullptr, "ReadTestData");
        if (r != nullptr)
          std::fprintf(out, "tvd %lu: %d %08x %d\n", static_cast<unsigned long>(sample), r->Nvalue,
                       static_cast<unsigned>(Bits(r->RelDev)), r->fRecognized);
      }
      rec.CloseReadTestData();
    } else {
      Check(false, "test-data file reopened");
    }

    // The reports of the statistics kept in the exported DeviationStat and ParStat records.
    rec.OutStatictics(1);
    rec.OutGeneralStatictics(2);
    rec.OutRangesOfPattern(0, 3);
    rec.UnloadSignalPatternObj(1, 1);
  }

  SetOutLogMessageHandler(previous, previousContext);
  std::fclose(out);
  out = nullptr;
  std::filesystem::current_path(previousDir, ec);
  return failures;
}

}  // namespace spclient

#endif
