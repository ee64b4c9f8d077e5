// The decision layer behind PatternDetector's face: attaching to an engine (the patterns, the
// aligned input ring and every part set up), the aligned input of each time block, and the order
// in which the parts work on it. The design, and the parts with their files: docs/detector.md.
#include "detector_core.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "background.h"
#include "flag_scan.h"
#include "level_kernel.h"
#include "preselect.h"
#include "calibration_file.h"
#include "relatives.h"
#include "SpeedVariantName.h"
#include "sp_helpers.h"

using spdet::kNotEvaluated;
using spdet::LevelDb;

namespace {
// The picker and the store as a distance that decides its own candidates reports to them.
class CoreSink final : public spdet::ReportSink {
 public:
  explicit CoreSink(spdet::DetectorCore& core) : core_(core) {}
  void Store(const DetectorReport& r) override {
    DetectorReport placed = r;
    core_.PlaceShape(placed);
    core_.Store(placed);
  }
  bool Pending(int g) const override { return core_.Picker.Active(g); }
  std::int64_t Origin() const override { return core_.Origin; }
  float CutSeen(int i, int shift, std::int64_t end, std::int64_t fed, float seen, bool whole) override {
    return core_.CutSeen(i, shift, end, fed, seen, whole);
  }

 private:
  spdet::DetectorCore& core_;
};
}  // namespace

spdet::DetectorCore::DetectorCore(PatternDetector* face) : Face(face) {}

spdet::DetectorCore::~DetectorCore() { Detach(); }

void spdet::DetectorCore::Detach() {
  if (Engine != nullptr) Engine->RemoveTimeBlockObserver(&spdet::DetectorCore::Observer, this);
  // The library's comparisons taken over at Attach are handed back.
  if (Engine != nullptr && !Patterns.empty() && Tuning.LibraryDeviations != 1 && EngineUnchanged())
    for (int i = 0; i < NPattern; ++i)
      if (Engine->TVS[i] != nullptr) Engine->TVS[i]->fUsePattern = static_cast<unsigned char>(Patterns[i].Compared);
  Engine = nullptr;
  Patterns = {};
  Levels = {};
  ClipHeld = {};
  LogRing = {};
  SubSums = {};
  Picker = spdet::CandidatePicker();
  StepScore = {};
  StepVerify = {};
  Groups = spdet::PatternGroups();
  PrevScore = {};
  Distances.clear();
  LiveGroups = {};
  Background.reset();
  Calib.Release();
  Kin.reset();
  Preselect.reset();
  SelectFlags = nullptr;
  LevelFlags = nullptr;
  NPattern = 0;
  RingLength = 0;
  Longest = 0;
}

int spdet::DetectorCore::Attach(TimeSpectrumEstimation* engine, const char* const* patternFiles) {
  Detach();
  // No exception leaves the detector: running out of memory fails the Attach.
  try {
    if (AttachTo(engine, patternFiles)) return 1;
  } catch (...) {
  }
  Detach();
  return 0;
}

