// The dashboard API's speed over a day of 50 stations (100,000 detections, 200 spots) in an
// SQLite store: each query of /api/detections (first page, filtered, deep pages) and /api/counts
// timed through HTTP on loopback, median and worst of the repetitions. Run pinned to one core:
//   taskset -c 0 build/server/dashboard_bench [DIR [ROWS [STATIONS [DAYS]]]]
// (a year of one station for the page's first render: dashboard_bench DIR 36500 1 365, then
// bench/dashboard_render.py).
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dashboard.h"
#include "store.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace store = sigpat::store;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path() / "sigpat-dashboard-bench";
  const int rows = argc > 2 ? std::atoi(argv[2]) : 100000;
  const int stations = argc > 3 ? std::atoi(argv[3]) : 50, days = argc > 4 ? std::atoi(argv[4]) : 1, spots = 200;
  std::filesystem::create_directories(dir);
  const std::string db = (dir / ("bench-" + std::to_string(rows) + "-" + std::to_string(stations) + "-" + std::to_string(days) + ".db")).string();

  if (!std::filesystem::exists(db)) {
    auto t0 = Clock::now();
    auto s = store::OpenStore(db);
    for (int k = 0; k < stations; ++k) s->PutStation({0, "Station " + std::to_string(k), ""});
    for (int p = 0; p < spots; ++p) {
      store::PatternRow row;
      char hash[65];
      std::snprintf(hash, sizeof hash, "%064x", p + 1);
      row.contentHash = hash;
      row.name = "spot" + std::to_string(p) + ".tvs";
      row.durationSeconds = 30;
      row.spotId = "SPOT-" + std::to_string(p);
      row.advertiser = "Advertiser " + std::to_string(p % 20);
      row.campaign = "Campaign " + std::to_string(p % 40);
      s->PutPattern(row);
    }
    const store::UtcMicros day = 1772409600LL * 1000000;  // 2026-03-02T00:00:00Z
    for (int i = 0; i < rows; ++i) {
      store::DetectionRow d;
      d.station = "Station " + std::to_string(i % stations);
      const int p = (i * 7919) % spots;
      char hash[65];
      std::snprintf(hash, sizeof hash, "%064x", p + 1);
      d.patternHash = hash;
      d.patternName = "spot" + std::to_string(p) + ".tvs";
      d.beginUtc = day + static_cast<std::int64_t>(i) * days * 86400LL * 1000000 / rows;
      d.endUtc = *d.beginUtc + 30000000;
      d.beginSeconds = (*d.beginUtc - day) / 1e6;
      d.endSeconds = d.beginSeconds + 30;
      d.clock = "start";
      d.rule = "detector";
      d.confidence = 0.9;
      d.match = "level";
      d.json = "{}";
      d.key = store::DetectionKey(d);
      s->AddDetection(d);
    }
    std::printf("filled %s: %d detections of %d stations and %d spots over %d days in %.1f s\n", db.c_str(), rows,
                stations, spots, days, Ms(Clock::now() - t0) / 1000);
  }

  sigpat::server::DashboardOptions options;
  options.db = db;
  options.listen = "127.0.0.1:0";
  sigpat::server::Dashboard dashboard(options);
  const int port = dashboard.Bind();
  std::thread server([&] { dashboard.Run(); });
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);

  // The oldest id of page 50 of the newest-first list, for the deep page.
  std::string deep;
  {
    std::string next = "";
    for (int page = 0; page < 49; ++page) {
      auto r = client.Get(("/api/detections?limit=100" + next).c_str());
      auto at = r->body.rfind("\"before_id\":");
      next = "&before_id=" + r->body.substr(at + 12, r->body.find('}', at) - at - 12);
    }
    deep = next;
  }
  const std::vector<std::pair<std::string, std::string>> queries = {
      {"first page (100, newest first)", "/api/detections?limit=100"},
      {"one station, first page", "/api/detections?station=Station%2017&limit=100"},
      {"one station, 2 hours", "/api/detections?station=Station%2017&from=2026-03-02T10:00:00Z&to=2026-03-02T12:00:00Z&limit=100"},
      {"one spot", "/api/detections?spot=SPOT-42&limit=100"},
      {"one advertiser, one station", "/api/detections?advertiser=Advertiser%205&station=Station%205&limit=100"},
      {"no match (advertiser and station apart)", "/api/detections?advertiser=Advertiser%203&station=Station%205&limit=100"},
      {"one campaign, 1 hour", "/api/detections?campaign=Campaign%209&from=2026-03-02T06:00:00Z&to=2026-03-02T07:00:00Z&limit=100"},
      {"page 50 (before_id)", "/api/detections?limit=100" + deep},
      {"1000 rows, one station", "/api/detections?station=Station%201&limit=1000"},
      {"one detection", "/api/detections/50000"},
      {"stations with health and last detection", "/api/stations"},
      {"counts per spot per day, one station", "/api/counts?station=Station%2017"},
  };
  std::printf("%-44s %10s %10s %8s\n", "query", "median ms", "worst ms", "bytes");
  for (const auto& [name, path] : queries) {
    std::vector<double> times;
    std::size_t bytes = 0;
    for (int rep = 0; rep < 15; ++rep) {
      auto t0 = Clock::now();
      auto r = client.Get(path.c_str());
      times.push_back(Ms(Clock::now() - t0));
      if (!r || r->status != 200) {
        std::printf("%s: failed (%d)\n", name.c_str(), r ? r->status : -1);
        break;
      }
      bytes = r->body.size();
    }
    std::sort(times.begin(), times.end());
    std::printf("%-44s %10.2f %10.2f %8zu\n", name.c_str(), times[times.size() / 2], times.back(), bytes);
  }
  dashboard.Stop();
  server.join();
  return 0;
}
