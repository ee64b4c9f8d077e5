// A distance of the decision layer: one part object that compares the patterns with the aligned
// input at every time block and writes its distances into the table the candidate picker reads,
// or, like the shape distance, keeps candidates of its own and reports them through the core
// (ReportSink). The distances the core runs are the entries of DistanceTable(), in order
// (distance_table.cpp): adding one is one new file with its class and factory, and one line there.
#ifndef SP_DETECTOR_DISTANCE_H
#define SP_DETECTOR_DISTANCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PatternDetector.h"

namespace spdet {
class BackgroundTracker;
class Preselector;
struct PatternGroups;
struct LevelPattern;

// What a distance that decides its own candidates reports through: the core's picker and store.
class ReportSink {
 public:
  virtual ~ReportSink() = default;
  // Into the store (report_store.h), which drops a report repeating its group's last.
  virtual void Store(const DetectorReport& r) = 0;
  // The picker holds a candidate of group g (its report may still come).
  virtual bool Pending(int g) const = 0;
  // Samples fed before the stream's first block (reports count from there).
  virtual std::int64_t Origin() const = 0;
  // The fraction of pattern i's clip heard in the window ending at block `end` at speed step
  // `shift`, `seen` the fraction the distance found, lowered to a cut the blocks show
  // (cut_point.cpp); `fed`: the blocks the distance was fed (at the end of the stream, with the
  // silence it adds after the last).
  virtual float CutSeen(int i, int shift, std::int64_t end, std::int64_t fed, float seen, bool whole) = 0;
};

// Levels in dB of pattern i's clip, oldest block first, without the pattern's newest block
// (what followed the clip when it was made): (nblock - 1) x nband values into out.
void ClipLevels(const TimeSpectrumEstimation& engine, int i, int nblock, int nband, float* out);

// The aligned input of a time block, read-only: levels in dB of the blocks ending at every
// alignment step (`steps` per time block), in a ring of ringLength blocks of nband levels.
struct AlignedInput {
  const float* ring = nullptr;
  int ringLength = 0;
  int newest = 0;             // ring index of the newest aligned block
  int nband = 0;
  int steps = 1;              // alignment steps per time block
  std::int64_t blocks = 0;    // time blocks since Attach/Reset
  // The `count` input blocks one time block apart, from the alignment `phase` steps before the
  // newest back, newest first: out[k] is aligned with a pattern's block k.
  void Segment(int phase, int count, const float** out) const {
    int r = newest - phase;
    while (r < 0) r += ringLength;
    for (int k = 0; k < count; ++k) {
      out[k] = ring + static_cast<long>(r) * nband;
      r -= steps;
      if (r < 0) r += ringLength;
    }
  }
};

// What a distance is set up over at Attach. The pointers stay valid until Detach; the patterns'
// thresholds and groups may change after (calibration, SetGroup), so they are read at each block.
struct DistanceSetUp {
  std::vector<DetectorPattern>* patterns = nullptr;  // it may set their Score and Verify
  const DetectorTuning* tuning = nullptr;
  const PatternGroups* groups = nullptr;
  const TimeSpectrumEstimation* engine = nullptr;    // whose switches say which patterns compare
  int nband = 0;
  int steps = 1;            // alignment steps per time block
  int blockSamples = 0;     // samples per time block
  int delaySamples = 0;     // from a clip's first sample to the end of its newest block
  int longest = 0;          // blocks of the longest pattern (the ring holds that many per step)
  ReportSink* reports = nullptr;  // for a distance that reports on its own
  const std::vector<std::shared_ptr<const LevelPattern>>* levels = nullptr;  // per pattern (null: Nblock 0)
  // The pre-selection, configured but without sketches yet (null: none), for a distance that
  // draws its sketches while it sets up, from levels it has at hand then (AddSketches adds them).
  const Preselector* preselect = nullptr;
  std::string cacheDirectory = {};  // where set-up results are kept between processes (empty: nowhere)
};

// The table the candidate picker reads (StepDistances): [i*steps + s] pattern i's distance at
// the alignment s steps before the newest (kNotEvaluated: not compared) and its worst quarter;
// previous[i] the distance at the newest step of the block before.
struct StepTable {
  float* score = nullptr;
  float* verify = nullptr;
  float* previous = nullptr;
  int steps = 1;
};

// What a distance reads at each time block besides the aligned input.
struct DistanceBlock {
  const AlignedInput& input;
  BackgroundTracker& background;    // the background before an occurrence (background.h)
  const unsigned char* preselected; // the pre-selection's patterns for the newest alignment (null: all)
  bool calibrating;                 // background audio is being measured: every pattern compared
  // The pre-selection's flags held for a distance that decides later than the newest block
  // (null: all), followed by those of the sketches it added (AddSketches).
  const unsigned char* selected = nullptr;
};

class Distance {
 public:
  virtual ~Distance() = default;
  virtual const char* Name() const = 0;
  // Set-up over the attached patterns. Throws std::bad_alloc.
  virtual void SetUp(const DistanceSetUp& s) = 0;
  // The state of a new stream.
  virtual void Reset() = 0;
  // One time block: the distances of the patterns it compares now into `out`, kNotEvaluated in
  // the cells of those it stops comparing. Distances work in the table's order on one table.
  // (A distance that decides its own candidates writes no cell: it reports through its sink.)
  virtual void Block(const DistanceBlock& in, const StepTable& out) = 0;
  // The picker has read this block's distances (not called while the background is measured).
  virtual void Picked(const StepTable& out) { (void)out; }
  // The end of the stream (`in` as at its last block), after the picker's candidates were
  // reported: the candidates it keeps are decided and reported.
  virtual void Finish(const DistanceBlock& in) { (void)in; }
  // Its part in the pre-selection (preselect.h), set up after SetUp: the blocks pattern i stays
  // compared after its sketch passed (a distance deciding later than the newest block), and its
  // own sketches after the patterns' (scratch: the caller's buffer).
  virtual int SketchReach(int i) const { (void)i; return 0; }
  virtual void AddSketches(Preselector& preselect, std::vector<float>& scratch) { (void)preselect, (void)scratch; }
};

// The registration table: a name and a factory per distance, in the order the core runs them.
// The core reads it at Attach (a test may add its own distance for the detectors it attaches).
struct DistanceEntry {
  const char* name;
  std::unique_ptr<Distance> (*make)();
};
std::vector<DistanceEntry>& DistanceTable();

}  // namespace spdet

#endif
