#include "store_recorder.h"

#include <cmath>
#include <filesystem>

#include "content_hash.h"
#include "messages.h"
#include "record_format.h"
#include "utc.h"

namespace sigpat {

namespace {

store::UtcMicros Micros(double wall) { return std::llround(wall * 1e6); }

std::string BaseName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

}  // namespace

store::DetectionRow DetectionRowOf(const Detection& d, const std::string& json) {
  store::DetectionRow row;
  row.station = d.input;
  row.patternName = BaseName(d.file);
  row.beginSample = d.report.Begin;
  row.endSample = d.report.End;
  row.beginSeconds = SixDecimals(d.beginSeconds);
  row.endSeconds = SixDecimals(d.endSeconds);
  if (d.beginWall >= 0.0) {
    row.beginUtc = Micros(d.beginWall);
    row.endUtc = Micros(d.endWall);
    row.clock = d.clock;
  }
  row.rule = d.rule;
  if (d.report.Confidence >= 0.0f) {
    row.confidence = SixDecimals(d.report.Confidence);
    row.distance = SixDecimals(d.report.Score);
    row.threshold = SixDecimals(d.report.Threshold);
    row.seen = SixDecimals(d.report.Seen);
    row.match = d.Match();
  }
  row.json = json;
  return row;
}

StoreRecorder::StoreRecorder(const std::string& db, const std::string& catalogue) {
  try {
    if (!catalogue.empty()) catalogue_ = store::ReadCatalogue(catalogue);
  } catch (const store::CatalogueError& e) {
    throw Error(e.what());
  }
  // A monitor or scan that starts before its PostgreSQL server (or while it is away) writes into
  // the spool and goes on; the server gets everything once it answers.
  store::StoreOptions options;
  options.startWithoutServer = true;
  options.onReachability = [this](bool reachable, const std::string& detail) { Reached(reachable, detail); };
  try {
    store_ = store::OpenStore(db, options);
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

void StoreRecorder::Reached(bool reachable, const std::string& detail) {
  Reachability listener;
  std::string message;
  {
    std::lock_guard<std::mutex> lock(reachMutex_);
    if (!listening_ || !store_) {  // opening, or no one asked yet
      untold_.emplace_back(reachable, detail);
      return;
    }
    listener = listener_;
    message = store_->Describe() + ": " + detail +
              (reachable ? "" : "; detections wait in the spool " + store_->SpoolPath() + " until it answers");
  }
  if (listener) listener(reachable, message);
  else PrintWarning(message);
}

void StoreRecorder::OnReachability(Reachability listener) {
  std::vector<std::pair<bool, std::string>> untold;
  {
    std::lock_guard<std::mutex> lock(reachMutex_);
    listener_ = std::move(listener);
    listening_ = true;
    untold.swap(untold_);
  }
  for (const auto& [reachable, detail] : untold) Reached(reachable, detail);
}

StoreRecorder::~StoreRecorder() = default;

void StoreRecorder::AddPatterns(const std::vector<std::string>& files, const std::vector<double>& seconds,
                                const std::vector<std::string>& openAs) {
  std::vector<store::PatternRow> rows;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& source = i < openAs.size() && !openAs[i].empty() ? openAs[i] : files[i];
    store::PatternRow p;
    p.name = BaseName(files[i]);
    try {
      p.contentHash = store::HashFile(source);
    } catch (const store::StoreError&) {
      throw Error(files[i] + ": cannot read the pattern file to store it");
    }
    if (i < seconds.size()) p.durationSeconds = seconds[i];
    if (auto it = catalogue_.find(p.name); it != catalogue_.end()) {
      p.spotId = it->second.spotId;
      p.advertiser = it->second.advertiser;
      p.campaign = it->second.campaign;
      p.version = it->second.version;
      p.title = it->second.title;
    }
    rows.push_back(std::move(p));
  }
  try {
    store_->PutPatterns(rows);
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < files.size(); ++i) hashes_[files[i]] = rows[i].contentHash;
}

void StoreRecorder::AddStation(const std::string& label, const std::string& url) {
  try {
    store_->PutStation({0, label, url});
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

void StoreRecorder::Record(const Detection& d, const std::string& json) {
  store::DetectionRow row = DetectionRowOf(d, json);
  row.key = KeyOf(d, row);
  try {
    store_->AddDetection(row);
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

void StoreRecorder::RecordEvidence(const Detection& d, const std::string& path) {
  store::DetectionRow row = DetectionRowOf(d, "");
  try {
    store_->SetEvidence(KeyOf(d, row), path);
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

std::string StoreRecorder::KeyOf(const Detection& d, store::DetectionRow& row) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hashes_.find(d.file);
    if (it == hashes_.end()) {
      try {
        it = hashes_.emplace(d.file, store::HashFile(d.file)).first;
      } catch (const store::StoreError& e) {
        throw Error(e.what());
      }
    }
    row.patternHash = it->second;
  }
  return store::DetectionKey(row);
}

void StoreRecorder::RecordEvent(const std::string& label, const std::string& event, double wall, const std::string& json) {
  try {
    store_->AddEvent({0, label, Micros(wall), event, json});
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

void StoreRecorder::Finish() {
  std::size_t waiting = 0;
  try {
    waiting = store_->Flush();
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
  if (waiting > 0)
    PrintWarning(store_->Describe() + ": " + std::to_string(waiting) + " rows wait in the spool " + store_->SpoolPath() +
                 " until the database can be reached (the next run with this --db writes them)");
}

}  // namespace sigpat
