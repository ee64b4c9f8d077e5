// Engine state: construction, copying, release, the low-level initialisations, the
// acceleration regime, deferred parameters and the state getters.
#include <cmath>
#include <cstring>
#include <new>

#include "IirBiq.h"
#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
#include "matching_layout.h"
#include "../patterns/shared_arrays.h"
#include "sp_message.h"

namespace {

template <typename T>
void Release(T*& p) {
  delete[] p;
  p = nullptr;
}

// Duplicates n elements of src into a new array; null when src is null or n < 1. Sets ok to
// false when an allocation fails.
template <typename T>
T* Duplicate(const T* src, long n, bool& ok) {
  if (src == nullptr || n < 1) return nullptr;
  T* p = new (std::nothrow) T[n];
  if (p == nullptr) {
    ok = false;
    return nullptr;
  }
  std::memcpy(p, src, sizeof(T) * static_cast<std::size_t>(n));
  return p;
}

long Length(const char* s) { return static_cast<long>(std::strlen(s) + 1); }

char* DuplicateString(const char* s, bool& ok) {
  if (s == nullptr) return nullptr;
  return Duplicate(s, Length(s), ok);
}

// A read-only pattern array of the source: the source's own with one more holder inside a
// SharingScope, else (or when the table cannot take it) a duplicate.
template <typename T>
T* Take(T* src, long n, bool& ok) {
  if (T* shared = sp::ShareArray(src)) return shared;
  return Duplicate(src, n, ok);
}

char EmptyText[1] = {0};

}  // namespace

TimeSpectrumEstimation::TimeSpectrumEstimation()
    : DFTFilter(), fInitialized(0), fOutInfo(0), Mode(0), NdecIn(0), Nbiq(0), BiqCoef(nullptr), BiqState(nullptr),
      NframeAvg(0), DftPowRing(nullptr), DftPowRingPos(0), NframeHop(0), FrameInHop(0), InvNframeAvg(0.0f),
      Nblock(0), TimeSpectrum(nullptr), TimeSpectrumWork(nullptr), NTimeSpectrum(0), NblockCur(0), NsampleMax(0),
      SampleBuf(nullptr), FilteredBuf(nullptr), NsampleBlock(0), NCurrentSample(0), NCurrentSampleRel(0),
      NsDelay(0), NSampleCreateOffset(0), fCreatePatternMode(0), fCreatedPattern(0), fRecognitionMode(0),
      fRecognized(0), NumSampEnd(0), NumSampBegin(0), InputFileName(nullptr), InputReserved{0, 0},
      NblockCreate(0), PatternFileName(nullptr), CreatedTVS(), CreateBuf(nullptr), BandLevelCur(nullptr),
      BandLevelRecognized(nullptr), MaxCreatedPatternDuration(4.0f), BandMeanCur(0.0f), NPattern(0),
      TVS(nullptr), ReOrderPatternNumbers(nullptr), LevNoise(0.0f), AccelerationRegime(3), NblockMin(0),
      NRecognize(0), LastRecognizedPattern(0), RecPar(), MonitorParam(), LevelGain(1.0f),
      fNewRecognizeParam(0), NewRecognitionPar(), TestDataFileName(nullptr),
      hTestDataFile(INVALID_HANDLE_VALUE), StatHalfWidth(15), NSampleOffset(0), RecognizedBegin(0),
      RecognizedEnd(0), SumPatternSq(0.0f), SumCurrentPattern(0.0f), Layout(nullptr), BlockObservers(),
      BlockObserverContexts(), NBlockObservers(0), SetUpGeneration(0) {}

TimeSpectrumEstimation::~TimeSpectrumEstimation() {
  UnloadTimeSpectrumObj(1);
  MonitorParam.Release();
}

// A copy is an independent engine in the same state: every buffer, pattern record and
// filter-bank ring is duplicated, so the two objects can be fed and destroyed separately.
// Inside a SharingScope the pattern arrays that never change after the set-up are shared
// instead (reference-counted, see SharingScope.h); the two objects still go their own ways.
// Two things are not duplicated: an open test-data file stays with the source (the copy
// keeps the file name but has no open handle), and the per-pattern statistics start empty
// in the copy (fresh objects of the same geometry).
TimeSpectrumEstimation::TimeSpectrumEstimation(const TimeSpectrumEstimation& other)
    : TimeSpectrumEstimation() {
  *this = other;
}

