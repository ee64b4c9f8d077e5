// What every store does, whatever the database: the cases the SQLite and PostgreSQL tests share.
#ifndef SIGPAT_TEST_STORE_CASES_H
#define SIGPAT_TEST_STORE_CASES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <memory>

#include "store.h"

namespace storetest {

using namespace sigpat::store;

inline DetectionRow Row(const std::string& station, const std::string& hash, std::int64_t begin, std::optional<UtcMicros> utc) {
  DetectionRow d;
  d.station = station;
  d.patternHash = hash;
  d.patternName = hash + ".tvs";
  d.beginSample = begin;
  d.endSample = begin + 44100;
  d.beginSeconds = begin / 44100.0;
  d.endSeconds = d.beginSeconds + 1.0;
  d.beginUtc = utc;
  if (utc) d.endUtc = *utc + 1000000;
  d.clock = utc ? "stream" : "";
  d.rule = "detector";
  d.confidence = 0.9;
  d.distance = 0.1;
  d.threshold = 1.2;
  d.seen = 0.75;
  d.match = "level";
  d.json = "{\"input\":\"" + station + "\",\"begin\":" + std::to_string(begin) + "}";
  d.key = DetectionKey(d);
  return d;
}

constexpr UtcMicros kT0 = 1796601600000000;  // 2026-12-07T00:00:00Z

// A load larger than one statement of rows (PostgreSQL writes 500 a statement) with a pattern
// given twice (its second row renames it and adds a campaign, gives no spot ID): the ids in
// order, the repeated one the same both times, the row as the two writes one after the other
// leave it; the same load again changes no id. Then a batch of detections larger than two
// statements (PostgreSQL writes 1000 a statement), its last one a key of the first statement:
// ids ascending, the repeated key's the same; the same batch again gives the same ids.
inline void CheckLargeLoads(Store& s) {
  std::vector<PatternRow> rows;
  for (int i = 0; i < 1200; ++i)
    rows.push_back({0, "h" + std::to_string(i), "p" + std::to_string(i) + ".tvs", 4.0, "S" + std::to_string(i), "", "", "", ""});
  rows.push_back({0, "h7", "again.tvs", 0.0, "", "", "Spring", "", ""});
  const std::vector<std::int64_t> ids = s.PutPatterns(rows);
  ASSERT_EQ(ids.size(), rows.size());
  EXPECT_EQ(ids[1200], ids[7]);
  EXPECT_EQ(std::set<std::int64_t>(ids.begin(), ids.end()).size(), 1200u);
  EXPECT_EQ(s.PutPatterns(rows), ids);
  const std::vector<PatternRow> stored = s.Patterns();
  ASSERT_EQ(stored.size(), 1200u);
  const auto h7 = std::find_if(stored.begin(), stored.end(), [](const PatternRow& p) { return p.contentHash == "h7"; });
  ASSERT_NE(h7, stored.end());
  EXPECT_EQ(h7->id, ids[7]);
  EXPECT_EQ(h7->name, "again.tvs");
  EXPECT_EQ(h7->spotId, "S7");
  EXPECT_EQ(h7->campaign, "Spring");
  EXPECT_EQ(h7->durationSeconds, 4.0);

  std::vector<DetectionRow> batch;
  for (int i = 0; i < 2100; ++i) batch.push_back(Row("S" + std::to_string(i % 7), "h" + std::to_string(i % 1300), i, kT0 + i));
  batch.push_back(batch[5]);
  const std::vector<std::int64_t> detections = s.AddDetections(batch);
  ASSERT_EQ(detections.size(), batch.size());
  EXPECT_TRUE(std::is_sorted(detections.begin(), detections.end() - 1));
  EXPECT_EQ(std::set<std::int64_t>(detections.begin(), detections.end()).size(), 2100u);
  EXPECT_EQ(detections.back(), detections[5]);
  EXPECT_EQ(s.AddDetections(batch), detections);
  EXPECT_EQ(s.Detections({}).size(), 2100u);
  EXPECT_EQ(s.Patterns().size(), 1300u);  // made on first use
}

// Rows kept whole, each key stored once, the queries; open() opens the same empty database
// each time it is called.
inline void CheckRoundTrip(const std::function<std::unique_ptr<Store>()>& open, const std::string& describe) {
  {
    auto s = open();
    EXPECT_EQ(s->Describe(), describe);
    const std::string odd = "Radio \"Zoë\", 1\nline";
    s->PutStation({0, odd, "http://a/x"});
    PatternRow p;
    p.contentHash = "aa";
    p.name = "a.tvs";
    p.durationSeconds = 2.5;
    p.spotId = "S1";
    p.campaign = "Winter";
    p.advertiser = "Acme";
    const std::int64_t aa = s->PutPattern(p);
    // A later load (written as one batch) without the catalogue keeps what it gave; a station
    // without a URL keeps its URL.
    const std::vector<std::int64_t> ids =
        s->PutPatterns({{0, "aa", "renamed.tvs", 0.0, "", "", "", "", ""}, {0, "bb", "b.tvs", 4.0, "", "", "", "", ""}});
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], aa);
    EXPECT_NE(ids[1], aa);
    s->PutStation({0, odd, ""});

