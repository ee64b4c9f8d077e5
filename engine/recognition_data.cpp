// Recognition data of the loaded patterns: the level split of sample sets (AmpRanges), the
// range code of every spectrum sample (high, middle, low level or front), the counts per code
// and the weights of the non-front samples, with their reports.
#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <new>

#include "TimeSpectrumEstimation.h"
#include "sp_helpers.h"
#include "../patterns/shared_arrays.h"
#include "sp_message.h"

// The default constants of the level split. Every field is a constant expression, so the
// object is initialised statically, before any code of the library (or of a client's static
// constructors) can run. RefLevel holds 10^(RefLevel_dB/10) in single precision: with
// RefLevel_dB = -40 the exponent -40/10 is exactly -4, and powf(10, -4) rounds to the float
// nearest to 1e-4, which is the literal 1e-4f written in the record's default.
constinit const AmpRangesPar DefaultAmpRangesPar{};

namespace {

// Range codes of the spectrum samples.
constexpr unsigned char kRangeHigh = 0;
constexpr unsigned char kRangeMiddle = 1;
constexpr unsigned char kRangeLow = 2;
constexpr unsigned char kRangeFront = 3;

// Mean of count consecutive values, summed in double precision in index order.
float MeanOf(const float* v, unsigned int count) {
  double sum = 0.0;
  for (unsigned int i = 0; i < count; ++i) sum += static_cast<double>(v[i]);
  return static_cast<float>(sum / static_cast<double>(count));
}

}  // namespace

// ---- AmpRanges

void AmpRanges::Clear() {
  HighLevelBound_dB = 0.0f;
  HighLevelBound = 1.0f;
  LowLevelBound_dB = -100.0f;
  LowLevelBound = 1e-10f;
  Ns = 1;
  NsHigh = 1;
  NsMiddle = 0;
  NsLow = 0;
  MeanPow = 1.0f;
  MeanPowHigh = 1.0f;
  MeanPowMiddle = 0.0f;
  MeanPowLow = 0.0f;
  BackMeanPowHigh = 1.0f;
}

int AmpRanges::IsConsistent() { return Ns == NsHigh + NsMiddle + NsLow ? 1 : 0; }

int AmpRanges::SetAmplitudeRanges(unsigned int n, const float* sample, const AmpRangesPar* par) {
  if (n == 0 || sample == nullptr) return 0;
  if (par == nullptr) par = &DefaultAmpRangesPar;

  Clear();
  Ns = n;

  // The sort works with int counts; a larger set is treated as a work copy that cannot be made.
  if (n > static_cast<unsigned int>(INT_MAX)) return 0;
  float* s = new (std::nothrow) float[n];
  if (s == nullptr) return 0;
  SortDescending(sample, s, static_cast<int>(n), static_cast<int>(n));  // s[0]: the largest power

  double total = 0.0;
  for (unsigned int i = n; i-- > 0;) total += static_cast<double>(s[i]);
  MeanPow = static_cast<float>(total / static_cast<double>(n));

  const float peak_dB = PowToDB(s[0]);
  if (peak_dB >= par->MinHighLevel_dB) {
    HighLevelBound_dB = peak_dB - par->HighRangeDepth_dB;
    if (HighLevelBound_dB < par->MinHighLevel_dB) HighLevelBound_dB = par->MinHighLevel_dB;
    HighLevelBound = DBToPow(HighLevelBound_dB);
    unsigned int count = 0;
    while (count < n && s[count] >= HighLevelBound) ++count;
    NsHigh = count;
    MeanPowHigh = count > 0 ? MeanOf(s, count) : 0.0f;
    BackMeanPowHigh = MeanPowHigh == 0.0f ? 1e10f : 1.0f / MeanPowHigh;
  } else {
    // The peak lies below the lowest admissible bound: the set has no high levels.
    HighLevelBound_dB = par->MinHighLevel_dB;
    HighLevelBound = DBToPow(par->MinHighLevel_dB);
    NsHigh = 0;
  }

  LowLevelBound_dB = par->LowLevel_dB;
  LowLevelBound = DBToPow(par->LowLevel_dB);

  if (NsHigh == n) {
    NsMiddle = 0;
    NsLow = 0;
    MeanPowMiddle = 0.0f;
    MeanPowLow = 0.0f;
  } else {
    unsigned int count = 0;
    while (NsHigh + count < n && s[NsHigh + count] >= LowLevelBound) ++count;
    NsMiddle = count;
    MeanPowMiddle = count > 0 ? MeanOf(s + NsHigh, count) : 0.0f;
    if (NsHigh + NsMiddle == n) {
      NsLow = 0;
      MeanPowLow = 0.0f;
    } else {
      NsLow = n - NsHigh - NsMiddle;
      MeanPowLow = MeanOf(s + NsHigh + NsMiddle, NsLow);
    }
  }

  delete[] s;
  return IsConsistent();
}