int spdet::DetectorCore::AttachTo(TimeSpectrumEstimation* engine, const char* const* patternFiles) {
  if (engine == nullptr || !engine->fRecognitionMode || engine->TVS == nullptr || engine->NPattern < 1) return 0;
  const TimeBlockView geometry = engine->CurrentTimeBlock();
  if (geometry.Nband < 1 || geometry.NsampleBlock < 1 || geometry.FramesPerHop < 1 || geometry.FramesAveraged < 1)
    return 0;
  Engine = engine;
  EngineSetUp = engine->SetUpGeneration;
  // The library's deviations on request need its comparison of every block to serve nothing
  // else: statistics, test data and diagnostics keep it comparing.
  if (Tuning.LibraryDeviations != 0 && Tuning.LibraryDeviations != 2) Tuning.LibraryDeviations = 1;
  if (Tuning.LibraryDeviations == 2 &&
      (engine->RecPar.fStatistics || engine->fOutInfo || engine->hTestDataFile != INVALID_HANDLE_VALUE))
    Tuning.LibraryDeviations = 1;
  NPattern = engine->NPattern;
  Nband = geometry.Nband;
  NsampleBlock = geometry.NsampleBlock;
  // A pattern made from a clip that starts on a block boundary has its newest block at the
  // clip's start + its length + the pipeline delay rounded up to whole blocks.
  const int rest = engine->NsDelay % NsampleBlock;
  DelaySamples = engine->NsDelay + (rest == 0 ? 0 : NsampleBlock - rest);
  // Four alignments per time block when the hop splits into quarters that also tile the
  // averaging window; otherwise one (the engine's own blocks).
  SubSteps = 4;
  if (geometry.FramesPerHop % SubSteps != 0 || geometry.FramesAveraged % (geometry.FramesPerHop / SubSteps) != 0 ||
      NsampleBlock % SubSteps != 0 || geometry.FramePowers == nullptr)
    SubSteps = 1;
  SubFrames = geometry.FramesPerHop / SubSteps;
  SubPerAvg = geometry.FramesAveraged / SubFrames;

  const std::size_t n = static_cast<std::size_t>(NPattern);
  Patterns.resize(n);
  Levels.assign(n, nullptr);
  PrevScore.resize(n);
  StepScore.resize(n * SubSteps);
  StepVerify.resize(n * SubSteps);
  for (int i = 0; i < NPattern; ++i) {
    Patterns[i].Compared = engine->TVS[i] == nullptr || engine->TVS[i]->fUsePattern ? 1 : 0;
    PreparePattern(i);
  }
  PrepareRings();
  BuildGroups();
  FindRelatives();
  Picker.Configure(&Patterns, &Tuning, {SubSteps, NsampleBlock, DelaySamples}, Kin.get());
  Picker.SetSeen([](void* core, int i, int phase) { return static_cast<DetectorCore*>(core)->LevelSeen(i, phase); }, this);
  Picker.SetPlace(
      [](void* core, int i, std::int64_t step, spdet::CandidatePicker::Placed* out) {
        return static_cast<DetectorCore*>(core)->PlaceLevel(i, step, out);
      },
      this);
  if (Tuning.LibraryDeviations == 2)
    Picker.SetDeviations(
        [](void* engine, int i, float* relDev, float* relDevMpb) {
          static_cast<TimeSpectrumEstimation*>(engine)->DeviationsNow(i, relDev, relDevMpb);
        },
        engine);
  for (int i = 0; i < NPattern; ++i) {
    Calib.SelfCalibrate(i);
    if (patternFiles != nullptr && patternFiles[i] != nullptr) LoadCalibration(i, patternFiles[i]);
  }
  if (!MakePreselect()) return 0;
  SetUpDistances();
  if (!SetUpPreselect()) return 0;
  Reset(0);
  if (Tuning.LibraryDeviations != 1)
    for (int i = 0; i < NPattern; ++i)
      if (engine->TVS[i] != nullptr) engine->TVS[i]->fUsePattern = 0;
  return engine->AddTimeBlockObserver(&spdet::DetectorCore::Observer, this);
}

void spdet::DetectorCore::PrepareRings() {
  Longest = 1;
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Nblock > Longest) Longest = Patterns[i].Nblock;
  // (Twice the longest pattern and its speed's reach: a level candidate is reported a pattern's
  // length after its alignment, when its speed is measured over the whole airing.)
  RingLength = SubSteps * (2 * Longest + Longest / 8 + 4);
  LogRing.resize(static_cast<std::size_t>(RingLength) * Nband);
  SubSums.resize(static_cast<std::size_t>(SubPerAvg) * Nband);
  // The background before an occurrence began: kept for the longest pattern and the delay.
  Background = std::make_unique<spdet::BackgroundTracker>();
  Background->Configure(Nband, Longest + DelaySamples / NsampleBlock + 4, Tuning.NoiseSegments,
                        DelaySamples / NsampleBlock);
  Calib.SetUp({&Patterns, &Levels, Engine, &Tuning, Nband, SubSteps, NsampleBlock, Longest, Background->Levels()});
}

