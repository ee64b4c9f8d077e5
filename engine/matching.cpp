// Matching and decision: once per time block every enabled pattern is compared with the
// newest stretch of the input's time-spectrum; deviations below the threshold that are not
// repeats of an occurrence already reported are recognitions. With the matching layout
// (matching_layout.h), the deviations of many patterns are computed ahead, side by side
// (matching_ahead.cpp), and decided here like the others.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "../kernels/simd.h"
#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
#include "matching_layout.h"
#include "prefilter_stage.h"
#include "sp_helpers.h"
#include "sp_message.h"

namespace {

char EmptyName[1] = {0};

DeviationEst ZeroEstimate() {
  DeviationEst e;
  e.AbsDev = 0.0f;
  e.RelDev = 0.0f;
  e.MaxDevAbsLow = 0.0f;
  e.RelDevMaxPowBand = 0.0f;
  e.Correlation = 0.0f;
  e.Flags = 0;
  e.Ns = 0;
  return e;
}

// Writes an estimate into slot `slot` of the pattern's current statistics row, if it has one.
void StoreEstimate(SignalTVSEx* P, int slot, const DeviationEst& e) {
  PatternStatistics* s = P->PatternStat;
  if (s == nullptr || s->CurEst == nullptr || slot < 0 || slot >= s->NEst) return;
  s->CurEst[slot] = e;
}

// ---- Decision of one pattern from its per-band deviations.
//
// `deviation(b)` returns what RelativeDeviation returns for band b and leaves that band's mean
// in BandMeanCur. The evaluation straight from the work matrix and the evaluation from
// deviations computed ahead for many patterns at once both decide here, in the same order and
// with the same side effects.
template <typename Deviation>
int Decide(TimeSpectrumEstimation& e, SignalTVSEx* P, Deviation deviation) {
  const int fStat = e.RecPar.fStatistics;
  if (!P->fLevelGate && !fStat) {
    e.MonitorParam.RelDev = P->RelDevMPB = P->RelDev = 2.0f;
    return 0;
  }
  e.LevelGain = P->fLevelGate ? P->MeanRms / P->CurMeanRms : 1.0f;

  DeviationEst E = ZeroEstimate();
  DeviationEst T = ZeroEstimate();
  if (fStat) {
    sp_ulong limit = static_cast<sp_ulong>(P->NSamplePattern) + static_cast<sp_ulong>(e.NsampleBlock);
    sp_ulong pos = e.NCurrentSampleRel > limit ? e.NCurrentSampleRel - limit : 0;
    E.Ns = T.Ns = pos;
  }

  int m = P->BandMaxRms;
  if (m < 0 || m >= P->Nband) m = 0;
  float dm = deviation(m);
  E.RelDev = dm;
  float v = dm * P->RelDevScalingFactor[m];
  if (fStat) {
    if (e.BandLevelCur != nullptr) e.BandLevelCur[m] = e.BandMeanCur / e.LevelGain;
    E.RelDev = v;
    T.RelDevMaxPowBand = v;
    StoreEstimate(P, m, E);
  }
  P->RelDevMPB = v;

  if (e.RecPar.fUseRelDevMPB && v >= e.RecPar.TresholdRelDeviationMPB) {
    e.MonitorParam.RelDev = v;
    P->RelDev = v;
    return 0;
  }

  float sum = dm;
  for (int b = 0; b < P->Nband; ++b) {
    if (b == m) continue;
    E = ZeroEstimate();
    E.Ns = e.NCurrentSampleRel;
    float db = deviation(b);
    E.RelDev = db;
    sum += db;
    if (fStat) {
      if (e.BandLevelCur != nullptr) e.BandLevelCur[b] = e.BandMeanCur / e.LevelGain;
      E.RelDev = db * P->RelDevScalingFactor[b];
      StoreEstimate(P, b, E);
    }
  }

  float R = sum * P->InvNband * P->RelDevScalingFactor[P->Nband];
  if (!P->fLevelGate) R = 2.0f;
  if (fStat) {
    T.RelDev = R;
    StoreEstimate(P, P->Nband, T);
  }
  e.MonitorParam.RelDev = R;
  P->RelDev = R;
  return R < e.RecPar.TresholdRelDeviation ? 1 : 0;
}

// The deviation of band b of P against the work matrix W, as RelativeDeviation computes it on
// the level-normalised row (LevelGain x W when the gate is open, W itself otherwise), without
// storing the normalised row: each value is recomputed where it is read, with the same
// roundings. Leaves the band's mean in *mean.
// `w` gives the input's value at the k-th newest block (what W holds at row b, column k).
// gate, curMeanRms: the pattern's level gate and the input's mean level over its length.
template <typename Input>
float BandDeviationOf(const TimeSpectrumEstimation& e, const SignalTVSEx* P, int b, float* mean, bool gate,
                      float curMeanRms, Input w) {
  const float* p = P->SpectrumByBand + static_cast<long>(b) * P->Nblock;
  const int N = P->Nblock;
  const float lg = gate ? P->MeanRms / curMeanRms : 1.0f;

  float sum = 0.0f;
  for (int k = 0; k < N; ++k) sum += gate ? lg * w(k) : w(k);
  const float bandMean = sum * P->InvNblock;
  *mean = bandMean;

  float g = 1.0f;
  bool aligned = false;
  if (gate) {
    const float level = P->BandRms[b];
    if (bandMean * e.RecPar.BandGainMin <= level && level <= bandMean * e.RecPar.BandGainMax && bandMean != 0.0f) {
      g = level / bandMean;
      aligned = true;
    }
  }

  float A = 0.0f;
  const unsigned char* range = P->Range;
  for (int k = 1; k < N - 1; ++k) {
    if (range[static_cast<long>(k) * P->Nband + b] == 3) continue;
    float c = gate ? lg * w(k) : w(k);
    if (aligned) c *= g;
    A += std::fabs(c - p[k]);
  }
  const float weight = P->BackNSampleNoTransientRange[b];
  return std::isfinite(weight) ? A * weight * P->AmpRanges[P->Nband].BackMeanPowHigh : 0.0f;
}

float BandDeviation(const TimeSpectrumEstimation& e, const SignalTVSEx* P, int b, float* mean) {
  const float* w = e.TimeSpectrumWork + static_cast<long>(b) * e.Nblock;
  return BandDeviationOf(e, P, b, mean, P->fLevelGate != 0, P->CurMeanRms, [w](int k) { return w[k]; });
}

// The same read straight from the ring of time blocks (the newest at NblockCur), as RecognizePattern
// would have copied it into W.
float RingBandDeviation(const TimeSpectrumEstimation& e, const SignalTVSEx* P, int b, float* mean, bool gate,
                        float curMeanRms) {
  const float* ring = e.TimeSpectrum + b;
  const int newest = e.NblockCur, n = e.Nblock, nband = e.Nband;
  return BandDeviationOf(e, P, b, mean, gate, curMeanRms, [=](int k) {
    const int r = newest - k;
    return ring[static_cast<long>(r < 0 ? r + n : r) * nband];
  });
}

}  // namespace

