// Scanning: one recognition stream (the library's RecognitionStream, which keeps 64-bit positions
// and rebases the engine across its 32-bit counter wrap) fed with one audio input, and a
// decision rule that turns each time block into detections.
#ifndef SIGPAT_SCANNER_H
#define SIGPAT_SCANNER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "SignalPattern.h"
#include "audio_input.h"

namespace sigpat {

class DetailGate;

// What a rule sees of the recognizer at a time block.
struct EngineView {
  SignalPattern& engine;
  const RecognitionStream& stream;  // 64-bit positions: stream.Absolute(engine position)
  const std::vector<std::string>* files = nullptr;  // the pattern files, in engine order (Start)
  // Per pattern, 1 when its detections are checked after the rule (Start; null: none are):
  // the detector may then report tentative ones for that check to confirm.
  const std::vector<int>* checked = nullptr;
  // The recognitions the library accepted at this time block (OnTimeBlock), in order.
  std::span<const StreamRecognition> accepted;
};

// A decision rule: receives every time block of a recognizer (after the library has matched
// it, with what the library accepted there) and emits detections, each as one DetectorReport (include/PatternDetector.h; the library's
// rule fills the pattern, the positions, 64-bit samples at 44100 Hz from the start of the input,
// and the deviations). Rules are created per input (one recognizer each) and used from
// one thread.
class DecisionRule {
 public:
  virtual ~DecisionRule() = default;
  // The name given in the "rule" field of the JSON lines.
  virtual std::string Name() const = 0;
  // After the recognizer is set up, before the first block.
  virtual void Start(EngineView view) { (void)view; }
  // After every time block.
  virtual void OnTimeBlock(EngineView view, std::vector<DetectorReport>& out) = 0;
  // After the last block of the input.
  virtual void Finish(EngineView view, std::vector<DetectorReport>& out) { (void)view, (void)out; }
};

// The library's own rule: a detection for every recognition the library accepts, with the
// position, deviations and pattern of the pattern's record.
class LibraryRule : public DecisionRule {
 public:
  std::string Name() const override { return "library"; }
  void OnTimeBlock(EngineView view, std::vector<DetectorReport>& out) override;
};

// The decision layer of the library (PatternDetector): per-pattern thresholds, one report per
// occurrence at its best alignment, speed variants grouped by file name, sidecar calibrations.
// configure, when given, sets the detector's tuning before it is attached; attached, when
// given, sees the detector once it is set up (measurements that read its patterns or follow
// its blocks).
std::unique_ptr<DecisionRule> MakeDetectorRule(std::function<void(DetectorTuning&)> configure = nullptr,
                                               std::function<void(PatternDetector&)> attached = nullptr);

// The rules sigpat knows, by name; null for an unknown name.
std::unique_ptr<DecisionRule> MakeDecisionRule(const std::string& name);
std::vector<std::string> DecisionRuleNames();

// A detection as sigpat prints it: the rule's report as the rule made it, wrapped with what the
// output adds (the input, the pattern file, times).
struct Detection {
  DetectorReport report;  // its Name is not kept (see name)
  std::string input;  // as given on the command line
  std::string file;   // the pattern file as given
  std::string name;   // the pattern's name as the library gives it
  // Among versions (report.RunnerUp, Margin, Undecided): the runner-up's name, and the candidates of
  // an undecided report, closest first.
  std::string runnerUp;
  std::vector<std::string> candidates;
  double beginSeconds = 0, endSeconds = 0;
  std::string rule;
  // Wall-clock time (UTC, seconds since 1970) of the begin and end; < 0: not known.
  double beginWall = -1.0, endWall = -1.0;
  std::string clock;  // where they come from: "arrival" (of the samples) or "stream" (its own clock)
  // The detector's: what found it, "level" or "shape"; "" for the library's rule.
  const char* Match() const {
    if (report.Method == DetectorReport::kShapeMethod) return "shape";
    if (report.Method == DetectorReport::kLevelMethod) return report.Tentative ? "level+detail" : "level";
    return "";
  }
};

struct ScanOptions {
  float threshold = -1.0f;  // TresholdRelDeviation; < 0 keeps the library's default
  std::string rule = "detector";
  // Makes the rule instead of the name, when set (a rule of the caller's own).
  std::function<std::unique_ptr<DecisionRule>()> makeRule;
  // The detector decides alone: the library's own comparisons are switched off (much faster with
  // many patterns) and detections carry rel_dev 2 (not compared).
  bool detectorAlone = false;
  // Detections of the detector's rule whose pattern has a detail print beside it are confirmed
  // against the input's own detail (detail_gate.h); false turns that off.
  bool detailCheck = true;
  // Rebase the engine once NCurrentSample reaches this (see RecognitionStream.h). Tests use a
  // small value to rebase after nearly every block.
  std::uint32_t rebaseThreshold = RecognitionStream::kDefaultRebaseThreshold;
  // Testing aid: start the engine's counter here instead of 0 (a multiple of 576), as if that
  // much input had gone before; positions are still reported from the start of the input.
  std::uint32_t engineStartSample = 0;
  // The input's name in detections instead of its path (--label).
  std::string label;
  // Detections carry the wall-clock time at which their samples arrived (--timestamps).
  bool wallClock = false;
  // What the recognizer opens instead of each pattern file (copies in memory, the same bytes);
  // empty: the files themselves.
  std::vector<std::string> openAs;
  // Asked before every read: true ends the input there, as if it had ended (the recognizer still
  // gets its closing silence and the rule its Finish, so pending candidates are reported).
  std::function<bool()> stop;
  // Blocks of silence fed after the input, so that a clip that ends with it is seen (see
  // RecognitionStream.h).
  int closingBlocks = RecognitionStream::kClosingBlocks;
  // Given every piece of the input after it was fed (Scan only): evidence recording.
  std::function<void(const std::int16_t*, std::size_t)> onSamples;
};

// Samples per call of Pattern: the library's standard block.
constexpr int kScanBlockSamples = RecognitionStream::kBlockSamples;

struct ScanResult {
  std::int64_t samples = 0;  // input samples (44100 Hz) scanned
  int detections = 0;
  int rebases = 0;
  bool stopped = false;  // options.stop ended the input early
  int detailRejected = 0;  // detections the detail check found to be near relatives, not dropped silently
};

// Loads a pattern file through the library; throws Error naming the file and the problem, with
// the library's lines. `openAs`, when given, is what the library opens instead (a copy of the
// file in memory, see pattern_snapshot.h); messages still name the file.
void LoadPattern(const std::string& file, SignalTVSEx& record, const std::string& openAs = "");

// Sets the engine up to recognise the pattern files (blocks of up to kBlockSamples; a negative
// threshold keeps the library's default); throws Error naming the set, with the library's lines,
// when the library refuses it. `openAs`, when not empty, names what the library opens instead of
// each file.
void SetUpRecognition(SignalPattern& engine, const std::vector<std::string>& files, float threshold = -1.0f,
                      const std::vector<std::string>& openAs = {});
// The same for a recognition stream, whose counter starts at startSample.
void SetUpRecognition(RecognitionStream& stream, const std::vector<std::string>& files, float threshold,
                      std::uint32_t startSample, const std::vector<std::string>& openAs = {});

// Checks each pattern file on its own (and warns about patterns too short or very long); throws
// Error naming the file and the problem, with the library's lines, when the library refuses one.
// `openAs` as for SetUpRecognition. Returns each pattern's length in seconds (blocks at its
// sample rate), so that callers need not load the files again for it.
std::vector<double> CheckPatternFiles(const std::vector<std::string>& files, const std::vector<std::string>& openAs = {});
// CheckPatternFiles, then the set as a whole, set up once to see whether the library takes it.
// A caller that scans next checks the set with Scanner::Prepare instead: one set-up, not two.
std::vector<double> CheckPatternSet(const std::vector<std::string>& files, const std::vector<std::string>& openAs = {});

// One recognizer and its rule fed block by block: the push side of scanning, for inputs that
// arrive on their own schedule (live streams). Not copyable; used from one thread at a time.
class ScanSession {
 public:
  using Emit = std::function<void(const Detection&)>;
  // Sets the recognizer up (or takes `prepared`, made by SetUp with the same files and options);
  // throws Error when the library refuses the set. `input` names the input in every detection.
  ScanSession(const std::vector<std::string>& patternFiles, const ScanOptions& options, std::string input,
              std::unique_ptr<RecognitionStream> prepared = nullptr);
  static std::unique_ptr<RecognitionStream> SetUp(const std::vector<std::string>& patternFiles,
                                                  const ScanOptions& options);
  // A recognizer for another input: a copy of `model` (made by SetUp) that shares its read-only
  // pattern arrays (SharingScope); throws Error when memory runs out.
  static std::unique_ptr<RecognitionStream> CopyOf(const RecognitionStream& model);
  ~ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // Feeds any number of samples (a partial block waits for the next feed; Finish pads it with
  // silence). Throws Error when the recognizer refuses a block.
  void Feed(const std::int16_t* samples, std::size_t n, const Emit& emit);
  // The samples up to `position` (44100 Hz, from the start of the input) arrived at
  // `wallSeconds` (UTC, seconds since 1970): detections then carry the wall-clock time of their
  // begin and end, counted back from the latest arrival.
  void NoteArrival(std::int64_t position, double wallSeconds);
  // Feeds the silence that lets a clip at the very end be seen and reports what is pending.
  void Finish(const Emit& emit);

