// Matching and decision: once per time block every enabled pattern is compared with the
// newest stretch of the input's time-spectrum; deviations below the threshold that are not
// repeats of an occurrence already reported are recognitions.
#include <cmath>
#include <cstdint>

#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
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

}  // namespace

int TimeSpectrumEstimation::RecognizePattern() {
  if (TVS == nullptr || ReOrderPatternNumbers == nullptr || TimeSpectrumWork == nullptr || NPattern < 1) return 1;
  float* W = TimeSpectrumWork;

  // Phase A: copy the newest blocks into the band-major work matrix, visiting the patterns
  // from the shortest to the longest so that each only extends what the shorter ones copied,
  // and compute every pattern's current mean level over its own length.
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
      if (--r < 0) r = Nblock - 1;
      ++j;
    }
    P->CurMeanRms = S * P->InvNbandNblock;
    P->fLevelGate = (P->CurMeanRms * RecPar.LevMin <= P->MeanRms && P->MeanRms <= P->CurMeanRms * RecPar.LevMax) ? 1 : 0;
  }

  // Phase B: decide for every pattern in number order.
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[i];
    if (P == nullptr) continue;
    if (!P->fUsePattern) {
      P->RelDevMPB = 2.0f;
      P->RelDev = 2.0f;
      continue;
    }
    int c = Recognition(P);
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

int TimeSpectrumEstimation::Recognition(SignalTVSEx* P) {
  const int fStat = RecPar.fStatistics;
  if (!P->fLevelGate && !fStat) {
    MonitorParam.RelDev = P->RelDevMPB = P->RelDev = 2.0f;
    return 0;
  }

  float* W = TimeSpectrumWork;
  float* cur = W;
  if (P->fLevelGate) {
    LevelGain = P->MeanRms / P->CurMeanRms;
    float* W2 = TimeSpectrumWork + NTimeSpectrum;
    for (int n = 0; n < NTimeSpectrum; ++n) W2[n] = LevelGain * W[n];
    cur = W2;
  } else {
    LevelGain = 1.0f;
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
  float dm = RelativeDeviation(&E, P, m, cur, W, P->fLevelGate);
  float v = dm * P->RelDevScalingFactor[m];
  if (fStat) {
    if (BandLevelCur != nullptr) BandLevelCur[m] = BandMeanCur / LevelGain;
    E.RelDev = v;
    T.RelDevMaxPowBand = v;
    StoreEstimate(P, m, E);
  }
  P->RelDevMPB = v;

  if (RecPar.fUseRelDevMPB && v >= RecPar.TresholdRelDeviationMPB) {
    MonitorParam.RelDev = v;
    P->RelDev = v;
    return 0;
  }

  float sum = dm;
  for (int b = 0; b < P->Nband; ++b) {
    if (b == m) continue;
    E = ZeroEstimate();
    E.Ns = NCurrentSampleRel;
    float db = RelativeDeviation(&E, P, b, cur, W, P->fLevelGate);
    sum += db;
    if (fStat) {
      if (BandLevelCur != nullptr) BandLevelCur[b] = BandMeanCur / LevelGain;
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
  MonitorParam.RelDev = R;
  P->RelDev = R;
  return R < RecPar.TresholdRelDeviation ? 1 : 0;
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
