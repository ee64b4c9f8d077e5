// sigpat: the command line of the SignalPattern library. Argument handling and dispatch.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "commands.h"
#include "messages.h"
#include "numbers.h"
#include "output.h"
#include "signals.h"
#ifdef SIGPAT_WITH_PROOF
#include "proof_commands.h"
#include "utc_time.h"
#endif

namespace {

#ifdef SIGPAT_WITH_PROOF
#define SIGPAT_PROOF_NAMES , "reconcile", "report"
#define SIGPAT_PROOF_LIST ", reconcile, report"
#define SIGPAT_PROOF_OR ", demo, reconcile or report"
#else
#define SIGPAT_PROOF_NAMES
#define SIGPAT_PROOF_LIST ""
#define SIGPAT_PROOF_OR " or demo"
#endif
#ifdef SIGPAT_WITH_FFMPEG
const char* const kCommands[] = {"create", "scan", "monitor", "export", "calibrate", "info", "discover", "serve", "demo" SIGPAT_PROOF_NAMES};
#define SIGPAT_COMMANDS "create, scan, monitor, export, calibrate, info, discover, serve, demo" SIGPAT_PROOF_LIST
#define SIGPAT_COMMANDS_OR "create, scan, monitor, export, calibrate, info, discover, serve" SIGPAT_PROOF_OR
#else
const char* const kCommands[] = {"create", "scan", "export", "calibrate", "info", "discover", "serve", "demo" SIGPAT_PROOF_NAMES};
#define SIGPAT_COMMANDS "create, scan, export, calibrate, info, discover, serve, demo" SIGPAT_PROOF_LIST
#define SIGPAT_COMMANDS_OR "create, scan, export, calibrate, info, discover, serve" SIGPAT_PROOF_OR
#endif

// Strict number options: CLI11 then converts the text this leaves (a plain decimal number).
CLI::Validator Number(double lo, double hi, bool integer = false) {
  return CLI::Validator(
      [=](std::string& text) {
        std::string error = sigpat::CheckNumber(text, lo, hi, integer);
        if (error.empty() && integer) text = std::to_string(std::llround(*sigpat::ParseFinite(text)));
        return error;
      },
      integer ? "INT" : "NUMBER");
}
CLI::Validator Seconds() {
  return CLI::Validator(
      [](std::string& text) {
        std::string error = sigpat::CheckSeconds(text, 1e9);
        if (error.empty()) {
          char buf[40];
          std::snprintf(buf, sizeof buf, "%.17g", *sigpat::ParseClockSeconds(text));
          text = buf;
        }
        return error;
      },
      "SECONDS|HH:MM:SS.mmm");
}

// What is wrong with a command line that names no command, or a word that is not one; empty
// when argv names a command.
std::string MissingCommand(int argc, char** argv) {
  std::string unknownOption;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help" || a == "--version") return "";
    if (a == "-v" || a == "--verbose" || a == "-q" || a == "--quiet") continue;
    if (!a.empty() && a[0] == '-') {
      if (unknownOption.empty()) unknownOption = a;
      continue;
    }
    for (const char* c : kCommands)
      if (a == c) return unknownOption.empty() ? "" : "unknown option \"" + unknownOption + "\" before the command";
    return "unknown command \"" + a + "\" (commands: " SIGPAT_COMMANDS ")";
  }
  if (!unknownOption.empty())
    return "unknown option \"" + unknownOption + "\" and no command (commands: " SIGPAT_COMMANDS ")";
  return "a command is required (" SIGPAT_COMMANDS_OR ")";
}

// CLI11's text of a parse error, with its one cryptic form said plainly: an option given without
// its value ("--decision: 1 required TEXT:{detector,library} missing").
std::string ParseErrorText(const CLI::ParseError& e) {
  const std::string text = e.what();
  const std::size_t colon = text.find(": ");
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && colon != std::string::npos &&
      text.find(" required ", colon) != std::string::npos && text.size() > 8 && text.ends_with(" missing"))
    return text.substr(0, colon) + " needs a value";
  return text;
}

