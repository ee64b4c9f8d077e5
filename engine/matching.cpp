// Matching and decision: once per time block every enabled pattern is compared with the
// newest stretch of the input's time-spectrum; deviations below the threshold that are not
// repeats of an occurrence already reported are recognitions.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
#include "matching_layout.h"
#include "prefilter_stage.h"
#include "sp_cpu.h"
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
[[maybe_unused]] float BandDeviation(const TimeSpectrumEstimation& e, const SignalTVSEx* P, int b, float* mean) {
  const float* w = e.TimeSpectrumWork + static_cast<long>(b) * e.Nblock;
  const float* p = P->SpectrumByBand + static_cast<long>(b) * P->Nblock;
  const int N = P->Nblock;
  const bool gate = P->fLevelGate != 0;
  const float lg = gate ? P->MeanRms / P->CurMeanRms : 1.0f;

  float sum = 0.0f;
  for (int k = 0; k < N; ++k) sum += gate ? lg * w[k] : w[k];
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
    float c = gate ? lg * w[k] : w[k];
    if (aligned) c *= g;
    A += std::fabs(c - p[k]);
  }
  const float weight = P->BackNSampleNoTransientRange[b];
  return std::isfinite(weight) ? A * weight * P->AmpRanges[P->Nband].BackMeanPowHigh : 0.0f;
}

#if defined(__SSE2__)
// ---- Many patterns at once.
//
// Every block, each pattern in use needs the deviation of its maximum-power band (and, when
// the early rejection lets it through or is off, of its other bands). Each deviation is two
// sums in strict order over the pattern's blocks, so one deviation cannot be vectorised; many
// can: (pattern, band) units run side by side in the lanes of a vector, each lane doing
// exactly the scalar sequence of its own unit, and several vectors are in flight together.
//
// The current blocks are read from a block-major copy of the work matrix (W3, the third part
// of TimeSpectrumWork: row k holds the 8 bands of the k-th newest block). The pattern side of
// the maximum-power bands is copied once, at set-up, into a lane-interleaved layout: a group
// of units holds, per block k, one pattern value per lane, or NaN where the sample does not
// count (first and last block, front samples, blocks past the pattern's end). With AVX2 a
// group has 8 units of any bands (the lanes pick their bands from the row by a permutation);
// otherwise 4 units of one band. The other bands of a pattern are evaluated side by side,
// band by band, straight from its block-major Spectrum and Range.
//
// The layout (matching_layout.h) is the engine's own, dropped by every initialisation,
// release and copy, and checked against the patterns every block (records, arrays, lengths,
// bands).

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
// AVX2, chosen at run time (not on Windows, where GCC cannot keep 32-byte stack slots aligned).
#define SP_MATCH_AVX2 1
#include <immintrin.h>
#endif

using sp::MatchingLayout;
constexpr int kBands = MatchingLayout::kBands;
constexpr int kMaxLanes = MatchingLayout::kMaxLanes;
constexpr int kPass = 4;      // groups (or patterns) evaluated together
using Group = MatchingLayout::Group;

// Per-lane parameters of the units of a group (or of a pattern's bands): pattern, band,
// length, level gain. An empty lane has length 0 and adds nothing.
struct LaneSet {
  const SignalTVSEx* P[kMaxLanes];
  int index[kMaxLanes];  // pattern number
  int band[kMaxLanes];
  alignas(32) std::int32_t n[kMaxLanes];
  alignas(32) float lg[kMaxLanes];
  alignas(32) float gain[kMaxLanes];
  alignas(32) float sum[kMaxLanes];
  alignas(32) float acc[kMaxLanes];
};

void SetLane(LaneSet& s, int l, const SignalTVSEx* P, int index, int band) {
  s.P[l] = P;
  s.index[l] = index;
  s.band[l] = band;
  s.n[l] = P != nullptr ? P->Nblock : 0;
  s.lg[l] = P == nullptr ? 0.0f : (P->fLevelGate ? P->MeanRms / P->CurMeanRms : 1.0f);
}