TimeSpectrumEstimation& TimeSpectrumEstimation::operator=(const TimeSpectrumEstimation& other) {
  if (this == &other) return *this;
  UnloadTimeSpectrumObj(1);
  MonitorParam.Release();
  DFTFilter::operator=(other);

  // Scalars and parameter records.
  fInitialized = other.fInitialized;
  fOutInfo = other.fOutInfo;
  Mode = other.Mode;
  NdecIn = other.NdecIn;
  Nbiq = other.Nbiq;
  NframeAvg = other.NframeAvg;
  DftPowRingPos = other.DftPowRingPos;
  NframeHop = other.NframeHop;
  FrameInHop = other.FrameInHop;
  InvNframeAvg = other.InvNframeAvg;
  Nblock = other.Nblock;
  NTimeSpectrum = other.NTimeSpectrum;
  NblockCur = other.NblockCur;
  NsampleMax = other.NsampleMax;
  NsampleBlock = other.NsampleBlock;
  NCurrentSample = other.NCurrentSample;
  NCurrentSampleRel = other.NCurrentSampleRel;
  NsDelay = other.NsDelay;
  NSampleCreateOffset = other.NSampleCreateOffset;
  fCreatePatternMode = other.fCreatePatternMode;
  fCreatedPattern = other.fCreatedPattern;
  fRecognitionMode = other.fRecognitionMode;
  fRecognized = other.fRecognized;
  NumSampEnd = other.NumSampEnd;
  NumSampBegin = other.NumSampBegin;
  InputReserved[0] = other.InputReserved[0];
  InputReserved[1] = other.InputReserved[1];
  NblockCreate = other.NblockCreate;
  CreatedTVS = other.CreatedTVS;  // the creation record never owns arrays
  MaxCreatedPatternDuration = other.MaxCreatedPatternDuration;
  BandMeanCur = other.BandMeanCur;
  NPattern = other.NPattern;
  LevNoise = other.LevNoise;
  AccelerationRegime = other.AccelerationRegime;
  NblockMin = other.NblockMin;
  NRecognize = other.NRecognize;
  LastRecognizedPattern = other.LastRecognizedPattern;
  RecPar = other.RecPar;
  LevelGain = other.LevelGain;
  fNewRecognizeParam = other.fNewRecognizeParam;
  NewRecognitionPar = other.NewRecognitionPar;
  StatHalfWidth = other.StatHalfWidth;
  NSampleOffset = other.NSampleOffset;
  RecognizedBegin = other.RecognizedBegin;
  RecognizedEnd = other.RecognizedEnd;
  SumPatternSq = other.SumPatternSq;
  SumCurrentPattern = other.SumCurrentPattern;

  // Buffers.
  bool ok = true;
  BiqCoef = Duplicate(other.BiqCoef, 5L * other.Nbiq, ok);
  BiqState = Duplicate(other.BiqState, 2L * other.Nbiq, ok);
  DftPowRing = Duplicate(other.DftPowRing, static_cast<long>(other.NframeAvg) * other.Nband, ok);
  TimeSpectrum = Duplicate(other.TimeSpectrum, other.NTimeSpectrum, ok);
  TimeSpectrumWork = Duplicate(other.TimeSpectrumWork, 3L * other.NTimeSpectrum, ok);
  SampleBuf = Duplicate(other.SampleBuf, other.NsampleMax, ok);
  FilteredBuf = Duplicate(other.FilteredBuf, other.NsampleMax, ok);
  InputFileName = DuplicateString(other.InputFileName, ok);
  PatternFileName = DuplicateString(other.PatternFileName, ok);
  CreateBuf = Duplicate(other.CreateBuf, static_cast<long>(other.NblockCreate) * other.Nband, ok);
  BandLevelCur = Duplicate(other.BandLevelCur, other.Nband, ok);
  BandLevelRecognized = Duplicate(other.BandLevelRecognized, other.Nband, ok);
  ReOrderPatternNumbers = Duplicate(other.ReOrderPatternNumbers, other.NPattern < 2 ? 2 : other.NPattern, ok);
  TestDataFileName = DuplicateString(other.TestDataFileName, ok);
  if (other.MonitorParam.Nvalue > 0 && MonitorParam.Init(other.MonitorParam.Nvalue)) {
    float* values = MonitorParam.Value;
    int count = MonitorParam.Nvalue < 2 ? 2 : MonitorParam.Nvalue;
    MonitorParam = other.MonitorParam;
    MonitorParam.Value = values;
    if (other.MonitorParam.Value != nullptr)
      std::memcpy(values, other.MonitorParam.Value, sizeof(float) * static_cast<std::size_t>(count));
  } else if (other.MonitorParam.Nvalue > 0) {
    ok = false;
  }

  // Pattern records with their arrays.
  if (other.TVS != nullptr && ok) {
    TVS = new (std::nothrow) SignalTVSEx*[other.NPattern + 1];
    if (TVS == nullptr) ok = false;
    for (int i = 0; ok && i <= other.NPattern; ++i) TVS[i] = nullptr;
    for (int i = 0; ok && i < other.NPattern; ++i) {
      const SignalTVSEx* s = other.TVS[i];
      if (s == nullptr) continue;
      SignalTVSEx* d = new (std::nothrow) SignalTVSEx();
      if (d == nullptr) {
        ok = false;
        break;
      }
      TVS[i] = d;
      SignalTVSEx copy(*s);  // memberwise: scalars and the name
      copy.Forget();
      copy.RelDevScalingFactor = nullptr;
      copy.AbsDevScalingFactor = nullptr;
      *d = copy;
      long ns = static_cast<long>(s->Nband) * s->Nblock;
      d->BandRms = Take(s->BandRms, s->Nband, ok);
      d->Spectrum = Take(s->Spectrum, ns, ok);
      d->SpectrumByBand = Take(s->SpectrumByBand, ns, ok);
      d->Range = Take(s->Range, ns, ok);
      d->NSamplePerRange = Take(s->NSamplePerRange, 4L * (s->Nband + 1), ok);
      d->BackNSampleNoTransientRange = Take(s->BackNSampleNoTransientRange, s->Nband + 1, ok);
      d->InputFileName = s->InputFileName != nullptr ? Take(s->InputFileName, Length(s->InputFileName), ok) : nullptr;
      d->SpectrumKnown = Duplicate(s->SpectrumKnown, ns, ok);  // written by the test-data file
      d->SpectrumFound = Duplicate(s->SpectrumFound, ns, ok);
      d->RelDevScalingFactor = Take(s->RelDevScalingFactor, other.Nband + 1, ok);
      d->AbsDevScalingFactor = Take(s->AbsDevScalingFactor, other.Nband + 1, ok);
      d->AmpRanges = Take(s->AmpRanges, other.Nband + 1, ok);
      if (s->PatternStat != nullptr) {
        d->PatternStat = new (std::nothrow)
            PatternStatistics(s->PatternStat->NEst, s->PatternStat->NCategory, s->PatternStat->Depth);
        if (d->PatternStat == nullptr || !d->PatternStat->fInit) ok = false;
      }
    }
  }

  if (!ok) {
    // Out of memory: leave a released engine rather than a half copy.
    UnloadTimeSpectrumObj(1);
  } else if (fRecognitionMode) {
    // The matching layout: inside a SharingScope the copy shares the source's values (they are
    // made from the arrays it shares); otherwise, or when the source has none, its own is built.
    if (sp::SharingActive() && other.Layout != nullptr && other.Layout->Describes(other))
      Layout = sp::MatchingLayout::ShareFrom(*other.Layout, *this).release();
    if (Layout == nullptr) PrepareMatching();
  }
  return *this;
}

