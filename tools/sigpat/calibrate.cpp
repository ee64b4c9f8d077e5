// sigpat calibrate (background audio -> a sidecar calibration per pattern) and the check of
// sidecars that a scan would ignore.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "PatternDetector.h"
#include <sys/stat.h>

#include "commands.h"
#include "messages.h"
#include "output.h"
#include "signals.h"

namespace sigpat {

namespace {

// Measures the background: the smallest distance of every pattern over all time blocks.
class CalibrationRule : public DecisionRule {
 public:
  CalibrationRule(std::vector<float>* minimum, double* seconds) : minimum_(minimum), seconds_(seconds) {}
  std::string Name() const override { return "calibrate"; }

  void Start(EngineView view) override {
    if (!detector_.Attach(&view.engine, nullptr))
      throw Error("the decision layer could not be attached to the recognizer");
    detector_.BeginBackgroundCalibration();
  }
  void OnTimeBlock(EngineView /*view*/, std::vector<DetectorReport>& /*out*/) override {}
  void Finish(EngineView /*view*/, std::vector<DetectorReport>& /*out*/) override {
    for (int i = 0; i < detector_.PatternCount(); ++i) {
      const float m = detector_.Pattern(i).BackgroundMin;
      if (m > 0.0f && m < (*minimum_)[static_cast<std::size_t>(i)]) (*minimum_)[static_cast<std::size_t>(i)] = m;
    }
    *seconds_ += detector_.CalibrationSeconds();
    detector_.EndBackgroundCalibration();
  }

 private:
  PatternDetector detector_;
  std::vector<float>* minimum_;
  double* seconds_;
};

}  // namespace

void WarnAboutSidecars(const std::vector<std::string>& files) {
  // Checking takes a recognizer and a detector of its own: only when there is a sidecar at all.
  struct stat st;
  if (std::none_of(files.begin(), files.end(), [&st](const std::string& f) { return ::lstat((f + ".cal").c_str(), &st) == 0; }))
    return;
  SignalPattern engine;
  SetUpRecognition(engine, files);
  std::vector<const char*> names;
  for (const auto& f : files) names.push_back(f.c_str());
  PatternDetector detector;
  LibraryLineCapture capture;
  if (!detector.Attach(&engine, names.data())) return;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string side = files[i] + ".cal";
    if (detector.Pattern(static_cast<int>(i)).Calibrated || ::lstat(side.c_str(), &st) != 0) continue;
    std::string reason = "not a calibration of this pattern";
    const std::string mark = "LoadCalibration(): " + side + ": ";
    for (const auto& line : capture.lines())
      if (line.rfind(mark, 0) == 0) reason = line.substr(mark.size());
    PrintWarning(side + ": ignored (" + reason + "); the pattern keeps its own threshold");
  }
}

int RunCalibrate(const CalibrateArgs& args) {
  ScanArgs gather;
  gather.patterns = args.patterns;
  gather.patternList = args.patternList;
  std::vector<std::string> files = WithSpeedVariants(GatherPatternFiles(gather));
  if (files.empty()) throw UsageError("no patterns given (use -p PATTERN.tvs or --patterns LIST)");
  if (std::find(args.inputs.begin(), args.inputs.end(), std::string("-")) != args.inputs.end())
    throw UsageError("calibrate needs audio files, not standard input");
  CheckPatternFiles(files);

  std::vector<float> minimum(files.size(), std::numeric_limits<float>::max());
  double seconds = 0.0;
  ScanOptions options;
  options.makeRule = [&]() { return std::make_unique<CalibrationRule>(&minimum, &seconds); };
  options.stop = []() { return StopRequested(); };
  Scanner scanner(files, options);
  scanner.Prepare();  // checks the set before any input is opened
  for (const auto& name : args.inputs) {
    std::unique_ptr<AudioInput> in = AudioInput::Open(name, args.audio);
    scanner.Scan(*in, [](const Detection&) {});
    // Stopped part-way: no sidecar is written from a measurement the user broke off.
    if (StopRequested()) throw Error("calibration stopped by a signal; no sidecar was written");
  }

  // The thresholds from the measurement, through a detector on the same set.
  SignalPattern engine;
  SetUpRecognition(engine, files);
  PatternDetector detector;
  if (!detector.Attach(&engine, nullptr)) throw Error("the decision layer could not be attached to the recognizer");
  if (!detector.CalibrateFromBackground(minimum.data(), seconds))
    throw Error("the background audio is too short to calibrate");

  int failed = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const DetectorPattern& P = detector.Pattern(static_cast<int>(i));
    char values[160];
    if (!P.Calibrated) {
      std::snprintf(values, sizeof values, "%.3f", static_cast<double>(P.SelfThreshold));
      PrintWarning(files[i] + ": never compared (background too quiet or too short), threshold " + values + " kept");
      continue;
    }
    const std::string side = files[i] + ".cal";
    if (!detector.SaveCalibration(static_cast<int>(i), files[i].c_str())) {
      PrintError(side + ": cannot write the calibration (" + std::strerror(errno) + "); the old one, if any, is kept");
      ++failed;
      continue;
    }
    std::snprintf(values, sizeof values, "  closest %.3f  threshold %.3f (own %.3f)  %.1f s of background",
                  static_cast<double>(P.BackgroundMin), static_cast<double>(P.Threshold),
                  static_cast<double>(P.SelfThreshold), seconds);
    if (!WriteOut(EscapeControl(side) + values + "\n")) return kExitFailure;
  }
  return failed ? kExitFailure : kExitOk;
}

}  // namespace sigpat
