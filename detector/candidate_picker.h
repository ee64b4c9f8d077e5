// The candidate picker: from the distances of every alignment step, per group the member furthest
// under its threshold; a candidate follows the local minimum of the distance and is reported once
// no better alignment came for the pattern's length. It owns the candidates and the report store
// (every path's reports go through Store: the version arbiter takes those of patterns with
// relatives). docs/detector.md, "Best alignment, once".
#ifndef SP_DETECTOR_CANDIDATE_PICKER_H
#define SP_DETECTOR_CANDIDATE_PICKER_H

#include <cstdint>
#include <vector>

#include "PatternDetector.h"
#include "report_store.h"

namespace spdet {
class RelativesHolder;

// The groups of patterns (speed variants with their leader): members of every group, leader
// first, as consecutive runs of `members`.
struct PatternGroups {
  std::vector<int> start;    // patterns + 1: run of group g in members (empty unless g leads)
  std::vector<int> members;  // patterns
  std::vector<int> leaders;  // the patterns that lead a group, in number order
  // From the patterns' Group numbers. Throws std::bad_alloc.
  void Build(const std::vector<DetectorPattern>& patterns);
  bool Leads(int i) const { return start[static_cast<std::size_t>(i) + 1] - start[static_cast<std::size_t>(i)] > 1; }
};

// The distances of one time block: [i*steps + s] is pattern i's at the alignment s steps before
// the newest (kNotEvaluated: not compared), with its worst quarter; `previous` per pattern the
// distance at the newest step of the block before.
struct StepDistances {
  const float* score = nullptr;
  const float* verify = nullptr;
  const float* previous = nullptr;
};

class CandidatePicker {
 public:
  struct Geometry {
    int steps = 1;          // alignment steps per time block
    int blockSamples = 0;   // samples per time block
    int delaySamples = 0;   // from a clip's first sample to the end of its newest block
  };
  // patterns and tuning are read at every step and must outlive the picker's use; reports of
  // patterns with relatives go to kin when not null. Throws std::bad_alloc.
  void Configure(const std::vector<DetectorPattern>* patterns, const DetectorTuning* tuning, const Geometry& g,
                 RelativesHolder* kin);
  bool Configured() const { return patterns_ != nullptr; }
  // The fraction of pattern `pattern` heard at the alignment `phase` steps before the newest (1:
  // whole), asked of `context` when a candidate takes an alignment; none set: every report whole.
  using SeenFn = float (*)(void* context, int pattern, int phase);
  void SetSeen(SeenFn fn, void* context) {
    seen_ = fn;
    seenContext_ = context;
  }
  // Where an alignment of pattern `pattern` at `step` was played off its speed: the airing's
  // begin and end (steps, fractional), how much faster it was played (percent) and the fraction
  // heard.
  // Asked of `context` when a candidate is reported; false: at its speed, the alignment's ends.
  struct Placed {
    double begin = 0.0;
    double end = 0.0;
    float stretch = 0.0f;
    float seen = 1.0f;
  };
  using PlaceFn = bool (*)(void* context, int pattern, std::int64_t step, Placed* out);
  void SetPlace(PlaceFn fn, void* context) {
    place_ = fn;
    placeContext_ = context;
  }
  // The library's deviations of pattern `pattern` at this block, asked of `context` when a
  // candidate takes an alignment; none set: read from the engine's patterns (compared at every
  // block, or 2 when not).
  using DeviationsFn = void (*)(void* context, int pattern, float* relDev, float* relDevMpb);
  void SetDeviations(DeviationsFn fn, void* context) {
    deviations_ = fn;
    deviationsContext_ = context;
  }
  // No candidate, no report (origin: samples fed before the first block). Throws std::bad_alloc.
  void Reset(std::int64_t origin);
  // Group g's candidates are dropped (its members changed, a calibration began).
  void Drop(int g);
  // Group g has a candidate.
  bool Active(int g) const { return candidates_[static_cast<std::size_t>(g)].Active != 0; }
  // Per group: 1 while a candidate may be active or a new one is not yet armed.
  const unsigned char* PendingFlags() const { return pending_.data(); }

  // The decision at one alignment step (`step` counted from the origin), for the groups in `live`
  // (the others have neither a candidate nor a comparison). selected: the groups compared now
  // (null: all). relDev: the engine's patterns, whose deviations at this block go into reports.
  void Pick(std::int64_t step, int phase, const StepDistances& d, const std::vector<int>& live,
            const PatternGroups& groups, const unsigned char* selected, SignalTVSEx* const* engine);
  // Reports every candidate still open (the end of the stream).
  void EmitAll();
  // Adds a report of any path: to the version arbiter when it takes it, else to the store.
  void Store(const DetectorReport& r);
  ReportStore& Reports() { return store_; }
  const ReportStore& Reports() const { return store_; }

 private:
  // A group's candidate occurrence: the report of its best alignment so far, with what that block
  // gave (member, distance, worst quarter, the library's deviations), and what is needed to
  // confirm it.
  struct Candidate {
    int Active = 0;
    DetectorReport Report;
    float ScoreRatio = 0.0f;     // its score / threshold
    float ScoreBefore = 0.0f;    // its score one step before the best
    float ScoreAfter = 0.0f;     // and one step after
    int ScoreAfterSet = 0;
    std::int64_t Step = 0;       // alignment step of the best
    std::int64_t Confirm = 0;    // step at which the best is confirmed
    std::int64_t Rearm = 0;      // no new candidate before this step unless the group left its threshold
    int Armed = 1;
    int LeftLimit = 0;           // the group's distance left its limit since the best
  };
  void TakeBest(Candidate& c, int best, float bestRatio, int tentative, std::int64_t step, int phase,
                const StepDistances& d, SignalTVSEx* const* engine);
  void Emit(const Candidate& c);

  const std::vector<DetectorPattern>* patterns_ = nullptr;
  const DetectorTuning* tuning_ = nullptr;
  Geometry g_;
  RelativesHolder* kin_ = nullptr;
  SeenFn seen_ = nullptr;
  void* seenContext_ = nullptr;
  PlaceFn place_ = nullptr;
  void* placeContext_ = nullptr;
  DeviationsFn deviations_ = nullptr;
  void* deviationsContext_ = nullptr;
  std::int64_t origin_ = 0;
  std::vector<Candidate> candidates_;   // indexed by group number
  std::vector<Candidate> following_;    // per group: the next occurrence while the candidate waits
  std::vector<unsigned char> pending_;  // per group
  ReportStore store_;
};

}  // namespace spdet

#endif