// After the sums of the band means: the means, and the gains of the rows that the band
// alignment scales (1 for the others), as RelativeDeviation decides them.
void SetGains(const TimeSpectrumEstimation& e, LaneSet& s, int lanes) {
  for (int l = 0; l < lanes; ++l) {
    s.gain[l] = 1.0f;
    const SignalTVSEx* P = s.P[l];
    if (P == nullptr) continue;
    const float bandMean = s.sum[l] * P->InvNblock;
    s.sum[l] = bandMean;
    const float level = P->BandRms[s.band[l]];
    if (P->fLevelGate && bandMean * e.RecPar.BandGainMin <= level && level <= bandMean * e.RecPar.BandGainMax &&
        bandMean != 0.0f)
      s.gain[l] = level / bandMean;
  }
}

// After the deviation sums: each lane's result (as RelativeDeviation returns it) and mean.
void StoreLanes(MatchingLayout& L, const LaneSet& s, int lanes) {
  for (int l = 0; l < lanes; ++l) {
    const SignalTVSEx* P = s.P[l];
    if (P == nullptr) continue;
    const int i = s.index[l];
    const int b = s.band[l];
    const float weight = P->BackNSampleNoTransientRange[b];
    L.Deviations(i)[b] = std::isfinite(weight) ? s.acc[l] * weight * P->AmpRanges[P->Nband].BackMeanPowHigh : 0.0f;
    L.Means(i)[b] = s.sum[l];
    L.Have(i) |= 1u << b;
  }
}

// ---- Four-lane groups of one band (SSE2).
template <int NG>
void EvaluateGroups4(TimeSpectrumEstimation& e, MatchingLayout& L, const Group* const* gs) {
  const float* W3 = e.TimeSpectrumWork + 2L * e.NTimeSpectrum;
  const SignalTVSEx* const* tvs = e.TVS;
  LaneSet s[NG];
  const float* w[NG];
  const float* p[NG];
  __m128 lg[NG], gain[NG], sum[NG], acc[NG];
  __m128i n[NG];
  int kmax = 0, kmin = 1 << 30;
  for (int gi = 0; gi < NG; ++gi) {
    const Group& G = *gs[gi];
    for (int l = 0; l < 4; ++l) SetLane(s[gi], l, G.lane[l] >= 0 ? tvs[G.lane[l]] : nullptr, G.lane[l], G.band[l]);
    for (int l = 0; l < 4; ++l) {
      if (s[gi].n[l] > kmax) kmax = s[gi].n[l];
      if (s[gi].n[l] < kmin) kmin = s[gi].n[l];
    }
    w[gi] = W3 + G.band[0];
    p[gi] = L.Data(G);
    lg[gi] = _mm_load_ps(s[gi].lg);
    n[gi] = _mm_load_si128(reinterpret_cast<const __m128i*>(s[gi].n));
    sum[gi] = _mm_setzero_ps();
    acc[gi] = _mm_setzero_ps();
  }

  // Band means: the sum over k = 0 .. N - 1 of LevelGain x W; past a lane's end it adds +0.
  int k = 0;
  for (; k < kmin; ++k)
    for (int gi = 0; gi < NG; ++gi) sum[gi] = _mm_add_ps(sum[gi], _mm_mul_ps(_mm_set1_ps(w[gi][8 * k]), lg[gi]));
  for (; k < kmax; ++k) {
    const __m128i kv = _mm_set1_epi32(k);
    for (int gi = 0; gi < NG; ++gi) {
      const __m128 c = _mm_mul_ps(_mm_set1_ps(w[gi][8 * k]), lg[gi]);
      sum[gi] = _mm_add_ps(sum[gi], _mm_and_ps(c, _mm_castsi128_ps(_mm_cmpgt_epi32(n[gi], kv))));
    }
  }
  for (int gi = 0; gi < NG; ++gi) {
    _mm_store_ps(s[gi].sum, sum[gi]);
    SetGains(e, s[gi], 4);
    gain[gi] = _mm_load_ps(s[gi].gain);
  }

  // Deviations: the sum over k = 1 .. N - 2 of |g x (LevelGain x W) - p| where p counts (not NaN).
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  for (k = 1; k < kmax - 1; ++k)
    for (int gi = 0; gi < NG; ++gi) {
      const __m128 c = _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(w[gi][8 * k]), lg[gi]), gain[gi]);
      const __m128 pv = _mm_loadu_ps(p[gi] + 4 * static_cast<std::size_t>(k));
      const __m128 d = _mm_and_ps(_mm_sub_ps(c, pv), absMask);
      acc[gi] = _mm_add_ps(acc[gi], _mm_and_ps(d, _mm_cmpord_ps(pv, pv)));
    }
  for (int gi = 0; gi < NG; ++gi) {
    _mm_store_ps(s[gi].acc, acc[gi]);
    StoreLanes(L, s[gi], 4);
  }
}

