// PatternDetector: a decision layer on top of a recognizer set up for recognition.
// How it decides, written out once: docs/detector.md.
//
// The recognizer's own rule accepts a pattern at the first time block whose deviation falls
// under one fixed threshold. The detector instead watches every pattern at every time block
// (through the engine's time-block observer) with a gain-independent log-spectral distance of
// its own that leaves out what the steady background of each band covers, keeps a per-pattern
// threshold calibrated from the pattern itself (and optionally from background audio that holds
// no clip), and reports each occurrence once, at its best alignment, only when the whole
// occurrence lies inside the audio fed, with a confidence.
//
// Patterns can be grouped (a pattern and its speed-shifted variants): a group reports one
// occurrence, naming the variant that matched best.
//
// Positions are 64-bit sample counts from the first sample fed after Attach or Reset; the
// detector counts time blocks itself, so it does not depend on the engine's 32-bit counters.
//
// Lifetime: detach (or destroy) the detector before its engine is destroyed. A new set-up of
// the engine needs a new Attach; until then the detector leaves the engine alone.
//
// Threads: like the recognizer, one detector must not be used from two threads at once.
#ifndef SP_PATTERNDETECTOR_H
#define SP_PATTERNDETECTOR_H

#include <cstdint>

#include "TimeSpectrumEstimation.h"
#include "sp_types.h"

namespace spdet {
class Preselector;
}

// One reported occurrence.
struct SP_API DetectorReport {
  int Pattern;          // engine pattern number of the variant that matched
  int Group;            // group number (the pattern number of the group's first member)
  float SpeedPercent;   // speed change of that variant, 0 for the pattern itself
  std::int64_t Begin;   // first sample of the occurrence, from the first sample fed
  std::int64_t End;     // one past its last sample
  float Score;          // the detector's distance at the best alignment (lower is closer)
  float Threshold;      // the pattern's threshold the score was compared with
  float Confidence;     // 0..1: 1 - Score/Threshold, how far under the threshold
  float Verify;         // distance of the worst quarter of the pattern at that alignment
  float RelDev;         // the recognizer's own deviations of that pattern in the block of the
  float RelDevMpb;      // best alignment (2: not compared there)
  int Method;           // what found it: 0 the level distance, 1 the shape distance
  float Stretch;        // shape distance: speed change of the input found, percent (> 0 faster)
  const char* Name;     // file name of the matching pattern (held by the detector until Detach)
};

// What the detector keeps per pattern; public for reports and tests.
struct SP_API DetectorPattern {
  int Group;              // group number (pattern number of the group's first member)
  float SpeedPercent;     // speed change of this variant
  int Nblock;             // pattern length in time blocks
  float* LogSpectrum;     // Nblock*Nband, block-major, block 0 newest: level in dB, floored
  float* Weight;          // Nblock*Nband cell weights (0: not compared)
  float* Salient;         // Nblock*Nband: 1 for the cells that set the level difference
  float SalientCount;     // number of salient cells
  float TotalWeight;      // sum of the weights
  float QuarterWeight[4]; // weights of the four quarters of the pattern's span
  int QuarterEnd[4];      // first block after each quarter
  int CoarseStep;         // the coarse pass compares every CoarseStep-th block
  float CoarseSalientCount;     // the same sums over those blocks
  float CoarseTotalWeight;
  float CoarseQuarterWeight[4];
  float Floor_dB;         // floor of the pattern's levels
  float SelfPositive;     // largest distance of distorted copies of the pattern
  float SelfNegative;     // smallest distance of sounds made from the pattern's make-up
  float ShiftDistance;    // distance of the pattern one time block off
  float SelfThreshold;    // threshold derived from the pattern alone
  float BackgroundMin;    // smallest distance seen on background audio (0: none calibrated)
  float Threshold;        // threshold in force
  float Score;            // distance at the latest time block (1e9 when not compared)
  float Verify;           // worst-quarter distance at the latest time block
  int Calibrated;         // 1 when a background calibration is in force
  float ShapeThreshold;   // threshold of the shape distance (0: not compared by shape)
  float ShapeNegative;    // smallest shape distance of sounds made from the pattern's make-up
  float ShapeBackgroundMin; // smallest shape distance seen on background audio (0: none)
  float ShapeScore;       // shape distance at the latest time block (2: not compared)
  char* Name;             // the pattern's file name (without folders), owned
  int Compared;           // 1: compared (the engine's switch of the pattern while the library
                          // compares, the switch as it was at Attach once the detector took over)
};