void TimeSpectrumEstimation::DropMatchingLayout() {
  delete Layout;
  Layout = nullptr;
}

int TimeSpectrumEstimation::PrepareMatching(int lanes) {
  DropMatchingLayout();
#if defined(SP_KERNELS_SSE2)
  if (TVS == nullptr || NPattern < 1 || Nband != sp::MatchingLayout::kBands || Nblock < 1 ||
      TimeSpectrumWork == nullptr)
    return 0;
  const int width = lanes != 4 && sp::kernels::HasAvx2() ? 8 : 4;
  Layout = sp::MatchingLayout::Build(*this, width).release();
  return Layout != nullptr ? 1 : 0;
#else
  (void)lanes;
  return 0;
#endif
}

int TimeSpectrumEstimation::RecognizePattern(sp::InterleavedPrefilter* alongside) {
  if (TVS == nullptr || ReOrderPatternNumbers == nullptr || TimeSpectrumWork == nullptr || NPattern < 1) return 1;
  float* W = TimeSpectrumWork;
  // With the many-pattern layout (PrepareMatching), the blocks are also copied block-major into
  // the third part of the work buffer (W3), which the layout's evaluation reads.
  if (Layout != nullptr && !Layout->Fits(*this)) DropMatchingLayout();
  sp::MatchingLayout* layout = Layout;
  float* W3 = layout != nullptr ? TimeSpectrumWork + 2L * NTimeSpectrum : nullptr;

  // Phase A: copy the newest blocks into the band-major work matrix, visiting the patterns
  // from the shortest to the longest so that each only extends what the shorter ones copied,
  // and compute every pattern's current mean level over its own length.
  // The pipeline's pre-filter stage, when it has one pending, advances alongside (see
  // prefilter_stage.h): the running sum S is one long chain of additions, and so is the
  // filter; 16 samples every 4 blocks keep the two about level.
  // With no pattern compared (a caller deciding alone, as PatternDetector does) nothing reads
  // the copies, the mean levels or the deviations: the patterns are only marked not compared
  // (DeviationsNow works out what it needs for the pattern it is asked about).
  int inUse = 0;
  for (int i = 0; i < NPattern; ++i) inUse += TVS[i] != nullptr && TVS[i]->fUsePattern ? 1 : 0;
  if (inUse == 0) {
    for (int i = 0; i < NPattern; ++i)
      if (TVS[i] != nullptr) TVS[i]->RelDevMPB = TVS[i]->RelDev = 2.0f;
    return 1;
  }
  int j = 0;
  float S = 0.0f;
  int r = NblockCur;
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[ReOrderPatternNumbers[i]];
    if (P == nullptr) continue;
    int length = P->Nblock < Nblock ? P->Nblock : Nblock;
    while (j < length) {
      const float* block = TimeSpectrum + static_cast<long>(r) * Nband;
      for (int b = 0; b < Nband; ++b) {
        float v = block[b];
        S += v;
        W[static_cast<long>(b) * Nblock + j] = v;
      }
      if (W3 != nullptr)  // the layout serves 8 bands
        std::memcpy(W3 + 8L * j, block, 8 * sizeof(float));
      if (alongside != nullptr && (j & 3) == 3) alongside->Advance(16);
      if (--r < 0) r = Nblock - 1;
      ++j;
    }
    P->CurMeanRms = S * P->InvNbandNblock;
    P->fLevelGate =
        (P->CurMeanRms * RecPar.LevMin <= P->MeanRms && P->MeanRms <= P->CurMeanRms * RecPar.LevMax) ? 1 : 0;
  }

  // With the layout, the deviations of the patterns it holds are computed ahead, side by
  // side; the decisions below then read them in pattern-number order. With no pattern in use
  // (a caller deciding alone) this is not reached: the layout is checked again at the first
  // block that has a pattern in use.
  if (layout != nullptr && !layout->Describes(*this)) {
    DropMatchingLayout();
    layout = nullptr;
  }
  if (layout != nullptr) layout->Evaluate(*this);

  // Phase B: decide for every pattern in number order.
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[i];
    if (P == nullptr) continue;
    if (!P->fUsePattern) {
      P->RelDevMPB = 2.0f;
      P->RelDev = 2.0f;
      continue;
    }
    int c;
    if (layout != nullptr && layout->Status(i) != sp::MatchingLayout::kOrdinary) {
      float* deviations = layout->Deviations(i);
      float* means = layout->Means(i);
      unsigned& have = layout->Have(i);
      c = Decide(*this, P, [&](int band) {
        if (!(have & (1u << band))) {  // not computed ahead: the early rejection was expected
          deviations[band] = BandDeviation(*this, P, band, &means[band]);
          have |= 1u << band;
        }
        BandMeanCur = means[band];
        return deviations[band];
      });
    } else {
      c = Recognition(P);
    }
    if (c == 1) {
      sp_ulong d = NCurrentSample - static_cast<sp_ulong>(NsDelay);
      sp_ulong e = static_cast<sp_ulong>(P->NSampleFoundEnd) + static_cast<sp_ulong>(P->NSampleHoldOff);
      if (d <= e) {
        // A repeat of the occurrence already reported.
        MonitorParam.fRecognized = 0;
        c = 0;
      } else {
        P->NRecognize += 1;
        NRecognize += 1;
        LastRecognizedPattern = i;
        fRecognized = 1;
        RecognizedBegin = static_cast<sp_long>(NCurrentSample - static_cast<sp_ulong>(NsampleBlock) *
                                                                    static_cast<sp_ulong>(P->Nblock) -
                                               static_cast<sp_ulong>(NsDelay));
        RecognizedEnd = static_cast<sp_long>(NCurrentSample - static_cast<sp_ulong>(NsDelay));
        P->NSampleFoundBegin = RecognizedBegin;
        P->NSampleFoundEnd = RecognizedEnd;
        if (BandLevelCur != nullptr && BandLevelRecognized != nullptr)
          for (int b = 0; b < Nband; ++b) BandLevelRecognized[b] = BandLevelCur[b];
        MonitorParam.fRecognized = 1;
        sp::LogFormat(0, CP1251("Find %2.2d  образец %d, %s"), NRecognize, i, FileNameOfPath(P->FileName));
        sp::LogFormat(0, "  NSampleCreate %ld, NCurrentSample %ld", static_cast<long>(P->NSampleCreate),
                      static_cast<long>(static_cast<sp_long>(NCurrentSample + NSampleOffset)));
        sp::LogFormat(0, "  RelDev %2.6f,  RelDevMPB  %2.6f", static_cast<double>(P->RelDev),
                      static_cast<double>(P->RelDevMPB));
      }
    }

    int k = (NCurrentSample == static_cast<sp_ulong>(P->NSampleCreate) + NSampleOffset) ? 1 : 0;
    if (fOutInfo && k) OutCurrentSpectrumData(i, 0);

    if (RecPar.fStatistics) {
      int x = k & P->fKnownPosition;
      unsigned short code;
      if (x != 0) code = 4;
      else if (RecPar.fKnownPattern) code = 0;
      else code = (c == 1) ? 2 : 0;
      if (P->PatternStat != nullptr) P->PatternStat->RealizeStatitistics(&code);
      if (c == 1 || x != 0) SaveCurrentSpectrumData(P, x);
    }
  }
  return 1;
}

