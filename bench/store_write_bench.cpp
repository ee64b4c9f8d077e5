// Write costs of the detections store (store.h), wall time of the calling thread (a round trip
// to a server or a sync of a journal is waiting, not processor time):
//   - a pattern load: PutPatterns of N patterns into an empty database, then again (the same
//     rows: the update path of a monitor that reloads its patterns);
//   - detections: M detections written one AddDetection each (a transaction each), then M more in
//     batches of kBatch (AddDetections: a transaction a batch).
// Usage: store_write_bench PATTERNS DETECTIONS WHERE...   (each WHERE an empty database: an
// SQLite file or a postgresql:// URL; one run each, the figures are the medians of the runs).
// bench/store_write_bench.sh makes the databases (SQLite and a PostgreSQL server of its own).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store.h"
#ifdef SP_BENCH_POSTGRES
#include "postgres_store.h"
#endif

namespace {

using namespace sigpat::store;
using Clock = std::chrono::steady_clock;

// Detections a batch, as the tools' recorder writes them at most (tools/sigpat/store_recorder.h).
constexpr std::size_t kBatch = 64;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? 0.0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0);
}

std::unique_ptr<Store> Open(const std::string& where) {
#ifdef SP_BENCH_POSTGRES
  if (IsPostgresUrl(where)) return OpenPostgresStore(where, StoreOptions{});
#endif
  return OpenStore(where);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: store_write_bench PATTERNS DETECTIONS WHERE...\n");
    return 2;
  }
  const int patterns = std::atoi(argv[1]), detections = std::atoi(argv[2]);
  std::vector<PatternRow> rows;
  for (int i = 0; i < patterns; ++i) {
    char hash[65];
    std::snprintf(hash, sizeof hash, "%064x", i + 1);
    rows.push_back({0, hash, "p" + std::to_string(i) + ".tvs", 4.0, "S" + std::to_string(i), "Advertiser",
                    "Campaign " + std::to_string(i / 4), "v" + std::to_string(i % 4), "Title"});
  }
  std::vector<double> load, reload, detect, batched;
  try {
    for (int a = 3; a < argc; ++a) {
      auto store = Open(argv[a]);
      auto t = Clock::now();
      store->PutPatterns(rows);
      load.push_back(Seconds(t));
      t = Clock::now();
      store->PutPatterns(rows);
      reload.push_back(Seconds(t));
      const auto row = [&](int i) {
        DetectionRow d;
        d.station = "station " + std::to_string(i % 10);
        d.patternHash = rows[static_cast<std::size_t>(i) % rows.size()].contentHash;
        d.patternName = rows[static_cast<std::size_t>(i) % rows.size()].name;
        d.beginSample = 44100LL * 10 * i;
        d.endSample = d.beginSample + 44100 * 4;
        d.beginSeconds = 10.0 * i;
        d.endSeconds = d.beginSeconds + 4.0;
        d.beginUtc = 1796601600000000LL + 10000000LL * i;
        d.endUtc = *d.beginUtc + 4000000;
        d.clock = "stream";
        d.rule = "detector";
        d.json = "{\"input\":\"" + d.station + "\",\"begin\":" + std::to_string(d.beginSample) + "}";
        return d;
      };
      t = Clock::now();
      for (int i = 0; i < detections; ++i) store->AddDetection(row(i));
      detect.push_back(Seconds(t));
      t = Clock::now();
      std::vector<DetectionRow> batch;
      for (int i = detections; i < 2 * detections; ++i) {
        batch.push_back(row(i));
        if (batch.size() == kBatch || i + 1 == 2 * detections) store->AddDetections(batch), batch.clear();
      }
      batched.push_back(Seconds(t));
    }
  } catch (const StoreError& e) {
    std::fprintf(stderr, "store_write_bench: %s\n", e.what());
    return 1;
  }
  const double d = Median(detect);
  std::printf("%d patterns, PutPatterns into an empty database: %.4f s (median of %zu)\n", patterns, Median(load), load.size());
  std::printf("the same patterns again (update):               %.4f s\n", Median(reload));
  std::printf("%d detections, one AddDetection each:          %.4f s, %.0f detections/s\n", detections, d,
              d > 0 ? detections / d : 0.0);
  const double b = Median(batched);
  std::printf("%d detections, AddDetections of %zu at a time:     %.4f s, %.0f detections/s\n", detections, kBatch, b,
              b > 0 ? detections / b : 0.0);
  return 0;
}
