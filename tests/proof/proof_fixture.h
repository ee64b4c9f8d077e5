// Rows as the store gives them, made up for the tests of the proof library.
#ifndef SIGPAT_TESTS_PROOF_FIXTURE_H
#define SIGPAT_TESTS_PROOF_FIXTURE_H

#include <string>
#include <vector>

#include "reconcile.h"

namespace sigpat::proof::testing {

struct World {
  std::vector<StationRow> stations;
  std::vector<PatternRow> patterns;
  std::vector<DetectionRow> detections;
  std::vector<StationEventRow> events;

  void Station(const std::string& label) { stations.push_back({static_cast<std::int64_t>(stations.size()) + 1, label, ""}); }
  void Pattern(const std::string& name, const std::string& spotId = "", const std::string& advertiser = "",
               const std::string& campaign = "", const std::string& version = "") {
    PatternRow p;
    p.id = static_cast<std::int64_t>(patterns.size()) + 1;
    p.contentHash = "hash-" + name;
    p.name = name;
    p.durationSeconds = 30;
    p.spotId = spotId;
    p.advertiser = advertiser;
    p.campaign = campaign;
    p.version = version;
    patterns.push_back(p);
  }
  // An airing of the named pattern beginning at t, 30 s long, with `seen` of it heard.
  DetectionRow& Airing(const std::string& station, const std::string& pattern, UtcMicros t, double seen = 1.0) {
    DetectionRow d;
    d.id = static_cast<std::int64_t>(detections.size()) + 1;
    d.station = station;
    d.patternHash = "hash-" + pattern;
    d.patternName = pattern;
    d.beginUtc = t;
    d.endUtc = t + static_cast<UtcMicros>(30 * seen * kMicrosPerSecond);
    d.clock = "stream";
    d.seen = seen;
    d.confidence = 0.9;
    d.evidence = station + "/" + std::to_string(d.id) + ".opus";
    detections.push_back(d);
    return detections.back();
  }
  void Event(const std::string& station, UtcMicros t, const std::string& event) {
    events.push_back({static_cast<std::int64_t>(events.size()) + 1, station, t, event, ""});
  }
};

}  // namespace sigpat::proof::testing

#endif
