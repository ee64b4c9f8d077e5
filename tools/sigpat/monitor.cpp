// sigpat monitor: many live stations in one process. The patterns are loaded, checked and set up
// once and shared; each station has its reader thread and its recognizer (a copy of the one set
// up, sharing its pattern arrays), recognized on a pool of worker threads sized to the cores.
// Detections go to standard output as they are made (text or JSON lines with the station's label
// and the UTC time the clip began); status lines (JSON: connections, drops, gaps, heartbeats,
// reloads) go to standard error or a --status file.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <thread>

#include "commands.h"
#include "event_hook.h"
#include "evidence.h"
#include "messages.h"
#include "signals.h"
#include "station.h"
#include "store_recorder.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

// Status lines, one JSON object each, written whole under the output lock.
class StatusLog {
 public:
  explicit StatusLog(const std::string& path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) throw Error(path + ": cannot open the status file (" + std::strerror(errno) + ")");
  }
  ~StatusLog() {
    if (file_ != nullptr) std::fclose(file_);
  }
  // Every line written is also given to this (its time, seconds since 1970), when set.
  std::function<void(const std::string& label, const std::string& event, double wall, const std::string& line)> also;

  // Returns the line written.
  std::string Write(const std::string& label, const std::string& event, const nlohmann::ordered_json& fields) {
    const double now = WallClockNow();
    const std::string line = FormatStatusJson(now, label, event, fields);
    if (also) also(label, event, now, line);
    std::lock_guard<std::mutex> lock(OutputLock());
    std::FILE* out = file_ != nullptr ? file_ : stderr;
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    return line;
  }

 private:
  std::FILE* file_ = nullptr;
};

// The pattern files the arguments name now (with their speed variants), not read yet.
std::vector<std::string> PatternFiles(const MonitorArgs& args) {
  ScanArgs gather;
  gather.patterns = args.patterns;
  gather.patternList = args.patternList;
  std::vector<std::string> files = GatherPatternFiles(gather);
  if (files.empty()) throw UsageError("no patterns given (use -p PATTERN.tvs or --patterns LIST)");
  if (args.rule == "detector") files = WithSpeedVariants(files);
  return files;
}

// Reads, checks and sets the patterns up (once for all stations).
std::shared_ptr<const PatternSet> LoadPatterns(const MonitorArgs& args, std::vector<std::string> files) {
  auto set = std::make_shared<PatternSet>();
  set->files = std::move(files);
  set->snapshot = std::make_shared<PatternSnapshot>(set->files);
  set->seconds = CheckPatternSet(set->files, set->snapshot->names());
  set->options.openAs = set->snapshot->names();
  set->options.rule = args.rule;
  set->options.threshold = args.threshold;
  set->options.detectorAlone = args.noRelDev;
  set->options.detailCheck = !args.noDetailCheck;
  set->longest = LongestOf(set->seconds);
  set->model = ScanSession::SetUp(set->files, set->options);  // a set the library refuses fails here
  return set;
}

// What identifies a pattern set on disk: its files, their sizes and modification times.
std::string PatternStamp(const std::vector<std::string>& files) {
  std::string stamp;
  for (const auto& f : files) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(f, ec);
    const auto time = std::filesystem::last_write_time(f, ec).time_since_epoch().count();
    stamp += f + "|" + std::to_string(size) + "|" + std::to_string(time) + "\n";
  }
  return stamp;
}

}  // namespace