int TimeSpectrumEstimation::DeviationsNow(int i, float* relDev, float* relDevMpb) const {
  *relDev = *relDevMpb = 2.0f;
  if (TVS == nullptr || TimeSpectrum == nullptr || i < 0 || i >= NPattern || TVS[i] == nullptr) return 0;
  const SignalTVSEx* P = TVS[i];
  if (P->Nblock > Nblock) return 0;
  // The mean level over the pattern's length as RecognizePattern's running sum has it when it
  // reaches this pattern (the patterns visited from the shortest: the same chain of additions,
  // newest block first), and the level gate from it.
  float S = 0.0f;
  int r = NblockCur;
  for (int j = 0; j < P->Nblock; ++j) {
    const float* block = TimeSpectrum + static_cast<long>(r) * Nband;
    for (int b = 0; b < Nband; ++b) S += block[b];
    if (--r < 0) r = Nblock - 1;
  }
  const float cur = S * P->InvNbandNblock;
  const bool gate = cur * RecPar.LevMin <= P->MeanRms && P->MeanRms <= cur * RecPar.LevMax;
  // Then Decide's arithmetic with statistics off, band by band as BandDeviation computes it
  // (from the ring: W holds the blocks only while a pattern is compared).
  if (!gate) return 1;
  int m = P->BandMaxRms;
  if (m < 0 || m >= P->Nband) m = 0;
  float mean = 0.0f;
  const float dm = RingBandDeviation(*this, P, m, &mean, gate, cur);
  const float v = dm * P->RelDevScalingFactor[m];
  *relDevMpb = v;
  if (RecPar.fUseRelDevMPB && v >= RecPar.TresholdRelDeviationMPB) {
    *relDev = v;
    return 1;
  }
  float sum = dm;
  for (int b = 0; b < P->Nband; ++b)
    if (b != m) sum += RingBandDeviation(*this, P, b, &mean, gate, cur);
  *relDev = sum * P->InvNband * P->RelDevScalingFactor[P->Nband];
  return 1;
}

