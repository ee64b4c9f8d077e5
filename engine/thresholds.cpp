// Threshold estimation: the deviation that a misalignment of about one time block causes
// in a pattern (mean neighbour step of its spectrum) and the deviation that a given noise
// floor causes, both relative to the pattern's mean high-level power.
#include <cmath>

#include "TimeSpectrumEstimation.h"

// Outputs, each written only through a non-null pointer:
//   pShift      mean neighbour step relative to MeanPowHigh (TreshSHIFT)
//   pNoise      noise power per band at level_dB (an amplitude level) relative to MeanPowHigh
//   pShiftNoise the sum of the two
//   pMaxShift   the largest single neighbour step, in absolute power units
// band < 0 averages all bands; band >= 0 keeps only that band (a band number beyond the
// pattern's bands keeps none). Returns 0, writing nothing, when the pattern or its
// recognition data is missing.
//
// The pattern record's own Nband is used as the band count, the block stride of Spectrum and
// Range and the index of the whole-signal AmpRanges entry; the recognition set-up accepts only
// patterns whose Nband equals the engine's, so this is the engine's band count as well.
int TimeSpectrumEstimation::CalcTresholdEstimation(int pattern, float* pShift, float* pNoise, float* pShiftNoise,
                                                   float* pMaxShift, float level_dB, int band) {
  if (pattern < 0 || pattern >= NPattern || TVS == nullptr) return 0;
  const SignalTVSEx* P = TVS[pattern];
  if (P == nullptr || P->NSamplePerRange == nullptr || P->Range == nullptr || P->Spectrum == nullptr) return 0;
  // The scale comes from the whole-signal amplitude ranges; without them nothing can be scaled.
  if (P->AmpRanges == nullptr || P->Nband < 1) return 0;

  // Noise term: power of a uniform quantisation-like noise of amplitude a, spread over the
  // decimation and the DFT bands. Each step is rounded to single precision.
  const float a = std::pow(10.0f, level_dB / 20.0f);
  float p = a * a / 12.0f;
  p = p / static_cast<float>(NdecIn);
  const float noise = static_cast<float>(static_cast<double>(p) / (static_cast<double>(Ndft) / 2.0));

  const int nband = P->Nband;
  const int nblock = P->Nblock;
  const float meanPowHigh = P->AmpRanges[nband].MeanPowHigh;
  const double scale = meanPowHigh != 0.0f ? 1.0 / static_cast<double>(meanPowHigh) : 1.0e10;

  const long long nt = static_cast<long long>(nband) * nblock;
  const float* s = P->Spectrum;
  const unsigned char* range = P->Range;
  double sum = 0.0;
  float maxShift = 0.0f;
  for (int b = 0; b < nband; ++b) {
    double acc = 0.0;
    int cnt = 0;
    for (int t = 0; t < nblock; ++t) {
      const long long i = static_cast<long long>(t) * nband + b;
      if (range[i] == 3) continue;  // front samples neither contribute nor count
      float d;
      if (t == 0) {
        // The next block's index wraps around the array: a one-block pattern compares the
        // sample with itself.
        d = std::fabs(s[i] - s[(i + nband) % nt]);
      } else if (t == nblock - 1) {
        d = std::fabs(s[i] - s[i - nband]);
      } else {
        const float next = std::fabs(s[i] - s[i + nband]);
        const float previous = std::fabs(s[i] - s[i - nband]);
        d = next > previous ? next : previous;
      }
      acc += static_cast<double>(d);
      cnt += 1;
      if ((band < 0 || b == band) && d > maxShift) maxShift = d;
    }
    if (band >= 0 && b != band) acc = 0.0;
    sum += cnt > 0 ? acc / static_cast<double>(cnt) : 0.0;
  }
  if (band < 0) sum = sum / static_cast<double>(nband);

  const float treshShift = static_cast<float>(sum * scale);
  const float treshNoise = static_cast<float>(static_cast<double>(noise) * scale);
  const float treshShiftNoise = treshShift + treshNoise;

  if (pShift != nullptr) *pShift = treshShift;
  if (pNoise != nullptr) *pNoise = treshNoise;
  if (pShiftNoise != nullptr) *pShiftNoise = treshShiftNoise;
  if (pMaxShift != nullptr) *pMaxShift = maxShift;
  return 1;
}