void spdet::DetectorCore::PreparePattern(int i) {
  SignalTVSEx* T = Engine->TVS[i];
  DetectorPattern& P = Patterns[i];
  P.Group = i;
  P.SpeedPercent = 0.0f;
  P.Score = P.Verify = kNotEvaluated;
  // The name is kept here: reports outlive a new set-up of the engine.
  P.Name = T != nullptr ? FileNameOfPath(T->FileName) : "";
  if (T == nullptr || T->SpectrumByBand == nullptr || T->Nblock < 1 || T->Nband != Nband) {
    P.Nblock = 0;  // never compared
    return;
  }
  const int N = T->Nblock;
  P.Nblock = N;
  // The level distance's arrays: one copy in the process for every detector with this pattern.
  Levels[static_cast<std::size_t>(i)] = spdet::SharedLevelPattern(
      T->SpectrumByBand, N,
      {Nband, Engine->BandFirst, Engine->BandLast, Tuning.FloorDepth_dB, Tuning.SalientDepth_dB, Tuning.QuietWeight,
       Tuning.TailWeight});
}


void spdet::DetectorCore::Observer(void* context, const TimeBlockView& block) {
  static_cast<DetectorCore*>(context)->OnTimeBlock(block);
}

// Appends the aligned blocks that end inside the time block just made: one per step.
void spdet::DetectorCore::PushSteps(const TimeBlockView& e) {
  if (SubSteps == 1) {
    RingPos = (RingPos + 1) % RingLength;
    const float* src = e.Block;
    float* lg = LogRing.data() + static_cast<long>(RingPos) * Nband;
    for (int b = 0; b < Nband; ++b) lg[b] = LevelDb(std::isfinite(src[b]) ? src[b] : 0.0f);
    return;
  }
  const int avg = e.FramesAveraged;
  for (int j = SubSteps - 1; j >= 0; --j) {
    // Frames of step j counted back from the newest frame.
    float* sum = SubSums.data() + static_cast<long>(SubPos) * Nband;
    for (int b = 0; b < Nband; ++b) sum[b] = 0.0f;
    int r = e.NewestFrame - j * SubFrames;
    while (r < 0) r += avg;
    for (int f = 0; f < SubFrames; ++f) {
      const float* row = e.FramePowers + static_cast<long>(r) * Nband;
      for (int b = 0; b < Nband; ++b) sum[b] += row[b];
      if (--r < 0) r = avg - 1;
    }
    SubPos = (SubPos + 1) % SubPerAvg;
    RingPos = (RingPos + 1) % RingLength;
    float* lg = LogRing.data() + static_cast<long>(RingPos) * Nband;
    for (int b = 0; b < Nband; ++b) {
      float total = 0.0f;
      for (int s = 0; s < SubPerAvg; ++s) total += SubSums[static_cast<long>(s) * Nband + b];
      const float v = total * e.FrameScale;
      lg[b] = LevelDb(std::isfinite(v) && v > 0.0f ? v : 0.0f);
    }
  }
}


// True while the engine is still set up as it was at Attach: a new set-up (other patterns, other
// geometry) needs a new Attach, and until then the detector leaves the engine alone. The engine
// counts its set-ups and releases, so this costs one comparison per time block.
bool spdet::DetectorCore::EngineUnchanged() const { return Engine != nullptr && Engine->SetUpGeneration == EngineSetUp; }

