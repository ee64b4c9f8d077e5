// Benchmarks of the SignalPattern library: the block pipeline, recognition with growing
// numbers of patterns, pattern creation, recognition set-up and the memory a recognizer holds.
//
// Audio is generated (tone sequences over a noise bed, from fixed seeds); patterns are made by
// the library itself into a temporary directory that is removed at exit. Throughput counters:
// "samples/s" (input samples per second of CPU) and "x_realtime" (the same divided by 44100,
// so 1x is real time). Every benchmark runs in the calling thread, that is on one core.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "bench_audio.h"
#include "SignalPattern.h"

// ---- Allocation accounting: every operator new of the process (the library's included) goes
// through these, so the bytes a recognizer holds can be counted exactly.
namespace {
std::atomic<long long> g_liveBytes{0};
std::atomic<long long> g_liveBlocks{0};
constexpr std::size_t kHeader = 16;  // keeps the returned storage 16-byte aligned

void* CountedAllocate(std::size_t n) noexcept {
  void* base = std::malloc(n + kHeader);
  if (base == nullptr) return nullptr;
  *static_cast<std::size_t*>(base) = n;
  g_liveBytes.fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
  g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
  return static_cast<char*>(base) + kHeader;
}

void CountedRelease(void* p) noexcept {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - kHeader;
  g_liveBytes.fetch_sub(static_cast<long long>(*reinterpret_cast<std::size_t*>(base)), std::memory_order_relaxed);
  g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(base);
}

}  // namespace

// The allocation functions of this program, through the hooks above.
void* TestAllocate(std::size_t n) { return CountedAllocate(n); }
void TestRelease(void* p) { CountedRelease(p); }
#include "replace_new.h"

namespace {

constexpr int kBlock = 1152;
using bench_audio::kFs;
using bench_audio::kPatternSamples;
using bench_audio::MakeClip;
using bench_audio::ToPcm16;

const std::vector<std::int16_t>& Stream() {
  static const std::vector<std::int16_t> pcm = bench_audio::MakeStream();
  return pcm;
}

// Pattern files made by the library, created on first use and removed at exit.
class PatternLibrary {
 public:
  static PatternLibrary& Instance() {
    static PatternLibrary library;
    return library;
  }
  ~PatternLibrary() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  const std::string& Dir() const { return dir_; }

  // The first n pattern files of clips of the given length (made now when missing); empty on
  // failure.
  std::vector<std::string> Files(int n, std::size_t samples = kPatternSamples) {
    std::vector<std::string>& list = byLength_[samples];
    while (static_cast<int>(list.size()) < n) {
      const int index = static_cast<int>(list.size());
      char name[64];
      std::snprintf(name, sizeof name, "p%04d-%zu.wav", index, samples);
      std::string source = dir_ + "/" + name;
      std::vector<std::int16_t> pcm = ToPcm16(MakeClip(index, samples));
      SignalPattern maker;
      if (maker.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1), pcm.data(),
                              SP_SAMPLE_S16, const_cast<char*>(source.c_str()), 44100.0f, 0x20000) != 1 ||
          maker.GetFlagCreatedPattern() != 1)
        return {};
      list.push_back(source.substr(0, source.size() - 4) + ".tvs");
    }
    return std::vector<std::string>(list.begin(), list.begin() + n);
  }

 private:
  PatternLibrary() {
    char pattern[] = "/tmp/sp-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
  }
  std::string dir_;
  std::map<std::size_t, std::vector<std::string>> byLength_;
};

// Recognition set-up from the first n patterns; returns the result of InitSignalPattern.
int SetUp(SignalPattern& rec, const std::vector<std::string>& files, int statistics) {
  std::vector<char*> names;
  for (const auto& f : files) names.push_back(const_cast<char*>(f.c_str()));
  SigRecognitionPar par;
  par.fStatistics = statistics;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  return rec.InitSignalPattern(&par);
}