void TimeSpectrumEstimation::UnloadTimeSpectrumObj(int fAll) {
  ++SetUpGeneration;
  Release(BiqCoef);
  Release(BiqState);
  Release(DftPowRing);
  Release(TimeSpectrum);
  Release(TimeSpectrumWork);
  Release(FilteredBuf);
  Release(SampleBuf);
  Release(PatternFileName);
  Release(InputFileName);
  Release(CreateBuf);
  Release(BandLevelCur);
  Release(BandLevelRecognized);
  Release(ReOrderPatternNumbers);
  if (TVS != nullptr) {
    for (int i = 0; i < NPattern; ++i) {
      delete TVS[i];
      TVS[i] = nullptr;
    }
    Release(TVS);
  }
  if (fAll) Release(TestDataFileName);
  if (hTestDataFile != INVALID_HANDLE_VALUE) {
    CloseHandle(hTestDataFile);
    hTestDataFile = INVALID_HANDLE_VALUE;
  }
  MonitorParam.Release();
  DropMatchingLayout();
  DFTFilter::UnloadObj();
  fCreatedPattern = 0;
  fCreatePatternMode = 0;
  fInitialized = 0;
  fRecognized = 0;
  fRecognitionMode = 0;
}

int TimeSpectrumEstimation::InitTimeSpectrumEst(int NdecIn_, int Nbiq_, float* BiqCoef_, int Ndft_, int Nwin_,
                                                float* Win_, int NframeAvg_, int NframeHop_, float Duration,
                                                float Fs, int NsampleMax_, int fOutInfo_, int NblockPattern) {
  if (NdecIn_ < 1 || Nbiq_ < 0 || NframeAvg_ < 1 || NframeHop_ < 1 || NblockPattern < 0 || !(Duration > 0.0f) ||
      !(Fs > 0.0f) || NsampleMax_ < Ndft_)
    return 0;
  if (Nbiq_ > 0 && BiqCoef_ == nullptr) return 0;
  ++SetUpGeneration;

  NdecIn = NdecIn_;
  Nbiq = Nbiq_;
  NframeHop = NframeHop_;
  fOutInfo = fOutInfo_;

  // Each buffer below replaces, and releases, the one held from an earlier initialisation.
  Release(BiqCoef);
  Release(BiqState);
  if (Nbiq > 0) {
    BiqCoef = new (std::nothrow) float[5 * Nbiq];
    if (BiqCoef == nullptr) {
      UnloadTimeSpectrumObj(1);
      return 0;
    }
    std::memcpy(BiqCoef, BiqCoef_, sizeof(float) * 5 * static_cast<std::size_t>(Nbiq));
    BiqState = IniIirBiq(Nbiq, nullptr);
    if (BiqState == nullptr) {
      UnloadTimeSpectrumObj(1);
      return 0;
    }
  }

  const int previousNband = Nband;
  DropMatchingLayout();  // it described the patterns of the earlier set-up
  if (!InitDFTFilter(Ndft_, Nwin_, Win_, 1, 1, -1)) {
    UnloadTimeSpectrumObj(1);
    return 0;
  }
  // A pattern being created keeps its buffer across a re-initialisation; one sized for another
  // band count cannot be filled any more, so that creation is abandoned.
  if (fCreatePatternMode && Nband != previousNband) {
    Release(CreateBuf);
    fCreatePatternMode = 0;
  }

  NframeAvg = NframeAvg_;
  InvNframeAvg = 1.0f / static_cast<float>(NframeAvg);
  Release(DftPowRing);
  DftPowRing = new (std::nothrow) float[static_cast<std::size_t>(NframeAvg) * Nband]();
  if (DftPowRing == nullptr) {
    UnloadTimeSpectrumObj(1);
    return 0;
  }

  if (NblockPattern == 0) {
    double n = static_cast<double>(Duration) * static_cast<double>(Fs) * static_cast<double>(Nband) /
                   static_cast<double>(NdecIn * Ndec * NframeHop) +
               0.5;
    // Far beyond any usable ring: refuse rather than overflow the element count.
    if (!(n < 2.0e9)) {
      UnloadTimeSpectrumObj(1);
      return 0;
    }
    NTimeSpectrum = static_cast<int>(n);
  } else {
    long long n = static_cast<long long>(NblockPattern) * Nband;
    if (n > 2000000000LL) {
      UnloadTimeSpectrumObj(1);
      return 0;
    }
    NTimeSpectrum = static_cast<int>(n);
  }
  if (NTimeSpectrum < Nband) NTimeSpectrum = Nband;
  if (NTimeSpectrum % Nband != 0) NTimeSpectrum += Nband - NTimeSpectrum % Nband;
  Nblock = NTimeSpectrum / Nband;

  Release(TimeSpectrum);
  Release(TimeSpectrumWork);
  TimeSpectrum = new (std::nothrow) float[NTimeSpectrum]();
  TimeSpectrumWork = new (std::nothrow) float[3 * static_cast<std::size_t>(NTimeSpectrum)];
  if (TimeSpectrum == nullptr || TimeSpectrumWork == nullptr) {
    UnloadTimeSpectrumObj(1);
    return 0;
  }
  for (int i = 0; i < NTimeSpectrum; ++i) TimeSpectrumWork[i] = 0.0f;

  DftPowRingPos = 0;
  NblockCur = 0;
  FrameInHop = 0;
  NCurrentSample = 0;
  NCurrentSampleRel = 0;
  RecognizedBegin = 0;
  RecognizedEnd = 0;

  NsampleMax = NsampleMax_;
  Release(SampleBuf);
  Release(FilteredBuf);
  SampleBuf = new (std::nothrow) float[NsampleMax];
  FilteredBuf = new (std::nothrow) float[NsampleMax];
  if (SampleBuf == nullptr || FilteredBuf == nullptr) {
    UnloadTimeSpectrumObj(1);
    return 0;
  }

  Release(BandLevelCur);
  Release(BandLevelRecognized);
  BandLevelCur = new (std::nothrow) float[Nband]();
  BandLevelRecognized = new (std::nothrow) float[Nband]();
  if (BandLevelCur == nullptr || BandLevelRecognized == nullptr) return 0;
  if (!MonitorParam.Init(1)) return 0;

  NsDelay = ((NwinExt - 1) / 2 + NframeAvg * Ndec) * NdecIn;
  NsampleBlock = Ndec * NdecIn * NframeHop;
  NSampleOffset = 0;
  fInitialized = 1;
  return 1;
}