// ---- Four bands of each pattern side by side (SSE2): bands 0-3 and 4-7 of NP patterns of
// one length, from the block-major Spectrum and Range.
template <int NP>
void EvaluateByPattern4(TimeSpectrumEstimation& e, MatchingLayout& L, const int* patterns) {
  const float* W3 = e.TimeSpectrumWork + 2L * e.NTimeSpectrum;
  LaneSet s[NP][2];
  __m128 lg[NP], gain[NP][2], sum[NP][2], acc[NP][2];
  const float* spectrum[NP];
  const unsigned char* range[NP];
  const int N = e.TVS[patterns[0]]->Nblock;
  for (int pi = 0; pi < NP; ++pi) {
    const SignalTVSEx* P = e.TVS[patterns[pi]];
    for (int h = 0; h < 2; ++h)
      for (int l = 0; l < 4; ++l) SetLane(s[pi][h], l, P, patterns[pi], 4 * h + l);
    lg[pi] = _mm_set1_ps(s[pi][0].lg[0]);
    spectrum[pi] = P->Spectrum;
    range[pi] = P->Range;
    sum[pi][0] = sum[pi][1] = acc[pi][0] = acc[pi][1] = _mm_setzero_ps();
  }
  for (int k = 0; k < N; ++k) {
    const __m128 lo = _mm_loadu_ps(W3 + 8 * k), hi = _mm_loadu_ps(W3 + 8 * k + 4);
    for (int pi = 0; pi < NP; ++pi) {
      sum[pi][0] = _mm_add_ps(sum[pi][0], _mm_mul_ps(lo, lg[pi]));
      sum[pi][1] = _mm_add_ps(sum[pi][1], _mm_mul_ps(hi, lg[pi]));
    }
  }
  for (int pi = 0; pi < NP; ++pi)
    for (int h = 0; h < 2; ++h) {
      _mm_store_ps(s[pi][h].sum, sum[pi][h]);
      SetGains(e, s[pi][h], 4);
      gain[pi][h] = _mm_load_ps(s[pi][h].gain);
    }
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128i three = _mm_set1_epi32(3), zero = _mm_setzero_si128();
  for (int k = 1; k < N - 1; ++k) {
    const __m128 lo = _mm_loadu_ps(W3 + 8 * k), hi = _mm_loadu_ps(W3 + 8 * k + 4);
    for (int pi = 0; pi < NP; ++pi) {
      // Range codes of the 8 bands of block k; front samples (code 3) do not count.
      const __m128i r16 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(range[pi] + 8 * k)), zero);
      const __m128 front0 = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_unpacklo_epi16(r16, zero), three));
      const __m128 front1 = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_unpackhi_epi16(r16, zero), three));
      const float* p = spectrum[pi] + 8 * k;
      const __m128 c0 = _mm_mul_ps(_mm_mul_ps(lo, lg[pi]), gain[pi][0]);
      const __m128 c1 = _mm_mul_ps(_mm_mul_ps(hi, lg[pi]), gain[pi][1]);
      acc[pi][0] = _mm_add_ps(acc[pi][0], _mm_andnot_ps(front0, _mm_and_ps(_mm_sub_ps(c0, _mm_loadu_ps(p)), absMask)));
      acc[pi][1] =
          _mm_add_ps(acc[pi][1], _mm_andnot_ps(front1, _mm_and_ps(_mm_sub_ps(c1, _mm_loadu_ps(p + 4)), absMask)));
    }
  }
  for (int pi = 0; pi < NP; ++pi)
    for (int h = 0; h < 2; ++h) {
      _mm_store_ps(s[pi][h].acc, acc[pi][h]);
      StoreLanes(L, s[pi][h], 4);
    }
}