// CPU time of the calling thread, in seconds.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Throughput of `samples` input samples processed in `cpuSeconds` of the thread's CPU time.
void SetThroughput(benchmark::State& state, double samples, double cpuSeconds) {
  if (cpuSeconds <= 0.0) return;
  state.counters["samples/s"] = benchmark::Counter(samples / cpuSeconds);
  state.counters["x_realtime"] = benchmark::Counter(samples / kFs / cpuSeconds);
}

// Feeds the stream block by block, wrapping around at its end, while the benchmark runs.
void FeedStream(benchmark::State& state, SignalPattern& rec) {
  const std::vector<std::int16_t>& pcm = Stream();
  const std::size_t nBlocks = pcm.size() / kBlock;
  std::size_t b = 0;
  long long found = 0;
  const double start = ThreadCpuSeconds();
  for (auto _ : state) {
    int n = rec.Pattern(kBlock, const_cast<std::int16_t*>(pcm.data() + b * kBlock), SP_SAMPLE_S16, nullptr);
    if (n < 0) {
      state.SkipWithError("Pattern() failed");
      break;
    }
    found += n;
    if (++b == nBlocks) b = 0;
  }
  SetThroughput(state, static_cast<double>(state.iterations()) * kBlock, ThreadCpuSeconds() - start);
  state.counters["recognitions"] = static_cast<double>(found);
}

// ---- The pipeline alone: standard initialisation, no patterns.
void BM_Pipeline(benchmark::State& state) {
  SignalPattern rec;
  if (rec.InitSignalPattern(0x20000, kBlock, 0) != 1) {
    state.SkipWithError("InitSignalPattern failed");
    return;
  }
  FeedStream(state, rec);
}
BENCHMARK(BM_Pipeline);

// ---- Recognition with N patterns of 4 s, default thresholds; statistics off or on.
void BM_Recognition(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int statistics = static_cast<int>(state.range(1));
  std::vector<std::string> files = PatternLibrary::Instance().Files(n);
  SignalPattern rec;
  if (files.empty() || SetUp(rec, files, statistics) != 1) {
    state.SkipWithError("recognition set-up failed");
    return;
  }
  Stream();
  FeedStream(state, rec);
}
BENCHMARK(BM_Recognition)
    ->ArgNames({"patterns", "statistics"})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({10, 1});

// ---- The decision layer on top of the recognizer: N patterns of 4 s, every pattern compared
// at every time block.
void BM_Detector(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::string> files = PatternLibrary::Instance().Files(n);
  SignalPattern rec;
  PatternDetector det;
  DetectorTuning tuning;
  tuning.LibraryDeviations = static_cast<int>(state.range(1));
  // SP_BENCH_TUNE="Name=value,..." sets tuning members for experiments.
  if (const char* v = std::getenv("SP_BENCH_TUNE")) {
    std::string all = v;
    std::size_t at = 0;
    while (at < all.size()) {
      std::size_t comma = all.find(',', at);
      if (comma == std::string::npos) comma = all.size();
      std::string kv = all.substr(at, comma - at);
      std::size_t eq = kv.find('=');
      SetDetectorTuning(tuning, kv.substr(0, eq).c_str(), std::atof(kv.c_str() + eq + 1));
      at = comma + 1;
    }
  }
  det.SetTuning(tuning);
  std::vector<const char*> names;
  for (const auto& f : files) names.push_back(f.c_str());
  if (files.empty() || SetUp(rec, files, 0) != 1 || det.Attach(&rec, names.data()) != 1) {
    state.SkipWithError("detector set-up failed");
    return;
  }
  Stream();
  FeedStream(state, rec);
  state.counters["detections"] = static_cast<double>(det.ReportCount());
}
// library 1: the library also compares every pattern (its deviations in the reports); 0: the
// detector alone.
BENCHMARK(BM_Detector)
    ->ArgNames({"patterns", "library"})
    ->Args({1, 1})
    ->Args({15, 1})
    ->Args({100, 1})
    ->Args({1000, 1})
    ->Args({15, 0})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({10000, 0});

