// sigpat: the command line of the SignalPattern library. Argument handling and dispatch.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "commands.h"
#include "messages.h"

namespace {

std::string VersionText() {
  SignalPattern probe;
  return std::string("sigpat ") + SIGPAT_VERSION + " (SignalPattern library " + probe.GetVersionName() + ")";
}

}  // namespace

int main(int argc, char** argv) {
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
        ->check(CLI::PositiveNumber);
  };

  // create
  CreateArgs create;
  CLI::App* createCmd = app.add_subcommand("create", "Make a pattern file (.tvs) from an interval of an audio file");
  createCmd->add_option("INPUT", create.input, "Audio file (WAV, FLAC, Ogg, ...)")->required();
  auto* beginSec = createCmd->add_option("--begin-sec", create.beginSeconds, "Interval start in seconds")
                       ->check(CLI::NonNegativeNumber);
  auto* begin = createCmd->add_option("--begin", create.begin, "Interval start, sample at 44100 Hz")
                    ->check(CLI::NonNegativeNumber);
  auto* endSec = createCmd->add_option("--end-sec", create.endSeconds, "Interval end in seconds (excluded)")
                     ->check(CLI::NonNegativeNumber);
  auto* end = createCmd->add_option("--end", create.end, "Interval end, sample at 44100 Hz (included)")
                  ->check(CLI::NonNegativeNumber);
  beginSec->excludes(begin);
  endSec->excludes(end);
  createCmd->add_option("-o,--output", create.output, "Pattern file to write (default: INPUT with extension .tvs)");
  createCmd
      ->add_option("--speed", create.speeds,
                   "Also make variants played this many percent faster and slower (e.g. 1.5,3); scans group them")
      ->delimiter(',')
      ->check(CLI::Range(0.1, 10.0));
  addAudioOptions(createCmd, create.audio);

  // scan
  ScanArgs scan;
  CLI::App* scanCmd = app.add_subcommand("scan", "Scan audio for patterns; print each detection as it happens");
  scanCmd->add_option("-p,--pattern", scan.patterns, "Pattern file, or a directory of .tvs files (repeatable)")
      ->allow_extra_args(false);
  scanCmd->add_option("--patterns", scan.patternList, "File listing pattern files, one a line");
  scanCmd->add_option("--threshold", scan.threshold, "Relative deviation threshold of --decision library (default 0.9)")
      ->check(CLI::PositiveNumber);
  scanCmd->add_flag("--json", scan.json, "One JSON object a line");
  scanCmd->add_option("-j,--jobs", scan.jobs, "Scan N inputs in parallel")->check(CLI::Range(1, 256));
  scanCmd
      ->add_option("--decision,--rule", scan.rule,
                   "Decision rule: detector (default; per-pattern thresholds, best alignment) or library (the library's own)")
      ->check(CLI::IsMember(DecisionRuleNames()));
  scanCmd->add_option("--raw-format", scan.audio.rawFormat, "Raw PCM on standard input")
      ->check(CLI::IsMember(RawFormats()));
  scanCmd->add_option("--rate", scan.audio.rawRate, "Sample rate of raw PCM on standard input")
      ->check(CLI::Range(1000, 768000));
  scanCmd->add_option("--channels", scan.audio.rawChannels, "Channels of raw PCM on standard input")
      ->check(CLI::Range(1, 64));
  addAudioOptions(scanCmd, scan.audio);
  scanCmd->add_option("--label", scan.label, "Name the input so in detections (one input only)");
  scanCmd->add_flag("--timestamps", scan.timestamps,
                    "Give each detection the UTC time at which its samples arrived (live input on standard input)");
  scanCmd->add_option("INPUT", scan.inputs, "Audio files or URLs; - reads raw PCM from standard input")->required();

  // monitor
#ifdef SIGPAT_WITH_FFMPEG
  MonitorArgs monitor;
  CLI::App* monitorCmd = app.add_subcommand(
      "monitor",
      "Watch live stations (URLs or files) for patterns, many in one process.\n"
      "A detection is reported once the decision layer has confirmed it: about one pattern length after the\n"
      "clip ended (up to twice its length after it began), plus under 0.1 s of reading and queueing.");
  monitorCmd->add_option("-p,--pattern", monitor.patterns, "Pattern file, or a directory of .tvs files (repeatable)")
      ->allow_extra_args(false);
  monitorCmd->add_option("--patterns", monitor.patternList, "File listing pattern files, one a line");
  monitorCmd->add_option("--stations", monitor.stationsFile, "File of stations: one 'LABEL URL-or-path' a line, # comments");
  monitorCmd->add_option("--station", monitor.stations, "A station as LABEL=URL (repeatable)")->allow_extra_args(false);
  monitorCmd->add_flag("--json", monitor.json, "Detections as JSON lines");
  monitorCmd->add_option("--heartbeat", monitor.heartbeat, "A status line per station every SECONDS")
      ->check(CLI::PositiveNumber);
  monitorCmd->add_option("--status", monitor.statusFile, "Append status lines (JSON) to this file instead of stderr");
  monitorCmd->add_option("--threads", monitor.threads, "Recognition threads (default: one per core)")
      ->check(CLI::Range(1, 256));
  monitorCmd->add_option("--retry", monitor.retryFirst, "Seconds before reconnecting a dropped stream (doubling)")
      ->check(CLI::Range(0.05, 3600.0));
  monitorCmd->add_option("--retry-max", monitor.retryMax, "Longest wait between reconnection attempts, seconds")
      ->check(CLI::Range(0.05, 3600.0));
  monitorCmd->add_option("--timeout", monitor.timeout, "A stream that sends nothing this long is dropped, seconds")
      ->check(CLI::Range(0.5, 3600.0));
  monitorCmd->add_option("--threshold", monitor.threshold, "Relative deviation threshold of --decision library")
      ->check(CLI::PositiveNumber);
  monitorCmd->add_option("--decision,--rule", monitor.rule, "Decision rule: detector (default) or library")
      ->check(CLI::IsMember(DecisionRuleNames()));
  addAudioOptions(monitorCmd, monitor.audio);
#endif

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

  // demo
  std::string demoDir;
  CLI::App* demoCmd = app.add_subcommand("demo", "Run the whole job on built-in synthetic audio");
  demoCmd->add_option("--keep", demoDir, "Write the generated files to this directory and keep them");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "sigpat: usage error: %s\nRun 'sigpat --help' or 'sigpat COMMAND --help' for usage.\n", e.what());
    return kExitUsage;
  }

  SetVerbosity(verbosity);
  InstallLibrarySink();
  try {
    if (*createCmd) return RunCreate(create);
    if (*scanCmd) return RunScan(scan);
    if (*calibrateCmd) return RunCalibrate(calibrate);
#ifdef SIGPAT_WITH_FFMPEG
    if (*monitorCmd) return RunMonitor(monitor);
#endif
    if (*infoCmd) return RunInfo(infoPattern, infoPng);
    if (*demoCmd) return RunDemo(demoDir);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "sigpat: usage error: %s\n", e.what());
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