#if defined(SP_MATCH_AVX2)
// ---- Eight-lane groups of any bands (AVX2): each lane takes its band from the row of 8.
template <int NG>
__attribute__((target("avx2"))) void EvaluateGroups8(TimeSpectrumEstimation& e, MatchingLayout& L,
                                                     const Group* const* gs) {
  const float* W3 = e.TimeSpectrumWork + 2L * e.NTimeSpectrum;
  const SignalTVSEx* const* tvs = e.TVS;
  LaneSet s[NG];
  const float* p[NG];
  __m256 lg[NG], gain[NG], sum[NG], acc[NG];
  __m256i n[NG], band[NG];
  int kmax = 0, kmin = 1 << 30;
  for (int gi = 0; gi < NG; ++gi) {
    const Group& G = *gs[gi];
    for (int l = 0; l < 8; ++l) SetLane(s[gi], l, G.lane[l] >= 0 ? tvs[G.lane[l]] : nullptr, G.lane[l], G.band[l]);
    for (int l = 0; l < 8; ++l) {
      if (s[gi].n[l] > kmax) kmax = s[gi].n[l];
      if (s[gi].n[l] < kmin) kmin = s[gi].n[l];
    }
    p[gi] = L.Data(G);
    lg[gi] = _mm256_load_ps(s[gi].lg);
    n[gi] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s[gi].n));
    band[gi] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(G.band));
    sum[gi] = _mm256_setzero_ps();
    acc[gi] = _mm256_setzero_ps();
  }

  int k = 0;
  for (; k < kmin; ++k) {
    const __m256 row = _mm256_loadu_ps(W3 + 8 * k);
    for (int gi = 0; gi < NG; ++gi)
      sum[gi] = _mm256_add_ps(sum[gi], _mm256_mul_ps(_mm256_permutevar8x32_ps(row, band[gi]), lg[gi]));
  }
  for (; k < kmax; ++k) {
    const __m256 row = _mm256_loadu_ps(W3 + 8 * k);
    const __m256i kv = _mm256_set1_epi32(k);
    for (int gi = 0; gi < NG; ++gi) {
      const __m256 c = _mm256_mul_ps(_mm256_permutevar8x32_ps(row, band[gi]), lg[gi]);
      sum[gi] = _mm256_add_ps(sum[gi], _mm256_and_ps(c, _mm256_castsi256_ps(_mm256_cmpgt_epi32(n[gi], kv))));
    }
  }
  // The lane bookkeeping between the two sums is plain code: clear the upper halves of the
  // vector registers before it (mixing them in costs the code around it dearly), and take the
  // lane vectors up again after.
  for (int gi = 0; gi < NG; ++gi) _mm256_store_ps(s[gi].sum, sum[gi]);
  _mm256_zeroupper();
  for (int gi = 0; gi < NG; ++gi) SetGains(e, s[gi], 8);
  for (int gi = 0; gi < NG; ++gi) {
    gain[gi] = _mm256_load_ps(s[gi].gain);
    lg[gi] = _mm256_load_ps(s[gi].lg);
    band[gi] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(gs[gi]->band));
  }

  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  for (k = 1; k < kmax - 1; ++k) {
    const __m256 row = _mm256_loadu_ps(W3 + 8 * k);
    for (int gi = 0; gi < NG; ++gi) {
      const __m256 c = _mm256_mul_ps(_mm256_mul_ps(_mm256_permutevar8x32_ps(row, band[gi]), lg[gi]), gain[gi]);
      const __m256 pv = _mm256_loadu_ps(p[gi] + 8 * static_cast<std::size_t>(k));
      const __m256 d = _mm256_and_ps(_mm256_sub_ps(c, pv), absMask);
      acc[gi] = _mm256_add_ps(acc[gi], _mm256_and_ps(d, _mm256_cmp_ps(pv, pv, _CMP_ORD_Q)));
    }
  }
  for (int gi = 0; gi < NG; ++gi) _mm256_store_ps(s[gi].acc, acc[gi]);
  _mm256_zeroupper();
  for (int gi = 0; gi < NG; ++gi) StoreLanes(L, s[gi], 8);
}

