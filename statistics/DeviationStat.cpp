// Accumulators of the deviation measures: ParStat (one measure) and DeviationStat (the five
// measures of a DeviationEst record).
#include "DeviationStat.h"

#include <cstring>
#include <new>

#include "sp_helpers.h"

// Process-wide measure switches and the count of live DeviationStat objects. The switches
// are set back to 1 whenever the count of live objects goes from 0 to 1.
int DeviationStat::fUseElem[DeviationStat::NumberOfElem] = {1, 1, 1, 1, 1};
sp_ulong DeviationStat::NObject = 0;

namespace {

const char* const kElemName[DeviationStat::NumberOfElem] = {"AbsDev", "RelDev", "MaxDevAbsLow",
                                                             "RelDevMaxPowBand", "Correlation"};

// Histogram set-up of the constructor, per measure: bounds, bins, dB scale.
struct HistogramSetup {
  float low;
  float high;
  sp_ulong nBins;
  int fdB;
};

const HistogramSetup kHistogramSetup[DeviationStat::NumberOfElem] = {
    {0.0f, 2.0f, 50, 0},    // AbsDev
    {0.0f, 2.0f, 50, 0},    // RelDev
    {1e-10f, 1.0f, 50, 1},  // MaxDevAbsLow: -100 .. 0 dB
    {0.0f, 2.0f, 50, 0},    // RelDevMaxPowBand
    {0.0f, 2.0f, 50, 0},    // Correlation
};

// Measure m of an estimate record, in the order of DeviationStat::Elem.
float MeasureOf(const DeviationEst* est, int m) {
  switch (m) {
    case 0: return est->AbsDev;
    case 1: return est->RelDev;
    case 2: return est->MaxDevAbsLow;
    case 3: return est->RelDevMaxPowBand;
    default: return est->Correlation;
  }
}

// A fresh copy of n bin counters, or null when there is nothing to copy or no memory.
sp_ulong* CopyBins(const sp_ulong* src, sp_ulong n) {
  if (src == nullptr || n == 0) return nullptr;
  sp_ulong* dst = new (std::nothrow) sp_ulong[n];
  if (dst == nullptr) return nullptr;
  std::memcpy(dst, src, sizeof(sp_ulong) * n);
  return dst;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ParStat

ParStat::ParStat()
    : LastValue(0.0f),
      Min(0.0f),
      Max(0.0f),
      NsMin(0),
      NsMax(0),
      Mean(0.0f),
      Variance(0.0f),
      Sum(0.0),
      SumSqDev(0.0),
      N(0),
      HistLow(0.0f),
      HistHigh(0.0f),
      NBelow(0),
      NAbove(0),
      NBins(0),
      Hist(nullptr),
      fdB(0),
      BinScale(0.0f) {}

ParStat::~ParStat() { Release(); }

ParStat::ParStat(const ParStat& other)
    : LastValue(other.LastValue),
      Min(other.Min),
      Max(other.Max),
      NsMin(other.NsMin),
      NsMax(other.NsMax),
      Mean(other.Mean),
      Variance(other.Variance),
      Sum(other.Sum),
      SumSqDev(other.SumSqDev),
      N(other.N),
      HistLow(other.HistLow),
      HistHigh(other.HistHigh),
      NBelow(other.NBelow),
      NAbove(other.NAbove),
      NBins(other.NBins),
      Hist(CopyBins(other.Hist, other.NBins)),
      fdB(other.fdB),
      BinScale(other.BinScale) {
  // Without memory for the counters the copy keeps count, minimum and maximum only.
}

ParStat& ParStat::operator=(const ParStat& other) {
  if (this == &other) return *this;
  // Copy the counters first so that the old ones are released only once the new ones exist.
  sp_ulong* bins = CopyBins(other.Hist, other.NBins);
  delete[] Hist;
  LastValue = other.LastValue;
  Min = other.Min;
  Max = other.Max;
  NsMin = other.NsMin;
  NsMax = other.NsMax;
  Mean = other.Mean;
  Variance = other.Variance;
  Sum = other.Sum;
  SumSqDev = other.SumSqDev;
  N = other.N;
  HistLow = other.HistLow;
  HistHigh = other.HistHigh;
  NBelow = other.NBelow;
  NAbove = other.NAbove;
  NBins = other.NBins;
  Hist = bins;
  fdB = other.fdB;
  BinScale = other.BinScale;
  return *this;
}

void ParStat::Release() {
  delete[] Hist;
  Hist = nullptr;
  LastValue = 0.0f;
  Min = 0.0f;
  Max = 0.0f;
  NsMin = 0;
  NsMax = 0;
  Mean = 0.0f;
  Variance = 0.0f;
  Sum = 0.0;
  SumSqDev = 0.0;
  N = 0;
  NBelow = 0;
  NAbove = 0;
  NBins = 0;
  fdB = 0;
  BinScale = 0.0f;
}

int ParStat::InitHistogram(float low, float high, sp_ulong nBins, int fdBScale) {
  Release();
  fdB = fdBScale;
  NBins = nBins;
  HistLow = fdBScale ? PowToDB(low) : low;
  HistHigh = fdBScale ? PowToDB(high) : high;
  // A histogram of no bins has no counters: the record then keeps count, minimum and
  // maximum only, like one whose counters could not be allocated.
  if (nBins > 0) {
    Hist = new (std::nothrow) sp_ulong[nBins];
    if (Hist == nullptr) {
      Release();
      return 0;
    }
    for (sp_ulong i = 0; i < nBins; ++i) Hist[i] = 0;
  }
  if (HistHigh == HistLow) {
    BinScale = 0.0f;
  } else {
    float inverseWidth = 1.0f / (HistHigh - HistLow);
    BinScale = static_cast<float>(NBins) * inverseWidth;
  }
  return 1;
}

void ParStat::Include(float value, int fUse, sp_ulong ns) {
  // Every offer is counted, also while the measure is switched off.
  N += 1;
  if (fUse == 0) return;
  LastValue = fdB ? PowToDB(value) : value;
  if (N == 1) {
    Min = LastValue;
    Max = LastValue;
    NsMin = ns;
    NsMax = ns;
    Sum = 0.0;
    SumSqDev = 0.0;
  } else if (LastValue < Min) {
    Min = LastValue;
    NsMin = ns;
  } else if (LastValue > Max) {
    Max = LastValue;
    NsMax = ns;
  }
  if (Hist == nullptr) return;

  const double count = static_cast<double>(N);
  Sum += static_cast<double>(LastValue);
  Mean = static_cast<float>(Sum / count);
  const double d = static_cast<double>(LastValue) - static_cast<double>(Mean);
  SumSqDev += d * d;
  Variance = static_cast<float>(SumSqDev / count);

  if (LastValue < HistLow) {
    NBelow += 1;
  } else if (LastValue > HistHigh) {
    NAbove += 1;
  } else {
    const float position = (LastValue - HistLow) * BinScale;
    // Truncation toward zero; the upper bound itself (and anything not comparable, such as
    // a NaN value) lands in the last bin.
    sp_ulong bin = NBins - 1;
    if (position < static_cast<float>(NBins)) {
      bin = static_cast<sp_ulong>(position);
      if (bin >= NBins) bin = NBins - 1;
    }
    Hist[bin] += 1;
  }
}

int ParStat::Intersects(const ParStat& b) const {
  if (N == 0 || b.N == 0) return 0;
  return (b.Min <= Max && b.Max >= Min) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// DeviationStat

DeviationStat::DeviationStat() {
  NObject += 1;
  if (NObject == 1)
    for (int i = 0; i < NumberOfElem; ++i) fUseElem[i] = 1;
  // A histogram whose counters cannot be allocated stays absent.
  for (int i = 0; i < NumberOfElem; ++i) {
    const HistogramSetup& h = kHistogramSetup[i];
    Elem[i].InitHistogram(h.low, h.high, h.nBins, h.fdB);
  }
}

DeviationStat::~DeviationStat() {
  UnloadObj();
  NObject -= 1;
}

// A copy is one more live object: it is counted like a constructed one (and, being the
// first live object, would set the measure switches back to 1). The records are copied with
// their own bin counters.
DeviationStat::DeviationStat(const DeviationStat& other) {
  NObject += 1;
  if (NObject == 1)
    for (int i = 0; i < NumberOfElem; ++i) fUseElem[i] = 1;
  for (int i = 0; i < NumberOfElem; ++i) Elem[i] = other.Elem[i];
}

DeviationStat& DeviationStat::operator=(const DeviationStat& other) {
  if (this == &other) return *this;
  for (int i = 0; i < NumberOfElem; ++i) Elem[i] = other.Elem[i];
  return *this;
}

void DeviationStat::UnloadObj() {
  for (int i = 0; i < NumberOfElem; ++i) Elem[i].Release();
}

void DeviationStat::IncludeData(DeviationEst* est) {
  if (est == nullptr) return;
  for (int m = 0; m < NumberOfElem; ++m) Elem[m].Include(MeasureOf(est, m), fUseElem[m], est->Ns);
}

int DeviationStat::SetflagUseElem(int elem, int flag) {
  if (elem < 0 || elem >= NumberOfElem) return 0;
  int previous = fUseElem[elem];
  fUseElem[elem] = flag;
  return previous;
}

int DeviationStat::GetNumberOfElem() { return NumberOfElem; }

sp_ulong DeviationStat::GetNSampleInStatictics(int elem) {
  if (elem < 0 || elem >= NumberOfElem) return 0;
  return Elem[elem].N;
}

int DeviationStat::IntersectionOfIntervals(DeviationStat* other, int elem, ParStat** pThis,
                                           ParStat** pOther) {
  if (other == nullptr || elem < 0 || elem >= NumberOfElem) return 0;
  if (pThis != nullptr) *pThis = &Elem[elem];
  if (pOther != nullptr) *pOther = &other->Elem[elem];
  return Elem[elem].Intersects(other->Elem[elem]);
}

const char* DeviationStat::GetElemName(int i) {
  // One buffer per thread: threads writing statistics at once do not share it.
  thread_local char name[32];
  const char* source = (i >= 0 && i < NumberOfElem) ? kElemName[i] : "";
  std::strncpy(name, source, sizeof(name) - 1);
  name[sizeof(name) - 1] = 0;
  return name;
}