std::string VersionText() {
  SignalPattern probe;
  return std::string("sigpat ") + SIGPAT_VERSION + " (SignalPattern library " + probe.GetVersionName() + ")";
}

}  // namespace

int Main(int argc, char** argv) {
  using namespace sigpat;

  CLI::App app{"sigpat: finds known audio clips (jingles, idents, adverts) in recordings and live feeds.\n"
               "Make a pattern of each clip with 'create', then 'scan' audio for them.",
               "sigpat"};
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", VersionText());
  Verbosity verbosity;
  app.add_flag("-v,--verbose", verbosity.verbose, "Show the library's message lines on stderr");
  app.add_flag("-q,--quiet", verbosity.quiet, "No progress bar or notes");

  auto addAudioOptions = [](CLI::App* cmd, AudioOptions& audio) {
    cmd->add_option("--channel", audio.channel, "Use channel K only (1 = first) instead of mixing all to mono")
        ->transform(Number(1, 64, true));
  };

  auto addEvidenceOptions = [](CLI::App* cmd, EvidenceOptions& evidence) {
    cmd->add_option("--evidence", evidence.dir,
                    "Keep the audio of each detection in this directory (DIR/STATION/DAY/TIME_STATION_PATTERN.opus)");
    cmd->add_option("--pre", evidence.pre, "Seconds of evidence before the detection (default 5)")
        ->transform(Number(0, 300));
    cmd->add_option("--post", evidence.post, "Seconds of evidence after the detection (default 5)")
        ->transform(Number(0, 300));
    cmd->add_option("--evidence-format", evidence.format, "Evidence audio: opus (default), mp3 or flac")
        ->check(CLI::IsMember(EvidenceFormats()));
    cmd->add_option("--evidence-max-gb", evidence.maxGb, "Remove the oldest evidence beyond this many GB")
        ->transform(Number(1e-9, 1e6));
    cmd->add_option("--evidence-days", evidence.days, "Remove evidence older than this many days")
        ->transform(Number(1e-9, 1e6));
  };

  // create
  CreateArgs create;
  CLI::App* createCmd = app.add_subcommand("create", "Make a pattern file (.tvs) from an interval of an audio file");
  createCmd->add_option("INPUT", create.input, "Audio file (WAV, FLAC, Ogg, ...)")->required();
  auto* beginSec = createCmd->add_option("--begin-sec", create.beginSeconds, "Interval start in seconds (or HH:MM:SS.mmm)")
                       ->transform(Seconds());
  auto* begin = createCmd->add_option("--begin", create.begin, "Interval start, sample at 44100 Hz")
                    ->transform(Number(0, 4e16, true));
  auto* endSec = createCmd->add_option("--end-sec", create.endSeconds, "Interval end in seconds (excluded; or HH:MM:SS.mmm)")
                     ->transform(Seconds());
  auto* end = createCmd->add_option("--end", create.end, "Interval end, sample at 44100 Hz (included)")
                  ->transform(Number(0, 4e16, true));
  beginSec->excludes(begin);
  endSec->excludes(end);
  createCmd->add_option("-o,--output", create.output, "Pattern file to write (default: INPUT with extension .tvs)");
  createCmd
      ->add_option("--speed", create.speeds,
                   "Also make variants played this many percent faster and slower (e.g. 1.5,3); scans group them")
      ->delimiter(',')
      ->transform(Number(0.1, 10.0));
  addAudioOptions(createCmd, create.audio);

  // scan
  ScanArgs scan;
  CLI::App* scanCmd = app.add_subcommand("scan", "Scan audio for patterns; print each detection as it happens");
  scanCmd->add_option("-p,--pattern", scan.patterns, "Pattern file, or a directory of .tvs files (repeatable)")
      ->allow_extra_args(false);
  scanCmd->add_option("--patterns", scan.patternList, "File listing pattern files, one a line");
  scanCmd
      ->add_option("--threshold", scan.threshold,
                   "Relative deviation threshold of --decision library (default 0.9); the detector's own "
                   "per-pattern thresholds are tuned with 'sigpat calibrate' instead")
      ->transform(Number(1e-6, 100.0));
  scanCmd->add_flag("--json", scan.json, "One JSON object a line");
  scanCmd->add_option("-j,--jobs", scan.jobs, "Scan N inputs in parallel")->transform(Number(1, 256, true));
  scanCmd
      ->add_option("--decision,--rule", scan.rule,
                   "Decision rule: detector (default; per-pattern thresholds, best alignment) or library (the library's own)")
      ->check(CLI::IsMember(DecisionRuleNames()));
  scanCmd->add_option("--raw-format", scan.audio.rawFormat,
                      "Raw PCM on standard input (default s16le): headerless samples, interleaved channels, taken as "
                      "they come; a WAV, FLAC, Ogg or MP3 stream on standard input is recognised by its header")
      ->check(CLI::IsMember(RawFormats()));
  scanCmd->add_option("--rate", scan.audio.rawRate, "Sample rate of raw PCM on standard input (taken as given: at a wrong rate or format the samples are noise and nothing is found)")
      ->transform(Number(1000, 768000, true));
  scanCmd->add_option("--channels", scan.audio.rawChannels, "Channels of raw PCM on standard input")
      ->transform(Number(1, 64, true));
  addAudioOptions(scanCmd, scan.audio);
  scanCmd->add_option("--label", scan.label, "Name the input so in detections (one input only)");
  scanCmd->add_flag("--no-rel-dev", scan.noRelDev,
                    "Detector only: do not work out the library's deviations of the detections; rel_dev and "
                    "rel_dev_mpb are then 2 (not compared)");
  scanCmd->add_flag("--no-detail-check", scan.noDetailCheck,
                    "Detector only: report short clips without confirming them against their detail print "
                    "(PATTERN.tvs.detail, made by create), which tells a clip from its near relatives");
  scanCmd->add_flag("--timestamps", scan.timestamps,
                    "Give each detection the UTC time at which its samples arrived (live input on standard input)");
  addEvidenceOptions(scanCmd, scan.evidence);
  scanCmd->add_option("--db", scan.db, "Store every detection in this database: an SQLite file, or postgresql://...");
  scanCmd->add_option("--catalogue", scan.catalogue,
                      "CSV of the patterns' metadata for the store (file,spot_id,advertiser,campaign,version,title)");
  scanCmd->add_option("--start-utc", scan.startUtc,
                      "UTC time of the input's first sample (ISO 8601, e.g. 2026-12-07T06:00:00Z): detections get "
                      "UTC times (\"clock\": \"start\")");
  scanCmd->add_option("INPUT", scan.inputs,
                      "Audio files, URLs, FIFOs or - (standard input: raw PCM, or an audio stream)")
      ->required();

  // monitor
#ifdef SIGPAT_WITH_FFMPEG
  MonitorArgs monitor;
  CLI::App* monitorCmd = app.add_subcommand(
      "monitor",
      "Watch live stations (URLs or files) for patterns, many in one process.\n"
      "A detection is reported once the decision layer has confirmed it: about one pattern length after the\n"
      "clip ended (up to twice its length after it began), plus under 0.1 s of reading and queueing.\n"
      "Detections carry the UTC time the clip began and ended: \"clock\": \"stream\" when the stream stamps\n"
      "its audio (HLS #EXT-X-PROGRAM-DATE-TIME: the segment's date plus the offset into it), else \"arrival\"\n"
      "(when the samples arrived; Icecast/SHOUTcast streams carry no clock).");
  monitorCmd->add_option("-p,--pattern", monitor.patterns, "Pattern file, or a directory of .tvs files (repeatable)")
      ->allow_extra_args(false);
  monitorCmd->add_option("--patterns", monitor.patternList, "File listing pattern files, one a line");
  monitorCmd->add_option("--stations", monitor.stationsFile, "File of stations: one 'LABEL URL-or-path' a line, # comments");
  monitorCmd->add_option("--station", monitor.stations, "A station as LABEL=URL (repeatable)")->allow_extra_args(false);
  monitorCmd->add_flag("--json", monitor.json, "Detections as JSON lines");
  monitorCmd->add_option("--heartbeat", monitor.heartbeat, "A status line per station every SECONDS")
      ->transform(Number(0.01, 86400.0));
  monitorCmd->add_option("--status", monitor.statusFile, "Append status lines (JSON) to this file instead of stderr");
  monitorCmd->add_option("--threads", monitor.threads, "Recognition threads (default: one per core)")
      ->transform(Number(1, 256, true));
  monitorCmd->add_option("--retry", monitor.retryFirst, "Seconds before reconnecting a dropped stream (doubling)")
      ->transform(Number(0.05, 3600.0));
  monitorCmd->add_option("--retry-max", monitor.retryMax, "Longest wait between reconnection attempts, seconds")
      ->transform(Number(0.05, 3600.0));
  monitorCmd->add_option("--timeout", monitor.timeout, "A stream that sends nothing this long is dropped, seconds")
      ->transform(Number(0.5, 3600.0));
  monitorCmd->add_option("--threshold", monitor.threshold, "Relative deviation threshold of --decision library")
      ->transform(Number(1e-6, 100.0));
  monitorCmd->add_flag("--no-rel-dev", monitor.noRelDev,
                       "Detector only: do not work out the library's deviations of the detections (rel_dev 2)");
  monitorCmd->add_flag("--no-detail-check", monitor.noDetailCheck,
                       "Detector only: report short clips without confirming them against their detail print");
  monitorCmd->add_option("--decision,--rule", monitor.rule, "Decision rule: detector (default) or library")
      ->check(CLI::IsMember(DecisionRuleNames()));
  monitorCmd->add_option("--db", monitor.db,
                         "Store every detection and status line in this database: an SQLite file, or postgresql://...");
  monitorCmd->add_option("--catalogue", monitor.catalogue,
                         "CSV of the patterns' metadata for the store (file,spot_id,advertiser,campaign,version,title)");
  monitorCmd->add_option("--serve", monitor.serve, "Also serve the dashboard over --db on HOST:PORT (as sigpat serve)");
  monitorCmd->add_option("--serve-token-file", monitor.serveTokenFile, "The dashboard's access token (as serve --token-file)");
  addAudioOptions(monitorCmd, monitor.audio);
  addEvidenceOptions(monitorCmd, monitor.evidence);
  monitorCmd->add_option("--dead-air", monitor.deadAir,
                         "Seconds below -50 dBFS that make dead air, told as status events (default 10; 0: off)")
      ->transform(Number(0, 86400));
  monitorCmd->add_option("--max-behind", monitor.maxBehind,
                         "Live audio that waited this many seconds for the recognition is dropped, told as a status "
                         "event (default 30; 0: never, the stream waits)")
      ->transform(Number(0, 86400));
  monitorCmd->add_option("--on-event", monitor.onEvent,
                         "Run this command for each health event (dead air, no data, ended, disconnected, ...) with "
                         "the event's JSON line on its standard input");
  monitorCmd->add_option("--on-event-timeout", monitor.onEventTimeout,
                         "Seconds an --on-event command may run before it is killed (default 10)")
      ->transform(Number(0.01, 3600));
#endif

  // export
  ExportArgs exportArgs;
  CLI::App* exportCmd = app.add_subcommand("export", "Print the detections stored by scan --db or monitor --db");
  exportCmd->add_option("--db", exportArgs.db, "The database: an SQLite file, or postgresql://...")->required();
  exportCmd->add_option("--station", exportArgs.stations, "Only this station (repeatable)")->allow_extra_args(false);
  exportCmd->add_option("--from", exportArgs.from, "Only detections that began at or after this UTC time (ISO 8601)");
  exportCmd->add_option("--to", exportArgs.to, "Only detections that began before this UTC time (ISO 8601)");
  bool exportJsonFlag = false;
  auto* exportJson = exportCmd->add_flag("--json", exportJsonFlag, "JSON lines, as scan --json and monitor --json printed them (default)");
  auto* exportCsv = exportCmd->add_flag("--csv", exportArgs.csv, "CSV with a header");
  exportJson->excludes(exportCsv);

  // calibrate
  CalibrateArgs calibrate;
  CLI::App* calibrateCmd = app.add_subcommand(
      "calibrate", "Measure patterns on background audio that holds none of the clips; store PATTERN.tvs.cal beside each");
  calibrateCmd->add_option("-p,--pattern", calibrate.patterns, "Pattern file, or a directory of .tvs files (repeatable)")
      ->allow_extra_args(false);
  calibrateCmd->add_option("--patterns", calibrate.patternList, "File listing pattern files, one a line");
  addAudioOptions(calibrateCmd, calibrate.audio);
  calibrateCmd->add_option("INPUT", calibrate.inputs, "Background audio files")->required();

  // info
  std::string infoPattern, infoPng;
  CLI::App* infoCmd = app.add_subcommand("info", "Show what a pattern file holds");
  infoCmd->add_option("PATTERN", infoPattern, "Pattern file (.tvs)")->required();
  infoCmd->add_option("--png", infoPng, "Draw its time-spectrum into a PNG picture");
  std::vector<std::string> infoAmong;
  infoCmd->add_option("--among", infoAmong, "Other pattern files of the catalogue: list the pattern's relatives");

  // serve
  ServeArgs serve;
  CLI::App* serveCmd = app.add_subcommand("serve", "Serve the dashboard and JSON API over a detections store");
  serveCmd->add_option("--db", serve.db, "The detections store (SQLite file or postgresql:// URL)")->required();
  serveCmd->add_option("--listen", serve.listen, "HOST:PORT to listen on (default 127.0.0.1:8080)");
  serveCmd->add_option("--evidence", serve.evidenceDir, "Directory of the evidence audio files");
  serveCmd->add_option("--token-file", serve.tokenFile, "File whose first line is the access token (needed beyond loopback)");

  // discover
  DiscoverArgs discover;
  CLI::App* discoverCmd = app.add_subcommand("discover", "Find clips that recur in recordings, without patterns");
  discoverCmd->add_option("INPUT", discover.inputs, "Audio files")->required();
  discoverCmd->add_option("--min-length", discover.minLength, "Shortest clip reported, seconds (1)")->transform(Number(0.1, 3600));
  discoverCmd->add_option("--max-length", discover.maxLength, "Longest repeat reported, seconds (default: all, songs as long repeats)")
      ->transform(Number(0.1, 86400));
  discoverCmd->add_option("--min-count", discover.minCount, "Occurrences a clip needs (2)")->transform(Number(2, 1000000, true));
  discoverCmd->add_option("-p,--patterns", discover.known, "Known patterns (files or directories): what they match is not new");
  discoverCmd->add_option("--out", discover.out, "Write a proposed pattern and an evidence clip of each clip to this directory");
  discoverCmd->add_flag("--json", discover.json, "One JSON object per clip");
  discoverCmd->add_option("--db", discover.db, "Raise a new_repeated_clip station event per new clip in this store (SQLite file or postgresql:// URL)");
  discoverCmd->add_option("--station", discover.station, "With --db: the station the inputs are recordings of");
  discoverCmd->add_option("--start-utc", discover.startUtc, "With --db: UTC time of the first input's first sample (ISO 8601); the inputs follow each other");
  addAudioOptions(discoverCmd, discover.audio);

  // demo
  std::string demoDir;
  CLI::App* demoCmd = app.add_subcommand("demo", "Run the whole job on built-in synthetic audio");
  demoCmd->add_option("--keep", demoDir, "Write the generated files to this directory and keep them");

#ifdef SIGPAT_WITH_PROOF
  // reconcile, report (proof_commands.h)
  auto utcTime = [](std::string& text) {
    std::string why;
    return proof::ParseUtc(text, &why) ? std::string() : "\"" + text + "\": " + why;
  };
  ReconcileArgs reconcile;
  CLI::App* reconcileCmd = app.add_subcommand(
      "reconcile", "Reconcile a schedule of bookings (CSV) against the airings in a detections store");
  reconcileCmd->add_option("--db", reconcile.db, "Detections store: SQLite file or postgresql:// URL")->required();
  reconcileCmd->add_option("--schedule", reconcile.schedule, "Bookings: CSV with header station,spot,window_start,window_end")
      ->required();
  reconcileCmd->add_option("--csv", reconcile.csv, "Write one row per booking and unbooked airing here")->required();
  reconcileCmd->add_option("--html", reconcile.html, "Also write the reconciliation as an HTML page");
  reconcileCmd->add_option("--from", reconcile.from, "Only bookings whose window starts at or after this UTC time")
      ->check(CLI::Validator(utcTime, "TIME"));
  reconcileCmd->add_option("--to", reconcile.to, "Only bookings whose window starts before this UTC time")
      ->check(CLI::Validator(utcTime, "TIME"));
  reconcileCmd->add_option("--slack", reconcile.slack, "Look this many seconds outside a window for the spot (default 3600)")
      ->transform(Number(0, 7 * 86400.0));
  reconcileCmd->add_option("--truncated-below", reconcile.truncatedBelow,
                           "An airing with less of the clip heard is truncated (default 0.9)")
      ->transform(Number(0, 1));
  reconcileCmd->add_option("--evidence", reconcile.evidenceDir, "Directory the store's evidence paths are relative to");

  ReportArgs report;
  CLI::App* reportCmd = app.add_subcommand("report", "Write what aired between two UTC times as an HTML page");
  reportCmd->add_option("--db", report.db, "Detections store: SQLite file or postgresql:// URL")->required();
  reportCmd->add_option("--from", report.from, "Start, ISO 8601 UTC")->required()->check(CLI::Validator(utcTime, "TIME"));
  reportCmd->add_option("--to", report.to, "End (excluded), ISO 8601 UTC")->required()->check(CLI::Validator(utcTime, "TIME"));
  reportCmd->add_option("--html", report.html, "The page to write")->required();
  reportCmd->add_option("--station", report.stations, "Only this station (repeatable)")->allow_extra_args(false);
  reportCmd->add_option("--evidence", report.evidenceDir, "Directory the store's evidence paths are relative to");
#endif

  if (std::string missing = MissingCommand(argc, argv); !missing.empty()) {
    std::fprintf(stderr, "sigpat: usage error: %s\nRun 'sigpat --help' for usage.\n", missing.c_str());
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "sigpat: usage error: %s\nRun 'sigpat --help' or 'sigpat COMMAND --help' for usage.\n",
                 ParseErrorText(e).c_str());
    return kExitUsage;
  }

  SetVerbosity(verbosity);
  InstallLibrarySink();
  try {
    if (*createCmd) return RunCreate(create);
    if (*scanCmd) return RunScan(scan);
    if (*exportCmd) return RunExport(exportArgs);
    if (*calibrateCmd) return RunCalibrate(calibrate);
#ifdef SIGPAT_WITH_FFMPEG
    if (*monitorCmd) return RunMonitor(monitor);
#endif
    if (*infoCmd) return RunInfo(infoPattern, infoPng, infoAmong);
    if (*serveCmd) return RunServe(serve);
    if (*discoverCmd) return RunDiscover(discover);
    if (*demoCmd) return RunDemo(demoDir);
#ifdef SIGPAT_WITH_PROOF
    if (*reconcileCmd) return RunReconcile(reconcile);
    if (*reportCmd) return RunReport(report);
#endif
  } catch (const UsageError& e) {
    PrintUsageError(e.what());
    return kExitUsage;
  } catch (const Error& e) {
    PrintError(e);
    return kExitFailure;
  } catch (const std::exception& e) {
    PrintError(e.what());
    return kExitFailure;
  }
  return kExitUsage;
}

int main(int argc, char** argv) {
  sigpat::InstallStopSignals();  // first: a stop that comes while the command line is read counts too
  int status = Main(argc, argv);
  return sigpat::FinishOutput(sigpat::StopStatus(status));
}
