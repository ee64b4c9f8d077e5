// The decision layer behind PatternDetector's face (include/PatternDetector.h): its state and the
// order in which its parts work on each time block. Only detector/ sees this header; clients see
// the face, which forwards to it.
#ifndef SP_DETECTOR_DETECTOR_CORE_H
#define SP_DETECTOR_DETECTOR_CORE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "calibrator.h"
#include "candidate_picker.h"
#include "distance.h"
#include "level_pattern.h"
#include "relatives_holder.h"

namespace spdet {
class BackgroundTracker;
class Preselector;
struct StretchFit;

class DetectorCore {
 public:
  // Called after the detector has processed a time block (scores are then current).
  using BlockCallback = PatternDetector::BlockCallback;

  explicit DetectorCore(PatternDetector* face);
  ~DetectorCore();
  DetectorCore(const DetectorCore&) = delete;
  DetectorCore& operator=(const DetectorCore&) = delete;

  // The calls of PatternDetector (include/PatternDetector.h documents each), one for one.
  void SetTuning(const DetectorTuning& tuning) { Tuning = tuning; }
  const DetectorTuning& GetTuning() const { return Tuning; }
  void SetCacheDirectory(const char* directory) { Calib.SetCacheDirectory(directory); }

  int Attach(TimeSpectrumEstimation* engine, const char* const* patternFiles);
  void Detach();
  void Reset(std::int64_t samplesFedBefore);

  int SetGroup(int pattern, int group, float speedPercent);
  int SetChecked(int pattern, int checked);
  int GroupBySpeedNames(const char* const* patternFiles);

  int Finish();

  int ReportCount() const;
  const DetectorReport* GetReport(int i) const;
  void ClearReports();
  void SetBlockCallback(BlockCallback fn, void* context);

  int BeginBackgroundCalibration();
  int EndBackgroundCalibration();
  int CalibrateFromBackground(const float* minimum, double seconds);
  double CalibrationSeconds() const { return Calib.Seconds(); }
  int SaveCalibration(int pattern, const char* patternFile) {
    return EngineUnchanged() ? Calib.Save(pattern, patternFile) : 0;
  }
  int LoadCalibration(int pattern, const char* patternFile) {
    return EngineUnchanged() ? Calib.Load(pattern, patternFile) : 0;
  }
  static void SidecarName(const char* patternFile, char* out, int outSize) {
    spdet::Calibrator::SidecarName(patternFile, out, outSize);
  }

  // ---- read-only views for reports, evaluation and tests
  int PatternCount() const { return NPattern; }
  const DetectorPattern& Pattern(int i) const { return Patterns[static_cast<std::size_t>(i)]; }
  int BlockSamples() const { return NsampleBlock; }     // samples per time block
  int StepsPerBlock() const { return SubSteps; }        // alignments tried per time block
  int DelayToBlockEnd() const { return DelaySamples; }  // from a clip's first sample to its newest block's end
  std::int64_t BlocksSeen() const { return Blocks; }    // time blocks since Attach/Reset
  // The relatives of pattern i (0 when it has none), and the k-th of them: 1, or 0 for bad numbers.
  int RelativeCount(int i) const;
  int GetRelative(int i, int k, DetectorRelative& out) const;
  // Distance of pattern i at the alignment `step` steps before the newest of this time block
  // (1e9: not compared).
  float StepScoreOf(int i, int step) const { return StepScore[static_cast<std::size_t>(i) * SubSteps + step]; }

  // Set-up (detector_core.cpp).
  int AttachTo(TimeSpectrumEstimation* engine, const char* const* patternFiles);
  // The engine's observer: the work of one time block.
  static void Observer(void* context, const TimeBlockView& block);
  void OnTimeBlock(const TimeBlockView& block);
  void PrepareRings();
  bool EngineUnchanged() const;
  void PreparePattern(int i);
  int MakePreselect();    // configured, before the distances set up
  int SetUpPreselect();   // with the distances' sketches
  void SetUpDistances();  // the distances of DistanceTable(), set up over the patterns
  // The aligned input (detector_core.cpp).
  void PushSteps(const TimeBlockView& block);
  spdet::StepTable Table() { return {StepScore.data(), StepVerify.data(), PrevScore.data(), SubSteps}; }
  // Groups and relatives (detector_core.cpp); every path's reports go to the picker.
  void BuildGroups();
  void FindRelatives();
  void ReleaseVersions(bool all);
  void Store(const DetectorReport& r) { Picker.Store(r); }
  void ClipLevels(int i, float* out) const;  // spdet::ClipLevels of pattern i
  // The same, worked out once a pattern while the engine's set-up stays: the fractions heard of
  // a pattern's candidates read them again and again (only patterns with candidates are kept).
  // Valid until the next call.
  const float* HeldClipLevels(int i) const;
  // What the distances read of one time block (OnTimeBlock), or at the end of the stream.
  spdet::DistanceBlock BlockIn(const spdet::AlignedInput& input) const;
  // Where a clip was cut (cut_point.cpp), for the picker and the shape distance.
  float CutSeen(int i, int shift, std::int64_t end, std::int64_t fed, float seen, bool whole);  // cut_point.cpp: the fraction heard, to the block
  float LevelSeen(int i, int phase);  // cut_point.cpp: the fraction heard of a level match, `phase` steps back
  float Heard(int i, int first, bool cut, float* step = nullptr);  // cut_point.cpp: of the clip against CutInput
  bool PlaceLevel(int i, std::int64_t step, CandidatePicker::Placed* out);  // emit_speed.cpp: ends off speed
  bool FitClip(int i, double middle, double max, std::vector<const float*>& rows, std::int64_t& first,
               spdet::StretchFit& fit);  // emit_speed.cpp
  void PlaceShape(DetectorReport& r);  // emit_speed.cpp: a whole shape report's speed checked