void spdet::DetectorCore::OnTimeBlock(const TimeBlockView& block) {
  if (!EngineUnchanged()) return;
  PushSteps(block);
  ++Blocks;
  const float* newest = LogRing.data() + static_cast<long>(RingPos) * Nband;
  // The first blocks of a stream average the pipeline's start (zeros), not the input.
  const bool started = Blocks * NsampleBlock > DelaySamples + 2 * NsampleBlock;
  Background->Track(newest, Blocks, started, Tuning.NoiseSegments, Tuning.NoiseSegmentBlocks);
  if (Preselect != nullptr) Preselect->Push(newest);
  if (Kin != nullptr) Kin->Push(newest, Blocks);

  // The distances at every alignment step of this time block, into the picker's table.
  const spdet::StepTable table = Table();
  const spdet::AlignedInput input{LogRing.data(), RingLength, RingPos, Nband, SubSteps, Blocks};
  const spdet::DistanceBlock in = BlockIn(input);
  for (const auto& d : Distances) d->Block(in, table);
  if (Calib.Measuring() != 0) {
    Calib.Measured(StepScore.data());
  } else {
    // Groups neither compared nor waiting stay so through the block's steps: most of a large
    // catalogue, told apart once.
    LiveGroups.clear();
    const auto live = [this](int g) {
      if (Patterns[g].Group == g && (Picker.PendingFlags()[g] || LevelSelected(g))) LiveGroups.push_back(g);
    };
    if (LevelFlags == nullptr) {
      for (const int g : Groups.leaders) live(g);
    } else {
      spdet::ForEachFlagged(NPattern, Picker.PendingFlags(), LevelFlags, nullptr, live);
    }
    // The picker decides at every step in time order (the oldest first).
    const spdet::StepDistances distances{StepScore.data(), StepVerify.data(), PrevScore.data()};
    for (int s = SubSteps - 1; s >= 0; --s)
      Picker.Pick(Blocks * SubSteps - s, s, distances, LiveGroups, Groups, LevelFlags, Engine->TVS);
    for (const auto& d : Distances) d->Picked(table);
    ReleaseVersions(false);
  }
  if (OnBlock != nullptr) OnBlock(OnBlockContext, Face);
}

void spdet::DetectorCore::Reset(std::int64_t samplesFedBefore) {
  Origin = samplesFedBefore;
  Blocks = 0;
  RingPos = 0;
  SubPos = 0;
  // The table holds nothing compared until a distance writes its cells.
  std::fill(StepScore.begin(), StepScore.end(), kNotEvaluated);
  std::fill(StepVerify.begin(), StepVerify.end(), kNotEvaluated);
  std::fill(PrevScore.begin(), PrevScore.end(), kNotEvaluated);
  for (int i = 0; i < NPattern; ++i) Patterns[i].Score = Patterns[i].Verify = kNotEvaluated;
  for (const auto& d : Distances) d->Reset();
  std::fill(LogRing.begin(), LogRing.end(), -120.0f);
  std::fill(SubSums.begin(), SubSums.end(), 0.0f);
  if (Background != nullptr) Background->Reset();
  Picker.Reset(samplesFedBefore);
  if (Kin != nullptr) Kin->Reset(samplesFedBefore);
  if (Preselect != nullptr) Preselect->Reset();
}

void spdet::ClipLevels(const TimeSpectrumEstimation& engine, int i, int nblock, int nband, float* out) {
  const int N = nblock;
  const float* spectrum = engine.TVS[i]->SpectrumByBand;  // band-major, block 0 newest
  for (int k = 0; k + 1 < N; ++k)
    for (int b = 0; b < nband; ++b)
      out[static_cast<std::size_t>(k) * nband + b] = LevelDb(spectrum[static_cast<long>(b) * N + (N - 1 - k)]);
}

void spdet::DetectorCore::ClipLevels(int i, float* out) const {
  spdet::ClipLevels(*Engine, i, Patterns[i].Nblock, Nband, out);
}

const float* spdet::DetectorCore::HeldClipLevels(int i) const {
  if (ClipHeld.size() != static_cast<std::size_t>(NPattern)) ClipHeld.assign(static_cast<std::size_t>(NPattern), {});
  const std::size_t size = static_cast<std::size_t>(std::max(Patterns[i].Nblock - 1, 0)) * static_cast<std::size_t>(Nband);
  // An engine set up again since the Attach: its levels as they are now, not kept.
  std::vector<float>& held = EngineUnchanged() ? ClipHeld[static_cast<std::size_t>(i)] : ClipScratch;
  if (held.size() != size || &held == &ClipScratch) {
    held.resize(size);
    spdet::ClipLevels(*Engine, i, Patterns[i].Nblock, Nband, held.data());
  }
  return held.data();
}

spdet::DistanceBlock spdet::DetectorCore::BlockIn(const spdet::AlignedInput& input) const {
  return {input, *Background, LevelFlags, Calib.Measuring() != 0, SelectFlags};
}

