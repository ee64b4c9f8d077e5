// sigpat scan: the patterns against every input, each detection printed as soon as it is made.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands.h"
#include "evidence.h"
#include "messages.h"
#include "output.h"
#include "signals.h"
#include "store_recorder.h"
#include "utc.h"
#include "wall_clock.h"

namespace sigpat {

namespace fs = std::filesystem;

int RunScan(const ScanArgs& args) {
  std::vector<std::string> files = GatherPatternFiles(args);
  if (files.empty()) throw UsageError("no patterns given (use -p PATTERN.tvs or --patterns LIST)");
  if (std::count(args.inputs.begin(), args.inputs.end(), std::string("-")) > 1)
    throw UsageError("standard input (-) can be scanned only once");
  if (!args.label.empty() && args.inputs.size() != 1) throw UsageError("--label names a single input");
  const AudioOptions raw;
  if ((args.audio.rawFormat != raw.rawFormat || args.audio.rawRate != raw.rawRate || args.audio.rawChannels != raw.rawChannels) &&
      std::find(args.inputs.begin(), args.inputs.end(), "-") == args.inputs.end())
    throw UsageError("--raw-format, --rate and --channels describe raw PCM on standard input (-); files, URLs and "
                     "audio streams carry their own");
  if (!MakeDecisionRule(args.rule)) throw UsageError("unknown decision rule \"" + args.rule + "\"");
  if (args.noRelDev && args.rule != "detector") throw UsageError("--no-rel-dev is for the detector's rule");
  if (args.noDetailCheck && args.rule != "detector") throw UsageError("--no-detail-check is for the detector's rule");
  if (args.threshold >= 0.0f && args.rule != "library")
    throw UsageError("--threshold sets the library's own rule (add --decision library); the detector keeps a "
                     "threshold per pattern, tuned on background audio with 'sigpat calibrate'");
  // --start-utc: the input's samples get UTC times from it ("clock": "start").
  double startWall = -1.0;
  if (!args.startUtc.empty()) {
    if (args.inputs.size() != 1) throw UsageError("--start-utc gives the time of a single input");
    if (args.timestamps) throw UsageError("--start-utc and --timestamps both give the input's times: choose one");
    const auto t = store::ParseUtc(args.startUtc);
    if (!t) throw UsageError("--start-utc \"" + args.startUtc + "\" is not an ISO 8601 UTC time (like 2026-12-07T06:00:00Z)");
    startWall = static_cast<double>(*t) / 1e6;
  }
  if (!args.catalogue.empty() && args.db.empty()) throw UsageError("--catalogue fills the store's patterns: give --db too");
  // The detector treats a pattern and its speed variants (made by create --speed) as one.
  if (args.rule == "detector") files = WithSpeedVariants(files);
  const std::vector<double> lengths = CheckPatternFiles(files);
  std::unique_ptr<StoreRecorder> recorder;
  if (!args.db.empty()) {
    recorder = std::make_unique<StoreRecorder>(args.db, args.catalogue);
    recorder->OnReachability({});  // a PostgreSQL server away or back: a warning on stderr
    recorder->AddPatterns(files, lengths);
    for (const auto& in : args.inputs) recorder->AddStation(args.label.empty() ? in : args.label, "");
  }
  std::atomic<bool> storeFailed{false};
  auto storeError = [&storeFailed](const Error& e) {
    if (!storeFailed.exchange(true)) PrintError(std::string(e.what()) + "; stopping");
  };
  if (recorder) recorder->OnError(storeError);

  ScanOptions options;
  options.threshold = args.threshold;
  options.rule = args.rule;
  options.label = args.label;
  options.wallClock = args.timestamps;
  options.detectorAlone = args.noRelDev;
  options.detailCheck = !args.noDetailCheck;
  // A signal or lost output ends every input where it is: what was found is still reported.
  options.stop = [&storeFailed]() { return StopRequested() || OutputFailed() || storeFailed; };
  // Evidence: each input's recorder lives on the thread that scans it.
  std::unique_ptr<EvidenceWriter> evidence;
  std::atomic<bool> evidenceFailed{false};
  static thread_local EvidenceRecorder* inputEvidence = nullptr;
  if (args.evidence.enabled()) {
    evidence = std::make_unique<EvidenceWriter>(
        args.evidence,
        [&recorder, &storeFailed](const Detection& d, const std::string& relative, const std::string& path, double offset,
                                       double) {
          if (GetVerbosity().verbose) PrintNote("evidence " + EvidenceReference(path, offset));
          if (!recorder || storeFailed) return;
          try {
            recorder->RecordEvidence(d, EvidenceReference(relative, offset));
          } catch (const Error& e) {
            if (!storeFailed.exchange(true)) PrintError(std::string(e.what()) + "; stopping");
          }
        },
        [&evidenceFailed](const Detection&, const std::string& message) {
          PrintError(message);
          evidenceFailed = true;
        });
    options.onSamples = [](const std::int16_t* samples, std::size_t n) {
      if (inputEvidence != nullptr) inputEvidence->Append(samples, n);
    };
  }
  const double longest = LongestOf(lengths);
  // The first input's recognizer checks the set: a set the library refuses fails before any
  // input is opened. The set is read and prepared once: every input's recognizer is a copy
  // (of one input, the recognizer itself).
  Scanner first(files, options);
  first.Prepare(args.inputs.size() == 1);
  if (args.rule == "detector") WarnAboutSidecars(files);

  // A progress bar only for files on a terminal.
  bool showProgress = !GetVerbosity().quiet && ::isatty(STDERR_FILENO) != 0 &&
                      std::find(args.inputs.begin(), args.inputs.end(), "-") == args.inputs.end();
  std::int64_t total = 0;
  if (showProgress)
    for (const auto& in : args.inputs) total += std::max<std::int64_t>(0, AudioInput::ProbeExpectedSamples(in));
  GlobalProgress().Start(showProgress, total);

  auto emit = [&](const Detection& found) {
    Detection d = found;
    if (startWall >= 0.0) {
      d.beginWall = startWall + d.beginSeconds;
      d.endWall = startWall + d.endSeconds;
      d.clock = "start";
    }
    if (recorder) {
      // Stored before it is printed (the line waits for its batch, store_recorder.h); a
      // detection the store refused is still printed, and the scan stops.
      const std::string json = FormatDetectionJson(d);
      std::string line = (args.json ? json : FormatDetectionText(d)) + "\n";
      try {
        if (storeFailed) WriteOut(line);
        else recorder->Record(d, json, [line] { WriteOut(line); });
      } catch (const Error& e) {
        storeError(e);
        WriteOut(line);
      }
    } else {
      WriteOut((args.json ? FormatDetectionJson(d) : FormatDetectionText(d)) + "\n");
    }
    if (inputEvidence != nullptr) inputEvidence->Detected(d);
  };
  auto progress = [](std::int64_t samples) { GlobalProgress().Add(samples); };

  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto worker = [&]() {
    for (std::size_t i = next++; i < args.inputs.size() && !options.stop(); i = next++) {
      const std::string& name = args.inputs[i];
      try {
        std::unique_ptr<AudioInput> in = AudioInput::Open(name, args.audio);
        std::optional<Scanner> own;
        Scanner& scanner = i == 0 ? first : own.emplace(files, options);
        if (i != 0) scanner.ShareSetUp(first);
        std::optional<EvidenceRecorder> record;
        if (evidence) inputEvidence = &record.emplace(*evidence, longest, false);
        struct Forget {
          ~Forget() { inputEvidence = nullptr; }
        } forget;
        ScanResult r = scanner.Scan(*in, emit, progress);
        if (record) record->Finish();
        if (GetVerbosity().verbose) {
          char note[224];
          std::snprintf(note, sizeof(note), "%s: %d detections in %.1f s of audio (%s)%s", name.c_str(), r.detections,
                        static_cast<double>(r.samples) / kLibraryRate, in->description().c_str(),
                        r.detailRejected > 0
                            ? (", " + std::to_string(r.detailRejected) + " more dropped as near relatives of their clip (detail check)").c_str()
                            : "");
          PrintNote(note);
        }
      } catch (const Error& e) {
        PrintError(e);
        failed = true;
      } catch (const std::exception& e) {
        PrintError(name + ": " + e.what());
        failed = true;
      }
    }
  };

  const int threads = std::max(1, std::min<int>(args.jobs, static_cast<int>(args.inputs.size())));
  if (threads == 1) {
    worker();
  } else {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (auto& t : pool) t.join();
  }
  GlobalProgress().Finish();
  if (recorder) recorder->Drain();
  evidence.reset();  // every file written (and noted in the store) before the exit
  if (recorder && !storeFailed) {
    try {
      recorder->Finish();
    } catch (const Error& e) {
      PrintError(e);
      storeFailed = true;
    }
  }
  return failed || storeFailed || evidenceFailed || OutputFailed() ? kExitFailure : kExitOk;
}

}  // namespace sigpat