  // Pattern i is switched on: by the engine's switch while the library compares too.
  bool Compares(int i) const {
    return Tuning.LibraryDeviations == 1 ? Engine->TVS[i] == nullptr || Engine->TVS[i]->fUsePattern != 0
                                    : Patterns[static_cast<std::size_t>(i)].Compared != 0;
  }
  // Pattern i is compared by the level distance at this time block, which judges the newest
  // alignment (see PreselectGate).
  bool LevelSelected(int i) const { return LevelFlags == nullptr || Calib.Measuring() != 0 || LevelFlags[i] != 0; }

  DetectorTuning Tuning;
  spdet::Calibrator Calib;        // thresholds from the pattern, from background audio, from sidecars
  TimeSpectrumEstimation* Engine = nullptr;
  std::uint64_t EngineSetUp = 0;  // the engine's set-up generation at Attach
  int NPattern = 0;
  int Nband = 0;
  int NsampleBlock = 0;
  int DelaySamples = 0;           // from a clip's first sample to the end of its newest block
  int SubSteps = 1;               // alignments tried per time block (4 in the standard geometry)
  int SubFrames = 0;              // filter-bank frames per alignment step
  int SubPerAvg = 0;              // steps per averaging window of a time block
  std::vector<DetectorPattern> Patterns;
  std::vector<std::shared_ptr<const spdet::LevelPattern>> Levels;  // the level distance's, shared by the process
  // Aligned input: levels in dB of the blocks ending at each alignment step.
  int RingLength = 0;             // aligned blocks kept (SubSteps per time block)
  std::vector<float> LogRing;     // RingLength*Nband
  int RingPos = 0;                // index of the newest
  std::vector<float> SubSums;     // SubPerAvg*Nband frame sums of the latest steps
  int SubPos = 0;
  // The distances' table the picker reads (distance.h, StepTable).
  std::vector<float> StepScore;   // NPattern*SubSteps distances at this time block's alignment steps
  std::vector<float> StepVerify;  // ([i*SubSteps + s], s steps before the newest; 1e9: not compared)
  std::vector<float> PrevScore;   // NPattern: distance at the newest step of the previous block
  std::vector<std::unique_ptr<spdet::Distance>> Distances;  // DistanceTable()'s, in its order
  std::unique_ptr<spdet::ReportSink> Sink;  // the picker and store as the distances report to them
  std::unique_ptr<spdet::BackgroundTracker> Background;
  std::int64_t Blocks = 0;        // time blocks seen since Attach/Reset
  std::int64_t Origin = 0;        // samples fed before the first block counted
  spdet::PatternGroups Groups;    // speed variants with their leader
  std::vector<int> LiveGroups;    // this block: the groups with a candidate, a wait or a comparison
  int Longest = 0;
  spdet::CandidatePicker Picker;  // the candidates of the level distance, and every report
  std::unique_ptr<spdet::RelativesHolder> Kin;  // relatives among the patterns, one report per airing
  PatternDetector* Face;            // the face handed to the block callback
  BlockCallback OnBlock = nullptr;
  void* OnBlockContext = nullptr;
  std::vector<const float*> CutInput;  // cut_point.cpp's scratch: the input's blocks aligned with the clip's
  mutable std::vector<std::vector<float>> ClipHeld;  // HeldClipLevels's, by pattern
  mutable std::vector<float> ClipScratch;
  std::unique_ptr<spdet::Preselector> Preselect;
  const unsigned char* SelectFlags = nullptr;  // the pre-selection's flags; null: every pattern
  const unsigned char* LevelFlags = nullptr;   // the same without the shape distance's lag
};

}  // namespace spdet

#endif
