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
std::unique_ptr<DecisionRule> MakeDetectorRule();

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
  // Asked before every read: true ends the input there, as if it had ended (the recognizer still
  // gets its closing silence and the rule its Finish, so pending candidates are reported).
  std::function<bool()> stop;
};

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
// the library's lines.
void LoadPattern(const std::string& file, SignalTVSEx& record);

// Sets the engine up to recognise the pattern files (blocks of up to kBlockSamples; a negative
// threshold keeps the library's default); throws Error naming the set, with the library's lines,
// when the library refuses it.
void SetUpRecognition(SignalPattern& engine, const std::vector<std::string>& files, float threshold = -1.0f);

// Checks each pattern file on its own and then the set; throws Error naming the file and the
// problem, with the library's lines, when the library refuses it.
void CheckPatternSet(const std::vector<std::string>& files);

class Scanner {
 public:
  Scanner(std::vector<std::string> patternFiles, ScanOptions options);

  // Scans one input to its end, calling emit for each detection as soon as it is made and
  // progress with the number of samples fed. Throws Error on a refused set-up or a read error.
  ScanResult Scan(AudioInput& input, const std::function<void(const Detection&)>& emit,
                  const std::function<void(std::int64_t)>& progress = nullptr);

 private:
  static void Observe(void* context, TimeSpectrumEstimation* engine);

  std::vector<std::string> files_;
  ScanOptions options_;
  // Per scan:
  SignalPattern* engine_ = nullptr;
  DecisionRule* rule_ = nullptr;
  std::int64_t base_ = 0;
  std::vector<RuleDetection> pending_;
};

}  // namespace sigpat

#endif
