// PatternDetector: a decision layer on top of a recognizer set up for recognition. It compares
// every pattern at every time block with distances of its own, keeps a threshold per pattern
// and reports each occurrence once, at its best alignment, with a confidence; a pattern and its
// speed-shifted variants can be grouped to report as one. How it decides, and which part of
// detector/ does what (it is a facade over them), written out once: docs/detector.md.
//
// Positions are 64-bit sample counts from the first sample fed after Attach or Reset; the
// detector counts time blocks itself, so it does not depend on the engine's 32-bit counters.
//
// Lifetime: detach (or destroy) the detector before its engine is destroyed. A new set-up of
// the engine (its set-up generation changes) needs a new Attach; until then the detector leaves
// the engine alone.
//
// Threads: like the recognizer, one detector must not be used from two threads at once.
#ifndef SP_PATTERNDETECTOR_H
#define SP_PATTERNDETECTOR_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DetectorTuning.h"
#include "TimeSpectrumEstimation.h"
#include "sp_types.h"

// One reported occurrence: everything a report says, taken from the block of the best
// alignment, in one record from the candidate to the output. sigpat's rules (also the library's
// own, which gives only the pattern, the positions and the deviations) hand it on as it is, and
// its output wraps it. The defaults are "not given".
struct SP_API DetectorReport {
  static constexpr int kLevelMethod = 0;  // Method: the level distance found it
  static constexpr int kShapeMethod = 1;  // Method: the shape distance found it
  int Pattern = -1;          // engine pattern number of the variant that matched
  int Group = -1;            // group number (the pattern number of the group's first member)
  float SpeedPercent = 0.0f; // speed change of that variant, 0 for the pattern itself
  std::int64_t Begin = 0;    // first sample of the occurrence, from the first sample fed
  std::int64_t End = 0;      // one past its last sample
  float Score = -1.0f;       // the detector's distance at the best alignment (lower is closer)
  float Threshold = -1.0f;   // the pattern's threshold the score was compared with
  float Confidence = -1.0f;  // 0..1: 1 - Score/Threshold, how far under the threshold
  float Verify = 0.0f;       // distance of the worst quarter of the pattern at that alignment
  float RelDev = 2.0f;       // the recognizer's own deviations of that pattern in the block of the
  float RelDevMpb = 2.0f;    // best alignment (2: not compared there)
  int Method = -1;           // what found it: kLevelMethod or kShapeMethod (-1: not the detector)
  float Stretch = 0.0f;      // shape distance: speed change of the input found, percent (> 0 faster)
  float Seen = 1.0f;         // fraction of the clip found: < 1 for a partial occurrence (the clip cut
                             // short or covered after that much; End is where the part seen ends)
  int Tentative = 0;         // 1: a checked pattern's candidate beyond its threshold (or its worst
                             // quarter beyond VerifyFactor), within CheckedScale of it: it stands only
                             // when the check after the detector confirms it (SetChecked)
  const char* Name = nullptr;  // file name of the matching pattern (held by the detector until Detach)
  // Among relatives (patterns that share content, docs/versions.md): the closest other version
  // (engine pattern number, -1: none compared) and how much farther it was on the stretch where the
  // two differ (its distance there minus this one's). Undecided: 1 when that stretch was not heard
  // well enough to tell them apart; Pattern is then the closest of the candidates, RunnerUp the next.
  // The names (held like Name): the runner-up's, and of an undecided report its candidates, closest
  // first.
  int RunnerUp = -1;
  float Margin = 0.0f;
  int Undecided = 0;
  const char* RunnerUpName = nullptr;
  const char* CandidateNames[4] = {};

  // True when this report and the span [begin, end) share more than half of the shorter of the
  // two: the same occurrence (reported once, whichever distance or part found it).
  bool SameOccurrence(std::int64_t begin, std::int64_t end) const {
    const std::int64_t shared = (End < end ? End : end) - (Begin > begin ? Begin : begin);
    const std::int64_t shorter = End - Begin < end - begin ? End - Begin : end - begin;
    return shared * 2 > shorter;
  }
};

// What the detector keeps per pattern; read through PatternDetector::Pattern(i).
struct SP_API DetectorPattern {
  int Group = 0;              // group number (pattern number of the group's first member)
  float SpeedPercent = 0.0f;  // speed change of this variant
  int Nblock = 0;             // pattern length in time blocks (0: never compared)
  float SelfPositive = 0.0f;    // largest distance of distorted copies of the pattern
  float SelfNegative = 0.0f;    // smallest distance of sounds made from the pattern's make-up
  float ShiftDistance = 0.0f;   // distance of the pattern one time block off
  float SelfThreshold = 0.0f;   // threshold derived from the pattern alone
  float BackgroundMin = 0.0f;   // smallest distance seen on background audio (0: none calibrated)
  float Threshold = 0.0f;       // threshold in force
  float Score = 0.0f;           // distance at the latest time block (1e9 when not compared)
  float Verify = 0.0f;          // worst-quarter distance at the latest time block
  int Calibrated = 0;           // 1 when a background calibration is in force
  float ShapeThreshold = 0.0f;  // threshold of the shape distance (0: not compared by shape)
  float ShapeNegative = 0.0f;   // smallest shape distance of sounds made from the pattern's make-up
  float ShapeBackgroundMin = 0.0f;  // smallest shape distance seen on background audio (0: none)
  float ShapeScore = 0.0f;      // shape distance at the latest time block (2: not compared)
  std::string Name;             // the pattern's file name (without folders)
  int Checked = 0;              // 1: its reports are confirmed after the detector (SetChecked)
  int Compared = 0;             // 1: compared (the engine's switch of the pattern while the library
                                // compares, the switch as it was at Attach once the detector took over)
};