class SP_API PatternDetector {
 public:
  // Called after the detector has processed a time block (scores are then current).
  typedef void (*BlockCallback)(void* context, PatternDetector* detector);

  // ---- tuning (defaults suit the standard geometry; change before Attach)
  float FloorDepth_dB;     // pattern levels more than this under its peak are floored
  float SalientDepth_dB;   // pattern cells within this depth under its peak are salient
  float QuietWeight;       // weight of the other cells
  float TailWeight;        // weight of the pattern's second newest block (the newest: 0)
  float ExcessWeight;      // weight of a level above the pattern's (a level below weighs 1)
  float NegativeScale;     // self threshold = NegativeScale * closest self-negative distance
  float PositiveScale;     // ... raised towards PositiveScale * worst self-positive distance
  float PositiveCap;       // ... but never above PositiveCap * closest self-negative distance
  float LengthCap;         // self threshold at most LengthCap * sqrt(Nblock)
  float ThresholdMin;      // limits of the self threshold (dB)
  float ThresholdMax;
  float BackgroundMargin;  // background threshold = margin * smallest background distance
  float VerifyFactor;      // a candidate's worst quarter must stay under factor * threshold
  float VariantGate;       // variants are compared while their leader's score < gate * threshold
  float GateFactor;        // sub-block alignments are tried where a score < factor * threshold
  float ShiftGate;         // ... or < threshold + ShiftGate * the pattern's ShiftDistance
  float MinLevel_dB;       // segments whose aligned level is under this (dB) are not compared
  // Background: per band, the lowest level of the input over the last NoiseSegments segments
  // of NoiseSegmentBlocks time blocks each. Pattern cells that the background would cover (the
  // pattern brought to the input's level stays under it + NoiseMargin_dB) are not compared:
  // they can neither be confirmed nor refuted. At least MinVisible of the pattern's salient
  // cells must stay visible. NoiseSegments 0 turns this off.
  int NoiseSegmentBlocks;
  int NoiseSegments;
  float NoiseMargin_dB;
  float MinVisible;
  // Patterns of up to GenericMaxBlocks time blocks are also compared with common sound events
  // (tones, drum-like hits, bursts); their thresholds stay well under the closest.
  int GenericMaxBlocks;
  // Shape distance (detector/shape_match.h): patterns of at least ShapeMinBlocks time blocks are
  // also compared by the shape of their bands over time, which survives compression and
  // equalisation, at speeds up to ShapeMaxSpeed off; ShapeThreshold is its default threshold,
  // kept under ShapeNegativeScale times the closest self-negative. ShapeMinBlocks 0 turns it off.
  int ShapeMinBlocks;
  int ShapeSegmentBlocks;
  int ShapeFullBlocks;     // patterns shorter than this get ShapeThreshold * sqrt(length / this)
  float ShapeMaxSpeed;
  float ShapeFloorDepth_dB;
  float ShapeThreshold;
  float ShapeNegativeScale;
  float ShapeGate;         // exact shape comparison where the coarse one is under threshold + gate
  // Pre-selection (detector/preselect.h): a pattern is compared only while a coarse sketch of it
  // correlates with the input above PreselectGate, and PreselectHold time blocks after.
  // PreselectGate <= -1 compares every pattern at every block.
  float PreselectGate;
  int PreselectHold;
  // 0: Attach switches the library's own comparison of every pattern off (the detector decides
  // alone; much faster with many patterns) and Detach switches it back; reports then carry
  // RelDev 2 (not compared). 1 (default): the library keeps comparing and reports carry its
  // deviations of the block the detector chose.
  int LibraryDeviations;

