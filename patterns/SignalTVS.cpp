#include "SignalTVS.h"

#include <cstring>

#include "PatternStatistics.h"
#include "shared_arrays.h"

// ---- SignalTVS

SignalTVS::SignalTVS()
    : Protocol(0), Ndft(0), Nband(0), Nblock(0), Fs(44100.0f), Epsilon(0.0f), NSampleCreate(0),
      BandRms(nullptr), Spectrum(nullptr), NRecognize(0) {
  // The header fields that Init leaves alone are zeroed here too, so that a new record never
  // holds indeterminate values.
  std::memset(FileName, 0, sizeof(FileName));
  SignalTVS::Init();
}

SignalTVS::~SignalTVS() { SignalTVS::Unload(); }

void SignalTVS::Init() {
  Forget();
  Nband = 0;
  NRecognize = 0;
  Fs = 44100.0f;
  std::memset(FileName, 0, 16);
}

// The read-only arrays may be shared with copies of the record (shared_arrays.h): each is freed
// by its last holder.
void SignalTVS::Unload() {
  sp::ReleaseArray(BandRms);
  sp::ReleaseArray(Spectrum);
}

void SignalTVS::Forget() {
  BandRms = nullptr;
  Spectrum = nullptr;
}

// ---- SignalTVSEx

SignalTVSEx::SignalTVSEx()
    : SpectrumByBand(nullptr), AmpRanges(nullptr), MeanRms(1.0f), Range(nullptr), NSamplePerRange(nullptr),
      BackNSampleNoTransientRange(nullptr), CurMeanRms(0.0f), InvNblock(1.0f), InvNband(1.0f),
      InvNbandNblock(1.0f), NSamplePattern(0), BandMaxRms(1), RelDevScalingFactor(nullptr),
      AbsDevScalingFactor(nullptr), fUsePattern(1), fLevelGate(1), NSampleHoldOff(0), InputFileName(nullptr),
      InputReserved{0, 0}, fKnownPosition(0), PatternStat(nullptr), SpectrumKnown(nullptr), LevelKnown(1.0f),
      SpectrumFound(nullptr), LevelFound(1.0f), RelDev(2.0f), RelDevMPB(2.0f), RelDevMin(2.0f),
      RelDevMax(2.0f), NSampleFoundBegin(0), NSampleFoundEnd(0) {
  SignalTVSEx::Init();
}

SignalTVSEx::~SignalTVSEx() { SignalTVSEx::Unload(); }

void SignalTVSEx::Init() {
  SignalTVS::Init();
  Forget();
  fKnownPosition = 0;
  NSampleHoldOff = 0;
  MeanRms = 1.0f;
  BandMaxRms = 1;
  fLevelGate = 1;
  fUsePattern = 1;
  LevelFound = 1.0f;
  LevelKnown = 1.0f;
  CurMeanRms = 0.0f;
  InvNbandNblock = 1.0f;
  InvNband = 1.0f;
  InvNblock = 1.0f;
  NSamplePattern = 0;
  AbsDevScalingFactor = nullptr;
  RelDevScalingFactor = nullptr;
  RelDevMPB = 2.0f;
  RelDev = 2.0f;
  RelDevMax = 2.0f;
  RelDevMin = 2.0f;
  NSampleFoundEnd = 0;
  NSampleFoundBegin = 0;
}

void SignalTVSEx::Unload() {
  SignalTVS::Unload();
  sp::ReleaseArray(SpectrumByBand);
  sp::ReleaseArray(AmpRanges);
  sp::ReleaseArray(Range);
  sp::ReleaseArray(NSamplePerRange);
  sp::ReleaseArray(BackNSampleNoTransientRange);
  sp::ReleaseArray(InputFileName);
  sp::ReleaseArray(RelDevScalingFactor);
  sp::ReleaseArray(AbsDevScalingFactor);
  delete PatternStat;
  PatternStat = nullptr;
  delete[] SpectrumKnown;
  SpectrumKnown = nullptr;
  delete[] SpectrumFound;
  SpectrumFound = nullptr;
}

void SignalTVSEx::Forget() {
  SignalTVS::Forget();
  SpectrumByBand = nullptr;
  AmpRanges = nullptr;
  Range = nullptr;
  NSamplePerRange = nullptr;
  BackNSampleNoTransientRange = nullptr;
  InputFileName = nullptr;
  PatternStat = nullptr;
  SpectrumKnown = nullptr;
  SpectrumFound = nullptr;
}