void AmpRanges::OutAmplitudeRanges(unsigned int channel) {
  sp::LogLine(channel, "");
  sp::LogLine(channel, CP1251("Данные регионов распр. по амплитуде"));
  sp::LogFormat(channel, CP1251("Отсчетов %ld,  СКЗ %3.3f дБm (%12.5e)"), static_cast<long>(static_cast<sp_long>(Ns)),
                static_cast<double>(PowToDB(MeanPow)), static_cast<double>(MeanPow));
  sp::LogFormat(channel, CP1251("Нижняя граница выс. ур.  %3.3f дБm (%12.5e)"),
                static_cast<double>(HighLevelBound_dB), static_cast<double>(HighLevelBound));
  sp::LogFormat(channel, CP1251("Выс. ур.   Ns=%ld, СКЗ %3.3f дБm (%12.5e)"),
                static_cast<long>(static_cast<sp_long>(NsHigh)), static_cast<double>(PowToDB(MeanPowHigh)),
                static_cast<double>(MeanPowHigh));
  sp::LogFormat(channel, CP1251("Средн. ур. Ns=%ld, СКЗ %3.3f дБm (%12.5e)"),
                static_cast<long>(static_cast<sp_long>(NsMiddle)), static_cast<double>(PowToDB(MeanPowMiddle)),
                static_cast<double>(MeanPowMiddle));
  sp::LogFormat(channel, CP1251("Низ. ур.   Ns=%ld, СКЗ %3.3f дБm (%12.5e)"),
                static_cast<long>(static_cast<sp_long>(NsLow)), static_cast<double>(PowToDB(MeanPowLow)),
                static_cast<double>(MeanPowLow));
  sp::LogLine(channel, "");
}

// ---- engine operations

int TimeSpectrumEstimation::BuildSpectrumSampleArrayForOneBand(float* out, SignalTVSEx* tvs, int band, int fForward,
                                                               float* source) {
  if (out == nullptr || tvs == nullptr) return 0;
  if (band < 0 || band >= tvs->Nband || tvs->Nblock < 1) return 0;
  const float* spectrum = source != nullptr ? source : tvs->Spectrum;
  if (spectrum == nullptr) return 0;  // a record without a spectrum has no samples to copy
  const int nblock = tvs->Nblock;
  const std::size_t stride = static_cast<std::size_t>(tvs->Nband);
  for (int k = 0; k < nblock; ++k) {
    const float v = spectrum[static_cast<std::size_t>(k) * stride + static_cast<std::size_t>(band)];
    if (fForward)
      out[k] = v;
    else
      out[nblock - 1 - k] = v;
  }
  return nblock;
}

