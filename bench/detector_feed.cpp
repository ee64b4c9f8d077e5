// BM_Detector's work a fixed number of times, for instruction counts that do not depend on the
// machine's load: N pattern files of 4 s (made in DIR when missing, then reused), the library set
// up and the detector attached, then sp_bench's 60 s stream fed PASSES times in calls of 1152
// samples. Only the feeding is instrumented when run under
//   valgrind --tool=callgrind --instr-atstart=no build/bench/detector_feed N LIBRARY PASSES DIR
// (LIBRARY: the tuning's LibraryDeviations). It prints the reports and the processor time of
// the feeding. The clips and the stream are sp_bench's (bench_audio.h; copy it along into an
// older tree).
// (valgrind's header marks the feeding; without it callgrind counts the whole run.)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "PatternDetector.h"
#include "SignalPattern.h"
#include "bench_audio.h"

namespace {
constexpr int kBlock = 1152;
using bench_audio::kPatternSamples;
using bench_audio::MakeClip;
using bench_audio::ToPcm16;

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: detector_feed PATTERNS LIBRARY PASSES DIR\n");
    return 2;
  }
  const int n = std::atoi(argv[1]);
  const int library = std::atoi(argv[2]);
  const int passes = std::atoi(argv[3]);
  const std::string dir = argv[4];
  std::vector<std::string> files;
  for (int i = 0; i < n; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/p%04d-%zu", i, kPatternSamples);
    std::string base = dir + name;
    struct stat st;
    if (stat((base + ".tvs").c_str(), &st) != 0) {
      std::vector<std::int16_t> pcm = ToPcm16(MakeClip(i, kPatternSamples));
      SignalPattern maker;
      std::string source = base + ".wav";
      if (maker.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1), pcm.data(),
                              SP_SAMPLE_S16, const_cast<char*>(source.c_str()), 44100.0f, 0x20000) != 1) {
        std::fprintf(stderr, "detector_feed: could not make %s\n", source.c_str());
        return 3;
      }
    }
    files.push_back(base + ".tvs");
  }
  std::vector<char*> cnames;
  for (auto& f : files) cnames.push_back(const_cast<char*>(f.c_str()));
  SigRecognitionPar par;
  par.fStatistics = 0;
  par.NPattern = n;
  par.PatternFileNames = cnames.data();
  SignalPattern rec;
  if (rec.InitSignalPattern(&par) != 1) {
    std::fprintf(stderr, "detector_feed: recognition set-up failed\n");
    return 4;
  }
  PatternDetector det;
  DetectorTuning tuning;
  tuning.LibraryDeviations = library;
  det.SetTuning(tuning);
  std::vector<const char*> names(cnames.begin(), cnames.end());
  if (det.Attach(&rec, names.data()) != 1) {
    std::fprintf(stderr, "detector_feed: Attach failed\n");
    return 5;
  }
  const std::vector<std::int16_t> pcm = bench_audio::MakeStream();
  const std::size_t nBlocks = pcm.size() / kBlock;
  long long found = 0;
  const double t0 = CpuSeconds();
  CALLGRIND_START_INSTRUMENTATION;
  for (int p = 0; p < passes; ++p)
    for (std::size_t b = 0; b < nBlocks; ++b)
      found += rec.Pattern(kBlock, const_cast<std::int16_t*>(pcm.data() + b * kBlock), SP_SAMPLE_S16, nullptr);
  CALLGRIND_STOP_INSTRUMENTATION;
  const double t1 = CpuSeconds();
  std::printf("patterns %d library %d blocks %zu recognitions %lld reports %d cpu_s %.4f\n", n, library,
              nBlocks * passes, found, static_cast<int>(det.ReportCount()), t1 - t0);
  return 0;
}
