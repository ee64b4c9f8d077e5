// The detector rule of a scan: the library's PatternDetector behind the DecisionRule interface.
#include <utility>

#include "PatternDetector.h"
#include "messages.h"
#include "scanner.h"

namespace sigpat {

namespace {

class DetectorRule : public DecisionRule {
 public:
  DetectorRule(std::function<void(DetectorTuning&)> configure, std::function<void(PatternDetector&)> attached)
      : configure_(std::move(configure)), attached_(std::move(attached)) {}
  std::string Name() const override { return "detector"; }

  void Start(EngineView view) override {
    std::vector<const char*> names;
    if (view.files != nullptr)
      for (const auto& f : *view.files) names.push_back(f.c_str());
    // The library's deviations are worked out for the reports alone (the same values as its
    // comparison of every pattern at every block gives them); with -v the library compares
    // every block, so that its own lines tell what it recognised.
    DetectorTuning tuning;
    tuning.LibraryDeviations = GetVerbosity().verbose ? 1 : 2;
    if (configure_) configure_(tuning);
    detector_.SetTuning(tuning);
    // The detector observes the engine itself and is called before the stream's observer (this
    // rule's OnTimeBlock), so its reports of a time block are ready here.
    if (!detector_.Attach(&view.engine, names.empty() ? nullptr : names.data()))
      throw Error("the decision layer could not be attached to the recognizer");
    if (!names.empty()) detector_.GroupBySpeedNames(names.data());
    if (view.checked != nullptr)
      for (std::size_t i = 0; i < view.checked->size(); ++i)
        if ((*view.checked)[i]) detector_.SetChecked(static_cast<int>(i), 1);
    if (attached_) attached_(detector_);
  }

  void OnTimeBlock(EngineView /*view*/, std::vector<DetectorReport>& out) override { Drain(out); }

  void Finish(EngineView /*view*/, std::vector<DetectorReport>& out) override {
    detector_.Finish();
    Drain(out);
  }

 private:
  // The detector's reports as they are. Positions come from the detector's own 64-bit count of
  // time blocks: rebasing the engine does not touch them.
  void Drain(std::vector<DetectorReport>& out) {
    for (int i = 0; i < detector_.ReportCount(); ++i) out.push_back(*detector_.GetReport(i));
    detector_.ClearReports();
  }

  PatternDetector detector_;
  std::function<void(DetectorTuning&)> configure_;
  std::function<void(PatternDetector&)> attached_;
};

}  // namespace

std::unique_ptr<DecisionRule> MakeDetectorRule(std::function<void(DetectorTuning&)> configure,
                                               std::function<void(PatternDetector&)> attached) {
  return std::make_unique<DetectorRule>(std::move(configure), std::move(attached));
}

}  // namespace sigpat
