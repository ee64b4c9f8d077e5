// Scanning: one recognizer (SignalPattern) fed with one audio input block by block, a decision
// rule that turns each time block into detections, and 64-bit positions that stay right on
// inputs longer than the library's 32-bit sample counter.
//
// Positions beyond 2^32 samples. The library counts input samples in 32-bit counters
// (NCurrentSample, RecognizedBegin/End, and each pattern's NSampleFoundBegin/End) and refuses a
// candidate as a repeat when "current position <= last end + hold-off" in unsigned 32-bit
// arithmetic. Left alone, the counters wrap after 2^32 samples (27 h 3 min at 44100 Hz) and every
// candidate after the wrap is refused as a repeat of the last detection before it, or placed
// 2^32 samples too early. The scanner therefore keeps the absolute position itself, as a 64-bit
// base plus the engine's counter, and rebases the engine between blocks: once NCurrentSample
// passes the rebase threshold (2^30 by default, about 6 h 46 min), a multiple of 576 samples
// (one time block) is subtracted from NCurrentSample, NCurrentSampleRel, RecognizedBegin/End and
// every pattern's NSampleFoundBegin/End (clamped at 0) and added to the base. What stays in the
// engine's counter after a rebase is the "keep" distance: the longest pattern plus the engine's
// delay plus one time block. That keeps every comparison the engine makes exactly as it would
// have been with unbounded counters: a pattern whose last end was clamped to 0 was found more
// than a pattern length ago, and the engine's position after the rebase already lies beyond any
// hold-off counted from 0. Only multiples of 576 are moved, so the time-block grid, the ring of
// time blocks and every deviation stay bit for bit the same.
#ifndef SIGPAT_SCANNER_H
#define SIGPAT_SCANNER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SignalPattern.h"
#include "audio_input.h"

class PatternDetector;

namespace sigpat {

// A detection as a rule reports it: pattern number and 64-bit positions (44100 Hz samples from
// the start of the input).
struct RuleDetection {
  int pattern = -1;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  float relDev = 2.0f;
  float relDevMpb = 2.0f;
  // Rules with a measure of their own (the detector): its distance, the threshold it was
  // compared with and the confidence (< 0: not given); the group's pattern and the speed change
  // of the variant that matched.
  float score = -1.0f;
  float threshold = -1.0f;
  float confidence = -1.0f;
  int group = -1;
  float speed = 0.0f;
  int method = -1;      // the detector's: 0 level distance, 1 shape distance
  float stretch = 0.0f; // speed change of the input the shape distance found, percent
};

// What a rule sees of the recognizer at a time block.
struct EngineView {
  SignalPattern& engine;
  std::int64_t base;  // absolute position of the engine's sample 0
  const std::vector<std::string>* files = nullptr;  // the pattern files, in engine order (Start)
  // Absolute position of the engine's NCurrentSample.
  std::int64_t position() const { return base + static_cast<std::int64_t>(engine.NCurrentSample); }
  // A recent engine position (a 32-bit counter value, no more than 2^31 samples before
  // NCurrentSample) as an absolute position: taken as a distance back from NCurrentSample, so
  // it comes out right whether the field holding it is signed or unsigned, and across a wrap.
  std::int64_t Absolute(std::int64_t enginePosition) const {
    const std::uint32_t back = engine.NCurrentSample - static_cast<std::uint32_t>(enginePosition);
    return position() - static_cast<std::int64_t>(static_cast<std::int32_t>(back));
  }
};

// A decision rule: receives every time block of a recognizer (after the library has matched
// it) and emits detections. Rules are created per input (one recognizer each) and used from
// one thread.
class DecisionRule {
 public:
  virtual ~DecisionRule() = default;
  // The name given in the "rule" field of the JSON lines.
  virtual std::string Name() const = 0;
  // After the recognizer is set up, before the first block.
  virtual void Start(EngineView view) { (void)view; }
  // After every time block.
  virtual void OnTimeBlock(EngineView view, std::vector<RuleDetection>& out) = 0;
  // After every call of Pattern, with its result (recognitions the library accepted in it).
  virtual void OnBlockCall(EngineView view, int result, std::vector<RuleDetection>& out) {
    (void)view, (void)result, (void)out;
  }
  // The engine was rebased: positions kept in engine coordinates move down by shift.
  virtual void OnRebase(std::uint32_t shift) { (void)shift; }
  // After the last block of the input.
  virtual void Finish(EngineView view, std::vector<RuleDetection>& out) { (void)view, (void)out; }
};

// The library's own rule: a detection for every recognition the library accepts, with the
// position, deviations and pattern that its getters give.
class LibraryRule : public DecisionRule {
 public:
  std::string Name() const override { return "library"; }
  void Start(EngineView view) override;
  void OnTimeBlock(EngineView view, std::vector<RuleDetection>& out) override;
  void OnBlockCall(EngineView view, int result, std::vector<RuleDetection>& out) override;