int TimeSpectrumEstimation::Recognition(SignalTVSEx* P) {
  // The level-normalised copy W2 = LevelGain x W is made only for the row and the length that
  // each band's evaluation reads (RelativeDeviation aligns that row in place, so every pattern
  // and band gets freshly normalised values).
  float* W = TimeSpectrumWork;
  float* W2 = TimeSpectrumWork + NTimeSpectrum;
  return Decide(*this, P, [&](int band) {
    float* cur = W;
    if (P->fLevelGate) {
      const long row = static_cast<long>(band) * Nblock;
      const long end = std::min<long>(row + P->Nblock, NTimeSpectrum);
      for (long n = row; n < end; ++n) W2[n] = LevelGain * W[n];
      cur = W2;
    }
    DeviationEst est = ZeroEstimate();
    return RelativeDeviation(&est, P, band, cur, W, P->fLevelGate);
  });
}

float TimeSpectrumEstimation::RelativeDeviation(DeviationEst* est, SignalTVSEx* P, int band, float* cur,
                                                float* /*orig*/, int fLevelGate) {
  float* c = cur + static_cast<long>(band) * Nblock;
  const float* p = P->SpectrumByBand + static_cast<long>(band) * P->Nblock;
  const int N = P->Nblock;

  float sum = 0.0f;
  for (int k = 0; k < N; ++k) sum += c[k];
  BandMeanCur = sum * P->InvNblock;

  if (fLevelGate) {
    float level = P->BandRms[band];
    // A silent input band (mean 0) against a silent pattern band would make the gain 0/0; the
    // row is already at the pattern's level then, so it is left as it is.
    if (BandMeanCur * RecPar.BandGainMin <= level && level <= BandMeanCur * RecPar.BandGainMax &&
        BandMeanCur != 0.0f) {
      float g = level / BandMeanCur;
      for (int k = 0; k < N; ++k) c[k] *= g;
    }
  }

  float A = 0.0f;
  const unsigned char* range = P->Range;
  for (int k = 1; k < N - 1; ++k)
    if (range[static_cast<long>(k) * P->Nband + band] != 3) A += std::fabs(c[k] - p[k]);

  // A band in which every block is a front has no counted samples (its weight is the
  // reciprocal of zero); it contributes no deviation rather than 0 x infinity.
  float weight = P->BackNSampleNoTransientRange[band];
  float result = std::isfinite(weight) ? A * weight * P->AmpRanges[P->Nband].BackMeanPowHigh : 0.0f;
  est->RelDev = result;
  return result;
}

