// Recognition set-up: loads the pattern files named by the client, checks that they agree,
// sizes the pipeline for the longest pattern and prepares every pattern for matching.
#include <cmath>
#include <new>

#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
#include "../patterns/shared_arrays.h"
#include "sp_helpers.h"
#include "sp_message.h"

namespace {
const char* Printable(const char* s) { return s != nullptr ? s : ""; }
}  // namespace

int TimeSpectrumEstimation::InitTimeSpectrumEst(SigRecognitionPar* par) {
  UnloadTimeSpectrumObj(1);

  if (par == nullptr) {
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): NULL-указатель на входную структуру"));
    return 0;
  }
  if (par->NPattern < 1) {
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка во входных данных"));
    sp::LogFormat(0, "NPattern = %d", par->NPattern);
    return 0;
  }
  if (par->PatternFileNames == nullptr) {
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): NULL-указатель на строки вх. файлов"));
    return 0;
  }
  // The fixed-rate restriction in force when the call begins decides whether the client's
  // rate is acceptable (a creation at another rate clears it); the files are then checked
  // against the flag the client passes.
  if (RecPar.fFixedFs && !(par->Fs == 44100.0f)) {
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка во входных данных"));
    sp::LogFormat(0, CP1251("Частота дискретизации Fs = %8.1f"), static_cast<double>(par->Fs));
    return 0;
  }

  RecPar = static_cast<const SigRecognitionBase&>(*par);
  RecPar.RefreshDerivedValues();
  NPattern = par->NPattern;

  TVS = new (std::nothrow) SignalTVSEx*[static_cast<std::size_t>(NPattern) + 1];
  if (TVS == nullptr) {
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не выделить память"));
    return 0;
  }
  for (int i = 0; i <= NPattern; ++i) TVS[i] = nullptr;
  for (int i = 0; i < NPattern; ++i) {
    TVS[i] = new (std::nothrow) SignalTVSEx();
    if (TVS[i] == nullptr) {
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не выделить память"));
      return 0;
    }
  }

  int maxNblock = 0;
  int minNblock = 0;
  sp_ulong refProtocol = 0;
  float refFs = 0.0f;
  for (int i = 0; i < NPattern; ++i) {
    char* name = par->PatternFileNames[i];
    if (par->fOutInfo) sp::LogFormat(0, CP1251("Образец %d, файл %s"), i, Printable(name));
    if (!LoadRecognizePattern(name, TVS[i])) {
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка загрузки данных"));
      sp::LogFormat(0, CP1251("образец %d, файл %s"), i, Printable(name));
      return 0;
    }
    SignalTVSEx* p = TVS[i];
    if (i == 0) {
      maxNblock = minNblock = p->Nblock;
      refProtocol = p->Protocol & 0xFFFFu;
      refFs = p->Fs;
    } else {
      if (p->Nblock > maxNblock) maxNblock = p->Nblock;
      if (p->Nblock < minNblock) minNblock = p->Nblock;
      if ((p->Protocol & 0xFFFFu) != refProtocol) {
        UnloadTimeSpectrumObj(1);
        sp::LogLine(0, CP1251("InitTimeSpectrumEst(): несоответствие протоколов"));
        sp::LogFormat(0, CP1251("образец %d, файл %s"), i, Printable(name));
        return 0;
      }
      if (!(p->Fs == refFs)) {
        float fs = p->Fs;
        UnloadTimeSpectrumObj(1);
        sp::LogLine(0, CP1251("InitTimeSpectrumEst(): несоответствие частот дискретизации"));
        sp::LogFormat(0, CP1251("образец 0, файл %s, Fs=%e"), Printable(par->PatternFileNames[0]),
                      static_cast<double>(refFs));
        sp::LogFormat(0, CP1251("образец %d, файл %s, Fs=%e"), i, Printable(name), static_cast<double>(fs));
        return 0;
      }
    }
    if (par->fOutInfo)
      for (int j = 0; j < p->Nband; ++j)
        sp::LogFormat(0, CP1251("полоса %2.2d среднекв. значение %e"), j, static_cast<double>(p->BandRms[j]));
  }

  if (!BuiltReOrderPatternNumbers()) {
    UnloadTimeSpectrumObj(1);
    sp::LogLine(0, CP1251("Ошибка сортировки номеров образцов"));
    return 0;
  }

  if (!InitTimeSpectrumEst(refProtocol | par->Mode, par->NsampleMax, par->fOutInfo, maxNblock)) {
    UnloadTimeSpectrumObj(1);
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка иниц. вычисления спектра"));
    return 0;
  }

  // Every array of the recognition data is sized with the filter bank's band count and
  // indexed with the pattern's: a pattern made with another band count cannot be matched.
  for (int i = 0; i < NPattern; ++i) {
    if (TVS[i]->Nband != Nband) {
      int patternBands = TVS[i]->Nband;
      int engineBands = Nband;
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): число полос образца не равно числу полос фильтра"));
      sp::LogFormat(0, CP1251("образец %d, файл %s, Nband=%d, ожидается %d"), i,
                    Printable(par->PatternFileNames[i]), patternBands, engineBands);
      return 0;
    }
  }

  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* p = TVS[i];
    double sum = 0.0;
    for (int b = 0; b < p->Nband; ++b) sum += static_cast<double>(p->BandRms[b]);
    p->MeanRms = static_cast<float>(sum / p->Nband);
    if (p->MeanRms == 0.0f) p->MeanRms = 1.0f;

    if (RecPar.fStatistics) {
      p->PatternStat = new (std::nothrow) PatternStatistics(Nband + 1, 5, static_cast<unsigned int>(StatHalfWidth));
      if (p->PatternStat == nullptr) {
        UnloadTimeSpectrumObj(1);
        sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не создать объект PatternStatistics"));
        return 0;
      }
      if (!p->PatternStat->fInit) {
        UnloadTimeSpectrumObj(1);
        sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не иниц. объект PatternStatistics"));
        return 0;
      }
    }

    sp::ReleaseArray(p->AmpRanges);
    p->AmpRanges = new (std::nothrow)::AmpRanges[static_cast<std::size_t>(Nband) + 1];
    if (p->AmpRanges == nullptr) {
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не создать объекты AmpRanges [ Nband + 1 ]"));
      return 0;
    }
    p->NSampleHoldOff = (p->Nblock - 1) * NsampleBlock + NsampleBlock / 2;
  }

  LevNoise = static_cast<float>(std::pow(10.0, static_cast<double>(par->LevNoise_dB) / 10.0)) /
             static_cast<float>(Ndft);
  NRecognize = 0;
  NblockMin = minNblock;

  if (!BuiltRecognitionData(0)) {
    UnloadTimeSpectrumObj(1);
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка построения весовых функций"));
    return 0;
  }

  if (!MonitorParam.Init(NPattern)) {
    UnloadTimeSpectrumObj(1);
    sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка иниц. структуры параметры распознавания для "
                          "наблюдения за обработкой"));
    return 0;
  }

  // Deviation scaling factors: reciprocals of the estimated shift-and-noise thresholds. A
  // threshold that is not positive (or not a number) gives the neutral factor 1.0.
  auto reciprocal = [](float t) -> float { return t > 0.0f ? static_cast<float>(1.0 / static_cast<double>(t)) : 1.0f; };
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* p = TVS[i];
    sp::ReleaseArray(p->RelDevScalingFactor);
    p->RelDevScalingFactor = new (std::nothrow) float[static_cast<std::size_t>(Nband) + 1];
    if (p->RelDevScalingFactor == nullptr) {
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не выделить память для RelDevScalingFactor[]"));
      return 0;
    }
    sp::ReleaseArray(p->AbsDevScalingFactor);
    p->AbsDevScalingFactor = new (std::nothrow) float[static_cast<std::size_t>(Nband) + 1];
    if (p->AbsDevScalingFactor == nullptr) {
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): не выделить память для AbsDevScalingFactor[]"));
      return 0;
    }
    float o1 = 0.0f, o2 = 0.0f, o3 = 0.0f, o4 = 0.0f;
    if (!CalcTresholdEstimation(i, &o1, &o2, &o3, &o4, -30.0f, -1)) {
      UnloadTimeSpectrumObj(1);
      sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка выч. порога RelDev"));
      return 0;
    }
    p->RelDevScalingFactor[Nband] = reciprocal(o3);
    p->AbsDevScalingFactor[Nband] = reciprocal(o4);
    for (int b = 0; b < Nband; ++b) {
      if (!CalcTresholdEstimation(i, &o1, &o2, &o3, &o4, -100.0f, b)) {
        UnloadTimeSpectrumObj(1);
        sp::LogLine(0, CP1251("InitTimeSpectrumEst(): ошибка выч. порога RelDev"));
        return 0;
      }
      p->RelDevScalingFactor[b] = reciprocal(o3);
      p->AbsDevScalingFactor[b] = reciprocal(o4);
    }
  }

  if (fOutInfo) {
    sp::LogLine(0, "");
    sp::LogLine(0, CP1251("Данные об образцах"));
    sp::LogFormat(0, CP1251("Образцов %d,  Nband=%d"), NPattern, Nband);
    for (int i = 0; i < NPattern; ++i) {
      SignalTVSEx* p = TVS[i];
      sp::LogFormat(0, "%2.2d) %s  from%s", i, p->FileName, p->InputFileName != nullptr ? p->InputFileName : " ?");
      float seconds = static_cast<float>(p->Nblock * NsampleBlock) / p->Fs;
      sp::LogFormat(0, CP1251(" Блоков Nblock=%d  %2.3f c, отсчетов %ld"), p->Nblock, static_cast<double>(seconds),
                    static_cast<long>(p->Nblock * NsampleBlock));
    }
    sp::LogLine(0, "");
  }

  // Lays the patterns out for vectorised matching; without that layout (no memory) every
  // pattern is matched on its own, with the same results, so the set-up does not fail on it.
  PrepareMatching();
  InitGeneralStatistics();
  fRecognitionMode = 1;
  return 1;
}

int TimeSpectrumEstimation::BuiltReOrderPatternNumbers() {
  delete[] ReOrderPatternNumbers;
  ReOrderPatternNumbers = new (std::nothrow) int[NPattern < 2 ? 2 : NPattern];
  if (ReOrderPatternNumbers == nullptr) return 0;
  if (NPattern == 1) {
    ReOrderPatternNumbers[0] = 0;
    return 1;
  }
  if (NPattern < 1 || TVS == nullptr) return 0;
  int* work = new (std::nothrow) int[2 * static_cast<std::size_t>(NPattern)];
  if (work == nullptr) return 0;
  for (int i = 0; i < NPattern; ++i) work[i] = TVS[i] != nullptr ? TVS[i]->Nblock : 0;
  int ok = SortAscendingWithIndex(work, work + NPattern, NPattern, ReOrderPatternNumbers, -1);
  delete[] work;
  return ok;
}
