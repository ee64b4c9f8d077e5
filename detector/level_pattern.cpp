// LevelPattern: made from a pattern's spectrum, and the process-wide table that hands every
// detector with the same pattern the same one.
#include "level_pattern.h"

#include <algorithm>
#include <cstdint>

#include "content_table.h"
#include "fnv1a.h"
#include "level_kernel.h"

namespace spdet {

std::shared_ptr<const LevelPattern> MakeLevelPattern(const float* spectrumByBand, int nblock, const LevelRules& r) {
  auto made = std::make_shared<LevelPattern>();
  LevelPattern& P = *made;
  const int N = nblock, Nband = r.nband;
  P.Nblock = N;
  const std::size_t cells = static_cast<std::size_t>(N) * Nband;
  P.LogSpectrum.resize(cells);
  P.Weight.resize(cells);
  P.Salient.resize(cells);
  // Block-major levels [k*Nband + b] from the band-major spectrum.
  float peak = -1000.0f;
  for (int k = 0; k < N; ++k)
    for (int b = 0; b < Nband; ++b) {
      const float v = LevelDb(spectrumByBand[static_cast<long>(b) * N + k]);
      P.LogSpectrum[static_cast<std::size_t>(k) * Nband + b] = v;
      if (v > peak) peak = v;
    }
  P.Floor_dB = peak - r.floorDepth;
  for (std::size_t n = 0; n < cells; ++n) {
    if (P.LogSpectrum[n] < P.Floor_dB) P.LogSpectrum[n] = P.Floor_dB;
    // Salient cells (near the pattern's peak) count fully; the quieter ones less.
    const bool salient = P.LogSpectrum[n] >= peak - r.salientDepth;
    P.Weight[n] = salient ? 1.0f : r.quietWeight;
    P.Salient[n] = salient ? 1.0f : 0.0f;
  }
  // Bands the engine does not compute (acceleration modes) are not compared.
  for (int b = 0; b < Nband; ++b) {
    if (b >= r.bandFirst && b <= r.bandLast) continue;
    for (int k = 0; k < N; ++k) {
      P.Weight[static_cast<std::size_t>(k) * Nband + b] = 0.0f;
      P.Salient[static_cast<std::size_t>(k) * Nband + b] = 0.0f;
    }
  }
  // The newest blocks of a pattern average mostly what followed the clip when it was made
  // (the pipeline delay is longer than a block), which an occurrence in a stream does not
  // repeat: the newest block is not compared, the next one counts less.
  if (N > 4) {
    for (int b = 0; b < Nband; ++b) {
      P.Weight[b] = 0.0f;
      P.Salient[b] = 0.0f;
      P.Weight[Nband + b] *= r.tailWeight;
    }
  }
  for (int q = 0; q < 4; ++q) P.QuarterEnd[q] = ((q + 1) * N) / 4;
  P.QuarterEnd[3] = N;
  // Salient cells and weights per quarter, over every step-th block: every block for the exact
  // distance; for the coarse pass every block of a short pattern, every second, fourth or eighth
  // of longer ones.
  auto sums = [&](int step, float& salient, float* quarter, float& total) {
    salient = total = 0.0f;
    for (int q = 0; q < 4; ++q) quarter[q] = 0.0f;
    for (int k = 0, q = 0; k < N; k += step) {
      while (k >= P.QuarterEnd[q]) ++q;
      for (int b = 0; b < Nband; ++b) {
        const long n = static_cast<long>(k) * Nband + b;
        salient += P.Salient[n];
        quarter[q] += P.Weight[n];
      }
    }
    for (int q = 0; q < 4; ++q) total += quarter[q];
  };
  sums(1, P.SalientCount, P.QuarterWeight, P.TotalWeight);
  P.CoarseStep = N < 32 ? 1 : (N < 96 ? 2 : (N < 192 ? 4 : 8));
  sums(P.CoarseStep, P.CoarseSalientCount, P.CoarseQuarterWeight, P.CoarseTotalWeight);
  return made;
}

namespace {

ContentTable<LevelPattern>& Table() {
  static ContentTable<LevelPattern> table;
  return table;
}

}  // namespace

std::shared_ptr<const LevelPattern> SharedLevelPattern(const float* spectrumByBand, int nblock, const LevelRules& r) {
  const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(nblock) * static_cast<std::size_t>(r.nband);
  Fnv1a f;
  f.Value(nblock);
  f.Value(r.nband);
  f.Value(r.bandFirst);
  f.Value(r.bandLast);
  const float rules[] = {r.floorDepth, r.salientDepth, r.quietWeight, r.tailWeight};
  f.Bytes(rules, sizeof rules);
  f.Value(WordHashOf(spectrumByBand, bytes));
  const std::uint64_t check = Fnv1aOf(spectrumByBand, bytes);
  return Table().Get(f.h, check, [&] { return MakeLevelPattern(spectrumByBand, nblock, r); });
}

std::size_t SharedLevelPatternCount() { return Table().Alive(); }

}  // namespace spdet