// Builds, for every loaded pattern, the level split of each band and of the whole signal, the
// range code of every spectrum sample, the counts per code and the weights of the non-front
// samples.
//
// Every array of a pattern record is sized by the record's own Nband and Nblock, so the record's
// Nband is the block stride of Range and Spectrum here and the size of its AmpRanges array
// (Nband + 1). The recognition set-up creates AmpRanges with the engine's Nband + 1 entries and
// refuses any pattern whose Nband differs from the engine's, so both counts are the same value.
int TimeSpectrumEstimation::BuiltRecognitionData(int fAmpAnalisysOnlyForOverallSample) {
  if (TVS == nullptr || fCreatePatternMode) return 0;

  // The work array is sized once for the longest pattern.
  int maxNblock = 0;
  bool first = true;
  for (int i = 0; i < NPattern; ++i) {
    const SignalTVSEx* p = TVS[i];
    if (p == nullptr) continue;
    if (first || p->Nblock > maxNblock) maxNblock = p->Nblock;
    first = false;
  }
  const std::size_t workLength = maxNblock > 0 ? static_cast<std::size_t>(maxNblock) : 1;
  float* tmpdata = new (std::nothrow) float[3 * workLength];
  if (tmpdata == nullptr) {
    sp::LogLine(0, CP1251("BuiltRecognitionData(): не выделить память: tmpdata, NewNumber"));
    return 0;
  }
  float* t = tmpdata;                   // one band's samples, later their levels in dB
  float* d = tmpdata + workLength;      // level steps between neighbouring blocks
  float* ds = tmpdata + 2 * workLength; // the steps, their order statistics selected

  auto fail = [&tmpdata]() {
    delete[] tmpdata;
    return 0;
  };

  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[i];
    // A record that is missing, has no bands, no amplitude-range objects or a size beyond the
    // int range cannot be worked on: reported like a pattern without time blocks.
    const long long nsWide = P != nullptr ? static_cast<long long>(P->Nband) * P->Nblock : 0;
    if (P == nullptr || P->Nband < 1 || P->Nblock < 0 || P->AmpRanges == nullptr || nsWide > INT_MAX) {
      sp::LogLine(0, CP1251("BuiltRecognitionData(): ошибка: Nbs ?"));
      return fail();
    }
    const int nband = P->Nband;
    const int nblock = P->Nblock;
    const int ns = static_cast<int>(nsWide);
    // The level splits are written in place: a copy that shares them takes its own first.
    if (!sp::OwnArray(P->AmpRanges, static_cast<std::size_t>(nband) + 1)) {
      sp::LogLine(0, CP1251("BuiltRecognitionData(): не выделить память: AmpRanges[]"));
      return fail();
    }

    sp::ReleaseArray(P->Range);
    P->Range = new (std::nothrow) unsigned char[static_cast<std::size_t>(ns)];
    if (P->Range == nullptr) {
      sp::LogLine(0, CP1251("BuiltRecognitionData(): не выделить память: Range[]"));
      return fail();
    }
    std::memset(P->Range, kRangeLow, static_cast<std::size_t>(ns));

    sp::ReleaseArray(P->NSamplePerRange);
    P->NSamplePerRange = new (std::nothrow) unsigned int[4 * (static_cast<std::size_t>(nband) + 1)]();
    if (P->NSamplePerRange == nullptr) {
      sp::LogLine(0, CP1251("BuiltRecognitionData(): не выделить память NSamplePerRange[]"));
      return fail();
    }

    sp::ReleaseArray(P->BackNSampleNoTransientRange);
    P->BackNSampleNoTransientRange = new (std::nothrow) float[static_cast<std::size_t>(nband) + 1];
    if (P->BackNSampleNoTransientRange == nullptr) {
      sp::LogLine(0, CP1251("BuiltRecognitionData(): не выделить память BackNSampleNoTransientRange[]"));
      return fail();
    }
    for (int b = 0; b <= nband; ++b) P->BackNSampleNoTransientRange[b] = 1.0f;

    for (int b = fAmpAnalisysOnlyForOverallSample ? nband : 0; b <= nband; ++b) {
      ::AmpRanges& ranges = P->AmpRanges[b];
      if (b < nband) {
        const int n = BuildSpectrumSampleArrayForOneBand(t, P, b, 1, nullptr);
        if (n < 1 || n != nblock) {
          sp::LogLine(0, CP1251("BuiltRecognitionData(): ошибка: Nbs ?"));
          return fail();
        }
        // The result is not examined: a failed split leaves the record cleared and the
        // classification below works with its bounds.
        ranges.SetAmplitudeRanges(static_cast<unsigned int>(n), t, &DefaultAmpRangesPar);
        if (fOutInfo) {
          sp::LogLine(0, "");
          sp::LogFormat(0, CP1251("Регионы амплитуды, полоса %d"), b);
          ranges.OutAmplitudeRanges(0);
        }
      } else {
        ranges.SetAmplitudeRanges(static_cast<unsigned int>(ns), P->Spectrum, &DefaultAmpRangesPar);
        if (fOutInfo) {
          sp::LogLine(0, "");
          sp::LogLine(0, CP1251("Регионы амплитуды, весь сигнал"));
          ranges.OutAmplitudeRanges(0);
        }
        continue;
      }

      // Level class of each block of band b. A power equal to LowLevelBound is low here,
      // although the split above counted it as middle.
      for (int k = 0; k < nblock; ++k) {
        const float x = t[k];
        unsigned char code;
        if (x >= ranges.HighLevelBound)
          code = kRangeHigh;
        else if (x > ranges.LowLevelBound)
          code = kRangeMiddle;
        else
          code = kRangeLow;
        P->Range[static_cast<std::size_t>(k) * nband + b] = code;
      }

      if (nblock > 1) {
        // Fronts: neighbouring blocks whose levels differ by more than the step threshold.
        for (int k = 0; k < nblock; ++k) t[k] = PowToDB(t[k]);
        for (int k = 0; k < nblock - 1; ++k) {
          const float step = t[k] - t[k + 1];
          d[k] = step < 0.0f ? -step : step;
        }
        d[nblock - 1] = d[nblock - 2];
        // Only two order statistics of the steps are used: selected, not sorted (the values are
        // those of the sorted steps whatever the order of the rest).
        for (int k = 0; k < nblock; ++k) ds[k] = d[k];
        std::nth_element(ds, ds + nblock / 2, ds + nblock, std::greater<float>());
        std::nth_element(ds, ds + nblock / 10, ds + nblock / 2, std::greater<float>());

        // The step exceeded by about a tenth of the steps, at least 3 dB, and above the median
        // step, so that an evenly stepping band gets no fronts.
        float rang = ds[nblock / 10];
        if (rang < 3.0f) rang = 3.0f;
        if (ds[nblock / 2] >= rang) rang = ds[nblock / 2] + 1.0f;
        if (fOutInfo) sp::LogFormat(0, "nband=%d, rang %3.2f dBm", b, static_cast<double>(rang));

        int k = 0;
        while (k < nblock - 1) {
          float step = t[k] - t[k + 1];
          if (step < 0.0f) step = -step;
          if (step > rang) {
            P->Range[static_cast<std::size_t>(k) * nband + b] = kRangeFront;
            P->Range[static_cast<std::size_t>(k + 1) * nband + b] = kRangeFront;
            k += 2;
          } else {
            k += 1;
          }
        }
        P->Range[static_cast<std::size_t>(b)] = kRangeFront;
        P->Range[static_cast<std::size_t>(nblock - 1) * nband + b] = kRangeFront;
      }
    }

    if (fAmpAnalisysOnlyForOverallSample) {
      sp::LogLine(0, CP1251("BuiltRecognitionData(): режим не реализован:"));
      sp::LogLine(0, "fAmpAnalisysOnlyForOverallSample=TRUE");
      return fail();
    }

    unsigned int* count = P->NSamplePerRange;
    for (int b = 0; b < nband; ++b)
      for (int k = 0; k < nblock; ++k) {
        const unsigned int c = P->Range[static_cast<std::size_t>(k) * nband + b];
        ++count[b * 4 + c];
        ++count[nband * 4 + c];
      }

    // Weights: 1 / (number of non-front samples). A band made only of fronts gets the
    // single-precision reciprocal of 0 (infinity); the matcher counts no samples of such a band.
    unsigned int nonFrontTotal = 0;
    for (int b = 0; b < nband; ++b) {
      const unsigned int m = static_cast<unsigned int>(nblock) - count[b * 4 + kRangeFront];
      nonFrontTotal += m;
      P->BackNSampleNoTransientRange[b] = 1.0f / static_cast<float>(m);
    }
    P->BackNSampleNoTransientRange[nband] = 1.0f / static_cast<float>(nonFrontTotal);

    if (fOutInfo) OutRangesOfPattern(i, 0);
  }

  delete[] tmpdata;
  return 1;
}