int RunMonitor(const MonitorArgs& args) {
  if (!MakeDecisionRule(args.rule)) throw UsageError("unknown decision rule \"" + args.rule + "\"");
  if (args.noRelDev && args.rule != "detector") throw UsageError("--no-rel-dev is for the detector's rule");
  if (args.noDetailCheck && args.rule != "detector") throw UsageError("--no-detail-check is for the detector's rule");
  if (args.threshold >= 0.0f && args.rule != "library")
    throw UsageError("--threshold sets the library's own rule (add --decision library); the detector keeps a "
                     "threshold per pattern, tuned on background audio with 'sigpat calibrate'");
  std::vector<StationEntry> entries;
  try {
    entries = GatherStations(args.stationsFile, args.stations);
  } catch (const Error& e) {
    throw UsageError(e.what());
  }
  if (entries.empty())
    throw UsageError(args.stationsFile.empty() ? "no stations given (use --stations FILE or --station LABEL=URL)"
                                               : args.stationsFile + ": lists no stations (one 'LABEL URL-or-path' a line, # comments)");
  // A descriptor per pattern held in memory (two sets during a reload) and per station.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::shared_ptr<const PatternSet> patterns = LoadPatterns(args, PatternFiles(args));
  std::string patternStamp = PatternStamp(patterns->files);

  // --db: patterns, stations, detections and status lines into the store. A detection or event
  // the store refuses stops the monitor (the detection is still printed).
  std::unique_ptr<StoreRecorder> recorder;
  std::atomic<bool> storeFailed{false};
  if (!args.catalogue.empty() && args.db.empty()) throw UsageError("--catalogue fills the store's patterns: give --db too");
  if (!args.db.empty()) {
    recorder = std::make_unique<StoreRecorder>(args.db, args.catalogue);
    recorder->AddPatterns(patterns->files, patterns->seconds, patterns->snapshot->names());
    for (const auto& entry : entries) recorder->AddStation(entry.label, entry.source);
  }
  // --serve: the dashboard over the same store, from this process (stopped when monitor returns).
  std::shared_ptr<void> dashboard;
  if (!args.serve.empty() || !args.serveTokenFile.empty()) {
    if (args.db.empty()) throw UsageError("--serve shows the store: give --db too");
    ServeArgs serve;
    serve.db = args.db;
    serve.listen = args.serve.empty() ? serve.listen : args.serve;
    serve.tokenFile = args.serveTokenFile;
    serve.evidenceDir = args.evidence.dir;  // the evidence this monitor writes (made now if new)
    std::error_code ec;
    if (!serve.evidenceDir.empty()) std::filesystem::create_directories(serve.evidenceDir, ec);
    dashboard = ServeInBackground(serve);
  }
  auto storeError = [&storeFailed](const Error& e) {
    if (!storeFailed.exchange(true)) PrintError(std::string(e.what()) + "; stopping");
  };

  StatusLog log(args.statusFile);
  if (recorder)
    log.also = [&](const std::string& label, const std::string& event, double wall, const std::string& line) {
      if (storeFailed) return;
      try {
        recorder->RecordEvent(label, event, wall, line);
      } catch (const Error& e) {
        storeError(e);
      }
    };
  // Health events also run the user's command (--on-event), which never holds anything up.
  std::unique_ptr<EventHook> hook;
  if (!args.onEvent.empty())
    hook = std::make_unique<EventHook>(args.onEvent, args.onEventTimeout, [&log](const std::string& event, const std::string& error) {
      nlohmann::ordered_json fields;
      fields["for_event"] = event;
      fields["error"] = error;
      log.Write("", "on_event_failed", fields);
    });
  auto status = [&log, &hook](const std::string& label, const std::string& event, nlohmann::ordered_json fields) {
    const std::string line = log.Write(label, event, fields);
    if (hook && IsHealthEvent(event)) hook->Post(event, line);
  };
  // A PostgreSQL store whose server is away (at the start too) or back: a status line of the
  // monitor as a whole; detections meanwhile wait in the spool.
  if (recorder)
    recorder->OnReachability([&status](bool reachable, const std::string& message) {
      nlohmann::ordered_json fields;
      fields["message"] = message;
      status("", reachable ? "store_reachable" : "store_unreachable", fields);
    });
  std::atomic<int> outputError{0};  // errno of a failed write of a detection
  if (recorder) recorder->OnError(storeError);
  auto emit = [&args, &outputError, &recorder, &storeFailed, &storeError](const Detection& d) {
    const std::string json = recorder || args.json ? FormatDetectionJson(d) : std::string();
    auto print = [&outputError, line = args.json ? json : FormatDetectionText(d)] {
      std::lock_guard<std::mutex> lock(OutputLock());
      if (std::fprintf(stdout, "%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0)
        outputError = errno != 0 ? errno : EIO;
    };
    // Stored before it is printed: the line waits for its batch (store_recorder.h).
    if (recorder && !storeFailed) {
      try {
        recorder->Record(d, json, print);
        return;
      } catch (const Error& e) {
        storeError(e);
      }
    }
    print();
  };
  StationSettings settings;
  settings.audio = args.audio;
  settings.retryFirst = args.retryFirst;
  settings.retryMax = std::max(args.retryMax, args.retryFirst);
  settings.audio.networkTimeout = args.timeout;
  settings.deadAir = args.deadAir;
  settings.maxBehind = args.maxBehind;
  settings.behindReport = args.maxBehind > 0.0 ? std::min(settings.behindReport, args.maxBehind / 2.0) : settings.behindReport;
  // Evidence audio: one writer for all stations; each written file is told as a status line.
  std::unique_ptr<EvidenceWriter> evidence;
  if (args.evidence.enabled()) {
    evidence = std::make_unique<EvidenceWriter>(
        args.evidence,
        [&status, &recorder, &storeFailed, &storeError](const Detection& d, const std::string& relative,
                                                        const std::string&, double offset, double afterReport) {
          if (recorder && !storeFailed) {
            try {
              recorder->RecordEvidence(d, EvidenceReference(relative, offset));
            } catch (const Error& e) {
              storeError(e);
            }
          }
          nlohmann::ordered_json fields;
          fields["file"] = d.file;
          fields["begin_s"] = std::round(d.beginSeconds * 1e6) / 1e6;
          fields["path"] = relative;
          fields["offset_s"] = std::round(offset * 1000.0) / 1000.0;
          fields["after_report_s"] = std::round(afterReport * 1000.0) / 1000.0;
          status(d.input, "evidence", fields);
        },
        [&status](const Detection& d, const std::string& message) {
          nlohmann::ordered_json fields;
          fields["file"] = d.file;
          fields["begin_s"] = std::round(d.beginSeconds * 1e6) / 1e6;
          fields["error"] = message;
          status(d.input, "evidence_failed", fields);
        });
    settings.evidence = evidence.get();
  }

  ReloadOnHangup();
  std::signal(SIGPIPE, SIG_IGN);  // a closed output is a write error, not death
  const int threads = args.threads > 0 ? args.threads : std::max(1u, std::thread::hardware_concurrency());
  std::list<std::unique_ptr<Station>> stations;  // declared before the pool: the pool goes first
  WorkerPool pool(threads);
  auto schedule = [&pool](Station* s) { pool.Schedule(s); };
  auto start = [&](const StationEntry& entry) {
    stations.push_back(std::make_unique<Station>(entry, patterns, settings, status, emit));
    stations.back()->Start(schedule);
  };
  {
    nlohmann::ordered_json fields;
    fields["stations"] = entries.size();
    fields["patterns"] = patterns->files.size();
    fields["threads"] = threads;
    status("", "started", fields);
  }
  for (const auto& entry : entries) start(entry);

  bool anyFailed = false, outputFailed = false;
  double nextBeat = args.heartbeat > 0 ? WallClockNow() + args.heartbeat : -1.0;
  int stopSignal = 0;
  while (true) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (stopSignal == 0 && (stopSignal = StopSignal()) != 0) {
      nlohmann::ordered_json fields;
      fields["signal"] = stopSignal;
      status("", "stopping", fields);
      for (auto& s : stations) s->Stop();
    }
    if (storeFailed && !outputFailed) {
      outputFailed = true;  // the message is out already
      for (auto& s : stations) s->Stop();
    }
    if (outputError != 0 && !outputFailed) {
      // Detections that cannot be written would be lost: stop instead of watching on.
      outputFailed = true;
      PrintError(std::string("standard output: write error (") + std::strerror(outputError) + "); stopping");
      for (auto& s : stations) s->Stop();
    }
    if (stopSignal == 0 && TakeReloadRequest()) {
      // The stations file and the patterns again; stations that did not change keep running, and
      // patterns whose files did not change (names, sizes, times) are neither read nor set up again.
      try {
        std::vector<StationEntry> wanted = GatherStations(args.stationsFile, args.stations);
        std::vector<std::string> files = PatternFiles(args);
        const std::string stamp = PatternStamp(files);
        const bool newPatterns = stamp != patternStamp;
        if (newPatterns) {
          std::shared_ptr<const PatternSet> reloaded = LoadPatterns(args, std::move(files));
          if (recorder) recorder->AddPatterns(reloaded->files, reloaded->seconds, reloaded->snapshot->names());
          patterns = reloaded;
          patternStamp = stamp;
        }
        int added = 0, removed = 0;
        for (auto& s : stations) {
          if (std::find(wanted.begin(), wanted.end(), s->entry()) == wanted.end()) {
            s->Stop();
            ++removed;
          } else if (newPatterns) {
            s->ReplacePatterns(patterns);
          }
        }
        for (const auto& entry : wanted) {
          const bool running = std::any_of(stations.begin(), stations.end(),
                                           [&](const auto& s) { return s->entry() == entry && !s->finished(); });
          if (!running) {
            if (recorder) recorder->AddStation(entry.label, entry.source);
            start(entry), ++added;
          }
        }
        nlohmann::ordered_json fields;
        fields["added"] = added;
        fields["removed"] = removed;
        fields["patterns"] = patterns->files.size();
        fields["patterns_changed"] = newPatterns;
        status("", "reloaded", fields);
      } catch (const std::exception& e) {
        nlohmann::ordered_json fields;
        fields["error"] = e.what();
        status("", "reload_failed", fields);
      }
    }
    for (auto& s : stations)
      if (!s->finished()) s->Watch();
    if (nextBeat >= 0.0 && WallClockNow() >= nextBeat) {
      nextBeat += args.heartbeat;
      for (auto& s : stations)
        if (!s->finished()) status(s->entry().label, "heartbeat", s->Heartbeat());
    }
    for (auto it = stations.begin(); it != stations.end();) {
      if ((*it)->finished()) {
        anyFailed = anyFailed || (*it)->failed();
        it = stations.erase(it);
      } else {
        ++it;
      }
    }
    if (stations.empty()) break;
  }
  if (recorder) recorder->Drain();  // the detections waiting for their batch: stored, printed
  if (!outputFailed && (storeFailed || outputError != 0)) {  // in that last batch
    outputFailed = true;
    if (!storeFailed) PrintError(std::string("standard output: write error (") + std::strerror(outputError) + ")");
  }
  evidence.reset();  // what is queued is written first
  status("", "stopped", nlohmann::ordered_json::object());
  hook.reset();  // the commands of the last events run (each within its time limit)
  if (recorder && !storeFailed) {
    try {
      recorder->Finish();
    } catch (const Error& e) {
      PrintError(e);
      return kExitFailure;
    }
  }
  if (outputFailed) return kExitFailure;
  if (stopSignal != 0) return 128 + stopSignal;
  return anyFailed ? kExitFailure : kExitOk;
}

}  // namespace sigpat