// ---- Attaching the detector: the per-pattern self-calibration (short patterns of 0.5 s are
// also compared with the common sound events).
void BM_DetectorAttach(benchmark::State& state) {
  const std::size_t samples = static_cast<std::size_t>(state.range(0)) * 441;
  std::vector<std::string> files = PatternLibrary::Instance().Files(100, samples);
  SignalPattern rec;
  if (files.empty() || SetUp(rec, files, 0) != 1) {
    state.SkipWithError("recognition set-up failed");
    return;
  }
  std::vector<const char*> names;
  for (const auto& f : files) names.push_back(f.c_str());
  for (auto _ : state) {
    PatternDetector det;
    if (det.Attach(&rec, names.data()) != 1) {
      state.SkipWithError("Attach failed");
      break;
    }
  }
  state.counters["patterns/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 100.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DetectorAttach)->ArgName("centiseconds")->Arg(50)->Arg(400)->Unit(benchmark::kMillisecond);

// ---- CreatePattern on a 10 s buffer: a 4 s pattern ending 0.1 s before the buffer's end, so
// that nearly the whole buffer passes the pipeline.
void BM_CreatePattern(benchmark::State& state) {
  const std::size_t n = 10 * 44100;
  std::vector<std::int16_t> pcm = ToPcm16(MakeClip(5000, n));
  std::string source = PatternLibrary::Instance().Dir() + "/created.wav";
  const sp_ulong end = static_cast<sp_ulong>(n - 4410);
  const sp_ulong begin = end - static_cast<sp_ulong>(kPatternSamples) + 1;
  const double start = ThreadCpuSeconds();
  for (auto _ : state) {
    SignalPattern maker;
    if (maker.CreatePattern(static_cast<sp_ulong>(n), begin, end, pcm.data(), SP_SAMPLE_S16,
                            const_cast<char*>(source.c_str()), 44100.0f, 0x20000) != 1) {
      state.SkipWithError("CreatePattern failed");
      break;
    }
  }
  SetThroughput(state, static_cast<double>(state.iterations()) * static_cast<double>(n), ThreadCpuSeconds() - start);
}
BENCHMARK(BM_CreatePattern)->Unit(benchmark::kMillisecond);

// ---- Recognition set-up loading 1000 pattern files (loading, recognition data, thresholds).
void BM_SetUp1000(benchmark::State& state) {
  std::vector<std::string> files = PatternLibrary::Instance().Files(1000);
  if (files.empty()) {
    state.SkipWithError("pattern creation failed");
    return;
  }
  for (auto _ : state) {
    SignalPattern rec;
    if (SetUp(rec, files, 0) != 1) {
      state.SkipWithError("recognition set-up failed");
      break;
    }
  }
  state.counters["patterns/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SetUp1000)->Unit(benchmark::kMillisecond);

// ---- Memory: bytes held by one recognizer object after set-up: what it allocated, plus the
// object itself.
void BM_Memory(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::string> files = PatternLibrary::Instance().Files(n);
  if (files.empty()) {
    state.SkipWithError("pattern creation failed");
    return;
  }
  long long bytes = 0, blocks = 0;
  for (auto _ : state) {
    const long long bytesBefore = g_liveBytes.load();
    const long long blocksBefore = g_liveBlocks.load();
    SignalPattern rec;
    if (SetUp(rec, files, 0) != 1) {
      state.SkipWithError("recognition set-up failed");
      break;
    }
    bytes = g_liveBytes.load() - bytesBefore + static_cast<long long>(sizeof(SignalPattern));
    blocks = g_liveBlocks.load() - blocksBefore;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytes/pattern"] = static_cast<double>(bytes) / n;
  state.counters["allocations"] = static_cast<double>(blocks);
}
BENCHMARK(BM_Memory)->ArgName("patterns")->Arg(10)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