int TimeSpectrumEstimation::InitTimeSpectrumEst(sp_ulong Mode_, int NsampleMax_, int fOutInfo_, int NblockPattern) {
  Mode = Mode_;
  // The mode bits start at 0x20000: the low 16 bits (the pattern protocol) and bit 16 must be
  // clear, so that 0x10000 is refused like any other word below the first mode bit.
  if (Mode_ & 0x1FFFFu) {
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(Mode,file): ошибка значения Mode"));
    sp::LogFormat(0, "Mode=%8.8lX", static_cast<unsigned long>(Mode_));
    return 0;
  }
  AccelerationRegime = 3;
  int result = InitTimeSpectrumEst(4, StandardBiquadSections, const_cast<float*>(StandardBiquadCoefficients), 16,
                                   StandardDftWindowLength, const_cast<float*>(StandardDftWindow), 288, 144,
                                   MaxCreatedPatternDuration, 44100.0f, NsampleMax_, fOutInfo_, NblockPattern);
  SetAccelerationRegime(Mode_);
  return result;
}

void TimeSpectrumEstimation::SetAccelerationRegime(sp_ulong Mode_) {
  BandFirst = 0;
  if (Mode_ & SP_MODE_ALL_BANDS) {
    BandLast = Nband - 1;
  } else if (Mode_ & SP_MODE_HALF_BANDS) {
    BandLast = Ndft >= 8 ? Ndft / 4 : Nband - 1;
    AccelerationRegime = 2;
  } else if (Mode_ & SP_MODE_QUARTER_BANDS) {
    BandLast = Ndft >= 16 ? Ndft / 8 : Nband - 1;
    AccelerationRegime = 1;
  } else if (Mode_ & SP_MODE_BAND0_ONLY) {
    BandLast = 0;
    AccelerationRegime = 0;
  } else {
    BandLast = Nband - 1;
  }
  // Never let a band limit point outside the output frame.
  if (BandLast > Nband - 1) BandLast = Nband - 1;
  if (BandLast < 0) BandLast = 0;
}