// ---- The 8 bands of each of NP patterns of one length side by side (AVX2).
template <int NP>
__attribute__((target("avx2"))) void EvaluateByPattern8(TimeSpectrumEstimation& e, MatchingLayout& L,
                                                        const int* patterns) {
  const float* W3 = e.TimeSpectrumWork + 2L * e.NTimeSpectrum;
  LaneSet s[NP];
  __m256 lg[NP], gain[NP], sum[NP], acc[NP];
  const float* spectrum[NP];
  const unsigned char* range[NP];
  const int N = e.TVS[patterns[0]]->Nblock;
  for (int pi = 0; pi < NP; ++pi) {
    const SignalTVSEx* P = e.TVS[patterns[pi]];
    for (int l = 0; l < 8; ++l) SetLane(s[pi], l, P, patterns[pi], l);
    lg[pi] = _mm256_set1_ps(s[pi].lg[0]);
    spectrum[pi] = P->Spectrum;
    range[pi] = P->Range;
    sum[pi] = acc[pi] = _mm256_setzero_ps();
  }
  for (int k = 0; k < N; ++k) {
    const __m256 row = _mm256_loadu_ps(W3 + 8 * k);
    for (int pi = 0; pi < NP; ++pi) sum[pi] = _mm256_add_ps(sum[pi], _mm256_mul_ps(row, lg[pi]));
  }
  for (int pi = 0; pi < NP; ++pi) _mm256_store_ps(s[pi].sum, sum[pi]);
  _mm256_zeroupper();
  for (int pi = 0; pi < NP; ++pi) SetGains(e, s[pi], 8);
  for (int pi = 0; pi < NP; ++pi) {
    gain[pi] = _mm256_load_ps(s[pi].gain);
    lg[pi] = _mm256_set1_ps(s[pi].lg[0]);
  }
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  const __m256i three = _mm256_set1_epi32(3);
  for (int k = 1; k < N - 1; ++k) {
    const __m256 row = _mm256_loadu_ps(W3 + 8 * k);
    for (int pi = 0; pi < NP; ++pi) {
      const __m256i codes = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(range[pi] + 8 * k)));
      const __m256 front = _mm256_castsi256_ps(_mm256_cmpeq_epi32(codes, three));
      const __m256 c = _mm256_mul_ps(_mm256_mul_ps(row, lg[pi]), gain[pi]);
      const __m256 d = _mm256_and_ps(_mm256_sub_ps(c, _mm256_loadu_ps(spectrum[pi] + 8 * k)), absMask);
      acc[pi] = _mm256_add_ps(acc[pi], _mm256_andnot_ps(front, d));
    }
  }
  for (int pi = 0; pi < NP; ++pi) _mm256_store_ps(s[pi].acc, acc[pi]);
  _mm256_zeroupper();
  for (int pi = 0; pi < NP; ++pi) StoreLanes(L, s[pi], 8);
}
#endif  // SP_MATCH_AVX2