// The distances of the registration table, in its order, over the patterns and the aligned ring.
// (Their set-up sets the patterns' shape thresholds; the pre-selection is set up after, with
// their sketches.)
void spdet::DetectorCore::SetUpDistances() {
  Distances.clear();
  if (Sink == nullptr) Sink = std::make_unique<CoreSink>(*this);
  const spdet::DistanceSetUp setUp{&Patterns, &Tuning, &Groups, Engine, Nband, SubSteps, NsampleBlock, DelaySamples,
                                   Longest, Sink.get(), &Levels, Preselect.get(), Calib.CacheDirectory()};
  for (const spdet::DistanceEntry& e : spdet::DistanceTable()) {
    Distances.push_back(e.make());
    Distances.back()->SetUp(setUp);
  }
}

// The pre-selection, configured: the distances may draw their sketches while they set up.
int spdet::DetectorCore::MakePreselect() {
  Preselect.reset();
  SelectFlags = nullptr;
  LevelFlags = nullptr;
  if (Tuning.PreselectGate <= -1.0f) return 1;
  try {
    Preselect = std::make_unique<spdet::Preselector>();
    spdet::PreselectTuning tuning;
    tuning.Gate = Tuning.PreselectGate;
    tuning.Hold = Tuning.PreselectHold;
    Preselect->Configure(Nband, std::max(0, Engine->BandFirst), std::min(Nband - 1, Engine->BandLast), tuning);
  } catch (...) {
    Preselect.reset();
    return 0;
  }
  return 1;
}

// The pre-selection sketches every pattern; the leader of a group decides for its members.
int spdet::DetectorCore::SetUpPreselect() {
  if (Preselect == nullptr) return 1;
  try {
    std::vector<float> levels;
    for (int i = 0; i < NPattern; ++i) {
      const DetectorPattern& P = Patterns[i];
      const SignalTVSEx* T = Engine->TVS[i];
      if (P.Nblock < 2 || T == nullptr || T->SpectrumByBand == nullptr) {
        Preselect->Add(nullptr, 0, 0);
        continue;
      }
      levels.resize(static_cast<std::size_t>(P.Nblock - 1) * static_cast<std::size_t>(Nband));
      ClipLevels(i, levels.data());
      int reach = 0;  // (held for the distances that decide later than the newest block)
      for (const auto& d : Distances) reach = std::max(reach, d->SketchReach(i));
      Preselect->Add(levels.data(), P.Nblock - 1, reach);
    }
    for (const auto& d : Distances) d->AddSketches(*Preselect, levels);
    Preselect->Start();
    for (int i = 0; i < NPattern; ++i) Preselect->Use(i, Patterns[i].Group == i);
    SelectFlags = Preselect->ActiveFlags();
    LevelFlags = Preselect->NearFlags();
  } catch (...) {
    Preselect.reset();
    SelectFlags = nullptr;
    LevelFlags = nullptr;
    return 0;
  }
  return 1;
}

int spdet::DetectorCore::ReportCount() const { return Picker.Reports().Count(); }

const DetectorReport* spdet::DetectorCore::GetReport(int i) const { return Picker.Reports().At(i); }

void spdet::DetectorCore::ClearReports() { Picker.Reports().Clear(); }

void spdet::DetectorCore::SetBlockCallback(BlockCallback fn, void* context) {
  OnBlock = fn;
  OnBlockContext = context;
}

// Members of every group, leader first; the pre-selection compares the leaders.
void spdet::DetectorCore::BuildGroups() {
  Groups.Build(Patterns);
  if (Preselect != nullptr && Preselect->Count() >= NPattern)
    for (int i = 0; i < NPattern; ++i) Preselect->Use(i, Patterns[i].Group == i);
}

int spdet::DetectorCore::SetGroup(int pattern, int group, float speedPercent) {
  if (Patterns.empty() || pattern < 0 || pattern >= NPattern || group < 0 || group >= NPattern) return 0;
  const int leader = Patterns[group].Group;
  const int old = Patterns[pattern].Group;
  // A pattern that led a group hands its members over as well.
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Group == old || i == pattern) Patterns[i].Group = leader;
  Patterns[pattern].SpeedPercent = speedPercent;
  if (old != leader) Picker.Drop(old);
  BuildGroups();
  return 1;
}

