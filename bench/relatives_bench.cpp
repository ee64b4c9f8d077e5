// Set-up cost of finding relatives among a large catalogue (detector/relatives.h): 1000 patterns
// of 4-30 s, 300 of them relatives in groups of 2-4 (versions with other end tags, cut-downs,
// another voice on one bed), on synthetic levels. Prints the time of one set-up cold (nothing
// known), warm in the same process (another station), a reload in the same process that changed
// 1 % of the patterns, a new process with the cache on disk of a catalogue 1 % different, one
// with the cache of its own catalogue, and one without a cache.
// Usage: relatives_bench [PATTERNS] [CACHE_DIR] [STEP] (a fresh temporary directory by default);
// STEP cold, warm or changed times one set-up and keeps CACHE_DIR, for a new process each
// (/usr/bin/time -v for its memory), and counts the files in CACHE_DIR after it; all (the
// default) the sequence above.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <vector>

#include "../detector/relatives.h"

namespace {

constexpr int kBands = 8;
constexpr double kRate = 44100.0 / 576.0;

// Levels block-major, newest first, as the detector keeps them; a quiet lead-in and tail of 0.3 s
// (as clips cut from programmes have) so the quick look passes more pairs than random ones would.
struct Catalogue {
  std::vector<std::vector<float>> levels;
  std::vector<spdet::PatternLevels> views;
};

std::vector<float> Random(int n, std::mt19937& rng) {
  std::uniform_real_distribution<float> level(-40.0f, -5.0f);
  std::vector<float> v(static_cast<std::size_t>(n) * kBands);
  for (float& x : v) x = level(rng);
  return v;
}

void Quiet(std::vector<float>& v) {
  const std::size_t n = v.size() / kBands, edge = static_cast<std::size_t>(0.3 * kRate);
  for (std::size_t k = 0; k < n; ++k)
    if (k < edge || k + edge >= n)
      for (std::size_t b = 0; b < kBands; ++b) v[k * kBands + b] = -60.0f + static_cast<float>(b);
}

Catalogue Make(int count) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> seconds(4.0, 30.0);
  Catalogue c;
  const int related = count * 3 / 10;
  int made = 0;
  while (made < related) {
    const int group = std::min(2 + made % 3, related - made);
    const int n = static_cast<int>(std::uniform_real_distribution<double>(12.0, 30.0)(rng) * kRate);
    const std::vector<float> body = Random(n, rng);
    for (int g = 0; g < group; ++g) {
      std::vector<float> v = body;
      const int tag = n * 4 / 5;
      if (g == 2) v.resize(static_cast<std::size_t>(n / 2) * kBands);  // a cut-down: the opening
      else if (g > 0) {
        const std::vector<float> other = Random(n - tag, rng);
        std::copy(other.begin(), other.end(), v.begin() + static_cast<std::ptrdiff_t>(tag) * kBands);
      }
      Quiet(v);
      c.levels.push_back(std::move(v));
    }
    made += group;
  }
  while (static_cast<int>(c.levels.size()) < count) {
    std::vector<float> v = Random(static_cast<int>(seconds(rng) * kRate), rng);
    Quiet(v);
    c.levels.push_back(std::move(v));
  }
  for (const auto& v : c.levels) c.views.push_back({static_cast<int>(v.size() / kBands), v.data(), true});
  return c;
}

// Every hundredth pattern 3 dB louder (new content).
void ChangeOnePercent(Catalogue& c) {
  for (std::size_t i = 0; i < c.levels.size(); i += 100)
    for (float& x : c.levels[i]) x += 3.0f;
  for (std::size_t i = 0; i < c.levels.size(); ++i) c.views[i].levels = c.levels[i].data();
}

// The processor time of this process, seconds (on a loaded machine the wall time mostly measures
// the load; both are printed).
double Cpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double g_cpu = 0.0;  // processor time of the last Time()

double Time(const Catalogue& c, const std::string& cache, int& relatives) {
  const auto t0 = std::chrono::steady_clock::now();
  const double c0 = Cpu();
  spdet::Relatives kin;
  kin.Find(c.views, kBands, kRate, cache);
  g_cpu = Cpu() - c0;
  const auto t1 = std::chrono::steady_clock::now();
  relatives = 0;
  for (std::size_t i = 0; i < c.views.size(); ++i) relatives += kin.Of(static_cast<int>(i)).empty() ? 0 : 1;
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  namespace fs = std::filesystem;
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / ("sp-relatives-bench-" + std::to_string(std::random_device{}()));
  const std::string step = argc > 3 ? argv[3] : "all";
  std::error_code ec;
  if (count < 2 || (step != "all" && step != "cold" && step != "warm" && step != "changed")) {
    std::fprintf(stderr, "relatives_bench: PATTERNS must be 2 or more, STEP all, cold, warm or changed\n");
    return 2;
  }
  if (step == "all" || step == "cold") fs::remove_all(dir, ec);
  Catalogue c = Make(count);
  int found = 0;
  if (step != "all") {
    // One set-up in this process with the cache directory kept (cold: made anew; warm: as it is;
    // changed: 1 % of the patterns 3 dB louder), for timing a new process on its own.
    if (step == "changed") ChangeOnePercent(c);
    const double t = Time(c, dir.string(), found);
    double bytes = 0.0;
    for (const auto& v : c.levels) bytes += static_cast<double>(v.size() * sizeof(float));
    std::size_t files = 0;
    std::uintmax_t size = 0;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_regular_file(ec)) ++files, size += it->file_size(ec);
    std::printf("relatives among %d patterns (levels %.0f MB), %s, new process: %7.3f s (cpu %7.3f s), %d patterns with relatives;"
                " cache %zu files, %.1f MB\n", count, bytes / 1e6, step.c_str(), t, g_cpu, found, files, static_cast<double>(size) / 1e6);
    return 0;
  }
  std::printf("relatives among %d patterns (%d of them in groups of 2-4), one core:\n", count, count * 3 / 10);
  const double cold = Time(c, dir.string(), found);
  std::printf("  cold (nothing known, cache written): %7.3f s (cpu %7.3f s), %d patterns with relatives\n", cold, g_cpu, found);
  const double warm = Time(c, dir.string(), found);
  std::printf("  warm (same process):                 %7.3f s (cpu %7.3f s), %d\n", warm, g_cpu, found);
  // A reload that changed 1 % of the patterns (3 dB louder: new content), same process: only the
  // changed patterns' pairs are looked at.
  Catalogue reload = c;
  ChangeOnePercent(reload);
  const double changed = Time(reload, dir.string(), found);
  std::printf("  reload, 1 %% changed (same process):  %7.3f s (cpu %7.3f s), %d\n", changed, g_cpu, found);
  // A new process on the first catalogue: the cache on disk was last written for the reload, so
  // 1 % of the patterns are new to it; then a new process on the catalogue the cache was written for.
  spdet::Relatives::ForgetComparisons();
  const double diskChanged = Time(c, dir.string(), found);
  std::printf("  new process, 1 %% changed since cache: %7.3f s (cpu %7.3f s), %d\n", diskChanged, g_cpu, found);
  spdet::Relatives::ForgetComparisons();
  const double disk = Time(c, dir.string(), found);
  std::printf("  warm (new process, cache on disk):   %7.3f s (cpu %7.3f s), %d\n", disk, g_cpu, found);
  spdet::Relatives::ForgetComparisons();
  const double none = Time(c, std::string(), found);
  std::printf("  no cache (new process):              %7.3f s (cpu %7.3f s), %d\n", none, g_cpu, found);
  fs::remove_all(dir, ec);
  return 0;
}