void TimeSpectrumEstimation::Monitor_Deviation() {
  if (TVS == nullptr) return;
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[i];
    if (P == nullptr) continue;
    if (P->RelDev < P->RelDevMin) P->RelDevMin = P->RelDev;
    else if (P->RelDev > P->RelDevMax) P->RelDevMax = P->RelDev;
  }
}

int TimeSpectrumEstimation::IsAtPattern(sp_long a, sp_long b) {
  std::int64_t d = static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b);
  if (d < 0) d = -d;
  return d <= 2304 ? 1 : 0;
}

char* TimeSpectrumEstimation::GetLastRecognizedPatternFileName() {
  if (!fRecognitionMode || NRecognize == 0 || TVS == nullptr || LastRecognizedPattern < 0 ||
      LastRecognizedPattern >= NPattern || TVS[LastRecognizedPattern] == nullptr)
    return EmptyName;
  return FileNameOfPath(TVS[LastRecognizedPattern]->FileName);
}

// ---- The variants that also compute the absolute deviation, the largest value where the
// pattern is low and the correlation. Nothing in the library calls them; they serve studies
// of which measures separate recognitions.

float TimeSpectrumEstimation::RelativeDeviation1(DeviationEst* est, SignalTVSEx* P, int band, float* cur,
                                                 float* orig, int fLevelGate) {
  float* c = cur + static_cast<long>(band) * Nblock;
  const float* o = orig + static_cast<long>(band) * Nblock;
  const float* p = P->SpectrumByBand + static_cast<long>(band) * P->Nblock;
  const int N = P->Nblock;
  SumPatternSq = 0.0f;
  SumCurrentPattern = 0.0f;

  float sum = 0.0f;
  for (int k = 0; k < N; ++k) sum += c[k];
  BandMeanCur = sum * P->InvNblock;

  if (fLevelGate) {
    float level = P->BandRms[band];
    if (BandMeanCur * RecPar.BandGainMin <= level && level <= BandMeanCur * RecPar.BandGainMax &&
        BandMeanCur != 0.0f) {
      float g = level / BandMeanCur;
      for (int k = 0; k < N; ++k) c[k] *= g;
    }
  }

  const float ref = DefaultAmpRangesPar.RefLevel;
  float A = 0.0f;
  float absDev = 0.0f;
  float maxLow = 0.0f;
  const unsigned char* range = P->Range;
  for (int k = 1; k < N - 1; ++k) {
    if (range[static_cast<long>(k) * P->Nband + band] == 3) continue;
    A += std::fabs(c[k] - p[k]);
    SumPatternSq += p[k] * p[k];
    SumCurrentPattern += c[k] * p[k];
    float d = std::fabs(o[k] - p[k]);
    if (d > absDev) absDev = d;
    if (p[k - 1] <= ref && p[k] <= ref && p[k + 1] <= ref && o[k] > maxLow) maxLow = o[k];
  }
  est->Correlation = (SumPatternSq != 0.0f && fLevelGate) ? SumCurrentPattern / SumPatternSq : 0.0f;
  est->AbsDev = absDev;
  est->MaxDevAbsLow = maxLow;

  float weight = P->BackNSampleNoTransientRange[band];
  float result = std::isfinite(weight) ? A * weight * P->AmpRanges[P->Nband].BackMeanPowHigh : 0.0f;
  est->RelDev = result;
  return result;
}