int spdet::DetectorCore::GroupBySpeedNames(const char* const* patternFiles) {
  if (patternFiles == nullptr) return 0;
  // Every name once, by its text (the first of equal names wins).
  std::unordered_map<std::string, int> number;
  for (int i = 0; i < NPattern; ++i)
    if (patternFiles[i] != nullptr) number.emplace(patternFiles[i], i);
  int grouped = 0;
  std::string main;
  double speed = 0.0;
  for (int i = 0; i < NPattern; ++i) {
    if (patternFiles[i] == nullptr || !sp::ParseSpeedVariantName(patternFiles[i], &main, &speed)) continue;
    // The group's main pattern has the name without the speed part.
    const auto it = number.find(main);
    if (it != number.end() && it->second != i && SetGroup(i, it->second, static_cast<float>(speed))) ++grouped;
  }
  return grouped;
}

int spdet::DetectorCore::SetChecked(int pattern, int checked) {
  if (Patterns.empty() || pattern < 0 || pattern >= NPattern) return 0;
  Patterns[pattern].Checked = checked ? 1 : 0;
  return 1;
}

int spdet::DetectorCore::BeginBackgroundCalibration() {
  if (!Calib.Begin()) return 0;
  for (int i = 0; i < NPattern; ++i) Picker.Drop(i);
  return 1;
}

int spdet::DetectorCore::EndBackgroundCalibration() { return Calib.End(); }

int spdet::DetectorCore::CalibrateFromBackground(const float* minimum, double seconds) {
  if (minimum == nullptr || !BeginBackgroundCalibration()) return 0;
  return Calib.FromMeasurement(minimum, seconds);
}

int spdet::DetectorCore::Finish() {
  if (!Picker.Configured()) return 0;
  const int before = Picker.Reports().Count();
  Picker.EmitAll();
  const spdet::AlignedInput input{LogRing.data(), RingLength, RingPos, Nband, SubSteps, Blocks};
  for (const auto& d : Distances) d->Finish(BlockIn(input));
  ReleaseVersions(true);
  return Picker.Reports().Count() - before;
}

// Relatives among the patterns that lead their group (speed variants are their leader's), kept
// on disk beside the self-calibration.
void spdet::DetectorCore::FindRelatives() {
  std::vector<spdet::PatternLevels> levels(static_cast<std::size_t>(NPattern));
  for (int i = 0; i < NPattern; ++i) {
    const DetectorPattern& P = Patterns[static_cast<std::size_t>(i)];
    const float* own = P.Nblock > 0 ? Levels[static_cast<std::size_t>(i)]->LogSpectrum.data() : nullptr;
    levels[static_cast<std::size_t>(i)] = {P.Nblock, own, P.Nblock > 0 && P.Group == i};
  }
  // (Patterns carry their sample rate; the library works at 44100 Hz.)
  const double fs = Engine->TVS[0] != nullptr && Engine->TVS[0]->Fs > 0.0f ? Engine->TVS[0]->Fs : 44100.0;
  std::vector<const char*> names(static_cast<std::size_t>(NPattern));
  for (int i = 0; i < NPattern; ++i) names[static_cast<std::size_t>(i)] = Patterns[static_cast<std::size_t>(i)].Name.c_str();
  Kin = std::make_unique<spdet::RelativesHolder>();
  Kin->SetUp(std::move(levels), std::move(names), {Nband, NsampleBlock, DelaySamples, fs / NsampleBlock},
             Calib.CacheDirectory());
}

void spdet::DetectorCore::ReleaseVersions(bool all) {
  if (Kin != nullptr) Kin->Release(all, [this](const DetectorReport& r) { Picker.Reports().Add(r); });
}

int spdet::DetectorCore::RelativeCount(int i) const { return Kin != nullptr ? Kin->Count(i) : 0; }

int spdet::DetectorCore::GetRelative(int i, int k, DetectorRelative& out) const {
  return Kin != nullptr ? Kin->Get(i, k, out) : 0;
}