    DetectionRow a = Row(odd, "aa", 1000, kT0 + 5000000);
    const std::int64_t id = s->AddDetection(a);
    EXPECT_GT(id, 0);
    a.json = "something else";  // the same key again: the first row stands
    EXPECT_EQ(s->AddDetection(a), id);
    s->AddDetection(Row("B", "bb", 500, kT0 + 1000000));   // patterns and stations made on first use
    // A batch (one transaction), a key in it twice: stored once, the same id both times; a key
    // stored before keeps its row and id; the new rows' ids ascend in the batch's order.
    const std::vector<std::int64_t> batch =
        s->AddDetections({Row("B", "aa", 900000, kT0 + 9000000), Row("C", "aa", 77, std::nullopt),  // no UTC time: keyed by its sample
                          Row("C", "aa", 78, std::nullopt), Row("C", "aa", 77, std::nullopt), a});
    ASSERT_EQ(batch.size(), 5u);
    EXPECT_EQ(batch[3], batch[1]);
    EXPECT_EQ(batch[4], id);
    EXPECT_TRUE(id < batch[0] && batch[0] < batch[1] && batch[1] < batch[2]);
    s->SetEvidence(a.key, "B/2026-12-07/x.flac");

    std::vector<DetectionRow> all = s->Detections({});
    ASSERT_EQ(all.size(), 5u);
    // By begin_utc, the rows without one last (in the order stored).
    EXPECT_EQ(all[0].station, "B");
    EXPECT_EQ(all[1].station, odd);
    EXPECT_EQ(all[3].beginSample, 77);
    EXPECT_FALSE(all[3].beginUtc.has_value());
    const DetectionRow& r = all[1];
    const DetectionRow want = Row(odd, "aa", 1000, kT0 + 5000000);
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.key, want.key);
    EXPECT_EQ(r.json, want.json);
    EXPECT_EQ(r.patternHash, "aa");
    EXPECT_EQ(r.endUtc, want.endUtc);
    EXPECT_EQ(r.beginSeconds, want.beginSeconds);
    EXPECT_EQ(r.seen, 0.75);
    EXPECT_EQ(r.match, "level");
    EXPECT_EQ(r.clock, "stream");
    EXPECT_EQ(r.evidence, "B/2026-12-07/x.flac");
    EXPECT_GT(r.storedUtc, kT0);

    DetectionFilter f;
    f.stations = {"B"};
    EXPECT_EQ(s->Detections(f).size(), 2u);
    f.from = kT0 + 2000000;
    f.to = kT0 + 9000000;  // excluded
    EXPECT_EQ(s->Detections(f).size(), 0u);
    f.stations.clear();
    EXPECT_EQ(s->Detections(f).size(), 1u);
    DetectionFilter bySpot;
    bySpot.spotIds = {"S1"};
    bySpot.campaigns = {"Winter"};
    EXPECT_EQ(s->Detections(bySpot).size(), 4u);
    DetectionFilter page;
    page.afterId = id;
    page.limit = 2;
    EXPECT_EQ(s->Detections(page).size(), 2u);

    const std::vector<StationRow> stations = s->Stations();
    ASSERT_EQ(stations.size(), 3u);
    EXPECT_EQ(stations[2].label, odd);
    EXPECT_EQ(stations[2].url, "http://a/x");
    const std::vector<PatternRow> patterns = s->Patterns();
    ASSERT_EQ(patterns.size(), 2u);
    const PatternRow& pa = patterns[0].contentHash == "aa" ? patterns[0] : patterns[1];
    EXPECT_EQ(pa.name, "renamed.tvs");
    EXPECT_EQ(pa.spotId, "S1");
    EXPECT_EQ(pa.durationSeconds, 2.5);
    const PatternRow& pb = &pa == &patterns[0] ? patterns[1] : patterns[0];
    EXPECT_EQ(pb.id, ids[1]);
    EXPECT_EQ(pb.durationSeconds, 4.0);

    EXPECT_GT(s->AddEvent({0, "B", kT0, "connected", "{\"event\":\"connected\"}"}), 0);
    s->AddEvent({0, "B", kT0, "connected", "{}"});  // replayed: not again
    s->AddEvent({0, "", kT0 + 1, "started", "{}"});
    EXPECT_EQ(s->Events({}, std::nullopt, std::nullopt).size(), 2u);
    EXPECT_EQ(s->Events({"B"}, kT0, kT0 + 1).size(), 1u);
    EXPECT_EQ(s->Events({"B"}, kT0, kT0 + 1)[0].json, "{\"event\":\"connected\"}");
    EXPECT_EQ(s->Flush(), 0u);
  }
  // Opened again (the schema is there): the same rows.
  EXPECT_EQ(open()->Detections({}).size(), 5u);
}

}  // namespace storetest

#endif