// Runs the listed groups kPass at a time.
void RunGroups(TimeSpectrumEstimation& e, MatchingLayout& L, const Group* const* list, int count) {
  const int lanes = L.Lanes();
  int g = 0;
#if defined(SP_MATCH_AVX2)
  if (lanes == 8) {
    for (; g + kPass <= count; g += kPass) EvaluateGroups8<kPass>(e, L, list + g);
    switch (count - g) {
      case 3: EvaluateGroups8<3>(e, L, list + g); break;
      case 2: EvaluateGroups8<2>(e, L, list + g); break;
      case 1: EvaluateGroups8<1>(e, L, list + g); break;
      default: break;
    }
    return;
  }
#endif
  (void)lanes;
  for (; g + kPass <= count; g += kPass) EvaluateGroups4<kPass>(e, L, list + g);
  switch (count - g) {
    case 3: EvaluateGroups4<3>(e, L, list + g); break;
    case 2: EvaluateGroups4<2>(e, L, list + g); break;
    case 1: EvaluateGroups4<1>(e, L, list + g); break;
    default: break;
  }
}

// Runs all bands of the listed patterns (of one length), up to kPass at a time.
void RunByPattern(TimeSpectrumEstimation& e, MatchingLayout& L, const int* list, int count) {
  const bool avx2 = L.Lanes() == 8;
  for (int i = 0; i < count;) {
    const int np = count - i < kPass ? count - i : kPass;
#if defined(SP_MATCH_AVX2)
    if (avx2) {
      switch (np) {
        case 4: EvaluateByPattern8<4>(e, L, list + i); break;
        case 3: EvaluateByPattern8<3>(e, L, list + i); break;
        case 2: EvaluateByPattern8<2>(e, L, list + i); break;
        default: EvaluateByPattern8<1>(e, L, list + i); break;
      }
      i += np;
      continue;
    }
#endif
    (void)avx2;
    switch (np) {
      case 4: EvaluateByPattern4<4>(e, L, list + i); break;
      case 3: EvaluateByPattern4<3>(e, L, list + i); break;
      case 2: EvaluateByPattern4<2>(e, L, list + i); break;
      default: EvaluateByPattern4<1>(e, L, list + i); break;
    }
    i += np;
  }
}

constexpr unsigned char kOrdinary = MatchingLayout::kOrdinary;
constexpr unsigned char kFromCache = MatchingLayout::kFromCache;
constexpr unsigned char kAllBands = MatchingLayout::kAllBands;

// Computes ahead every deviation that the decisions of this block will read, for the patterns
// the layout holds.
void EvaluateCached(TimeSpectrumEstimation& e, MatchingLayout& L) {
  const std::vector<MatchingLayout::PatternKey>& keys = L.Keys();
  const std::vector<Group>& groups = L.Groups();
  const int fStat = e.RecPar.fStatistics;
  for (int i = 0; i < e.NPattern; ++i) {
    const SignalTVSEx* P = e.TVS[i];
    L.Have(i) = 0;
    L.Status(i) =
        (P != nullptr && keys[i].cached && P->fUsePattern && (P->fLevelGate || fStat)) ? kFromCache : kOrdinary;
  }

  // The maximum-power bands, in the groups that have a pattern to decide.
  const Group* list[kPass * 16];
  int count = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    bool any = false;
    for (int l = 0; l < kMaxLanes; ++l) any = any || (groups[g].lane[l] >= 0 && L.Status(groups[g].lane[l]) != kOrdinary);
    if (!any) continue;
    list[count++] = &groups[g];
    if (count == kPass * 16) {
      RunGroups(e, L, list, count);
      count = 0;
    }
  }
  RunGroups(e, L, list, count);

  // Every band of the patterns that the early rejection lets through (all, when it is off),
  // patterns of equal length together. The rare pattern whose Spectrum does not mirror
  // SpectrumByBand gets its other bands the ordinary way, when they are read.
  int pending[kPass];
  int npending = 0;
  for (int i = 0; i < e.NPattern; ++i) {
    if (L.Status(i) != kFromCache) continue;
    const SignalTVSEx* P = e.TVS[i];
    const int m = keys[i].band;
    const float v = L.Deviations(i)[m] * P->RelDevScalingFactor[m];
    if (e.RecPar.fUseRelDevMPB && v >= e.RecPar.TresholdRelDeviationMPB) continue;
    L.Status(i) |= kAllBands;
    if (!keys[i].byPattern) continue;
    if (npending > 0 && e.TVS[pending[0]]->Nblock != P->Nblock) {
      RunByPattern(e, L, pending, npending);
      npending = 0;
    }
    pending[npending++] = i;
    if (npending == kPass) {
      RunByPattern(e, L, pending, npending);
      npending = 0;
    }
  }
  if (npending > 0) RunByPattern(e, L, pending, npending);
}
#endif  // __SSE2__

}  // namespace