int TimeSpectrumEstimation::Recognition1(SignalTVSEx* P) {
  const int fStat = RecPar.fStatistics;
  if (!P->fLevelGate && !fStat) {
    MonitorParam.RelDev = P->RelDevMPB = P->RelDev = 2.0f;
    return 0;
  }

  float* W = TimeSpectrumWork;
  float* W2 = TimeSpectrumWork + NTimeSpectrum;
  float* W3 = TimeSpectrumWork + 2L * NTimeSpectrum;
  LevelGain = P->fLevelGate ? P->MeanRms / P->CurMeanRms : 1.0f;
  for (int n = 0; n < NTimeSpectrum; ++n) {
    W2[n] = LevelGain * W[n];
    W3[n] = LevelGain * W[n];
  }

  DeviationEst E = ZeroEstimate();
  DeviationEst T = ZeroEstimate();
  if (fStat) {
    sp_ulong limit = static_cast<sp_ulong>(P->NSamplePattern) + static_cast<sp_ulong>(NsampleBlock);
    sp_ulong pos = NCurrentSampleRel > limit ? NCurrentSampleRel - limit : 0;
    E.Ns = T.Ns = pos;
  }

  int m = P->BandMaxRms;
  if (m < 0 || m >= P->Nband) m = 0;
  float maxAbsDev = 0.0f;
  float maxLow = 0.0f;
  float sumCp = 0.0f;
  float sumPp = 0.0f;

  float dm = RelativeDeviation1(&E, P, m, W2, W3, P->fLevelGate);
  float v = dm * P->RelDevScalingFactor[m];
  maxAbsDev = E.AbsDev;
  maxLow = E.MaxDevAbsLow;
  sumCp += SumCurrentPattern;
  sumPp += SumPatternSq;
  if (fStat) {
    if (BandLevelCur != nullptr) BandLevelCur[m] = BandMeanCur / LevelGain;
    E.RelDev = v;
    StoreEstimate(P, m, E);
  }
  P->RelDevMPB = v;

  float sum = dm;
  for (int b = 0; b < P->Nband; ++b) {
    if (b == m) continue;
    E = ZeroEstimate();
    E.Ns = NCurrentSampleRel;
    float db = RelativeDeviation1(&E, P, b, W2, W3, P->fLevelGate);
    sum += db;
    if (E.AbsDev > maxAbsDev) maxAbsDev = E.AbsDev;
    if (E.MaxDevAbsLow > maxLow) maxLow = E.MaxDevAbsLow;
    sumCp += SumCurrentPattern;
    sumPp += SumPatternSq;
    if (fStat) {
      if (BandLevelCur != nullptr) BandLevelCur[b] = BandMeanCur / LevelGain;
      E.RelDev = db * P->RelDevScalingFactor[b];
      StoreEstimate(P, b, E);
    }
  }

  float R = sum * P->InvNband * P->RelDevScalingFactor[P->Nband];
  if (!P->fLevelGate) R = 2.0f;
  float correlation = (sumPp != 0.0f && P->fLevelGate) ? sumCp / sumPp : 0.0f;
  T.AbsDev = P->fLevelGate ? maxAbsDev * P->AbsDevScalingFactor[P->Nband] : 2.0f;
  T.MaxDevAbsLow = R > 0.1f ? 1.0f : maxLow;
  T.RelDevMaxPowBand = v;
  T.Correlation = correlation;
  if (fStat) {
    T.RelDev = R;
    StoreEstimate(P, P->Nband, T);
  }
  P->RelDev = R;
  MonitorParam.RelDev = T.RelDev;
  MonitorParam.ValueC = correlation;
  return 0;
}