  // ---- state (public for reports; change only through the operations)
  TimeSpectrumEstimation* Engine;
  int NPattern;
  int Nband;
  int NsampleBlock;
  int DelaySamples;          // from a clip's first sample to the end of its newest block
  int SubSteps;              // alignments tried per time block (4 in the standard geometry)
  int SubFrames;             // filter-bank frames per alignment step
  int SubPerAvg;             // steps per averaging window of a time block
  int FrameAvg;              // the engine's NframeAvg and NframeHop at Attach
  int FrameHop;
  DetectorPattern* Patterns; // NPattern
  int RingLength;            // aligned blocks kept (SubSteps per time block)
  float* LogRing;            // RingLength*Nband levels in dB of blocks ending at each step
  int RingPos;               // index of the newest
  float* SubSums;            // SubPerAvg*Nband frame sums of the latest steps
  int SubPos;
  float* StepScore;          // NPattern*SubSteps distances at this time block's alignment steps
                             // ([i*SubSteps + s], s steps before the newest; 1e9: not compared)
  float* NoiseSeg;           // NoiseSegments*Nband lowest levels of the completed segments
  float* NoiseCur;           // Nband lowest levels of the segment being filled
  float* NoiseHist;          // NoiseHistLength*Nband background levels after each time block
  float* Noise;              // Nband background in force for the current comparisons (dB)
  int NoiseHistLength;
  int NoiseSegCapacity;      // segments allocated at Attach
  int NoiseSegPos;           // next segment slot
  int NoiseSegFill;          // completed segments kept
  int NoiseCount;            // time blocks in the segment being filled
  std::int64_t Blocks;       // time blocks seen since Attach/Reset
  std::int64_t Origin;       // samples fed before the first block counted
  int CalibrationMode;       // 1 while background audio is being measured
  double CalibrationBlocks;

  PatternDetector();
  ~PatternDetector();
  PatternDetector(const PatternDetector&) = delete;
  PatternDetector& operator=(const PatternDetector&) = delete;

  // Attaches to an engine in recognition mode: prepares every pattern, calibrates its threshold
  // from the pattern itself, reads the sidecar calibration of each pattern file when names are
  // given (patternFiles: the names the engine was set up with, in the same order; may be null)
  // and installs the engine's time-block observer (observe 0: the caller owns the observer and
  // calls OnTimeBlock after every time block itself). Returns 1, or 0 when the engine is not in
  // recognition mode or memory runs out.
  int Attach(TimeSpectrumEstimation* engine, const char* const* patternFiles, int observe = 1);
  // Removes the observer and releases everything.
  void Detach();
  // Forgets the stream: pending candidates, reports and the block count. samplesFedBefore is
  // the 64-bit position of the next sample the engine will be fed.
  void Reset(std::int64_t samplesFedBefore);

  // Puts pattern `pattern` into the group of pattern `group` as a variant with the given speed
  // change. Returns 1, or 0 for bad numbers.
  int SetGroup(int pattern, int group, float speedPercent);
  // Groups patterns by their file names: "NAME.speed+1.5.tvs" joins "NAME.tvs". Returns the
  // number of variants grouped.
  int GroupBySpeedNames(const char* const* patternFiles);

  // The engine's observer entry point; the pipeline calls it after each time block.
  static void Observer(void* context, TimeSpectrumEstimation* engine);
  void OnTimeBlock();
  // End of the stream: reports the candidates still waiting for confirmation. Returns the
  // number of reports added.
  int Finish();

  int ReportCount() const { return NReport; }
  const DetectorReport* GetReport(int i) const;
  void ClearReports();
  void SetBlockCallback(BlockCallback fn, void* context);