void TimeSpectrumEstimation::SetNewRecognizeParam() {
  SetAccelerationRegime(NewRecognitionPar.Mode);
  LevNoise = static_cast<float>(std::pow(10.0, static_cast<double>(NewRecognitionPar.LevNoise_dB) / 10.0)) /
             static_cast<float>(Ndft);
  fOutInfo = NewRecognitionPar.fOutInfo;
  RecPar.fUseRelDevMPB = NewRecognitionPar.fUseRelDevMPB;
  if (NewRecognitionPar.TresholdRelDeviation >= 0.0f)
    RecPar.TresholdRelDeviation = NewRecognitionPar.TresholdRelDeviation;
  if (NewRecognitionPar.TresholdRelDeviationMPB >= 0.0f)
    RecPar.TresholdRelDeviationMPB = NewRecognitionPar.TresholdRelDeviationMPB;
  RecPar.LevMax = NewRecognitionPar.LevMax;
  RecPar.LevMin = NewRecognitionPar.LevMin;
  RecPar.BandGainMax = NewRecognitionPar.BandGainMax;
  RecPar.BandGainMin = NewRecognitionPar.BandGainMin;
}

void TimeSpectrumEstimation::InitGeneralStatistics() {}

int TimeSpectrumEstimation::GetFlagCreatedPattern() { return fCreatedPattern; }

char* TimeSpectrumEstimation::GetPatternFileName() {
  if (!fCreatePatternMode && !fCreatedPattern) return EmptyText;
  return PatternFileName;
}

int TimeSpectrumEstimation::GetNRecognize() { return NRecognize; }

int TimeSpectrumEstimation::GetLastRecognizedPatternNumber() {
  if (!fRecognitionMode || NRecognize == 0) return -1;
  return LastRecognizedPattern;
}

int TimeSpectrumEstimation::GetNsampleForBlockOfTestData() { return NsampleBlock; }
