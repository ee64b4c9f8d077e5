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
  batchThread_ = std::thread([this] { BatchLoop(); });
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

// Stopped without Drain (an error on the way out): what waits is stored, not printed (the print
// functions may use what is gone by now).
StoreRecorder::~StoreRecorder() {
  {
    std::lock_guard<std::mutex> lock(batchMutex_);
    stopping_ = true;
  }
  batchReady_.notify_all();
  batchThread_.join();
  std::vector<store::DetectionRow> rows;
  for (Waiting& w : waiting_) rows.push_back(std::move(w.row));
  try {
    if (!rows.empty()) store_->AddDetections(rows);
  } catch (const std::exception&) {
  }
}

void StoreRecorder::OnError(std::function<void(const Error&)> listener) {
  std::lock_guard<std::mutex> lock(batchMutex_);
  onError_ = std::move(listener);
}

void StoreRecorder::BatchLoop() {
  std::unique_lock<std::mutex> lock(batchMutex_);
  while (!stopping_) {
    if (waiting_.empty()) {
      batchReady_.wait(lock);
      continue;
    }
    const auto due = firstWaiting_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(kBatchSeconds));
    if (waiting_.size() < kBatch && std::chrono::steady_clock::now() < due) {
      batchReady_.wait_until(lock, due);
      continue;
    }
    lock.unlock();
    WriteBatch();
    lock.lock();
  }
}

void StoreRecorder::WriteBatch() {
  std::lock_guard<std::mutex> write(writeMutex_);
  std::vector<Waiting> batch;
  std::function<void(const Error&)> onError;
  {
    std::lock_guard<std::mutex> lock(batchMutex_);
    batch.swap(waiting_);
    onError = onError_;
  }
  if (batch.empty()) return;
  std::vector<store::DetectionRow> rows;
  for (const Waiting& w : batch) rows.push_back(w.row);
  try {
    store_->AddDetections(rows);
  } catch (const store::StoreError& e) {
    if (onError) onError(Error(e.what()));
    else PrintError(e.what());
  }
  for (const Waiting& w : batch)
    if (w.print) w.print();
}

void StoreRecorder::Drain() { WriteBatch(); }

void StoreRecorder::AddPatterns(const std::vector<std::string>& files, const std::vector<double>& seconds,
                                const std::vector<std::string>& openAs) {
  std::vector<store::PatternRow> rows;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& source = i < openAs.size() && !openAs[i].empty() ? openAs[i] : files[i];
    store::PatternRow p;
    p.name = BaseName(files[i]);
    try {
      p.contentHash = store::HashFileCached(source);
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

void StoreRecorder::Record(const Detection& d, const std::string& json, std::function<void()> print) {
  store::DetectionRow row = DetectionRowOf(d, json);
  row.key = KeyOf(d, row);
  {
    std::lock_guard<std::mutex> lock(batchMutex_);
    if (waiting_.empty()) firstWaiting_ = std::chrono::steady_clock::now();
    waiting_.push_back({std::move(row), std::move(print)});
    // The batch thread: a first row starts its clock, a full batch is written now.
    if (waiting_.size() != 1 && waiting_.size() < kBatch) return;
  }
  batchReady_.notify_one();
}

void StoreRecorder::RecordEvidence(const Detection& d, const std::string& path) {
  Drain();
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
  Drain();
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
