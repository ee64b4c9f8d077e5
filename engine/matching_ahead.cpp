// Matching many patterns at once: every deviation that the decisions of a block will read,
// computed ahead for the patterns the matching layout holds (see matching_layout.h), with the
// kernels of kernels/match_lanes.h.
//
// The current blocks are read from a block-major copy of the work matrix (W3, the third part
// of TimeSpectrumWork: row k holds the 8 bands of the k-th newest block). The maximum-power
// bands run in the layout's groups; the other bands of a pattern side by side, straight from
// its block-major Spectrum and Range.
#include <cmath>

#include "../kernels/match_lanes.h"
#include "TimeSpectrumEstimation.h"
#include "matching_layout.h"

namespace sp {
namespace {

constexpr int kMaxLanes = MatchingLayout::kMaxLanes;
constexpr int kPass = kernels::kMatchMaxSets;  // groups (or patterns) evaluated together
using Group = MatchingLayout::Group;

// The kernels' lanes of a group (or of a pattern's bands) with the pattern and its number
// per lane (null and -1 for an empty lane, which has length 0 and adds nothing).
struct LaneSet {
  const SignalTVSEx* P[kMaxLanes];
  int index[kMaxLanes];
  kernels::MatchLanes k;
};

void SetLane(LaneSet& s, int l, const SignalTVSEx* P, int index, int band) {
  s.P[l] = P;
  s.index[l] = index;
  s.k.band[l] = band;
  s.k.n[l] = P != nullptr ? P->Nblock : 0;
  s.k.lg[l] = P == nullptr ? 0.0f : (P->fLevelGate ? P->MeanRms / P->CurMeanRms : 1.0f);
}

// After the sums of the band means: the means, and the gains of the rows that the band
// alignment scales (1 for the others), as RelativeDeviation decides them.
void SetGains(const TimeSpectrumEstimation& e, LaneSet& s, int lanes) {
  for (int l = 0; l < lanes; ++l) {
    s.k.gain[l] = 1.0f;
    const SignalTVSEx* P = s.P[l];
    if (P == nullptr) continue;
    const float bandMean = s.k.sum[l] * P->InvNblock;
    s.k.sum[l] = bandMean;
    const float level = P->BandRms[s.k.band[l]];
    if (P->fLevelGate && bandMean * e.RecPar.BandGainMin <= level && level <= bandMean * e.RecPar.BandGainMax &&
        bandMean != 0.0f)
      s.k.gain[l] = level / bandMean;
  }
}

// After the deviation sums: each lane's result (as RelativeDeviation returns it) and mean.
void StoreLanes(MatchingLayout& L, const LaneSet& s, int lanes) {
  for (int l = 0; l < lanes; ++l) {
    const SignalTVSEx* P = s.P[l];
    if (P == nullptr) continue;
    const int i = s.index[l];
    const int b = s.k.band[l];
    const float weight = P->BackNSampleNoTransientRange[b];
    L.Deviations(i)[b] = std::isfinite(weight) ? s.k.acc[l] * weight * P->AmpRanges[P->Nband].BackMeanPowHigh : 0.0f;
    L.Means(i)[b] = s.k.sum[l];
    L.Have(i) |= 1u << b;
  }
}

// The kernels of the layout's width: eight lanes with AVX2, four with SSE2 (or scalar code).
struct Kernels {
  void (*groupSums)(const float*, kernels::MatchLanes* const*, int);
  void (*groupDeviations)(const float*, kernels::MatchLanes* const*, int);
  void (*patternSums)(const float*, int, kernels::MatchLanes* const*, int);
  void (*patternDeviations)(const float*, int, kernels::MatchLanes* const*, int);
};

Kernels KernelsOfWidth(int lanes) {
#if defined(SP_KERNELS_AVX2)
  if (lanes == 8)
    return {kernels::GroupSumsAvx2, kernels::GroupDeviationsAvx2, kernels::PatternSumsAvx2,
            kernels::PatternDeviationsAvx2};
#endif
  (void)lanes;
#if defined(SP_KERNELS_SSE2)
  return {kernels::GroupSumsSse2, kernels::GroupDeviationsSse2, kernels::PatternSumsSse2,
          kernels::PatternDeviationsSse2};
#else
  return {[](const float* rows, kernels::MatchLanes* const* sets, int n) {
            kernels::GroupSumsScalar(rows, sets, n, 4);
          },
          [](const float* rows, kernels::MatchLanes* const* sets, int n) {
            kernels::GroupDeviationsScalar(rows, sets, n, 4);
          },
          kernels::PatternSumsScalar, kernels::PatternDeviationsScalar};
#endif
}

// Runs the listed groups, kPass at a time.
void RunGroups(TimeSpectrumEstimation& e, MatchingLayout& L, const Group* const* list, int count) {
  const int lanes = L.Lanes();
  const Kernels K = KernelsOfWidth(lanes);
  const float* W3 = e.TimeSpectrumWork + 2L * e.NTimeSpectrum;
  for (int g = 0; g < count; g += kPass) {
    const int n = count - g < kPass ? count - g : kPass;
    LaneSet s[kPass];
    kernels::MatchLanes* sets[kPass];
    for (int gi = 0; gi < n; ++gi) {
      const Group& G = *list[g + gi];
      for (int l = 0; l < kMaxLanes; ++l)
        SetLane(s[gi], l, l < lanes && G.lane[l] >= 0 ? e.TVS[G.lane[l]] : nullptr, G.lane[l], G.band[l]);
      s[gi].k.pattern = L.Data(G);
      s[gi].k.range = nullptr;
      sets[gi] = &s[gi].k;
    }
    K.groupSums(W3, sets, n);
    for (int gi = 0; gi < n; ++gi) SetGains(e, s[gi], lanes);
    K.groupDeviations(W3, sets, n);
    for (int gi = 0; gi < n; ++gi) StoreLanes(L, s[gi], lanes);
  }
}

// Runs all bands of the listed patterns (of one length), kPass at a time.
void RunByPattern(TimeSpectrumEstimation& e, MatchingLayout& L, const int* list, int count) {
  const Kernels K = KernelsOfWidth(L.Lanes());
  const float* W3 = e.TimeSpectrumWork + 2L * e.NTimeSpectrum;
  const int N = e.TVS[list[0]]->Nblock;
  for (int i = 0; i < count; i += kPass) {
    const int n = count - i < kPass ? count - i : kPass;
    LaneSet s[kPass];
    kernels::MatchLanes* sets[kPass];
    for (int pi = 0; pi < n; ++pi) {
      const SignalTVSEx* P = e.TVS[list[i + pi]];
      for (int l = 0; l < kMaxLanes; ++l) SetLane(s[pi], l, P, list[i + pi], l);
      s[pi].k.pattern = P->Spectrum;
      s[pi].k.range = P->Range;
      sets[pi] = &s[pi].k;
    }
    K.patternSums(W3, N, sets, n);
    for (int pi = 0; pi < n; ++pi) SetGains(e, s[pi], kMaxLanes);
    K.patternDeviations(W3, N, sets, n);
    for (int pi = 0; pi < n; ++pi) StoreLanes(L, s[pi], kMaxLanes);
  }
}

}  // namespace

void MatchingLayout::Evaluate(TimeSpectrumEstimation& e) {
  const int fStat = e.RecPar.fStatistics;
  for (int i = 0; i < e.NPattern; ++i) {
    const SignalTVSEx* P = e.TVS[i];
    Have(i) = 0;
    const bool ahead = P != nullptr && keys_[i].cached && P->fUsePattern && (P->fLevelGate || fStat);
    Status(i) = ahead ? kFromCache : kOrdinary;
  }

  // The maximum-power bands, in the groups that have a pattern to decide.
  const Group* list[kPass * 16];
  int count = 0;
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    bool any = false;
    for (const int lane : groups_[g].lane) any = any || (lane >= 0 && Status(lane) != kOrdinary);
    if (!any) continue;
    list[count++] = &groups_[g];
    if (count == kPass * 16) {
      RunGroups(e, *this, list, count);
      count = 0;
    }
  }
  RunGroups(e, *this, list, count);

  // Every band of the patterns that the early rejection lets through (all, when it is off),
  // patterns of equal length together. The rare pattern whose Spectrum does not mirror
  // SpectrumByBand gets its other bands the ordinary way, when they are read.
  int pending[kPass];
  int npending = 0;
  for (int i = 0; i < e.NPattern; ++i) {
    if (Status(i) != kFromCache) continue;
    const SignalTVSEx* P = e.TVS[i];
    const int m = keys_[i].band;
    const float v = Deviations(i)[m] * P->RelDevScalingFactor[m];
    if (e.RecPar.fUseRelDevMPB && v >= e.RecPar.TresholdRelDeviationMPB) continue;
    Status(i) |= kAllBands;
    if (!keys_[i].byPattern) continue;
    if (npending > 0 && e.TVS[pending[0]]->Nblock != P->Nblock) {
      RunByPattern(e, *this, pending, npending);
      npending = 0;
    }
    pending[npending++] = i;
    if (npending == kPass) {
      RunByPattern(e, *this, pending, npending);
      npending = 0;
    }
  }
  if (npending > 0) RunByPattern(e, *this, pending, npending);
}

}  // namespace sp