void TimeSpectrumEstimation::DropMatchingLayout() {
  delete Layout;
  Layout = nullptr;
}

int TimeSpectrumEstimation::PrepareMatching(int lanes) {
  DropMatchingLayout();
#if defined(__SSE2__)
  if (TVS == nullptr || NPattern < 1 || Nband != kBands || Nblock < 1 || TimeSpectrumWork == nullptr) return 0;
  int width = 4;
#if defined(SP_MATCH_AVX2)
  if (lanes != 4 && sp::HasAvx2()) width = 8;
#else
  (void)lanes;
#endif
  Layout = MatchingLayout::Build(*this, width).release();
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
  // the third part of the work buffer (W3), which the evaluation side by side reads.
#if defined(__SSE2__)
  if (Layout != nullptr && !Layout->Describes(*this)) DropMatchingLayout();
  MatchingLayout* const layout = Layout;
  float* W3 = layout != nullptr ? TimeSpectrumWork + 2L * NTimeSpectrum : nullptr;
#endif

  // Phase A: copy the newest blocks into the band-major work matrix, visiting the patterns
  // from the shortest to the longest so that each only extends what the shorter ones copied,
  // and compute every pattern's current mean level over its own length.
  // The pipeline's pre-filter stage, when it has one pending, advances alongside (see
  // prefilter_stage.h): the running sum S is one long chain of additions, and so is the
  // filter; 16 samples every 4 blocks keep the two about level.
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
#if defined(__SSE2__)
      if (W3 != nullptr) {  // the layout serves 8 bands
        _mm_storeu_ps(W3 + 8L * j, _mm_loadu_ps(block));
        _mm_storeu_ps(W3 + 8L * j + 4, _mm_loadu_ps(block + 4));
      }
#endif
      if (alongside != nullptr && (j & 3) == 3) alongside->Advance(16);
      if (--r < 0) r = Nblock - 1;
      ++j;
    }
    P->CurMeanRms = S * P->InvNbandNblock;
    P->fLevelGate =
        (P->CurMeanRms * RecPar.LevMin <= P->MeanRms && P->MeanRms <= P->CurMeanRms * RecPar.LevMax) ? 1 : 0;
  }

  // With the layout, the deviations of the patterns it holds are computed ahead, side by
  // side; the decisions below then read them in pattern-number order.
#if defined(__SSE2__)
  const unsigned char* ahead = nullptr;  // per pattern: kOrdinary, or computed ahead
  float* aheadDeviations = nullptr;
  float* aheadMeans = nullptr;
  unsigned* aheadBands = nullptr;
  if (layout != nullptr) {
    EvaluateCached(*this, *layout);
    ahead = &layout->Status(0);
    aheadDeviations = layout->Deviations(0);
    aheadMeans = layout->Means(0);
    aheadBands = &layout->Have(0);
  }
#endif

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
#if defined(__SSE2__)
    if (ahead != nullptr && ahead[i] != kOrdinary) {
      const std::size_t row = static_cast<std::size_t>(i) * kBands;
      float* deviations = aheadDeviations + row;
      float* means = aheadMeans + row;
      unsigned& have = aheadBands[i];
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
#else
    c = Recognition(P);
#endif
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