 private:
  std::vector<int> counts_;  // each pattern's NRecognize as last seen
  int inCall_ = 0;           // detections emitted during the current Pattern call
  bool warned_ = false;
};

// The decision layer of the library (PatternDetector): per-pattern thresholds, one report per
// occurrence at its best alignment, speed variants grouped by file name, sidecar calibrations.
// configure, when given, sets the detector's tuning fields before it is attached.
std::unique_ptr<DecisionRule> MakeDetectorRule(std::function<void(PatternDetector&)> configure = nullptr);

// The rules sigpat knows, by name; null for an unknown name.
std::unique_ptr<DecisionRule> MakeDecisionRule(const std::string& name);
std::vector<std::string> DecisionRuleNames();

// A detection as sigpat prints it.
struct Detection {
  std::string input;  // as given on the command line
  std::string file;   // the pattern file as given
  int pattern = -1;
  std::string name;   // the pattern's name as the library gives it
  std::int64_t begin = 0, end = 0;  // 44100 Hz samples
  double beginSeconds = 0, endSeconds = 0;
  float relDev = 2.0f, relDevMpb = 2.0f;
  std::string rule;
  float score = -1.0f, threshold = -1.0f, confidence = -1.0f;  // the detector's; < 0: not given
  int group = -1;       // the detector's: pattern number of the group (speed variants)
  float speed = 0.0f;   // the detector's: speed change of the variant that matched, percent
  std::string match;    // the detector's: what found it, "level" or "shape"
  float stretch = 0.0f; // the detector's shape match: speed change of the input found, percent
  // Wall-clock time (UTC, seconds since 1970) of the begin and end; < 0: not known.
  double beginWall = -1.0, endWall = -1.0;
  std::string clock;  // where they come from: "arrival" (of the samples) or "stream" (its own clock)
};

struct ScanOptions {
  float threshold = -1.0f;  // TresholdRelDeviation; < 0 keeps the library's default
  std::string rule = "detector";
  // Makes the rule instead of the name, when set (a rule of the caller's own).
  std::function<std::unique_ptr<DecisionRule>()> makeRule;
  // Rebase the engine once NCurrentSample reaches this (see the top of this file). Tests use a
  // small value to rebase after nearly every block.
  std::uint32_t rebaseThreshold = 1u << 30;
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
};

// Samples per call of Pattern: the library's standard block.
constexpr int kScanBlockSamples = 1152;

struct ScanResult {
  std::int64_t samples = 0;  // input samples (44100 Hz) scanned
  int detections = 0;
  int rebases = 0;
  bool stopped = false;  // options.stop ended the input early
};

// Moves the engine's sample counters down by shift (a multiple of 576): NCurrentSample,
// NCurrentSampleRel, RecognizedBegin/End and every pattern's NSampleFoundBegin/End (those two
// clamped at 0).
void RebaseEngine(SignalPattern& engine, std::uint32_t shift);

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

// Checks each pattern file on its own and then the set; throws Error naming the file and the
// problem, with the library's lines, when the library refuses it. `openAs` as for SetUpRecognition.
void CheckPatternSet(const std::vector<std::string>& files, const std::vector<std::string>& openAs = {});

// One recognizer and its rule fed block by block: the push side of scanning, for inputs that
// arrive on their own schedule (live streams). Not copyable; used from one thread at a time.
class ScanSession {
 public:
  using Emit = std::function<void(const Detection&)>;
  // Sets the recognizer up; throws Error when the library refuses the set. `input` names the
  // input in every detection.
  ScanSession(const std::vector<std::string>& patternFiles, const ScanOptions& options, std::string input);
  ~ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // Feeds up to kScanBlockSamples samples (fewer are padded with silence only by Finish). Throws
  // Error when the recognizer refuses a block.
  void Feed(const std::int16_t* samples, std::size_t n, const Emit& emit);
  // The samples up to `position` (44100 Hz, from the start of the input) arrived at
  // `wallSeconds` (UTC, seconds since 1970): detections then carry the wall-clock time of their
  // begin and end, counted back from the latest arrival.
  void NoteArrival(std::int64_t position, double wallSeconds);
  // Feeds the silence that lets a clip at the very end be seen and reports what is pending.
  void Finish(const Emit& emit);

  std::int64_t samples() const { return fed_; }
  int detections() const { return result_.detections; }
  const ScanResult& result() const { return result_; }

 private:
  static void Observe(void* context, TimeSpectrumEstimation* engine);
  void Block(const std::int16_t* block, const Emit& emit);
  void Deliver(const Emit& emit);

  std::vector<std::string> files_;
  ScanOptions options_;
  std::string input_;
  std::unique_ptr<SignalPattern> engine_;
  std::unique_ptr<DecisionRule> rule_;
  std::int64_t base_ = 0;
  std::uint32_t keep_ = 0;
  std::vector<RuleDetection> pending_;
  std::vector<std::int16_t> block_;
  std::size_t filled_ = 0;
  std::int64_t fed_ = 0;
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

  // The same scan with the samples pushed in pieces of any size: Begin sets the recognizer up
  // for the input named inputName, Feed takes the next samples (44100 Hz, mono, 16-bit), Finish
  // feeds the last partial block and the trailing silence. Detections are the same, to the
  // bit, as Scan's over the same samples. Begin again starts a new input.
  void Begin(const std::string& inputName);
  void Feed(const std::int16_t* samples, std::size_t n, const std::function<void(const Detection&)>& emit);
  ScanResult Finish(const std::function<void(const Detection&)>& emit);

 private:
  std::vector<std::string> files_;
  ScanOptions options_;
  std::unique_ptr<ScanSession> session_;  // between Begin and Finish
};

}  // namespace sigpat

#endif