int TimeSpectrumEstimation::OutRangesOfPattern(int pattern, unsigned int channel) {
  if (pattern < 0 || pattern >= NPattern || TVS == nullptr) return 0;
  SignalTVSEx* P = TVS[pattern];
  if (P == nullptr || P->NSamplePerRange == nullptr || P->AmpRanges == nullptr) return 0;

  // The name is printed from a terminated copy, whatever the record holds.
  char name[sizeof(P->FileName)];
  std::memcpy(name, P->FileName, sizeof(name) - 1);
  name[sizeof(name) - 1] = 0;

  sp::LogLine(channel, "");
  sp::LogFormat(channel, CP1251("Данные о рангах спектр. отсчетов образца %d, %s"), pattern, name);
  const int nband = P->Nband;
  for (int b = 0; b <= nband; ++b) {
    int rowSamples;
    if (b < nband) {
      rowSamples = P->Nblock;
      sp::LogFormat(channel, CP1251(" Полоса %d (%d спектральных отсчетов)"), b, P->Nblock);
    } else {
      rowSamples = nband * P->Nblock;
      sp::LogFormat(channel, CP1251(" Весь сигнал, %d спектральных отсчетов"), rowSamples);
    }
    const unsigned int* row = P->NSamplePerRange + static_cast<std::size_t>(b) * 4;
    float percent[4];
    for (int c = 0; c < 4; ++c)
      percent[c] = static_cast<float>(static_cast<double>(row[c]) * 100.0 / static_cast<double>(rowSamples));
    const ::AmpRanges& ranges = P->AmpRanges[b];
    sp::LogFormat(channel, CP1251(" Высокие уровни (>=%3.2f dBm): %d, %3.2f %c"),
                  static_cast<double>(ranges.HighLevelBound_dB), static_cast<int>(row[0]),
                  static_cast<double>(percent[0]), '%');
    sp::LogFormat(channel, CP1251(" Средние уровни %d, %3.2f %c"), static_cast<int>(row[1]),
                  static_cast<double>(percent[1]), '%');
    sp::LogFormat(channel, CP1251(" Малые уровни (<=%3.2f dBm): %d, %3.2f %c"),
                  static_cast<double>(ranges.LowLevelBound_dB), static_cast<int>(row[2]),
                  static_cast<double>(percent[2]), '%');
    sp::LogFormat(channel, CP1251(" Фронты %d, %3.2f %c"), static_cast<int>(row[3]), static_cast<double>(percent[3]),
                  '%');
  }
  sp::LogLine(channel, "");
  return 1;
}
