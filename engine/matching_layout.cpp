// Building and checking the matching layout (see matching_layout.h).
#include "matching_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <tuple>

#include "TimeSpectrumEstimation.h"

namespace sp {
namespace {

struct Unit {
  int band, nblock, pattern;
};

int MaxPowerBand(const SignalTVSEx* P) {
  int m = P->BandMaxRms;
  return m < 0 || m >= P->Nband ? 0 : m;
}

// A pattern whose maximum-power band can go into the layout: complete recognition data, the
// engine's band count, no longer than the ring, no NaN among the values that count (NaN marks
// the values that do not).
bool Cacheable(const TimeSpectrumEstimation& e, const SignalTVSEx* P) {
  if (P == nullptr || P->Nband != e.Nband || P->Nblock < 1 || P->Nblock > e.Nblock || P->SpectrumByBand == nullptr ||
      P->Range == nullptr || P->BandRms == nullptr || P->BackNSampleNoTransientRange == nullptr ||
      P->AmpRanges == nullptr || P->RelDevScalingFactor == nullptr)
    return false;
  const int m = MaxPowerBand(P);
  for (int k = 1; k < P->Nblock - 1; ++k)
    if (P->Range[static_cast<long>(k) * P->Nband + m] != 3 &&
        std::isnan(P->SpectrumByBand[static_cast<long>(m) * P->Nblock + k]))
      return false;
  return true;
}

// Spectrum holds exactly the values of SpectrumByBand, block-major.
bool SameSpectrum(const SignalTVSEx* P) {
  if (P->Spectrum == nullptr) return false;
  for (int b = 0; b < P->Nband; ++b)
    for (int k = 0; k < P->Nblock; ++k)
      if (std::memcmp(&P->Spectrum[static_cast<long>(k) * P->Nband + b],
                      &P->SpectrumByBand[static_cast<long>(b) * P->Nblock + k], sizeof(float)) != 0)
        return false;
  return true;
}

}  // namespace

std::unique_ptr<MatchingLayout> MatchingLayout::Build(const TimeSpectrumEstimation& e, int lanes) {
  const int nP = e.NPattern, nblock = e.Nblock;
  std::unique_ptr<MatchingLayout> layout(new (std::nothrow) MatchingLayout);
  if (layout == nullptr) return nullptr;
  try {
    // Eight-lane groups take any bands and are sorted by length, so that a group's lanes end
    // close together; four-lane groups share one band.
    std::vector<bool> cacheable(static_cast<std::size_t>(nP));
    std::vector<Unit> units;
    for (int i = 0; i < nP; ++i) {
      cacheable[i] = Cacheable(e, e.TVS[i]);
      if (cacheable[i]) units.push_back(Unit{MaxPowerBand(e.TVS[i]), e.TVS[i]->Nblock, i});
    }
    const std::size_t nUnits = units.size();
    std::sort(units.begin(), units.end(), [lanes](const Unit& a, const Unit& b) {
      if (lanes == 8) return std::tie(a.nblock, a.band, a.pattern) < std::tie(b.nblock, b.band, b.pattern);
      return std::tie(a.band, a.nblock, a.pattern) < std::tie(b.band, b.nblock, b.pattern);
    });
    auto groupEnd = [&](std::size_t u) {
      std::size_t v = u + 1;
      while (v < nUnits && v - u < static_cast<std::size_t>(lanes) && (lanes == 8 || units[v].band == units[u].band))
        ++v;
      return v;
    };
    std::size_t nGroups = 0;
    for (std::size_t u = 0; u < nUnits; u = groupEnd(u)) ++nGroups;

    MatchingLayout& L = *layout;
    L.tvs_ = e.TVS;
    L.nPattern_ = nP;
    L.nblock_ = nblock;
    L.lanes_ = lanes;
    L.keys_.resize(static_cast<std::size_t>(nP));
    L.groups_.resize(nGroups);
    L.deviations_.resize(static_cast<std::size_t>(nP) * kBands);
    L.means_.resize(static_cast<std::size_t>(nP) * kBands);
    L.have_.resize(static_cast<std::size_t>(nP));
    L.status_.resize(static_cast<std::size_t>(nP));
    std::vector<float> data(static_cast<std::size_t>(lanes) * static_cast<std::size_t>(nblock) * nGroups,
                            std::numeric_limits<float>::quiet_NaN());

    for (int i = 0; i < nP; ++i) {
      const SignalTVSEx* P = e.TVS[i];
      L.keys_[i] = P != nullptr ? PatternKey{P,
                                             P->SpectrumByBand,
                                             P->Spectrum,
                                             P->Range,
                                             P->Nblock,
                                             P->Nband,
                                             MaxPowerBand(P),
                                             cacheable[i] ? 1 : 0,
                                             cacheable[i] && SameSpectrum(P) ? 1 : 0}
                                : PatternKey{nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0};
    }
    std::size_t g = 0;
    for (std::size_t u = 0; u < nUnits; ++g) {
      const std::size_t end = groupEnd(u);
      Group& G = L.groups_[g];
      G.data = g * static_cast<std::size_t>(lanes) * static_cast<std::size_t>(nblock);
      float* d = data.data() + G.data;
      for (int l = 0; l < kMaxLanes; ++l) {
        const bool used = l < lanes && u + static_cast<std::size_t>(l) < end;
        G.lane[l] = used ? units[u + l].pattern : -1;
        G.band[l] = used ? units[u + l].band : units[u].band;
        if (!used) continue;
        const SignalTVSEx* P = e.TVS[G.lane[l]];
        const int b = G.band[l], N = P->Nblock;
        for (int k = 1; k < N - 1; ++k)
          if (P->Range[static_cast<long>(k) * P->Nband + b] != 3)
            d[static_cast<std::size_t>(k) * lanes + l] = P->SpectrumByBand[static_cast<long>(b) * N + k];
      }
      u = end;
    }
    L.data_ = std::make_shared<const std::vector<float>>(std::move(data));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return layout;
}

std::unique_ptr<MatchingLayout> MatchingLayout::ShareFrom(const MatchingLayout& source, const TimeSpectrumEstimation& e) {
  if (e.NPattern != source.nPattern_ || e.TVS == nullptr || !source.data_) return nullptr;
  std::unique_ptr<MatchingLayout> layout(new (std::nothrow) MatchingLayout);
  if (layout == nullptr) return nullptr;
  try {
    MatchingLayout& L = *layout;
    L.tvs_ = e.TVS;
    L.nPattern_ = source.nPattern_;
    L.nblock_ = source.nblock_;
    L.lanes_ = source.lanes_;
    L.keys_ = source.keys_;
    for (int i = 0; i < L.nPattern_; ++i) {
      const SignalTVSEx* P = e.TVS[i];
      PatternKey& k = L.keys_[static_cast<std::size_t>(i)];
      if ((P == nullptr) != (k.rec == nullptr)) return nullptr;
      if (P == nullptr) continue;
      k.rec = P;
      k.spectrumByBand = P->SpectrumByBand;
      k.spectrum = P->Spectrum;
      k.range = P->Range;
    }
    L.groups_ = source.groups_;
    L.data_ = source.data_;
    L.deviations_.resize(source.deviations_.size());
    L.means_.resize(source.means_.size());
    L.have_.resize(source.have_.size());
    L.status_.resize(source.status_.size());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return layout;
}

bool MatchingLayout::Fits(const TimeSpectrumEstimation& e) const {
  return tvs_ == e.TVS && nPattern_ == e.NPattern && e.Nband == kBands && nblock_ == e.Nblock &&
         e.TimeSpectrumWork != nullptr;
}

bool MatchingLayout::Describes(const TimeSpectrumEstimation& e) const {
  if (!Fits(e)) return false;
  for (int i = 0; i < e.NPattern; ++i) {
    const SignalTVSEx* P = e.TVS[i];
    const PatternKey& k = keys_[static_cast<std::size_t>(i)];
    if (P != k.rec || (P != nullptr && (P->SpectrumByBand != k.spectrumByBand || P->Spectrum != k.spectrum ||
                                        P->Range != k.range || P->Nblock != k.nblock || P->Nband != k.nband ||
                                        MaxPowerBand(P) != k.band)))
      return false;
  }
  return true;
}

}  // namespace sp
