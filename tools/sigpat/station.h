// One monitored station: a reader thread that connects to the stream (and reconnects with a
// bounded backoff after a drop), and a recognizer fed with what it read.
//
// The reader only decodes and queues blocks of 44100 Hz samples with the time they arrived; the
// recognition runs on the monitor's worker threads (Process), one worker at a time per station,
// so a pool sized to the cores serves any number of stations. Positions count the samples
// received, across reconnections; a drop is reported as a gap at its position. A live station
// whose recognition falls behind real time says so ("behind", "caught_up"); audio that waited
// longer than StationSettings::maxBehind is dropped unrecognized ("dropped": a gap at its
// position, not counted in positions), so that the station's reports stay timely. A station's
// recognizer is kept across reconnections and dropped stretches, so a candidate pending at a drop is still reported.
//
// Wall-clock times of detections come from the stream's own clock where it has one (an HLS
// stream's program date and time: "clock": "stream"), else from the time the samples arrived
// (Icecast/SHOUTcast and other streams: "clock": "arrival").
#ifndef SIGPAT_STATION_H
#define SIGPAT_STATION_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "evidence.h"
#include "pattern_snapshot.h"
#include "scanner.h"
#include "stream_health.h"
#include "station_list.h"
#include "wall_clock.h"

namespace sigpat {

// The patterns every station recognizes: read, loaded, checked and set up once, shared by all.
// Each station's recognizer is a copy of `model` that shares its read-only pattern arrays
// (SharingScope); the detail prints are read from the copies in memory (options.openAs).
struct PatternSet {
  std::vector<std::string> files;
  std::shared_ptr<const PatternSnapshot> snapshot;
  std::shared_ptr<const RecognitionStream> model;  // set up, never fed
  ScanOptions options;
  std::vector<double> seconds;  // each pattern's length
  double longest = 0.0;         // seconds of the longest pattern
};

struct StationSettings {
  AudioOptions audio;       // with the network timeout: a stream silent that long is dropped
  double retryFirst = 1.0;   // seconds before the first reconnection attempt
  double retryMax = 30.0;    // the backoff doubles up to this
  std::size_t maxQueuedBlocks = 2000;  // about 52 s of audio (4.6 MB); the reader waits beyond
  // A live stream whose oldest queued audio has waited this long (seconds) is behind real time
  // beyond repair: that audio is dropped, oldest first, until the oldest has waited half as
  // long ("dropped"). 0: never dropped (the reader waits for the recognition instead).
  double maxBehind = 30.0;
  double behindReport = 5.0;  // "behind" once the oldest queued audio has waited this long
  double deadAir = 0.0;      // seconds below kDeadAirDb that make dead air; 0: not watched
  EvidenceWriter* evidence = nullptr;  // the audio of each detection goes there; null: none
};

// A status line: the event and its fields (the station's label and the time are added).
using StatusSink = std::function<void(const std::string& label, const std::string& event, nlohmann::ordered_json fields)>;

class Station {
 public:
  Station(StationEntry entry, std::shared_ptr<const PatternSet> patterns, const StationSettings& settings,
          StatusSink status, ScanSession::Emit emit);
  ~Station();

  const StationEntry& entry() const { return entry_; }
  // Starts the reader thread; `schedule` is called (from it) whenever blocks are waiting and the
  // station is not scheduled yet.
  void Start(std::function<void(Station*)> schedule);
  // Ends the reading: the reader stops (interrupting a network read) and the queued blocks are
  // still recognized; then the recognizer finishes and reports what is pending.
  void Stop();
  // Recognition of the queued blocks (a worker thread). Returns after a bounded amount of work;
  // the station is scheduled again if more is queued.
  void Process();
  // The patterns for the blocks that follow: the current recognizer finishes, a new one starts
  // at the current position.
  void ReplacePatterns(std::shared_ptr<const PatternSet> patterns);

