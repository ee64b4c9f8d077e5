// Fuzz target: the dashboard's API parameters (server/api.h), over a small real SQLite store.
// The input is a request: its first line the path after /api/, each further line a parameter
// "name=value" (as the HTTP server hands them on, decoded). Whatever the request, the answer is
// 200, 400 (a bad parameter, named) or 404 (an unknown path or id), with a JSON body that says
// what was wrong whenever it is not 200: never 500, never 503 (the store is fine), never a throw.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "api.h"
#include "store.h"

namespace {

std::string MakeStore() {
  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / ("sigpat-fuzz-api-" + std::to_string(::getpid()) + ".db");
  fs::remove(file);
  auto store = sigpat::store::OpenStore(file.string());
  sigpat::store::PatternRow p;
  p.contentHash = std::string(64, 'a');
  p.name = "spot.tvs";
  p.spotId = "S1";
  p.campaign = "Spring";
  p.advertiser = "Shop";
  p.durationSeconds = 20.0;
  store->PutPattern(p);
  for (int i = 0; i < 3; ++i) {
    sigpat::store::StationRow s;
    s.label = "Radio " + std::to_string(i);
    store->PutStation(s);
    sigpat::store::DetectionRow d;
    d.station = s.label;
    d.patternHash = p.contentHash;
    d.patternName = p.name;
    d.beginSample = 44100 * (10 + i);
    d.endSample = d.beginSample + 44100 * 20;
    d.beginUtc = 1780000000000000LL + i * 3600000000LL;
    d.endUtc = *d.beginUtc + 20000000LL;
    d.clock = "stream";
    d.rule = "detector";
    d.json = "{}";
    d.key = sigpat::store::DetectionKey(d);
    store->AddDetection(d);
    sigpat::store::StationEventRow e;
    e.station = s.label;
    e.timeUtc = *d.beginUtc;
    e.event = "connected";
    e.json = "{}";
    store->AddEvent(e);
  }
  return file.string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string where = MakeStore();
  static sigpat::server::StoreAccess access(where);
  static sigpat::server::Api api(access);
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t end = text.find('\n');
  const std::string path = text.substr(0, end);
  sigpat::server::Query query;
  while (end != std::string::npos) {
    const std::size_t start = end + 1;
    end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::size_t eq = line.find('=');
    query.emplace(line.substr(0, eq), eq == std::string::npos ? std::string() : line.substr(eq + 1));
  }
  const sigpat::server::ApiResponse r = api.Get(path, query);
  if (r.status != 200 && r.status != 400 && r.status != 404) std::abort();
  const auto body = nlohmann::json::parse(r.body, nullptr, false);
  if (body.is_discarded()) std::abort();
  if (r.status != 200 && !(body.is_object() && body.contains("error") && body["error"].is_string())) std::abort();
  return 0;
}