  // Background calibration: between Begin and End the detector reports nothing and records the
  // smallest distance of every pattern; End turns it into the pattern thresholds. Returns 1,
  // or 0 when no background was fed (End).
  int BeginBackgroundCalibration();
  int EndBackgroundCalibration();
  // Seconds of background measured by the last calibration.
  double CalibrationSeconds() const;
  // Sidecar file of a pattern file: "<pattern file>.cal". Save writes pattern `pattern`'s
  // calibration; Load reads it (1) or returns 0 when the file is absent, unreadable or made
  // for another pattern.
  int SaveCalibration(int pattern, const char* patternFile);
  int LoadCalibration(int pattern, const char* patternFile);
  static void SidecarName(const char* patternFile, char* out, int outSize);

 protected:
  struct Candidate {
    int Active;
    int Pattern;             // member at the best alignment
    float Z;                 // its score / threshold
    float Score;
    float Verify;
    float RelDev;
    float RelDevMpb;
    float Prev;              // its score one step before the best
    float Next;              // and one step after
    int NextSet;
    std::int64_t Step;       // alignment step of the best
    std::int64_t Confirm;    // step at which the best is confirmed
    std::int64_t Rearm;      // no new candidate before this step unless the group left its threshold
    int Armed;
  };

  int PrepareRings();
  bool EngineUnchanged() const;
  int PreparePattern(int i);
  void SelfCalibrate(int i);      // from the process's table of earlier results, or anew
  void SelfCalibrateNow(int i);
  std::uint64_t SelfKey(int i) const;
  float GenericNegative(int i);
  void PushSteps();
  void TrackNoise();
  int NoiseFor(int nblock);
  const float* const* Segment(int phase);
  float Distance(const DetectorPattern& P, const float* const* blocks, float gain, float* verify);
  float Gain(const DetectorPattern& P, const float* const* blocks);
  float Coarse(const DetectorPattern& P, const float* const* blocks, float limit, float* gain);
  void HiddenLevels(float gain, float* hide) const;
  float Evaluate(int i, int phase, float* verify, float limit);
  float GateOf(const DetectorPattern& P) const;
  void ScorePattern(int i);
  void Decide(int phase);
  void BuildGroups();
  void Emit(const Candidate& c);
  bool Repeats(const DetectorReport& r);
  void Store(const DetectorReport& r);
  // The shape path (detector/shape_path.cpp).
  int SetUpShape();
  void DropShape();
  void ResetShape();
  void ShapeBlock();
  void ShapeDecide(int i);
  void ShapeEmitAll(bool force);
  void ShapeFinish();
  int ShapeReach(int i) const;
  void ClipLevels(int i, float* out) const;
  void ShapeSelfCalibrate(int i, const float* own);

  Candidate* Candidates;     // indexed by group number
  float* StepVerify;
  int* GroupStart;           // NPattern + 1: run of group g in GroupMembers (empty unless g leads)
  int* GroupMembers;         // NPattern
  int* LeaderNear;           // NPattern: leader's score came within VariantGate (this or last block)
  float* PrevScore;          // NPattern: score at the previous step
  float* BandScratch;        // 4*Nband scratch levels of one comparison
  float* Work;               // scratch input of the self calibration, block-major
  const float** BlockPtr;    // SubSteps segments: pointers to aligned ring blocks, newest first
  int* WorkReady;            // SubSteps flags: segment set up for this time block
  int Longest;
  DetectorReport* Reports;
  int NReport;
  int CapReport;
  BlockCallback OnBlock;
  void* OnBlockContext;
  struct ShapeState;
  ShapeState* Shape;
  int SetUpPreselect();
  // Pattern i is switched on: by the engine's switch while the library compares too.
  bool Compares(int i) const {
    return LibraryDeviations ? Engine->TVS[i] == nullptr || Engine->TVS[i]->fUsePattern != 0 : Patterns[i].Compared != 0;
  }
  // Pattern i is compared at this time block (see PreselectGate).
  bool Selected(int i) const { return SelectFlags == nullptr || CalibrationMode || SelectFlags[i] != 0; }
  spdet::Preselector* Preselect;
  const unsigned char* SelectFlags;  // the pre-selection's flags; null: every pattern
};

#endif
