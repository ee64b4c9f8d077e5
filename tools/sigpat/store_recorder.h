// What scan and monitor write into the detections store (--db): the patterns (by content, with
// the catalogue's metadata), the stations, every detection with the JSON line printed for it,
// the monitor's status lines as station events.
#ifndef SIGPAT_STORE_RECORDER_H
#define SIGPAT_STORE_RECORDER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue.h"
#include "messages.h"
#include "scanner.h"
#include "store.h"

namespace sigpat {

class StoreRecorder {
 public:
  // Opens the database (creating and migrating it) and reads the catalogue ("" for none).
  // Throws Error naming the database or the catalogue file.
  StoreRecorder(const std::string& db, const std::string& catalogue);
  ~StoreRecorder();

  // The patterns of a load, in one write: each file's content hash (from the bytes at openAs[i],
  // the copy the recognizer reads, when given), name, length (seconds[i], as CheckPatternFiles
  // told) and catalogue entry.
  void AddPatterns(const std::vector<std::string>& files, const std::vector<double>& seconds,
                   const std::vector<std::string>& openAs = {});
  void AddStation(const std::string& label, const std::string& url);
  // Stores the detection (json: its line as printed), then calls print. Detections are written
  // in batches, one transaction each: kBatch of them, or those that came within kBatchSeconds
  // of the first; a line is printed only once its batch is committed (or spooled), so a process
  // killed has printed nothing it had not stored. A batch the store refuses goes to the error
  // listener (OnError; else stderr) and is printed all the same.
  static constexpr std::size_t kBatch = 64;
  static constexpr double kBatchSeconds = 0.25;
  void Record(const Detection& d, const std::string& json, std::function<void()> print);
  void OnError(std::function<void(const Error&)> listener);
  // Writes and prints the detections waiting for their batch (RecordEvidence and Finish do it
  // first; a process stopping calls it before what its print functions use is gone).
  void Drain();
  // The evidence file of a detection recorded before (path relative to the evidence directory);
  // the waiting batch is written first.
  void RecordEvidence(const Detection& d, const std::string& path);
  // A status line of the monitor (wall: its time, seconds since 1970).
  void RecordEvent(const std::string& label, const std::string& event, double wall, const std::string& json);
  // At the end: drains the batch, writes what waits in the spool if the database is back; notes
  // what still waits.
  void Finish();

  // PostgreSQL: the server stopped answering (reachable false; detections wait in the spool) or
  // answers again (the spool is written). Changes wait until this is called (those of the
  // opening too), then go to the listener, or without one to stderr as warnings.
  using Reachability = std::function<void(bool reachable, const std::string& message)>;
  void OnReachability(Reachability listener);

  store::Store& Store() { return *store_; }

 private:
  // The detection's key (and row.patternHash, from the pattern file's content).
  std::string KeyOf(const Detection& d, store::DetectionRow& row);
  std::unique_ptr<store::Store> store_;
  std::map<std::string, store::CatalogueEntry> catalogue_;
  std::mutex mutex_;
  std::map<std::string, std::string> hashes_;  // pattern file as given -> content hash
  void Reached(bool reachable, const std::string& detail);
  std::mutex reachMutex_;
  Reachability listener_;
  std::vector<std::pair<bool, std::string>> untold_;  // changes before a listener was set
  bool listening_ = false;

  // The batch: rows waiting with their print functions, written by the batch thread or Drain.
  struct Waiting {
    store::DetectionRow row;
    std::function<void()> print;
  };
  void BatchLoop();
  void WriteBatch();  // takes the waiting rows, writes them, prints them (under writeMutex_)
  std::mutex writeMutex_;  // one batch written and printed at a time, in order
  std::mutex batchMutex_;
  std::condition_variable batchReady_;
  std::vector<Waiting> waiting_;
  std::chrono::steady_clock::time_point firstWaiting_;
  bool stopping_ = false;
  std::function<void(const Error&)> onError_;
  std::thread batchThread_;
};

// The store's row of a detection printed as `json`.
store::DetectionRow DetectionRowOf(const Detection& d, const std::string& json);

}  // namespace sigpat

#endif
