// The pattern record (SignalTVS, SignalTVSEx) and the amplitude ranges of its spectrum.
//
// Spectrum arrays: block-major [t*Nband + b], band-major [b*Nblock + t]; block 0 is the
// newest (last) block of the clip.
#ifndef SP_SIGNALTVS_H
#define SP_SIGNALTVS_H

#include "sp_types.h"

class PatternStatistics;

// Constants of the level split of a set of spectrum samples.
struct AmpRangesPar {
  float MinHighLevel_dB = -40.0f;   // lowest admissible high-level bound
  float HighRangeDepth_dB = 18.0f;  // high levels reach this far below the peak
  float LowLevel_dB = -50.0f;       // samples at or below are low
  float RefLevel_dB = -40.0f;       // reference level
  float RefLevel = 1e-4f;           // 10^(RefLevel_dB/10)
};

// The constant default parameters (process-wide, never changed).
extern const AmpRangesPar DefaultAmpRangesPar;

// Level split of a set of linear powers into high, middle and low levels.
struct AmpRanges {
  float HighLevelBound_dB;
  float HighLevelBound;
  float LowLevelBound_dB;
  float LowLevelBound;
  unsigned int Ns;
  unsigned int NsHigh;
  unsigned int NsMiddle;
  unsigned int NsLow;
  float MeanPow;
  float MeanPowHigh;
  float MeanPowMiddle;
  float MeanPowLow;
  float BackMeanPowHigh;

  AmpRanges() { Clear(); }
  void Clear();
  // Splits n powers; par null means DefaultAmpRangesPar. Returns IsConsistent() after a
  // split, 0 when n is 0, sample is null or the work copy cannot be allocated.
  int SetAmplitudeRanges(unsigned int n, const float* sample, const AmpRangesPar* par);
  int IsConsistent();
  void OutAmplitudeRanges(unsigned int channel);
};

// The stored part of a pattern.
class SP_API SignalTVS {
 public:
  sp_ulong Protocol;      // low 16 bits protocol (0), high 16 bits file format version
  int Ndft;
  int Nband;
  int Nblock;
  float Fs;
  float Epsilon;
  int NSampleCreate;
  char FileName[512];
  float* BandRms;         // Nband
  float* Spectrum;        // Nblock*Nband, block-major, newest first
  int NRecognize;

  SignalTVS();
  SignalTVS(const SignalTVS& other) = default;  // memberwise: shares the arrays
  SignalTVS& operator=(const SignalTVS& other) = default;
  virtual ~SignalTVS();
  virtual void Init();
  virtual void Unload();
  virtual void Forget();
};

// A pattern with everything recognition derives from it and keeps about it.
class SP_API SignalTVSEx : public SignalTVS {
 public:
  float* SpectrumByBand;                 // Nband*Nblock, band-major
  ::AmpRanges* AmpRanges;                // Nband + 1 (last: whole signal)
  float MeanRms;
  unsigned char* Range;                  // Nblock*Nband range codes, block-major
  unsigned int* NSamplePerRange;         // (Nband + 1)*4
  float* BackNSampleNoTransientRange;    // Nband + 1
  float CurMeanRms;
  float InvNblock;
  float InvNband;
  float InvNbandNblock;
  int NSamplePattern;
  int BandMaxRms;
  float* RelDevScalingFactor;            // Nband + 1
  float* AbsDevScalingFactor;            // Nband + 1
  unsigned char fUsePattern;
  unsigned char fLevelGate;
  int NSampleHoldOff;
  char* InputFileName;
  sp_ulong InputReserved[2];
  int fKnownPosition;
  PatternStatistics* PatternStat;        // owned, single object
  float* SpectrumKnown;                  // Nblock*Nband
  float LevelKnown;
  float* SpectrumFound;                  // Nblock*Nband
  float LevelFound;
  float RelDev;
  float RelDevMPB;
  float RelDevMin;
  float RelDevMax;
  int NSampleFoundBegin;
  int NSampleFoundEnd;

  SignalTVSEx();
  SignalTVSEx(const SignalTVSEx& other) = default;  // memberwise: shares the arrays
  SignalTVSEx& operator=(const SignalTVSEx& other) = default;
  ~SignalTVSEx() override;
  void Init() override;
  void Unload() override;
  void Forget() override;
};

#endif
