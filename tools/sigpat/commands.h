// The commands of sigpat. Each Run... function returns the process exit status and reports its
// errors itself; the helpers below it throw Error (or UsageError) instead.
#ifndef SIGPAT_COMMANDS_H
#define SIGPAT_COMMANDS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_input.h"
#include "evidence.h"
#include "pattern_making.h"
#include "record_format.h"
#include "scanner.h"

namespace sigpat {

// ---- create

int RunCreate(const CreateArgs& args);

// ---- scan

struct ScanArgs {
  std::vector<std::string> patterns;  // -p: files or directories
  std::string patternList;            // --patterns: a file listing pattern files
  float threshold = -1.0f;
  bool json = false;
  int jobs = 1;
  std::string rule = "detector";
  std::vector<std::string> inputs;
  AudioOptions audio;
  std::string label;        // --label: the input's name in detections
  bool timestamps = false;  // --timestamps: wall-clock times of arrival in detections
  bool noRelDev = false;    // --no-rel-dev: the detector decides alone
  bool noDetailCheck = false;  // --no-detail-check: detections of short clips are not confirmed by their detail print
  EvidenceOptions evidence;    // --evidence DIR ...: the audio of each detection kept
  std::string db;           // --db: the detections store (a file, or a postgresql:// URL)
  std::string catalogue;    // --catalogue: the patterns' metadata for the store
  std::string startUtc;     // --start-utc: the UTC time of the input's first sample
};

// The pattern files named by -p and --patterns (see GatherPatternFiles in pattern_making.h).
inline std::vector<std::string> GatherPatternFiles(const ScanArgs& args) {
  return GatherPatternFiles(args.patterns, args.patternList);
}
int RunScan(const ScanArgs& args);
// Warns about every sidecar calibration beside the patterns that the detector refuses (named,
// with the reason): those patterns run with their own thresholds.
void WarnAboutSidecars(const std::vector<std::string>& files);

// ---- monitor

struct MonitorArgs {
  std::vector<std::string> patterns;  // -p: files or directories
  std::string patternList;            // --patterns
  std::string stationsFile;           // --stations: one "LABEL URL-or-path" a line
  std::vector<std::string> stations;  // --station LABEL=URL
  float threshold = -1.0f;
  std::string rule = "detector";
  bool json = false;
  double heartbeat = 0.0;  // seconds between heartbeat lines; 0: none
  std::string statusFile;  // empty: status lines on stderr
  int threads = 0;         // recognition threads; 0: one per core
  double retryFirst = 1.0, retryMax = 30.0;  // reconnection backoff, seconds
  double timeout = 15.0;   // a stream silent this long counts as dropped
  bool noRelDev = false;   // --no-rel-dev: the detector decides alone
  bool noDetailCheck = false;  // --no-detail-check, as for scan
  AudioOptions audio;
  EvidenceOptions evidence;    // as for scan
  double deadAir = 10.0;       // --dead-air: seconds of silence that make dead air; 0: not watched
  double maxBehind = 30.0;     // --max-behind: seconds live audio may wait before it is dropped; 0: never
  std::string onEvent;         // --on-event: a command run for each health event
  double onEventTimeout = 10.0;  // --on-event-timeout: seconds before the command is killed
  std::string db;          // --db: the detections store, as for scan
  std::string catalogue;   // --catalogue
  std::string serve;       // --serve HOST:PORT: the dashboard over --db from this process
  std::string serveTokenFile;  // --serve-token-file
};

// Watches the stations until every one has ended (files) or a signal stops it: SIGINT/SIGTERM
// finish every station (pending detections reported) and exit with 130/143, SIGHUP reloads the
// stations file and the patterns.
int RunMonitor(const MonitorArgs& args);

// ---- export

struct ExportArgs {
  std::string db;
  std::vector<std::string> stations;  // --station: only these
  std::string from, to;               // ISO 8601 UTC: detections that began in [from, to)
  bool csv = false;                   // CSV with a header instead of the JSON lines
};

// Prints the stored detections: the JSON lines as scan/monitor printed them, or CSV.
int RunExport(const ExportArgs& args);

// ---- calibrate

struct CalibrateArgs {
  std::vector<std::string> patterns;  // -p: files or directories
  std::string patternList;            // --patterns
  std::vector<std::string> inputs;    // background audio holding none of the clips
  AudioOptions audio;
};

// Measures the patterns (and their speed variants) on the background audio and writes each
// pattern's sidecar calibration (PATTERN.tvs.cal) beside it.
int RunCalibrate(const CalibrateArgs& args);

// ---- info

// among: other pattern files of the catalogue; the pattern's relatives among them are listed.
int RunInfo(const std::string& pattern, const std::string& png, const std::vector<std::string>& among = {});

// ---- serve

struct ServeArgs {
  std::string db;                         // --db: the detections store
  std::string listen = "127.0.0.1:8080";  // --listen HOST:PORT
  std::string evidenceDir;                // --evidence: the evidence files' directory
  std::string tokenFile;                  // --token-file: the access token (needed beyond loopback)
};

// Serves the dashboard (page, JSON API, evidence, live events) until a signal stops it.
int RunServe(const ServeArgs& args);
// The same from a thread of another command (monitor --serve), until the returned handle is
// released; the address is printed on stdout as serve prints it. Throws Error.
std::shared_ptr<void> ServeInBackground(const ServeArgs& args);
// ---- discover

struct DiscoverArgs {
  std::vector<std::string> inputs;
  double minLength = 1.0;   // seconds
  double maxLength = 0.0;   // seconds; 0: no limit (long repeats are reported as such)
  int minCount = 2;
  std::vector<std::string> known;  // -p: patterns whose matches are not new
  std::string out;  // directory for proposed patterns and evidence clips; empty: none written
  bool json = false;
  AudioOptions audio;
  // --db: "new_repeated_clip" events of station --station (discover_events.h) in this store; the
  // inputs are consecutive recordings of the station from --start-utc on.
  std::string db, station, startUtc;
};

// Finds stretches that recur in the inputs (discover_clips.h) and prints one record per clip.
int RunDiscover(const DiscoverArgs& args);

// ---- demo

int RunDemo(const std::string& keepDirectory);

}  // namespace sigpat

#endif
