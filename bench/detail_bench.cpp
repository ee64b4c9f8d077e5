// The detail check's cost: the print of the input around one detection of a 4.5 s clip and its
// comparison with the clip's print. It runs once per detection of a clip that has a print, so a
// scan pays it per detection, not per time block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "detail_check.h"

namespace {

std::vector<std::int16_t> Audio(std::size_t n, std::uint32_t seed) {
  std::vector<std::int16_t> s(n);
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double tone = std::sin(2.0 * M_PI * (440.0 + 200.0 * std::floor(i / 6615.0)) * i / 44100.0);
    s[i] = static_cast<std::int16_t>(8000.0 * tone + static_cast<double>(seed >> 20) - 2048.0);
  }
  return s;
}

void BM_DetailAnalyseInput(benchmark::State& state) {
  const std::vector<std::int16_t> input = Audio(static_cast<std::size_t>(5.1 * 44100), 7);
  spdetail::DetailAnalyser analyser;
  for (auto _ : state) benchmark::DoNotOptimize(analyser.Analyse(input.data(), input.size()));
}
BENCHMARK(BM_DetailAnalyseInput)->Unit(benchmark::kMillisecond);

void BM_DetailCompare(benchmark::State& state) {
  const std::vector<std::int16_t> clip = Audio(static_cast<std::size_t>(4.5 * 44100), 7);
  const std::vector<std::int16_t> input = Audio(static_cast<std::size_t>(5.1 * 44100), 7);
  spdetail::DetailAnalyser analyser;
  const spdetail::DetailPrint c = analyser.Analyse(clip.data(), clip.size());
  const spdetail::DetailPrint in = analyser.Analyse(input.data(), input.size());
  for (auto _ : state) benchmark::DoNotOptimize(spdetail::CompareDetail(c, in, 20));
}
BENCHMARK(BM_DetailCompare)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
