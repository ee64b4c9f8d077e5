// Accumulators of the deviation measures of the matcher.
#ifndef SP_DEVIATIONSTAT_H
#define SP_DEVIATIONSTAT_H

#include "sp_types.h"

// Deviation estimates of one block for one band (or the whole signal).
struct SP_API DeviationEst {
  float AbsDev;            // measure 0
  float RelDev;            // measure 1
  float MaxDevAbsLow;      // measure 2
  float RelDevMaxPowBand;  // measure 3
  float Correlation;       // measure 4
  unsigned short Flags;    // 0x1 filled, 0x2 recognition, 0x4 known position, 0x8 included
  sp_ulong Ns;             // stream sample position
};

// Statistics of one measure.
struct SP_API ParStat {
  float LastValue;
  float Min;
  float Max;
  sp_ulong NsMin;
  sp_ulong NsMax;
  float Mean;
  float Variance;
  double Sum;
  double SumSqDev;
  sp_ulong N;
  float HistLow;
  float HistHigh;
  sp_ulong NBelow;
  sp_ulong NAbove;
  sp_ulong NBins;
  sp_ulong* Hist;     // owned, NBins counters, or null
  int fdB;
  float BinScale;

  ParStat();
  ~ParStat();
  ParStat(const ParStat& other);             // deep copy of the histogram
  ParStat& operator=(const ParStat& other);  // deep copy of the histogram

  // Releases any histogram and resets the record, then sets up NBins counters over
  // [low, high] (converted to dB first when fdB). Returns 1, or 0 when no memory.
  int InitHistogram(float low, float high, sp_ulong nBins, int fdB);
  void Include(float value, int fUse, sp_ulong ns);
  // 1 when both N > 0 and the closed intervals [Min, Max] overlap.
  int Intersects(const ParStat& b) const;
  // Frees Hist and resets every field (HistLow and HistHigh are kept).
  void Release();
  // Report of the measure to the sink (nothing when N is 0 or there is no histogram).
  void OutParStat(const char* title, unsigned int channel);
};

// Statistics of the five measures.
//
// fUseElem and NObject are process-wide and unsynchronised: switching measures with
// SetflagUseElem affects every object, and objects should be created and destroyed from one
// thread at a time (or the flags set again after).
class SP_API DeviationStat {
 public:
  static constexpr int NumberOfElem = 5;
  ParStat Elem[NumberOfElem];  // AbsDev, RelDev, MaxDevAbsLow, RelDevMaxPowBand, Correlation

  static int fUseElem[NumberOfElem];
  static sp_ulong NObject;

  DeviationStat();
  ~DeviationStat();
  DeviationStat(const DeviationStat& other);
  DeviationStat& operator=(const DeviationStat& other);

  void UnloadObj();
  void IncludeData(DeviationEst* est);
  static int SetflagUseElem(int elem, int flag);
  int GetNumberOfElem();
  sp_ulong GetNSampleInStatictics(int elem);
  int IntersectionOfIntervals(DeviationStat* other, int elem, ParStat** pThis, ParStat** pOther);
  void OutStatictics(unsigned int channel);
  // Name of measure i (empty outside 0..4), in a text buffer of the calling thread.
  static const char* GetElemName(int i);
};

#endif