  std::int64_t samples() const { return stream_->Samples(); }
  int detections() const { return result_.detections; }
  const ScanResult& result() const { return result_; }

 private:
  static void Observe(void* context, RecognitionStream& stream);
  EngineView View();
  void Check(int fed, const Emit& emit);
  void Deliver(const Emit& emit);

  std::vector<std::string> files_;
  ScanOptions options_;
  std::string input_;
  std::unique_ptr<RecognitionStream> stream_;
  std::unique_ptr<DecisionRule> rule_;
  std::unique_ptr<DetailGate> detail_;  // null: no detail check
  std::vector<int> checked_;            // per pattern: its detections pass the detail check
  std::vector<DetectorReport> pending_;
  std::size_t offered_ = 0;  // the stream's recognitions of this feed already given to the rule
  std::int64_t arrivalPosition_ = -1;
  double arrivalWall_ = 0.0;
  ScanResult result_;
};

class Scanner {
 public:
  Scanner(std::vector<std::string> patternFiles, ScanOptions options);

  // Scans one input to its end, calling emit for each detection as soon as it is made and
  // progress with the number of samples fed. Throws Error on a refused set-up or a read error.
  ScanResult Scan(AudioInput& input, const std::function<void(const Detection&)>& emit,
                  const std::function<void(std::int64_t)>& progress = nullptr);
  // Sets the recognizer of the next input up now, so that a set the library refuses fails
  // (Error, as Scan would) before any input is opened; Scan then uses it. Samples pushed in
  // pieces are scanned by a ScanSession, which gives the same detections to the bit.
  // onlyInput: this scanner scans one input and no other shares its set-up, so the recognizer is
  // set up for it alone (no copy of the set-up kept: half the memory, less time).
  void Prepare(bool onlyInput = false);
  // The recognizers of this scanner's inputs are copies of `other`'s set-up (same patterns and
  // options, prepared): the pattern files are read and prepared once for all inputs.
  void ShareSetUp(const Scanner& other) { model_ = other.model_; }

 private:
  std::unique_ptr<RecognitionStream> NextStream();

  std::vector<std::string> files_;
  ScanOptions options_;
  std::unique_ptr<RecognitionStream> prepared_;  // by Prepare, for the next input
  std::shared_ptr<const RecognitionStream> model_;  // set up, never fed: what each input's copies
};

}  // namespace sigpat

#endif