  // Called often (the monitor's loop): tells when a live station falls behind real time
  // ("behind": how long its oldest queued audio has waited), when it has caught up, and what
  // audio was dropped ("dropped").
  void Watch();

  bool finished() const { return finished_; }
  bool failed() const { return failed_; }
  // Heartbeat fields: audio seconds received, detections, reconnections, corrupt frames, last error.
  nlohmann::ordered_json Heartbeat();

 private:
  struct Chunk {
    std::vector<std::int16_t> samples;
    double wall = 0.0;  // when they arrived
    double clock = -1.0;  // the stream's own time of the first sample; < 0: it has none
    bool end = false;   // no more blocks: finish
  };
  void Read();
  void ReadConnection(AudioInput& input);
  void Push(Chunk chunk);
  // Drops the queued audio that waited longer than settings_.maxBehind (mutex_ held), noted in
  // drop_ for Watch to tell; `pending`: samples read and not queued yet (they follow the queue).
  void DropStale(double now, std::int64_t pending);
  // Seconds the oldest queued audio has waited (mutex_ held); 0 with nothing queued.
  double Behind(double now) const;
  // Health events of a live stream's connection that ended (problem empty: closed by the server).
  void ReportHealth(const std::string& problem, double attemptStart, std::int64_t delivered);
  bool Sleep(double seconds);  // false when stopped meanwhile
  void EmitShifted(const Detection& d);

  StationEntry entry_;
  StationSettings settings_;
  StatusSink status_;
  ScanSession::Emit emit_;
  std::function<void(Station*)> schedule_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> interrupt_{false};  // ends a network read: set by Stop, or by Watch for an attempt that hangs

  std::mutex mutex_;  // guards the queue, the state below and the pattern replacement
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  std::int64_t queuedSamples_ = 0;  // in queue_
  bool scheduled_ = false;
  std::shared_ptr<const PatternSet> patterns_, nextPatterns_;
  std::string lastError_;
  bool connected_ = false;       // the reader has a live connection
  double connectingSince_ = -1.0;  // wall time the reader began to connect; < 0: not connecting
  bool openTimedOut_ = false;    // Watch gave the connection attempt up
  double behindSince_ = -1.0;    // wall time the station fell behind; < 0: it keeps up
  double behindMost_ = 0.0;      // the most it was behind since then, seconds
  struct DropReport {             // dropped audio not told yet
    std::int64_t samples = 0, position = 0;
    double from = 0.0, to = 0.0, behind = 0.0;
  } drop_;
  double lastDropReport_ = -1e300;

  // Recognition (one worker at a time).
  std::unique_ptr<ScanSession> session_;
  std::int64_t sessionBase_ = 0;  // position of the current recognizer's first sample
  std::int64_t recognized_ = 0;   // samples fed to recognizers
  ClockTrack clock_{kLibraryRate};  // the stream's own clock along the positions
  std::unique_ptr<EvidenceRecorder> evidence_;  // null: no evidence kept
  DeadAirWatch deadAir_;

  std::atomic<std::int64_t> received_{0};
  std::atomic<std::int64_t> dropped_{0};  // of them dropped unrecognized (behind real time)
  // Positions count the samples recognized or queued for it: received and not dropped.
  std::int64_t Position() const { return received_ - dropped_; }
  std::atomic<double> lastSampleWall_{0.0};
  std::atomic<std::int64_t> corrupt_{0};
  std::atomic<int> detections_{0};
  std::atomic<int> reconnects_{0};
  std::atomic<bool> finished_{false};
  std::atomic<bool> failed_{false};
  std::int64_t beatSamples_ = 0;
  double beatWall_ = 0.0;
};

// Runs Process of scheduled stations on a fixed number of threads.
class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  ~WorkerPool();  // waits for the work scheduled before
  void Schedule(Station* station);

 private:
  void Work();
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Station*> queue_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace sigpat

#endif