// A relative of a pattern: another pattern that shares content with it (a version, a cut-down),
// found at Attach from the patterns themselves (docs/versions.md).
struct SP_API DetectorRelative {
  int Pattern = -1;               // the relative's engine pattern number
  float Shared = 0.0f;            // fraction of the shorter of the two they share
  float Apart = 0.0f;             // mean level difference where they differ, dB
  std::int64_t DifferBegin = 0;   // samples from this pattern's start: where it differs from the
  std::int64_t DifferEnd = 0;     // relative (DifferBegin == DifferEnd: nowhere)
  std::int64_t Offset = 0;        // samples: the relative's start after this one's when they align
  int Indistinct = 0;             // 1: too little or too faint a difference to tell them apart
};

namespace spdet {
class DetectorCore;
}

class SP_API PatternDetector {
 public:
  // Called after the detector has processed a time block (scores are then current).
  typedef void (*BlockCallback)(void* context, PatternDetector* detector);

  PatternDetector();
  ~PatternDetector();
  PatternDetector(const PatternDetector&) = delete;
  PatternDetector& operator=(const PatternDetector&) = delete;

  // The tuning (include/DetectorTuning.h); set it before Attach.
  void SetTuning(const DetectorTuning& tuning);
  const DetectorTuning& GetTuning() const;
  // Directory of the self-calibration cache (docs/detector.md, "Self-calibration cache"); null,
  // the default, takes it from the environment, "" keeps no cache. Set it before Attach.
  void SetCacheDirectory(const char* directory);

  // Attaches to an engine in recognition mode: prepares every pattern, calibrates its threshold
  // from the pattern itself, reads the sidecar calibration of each pattern file when names are
  // given (patternFiles: the names the engine was set up with, in the same order; may be null)
  // and adds itself to the engine's time-block observers (called before the observers added
  // earlier, such as a RecognitionStream's). Returns 1, or 0 when the engine is not in
  // recognition mode, has no room for another observer or memory runs out.
  int Attach(TimeSpectrumEstimation* engine, const char* const* patternFiles);
  // Removes the observer and releases everything.
  void Detach();
  // Forgets the stream: pending candidates, reports and the block count. samplesFedBefore is
  // the 64-bit position of the next sample the engine will be fed.
  void Reset(std::int64_t samplesFedBefore);

  // Puts pattern `pattern` into the group of pattern `group` as a variant with the given speed
  // change. Returns 1, or 0 for bad numbers.
  int SetGroup(int pattern, int group, float speedPercent);
  // Marks pattern `pattern` as checked after the detector: its reports pass a finer comparison
  // before anyone sees them (sigpat's detail check of short clips, docs/detail-check.md). Its
  // candidates are then also taken up to Tuning.CheckedScale times its threshold, reported with
  // Tentative 1 for that check to confirm or drop. Returns 1, or 0 for a bad number.
  int SetChecked(int pattern, int checked);
  // Groups patterns by their file names: "NAME.speed+1.5.tvs" joins "NAME.tvs". Returns the
  // number of variants grouped.
  int GroupBySpeedNames(const char* const* patternFiles);

  // End of the stream: reports the candidates still waiting for confirmation. Returns the
  // number of reports added.
  int Finish();

  int ReportCount() const;
  const DetectorReport* GetReport(int i) const;
  void ClearReports();
  void SetBlockCallback(BlockCallback fn, void* context);

  // Background calibration: between Begin and End the detector reports nothing and records the
  // smallest distance of every pattern; End turns it into the pattern thresholds. Returns 1,
  // or 0 when no background was fed (End).
  int BeginBackgroundCalibration();
  int EndBackgroundCalibration();
  // The same from a measurement made elsewhere (other detectors on the same patterns):
  // minimum[i] the smallest distance of pattern i (FLT_MAX: never compared), over `seconds` of
  // background. Returns EndBackgroundCalibration's result.
  int CalibrateFromBackground(const float* minimum, double seconds);
  // Seconds of background measured by the last calibration.
  double CalibrationSeconds() const;
  // Sidecar file of a pattern file: "<pattern file>.cal" (detector/calibration_file.h). Save
  // writes pattern `pattern`'s calibration; Load reads it (1) or returns 0 when the file is
  // absent, unreadable or made for another pattern.
  int SaveCalibration(int pattern, const char* patternFile);
  int LoadCalibration(int pattern, const char* patternFile);
  static void SidecarName(const char* patternFile, char* out, int outSize);

  // ---- read-only views for reports, evaluation and tests
  int PatternCount() const;
  const DetectorPattern& Pattern(int i) const;
  int BlockSamples() const;              // samples per time block
  int StepsPerBlock() const;             // alignments tried per time block
  int DelayToBlockEnd() const;           // from a clip's first sample to its newest block's end
  std::int64_t BlocksSeen() const;       // time blocks since Attach/Reset
  // The relatives of pattern i (0 when it has none), and the k-th of them: 1, or 0 for bad numbers.
  int RelativeCount(int i) const;
  int GetRelative(int i, int k, DetectorRelative& out) const;
  // Distance of pattern i at the alignment `step` steps before the newest of this time block
  // (1e9: not compared).
  float StepScoreOf(int i, int step) const;

 private:
  std::unique_ptr<spdet::DetectorCore> Core;  // everything else: detector/detector_core.h
};

#endif
