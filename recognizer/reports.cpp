// SignalPattern: the statistics reports of the patterns and of the summary over all patterns.
#include "SignalPattern.h"
#include "sp_message.h"

namespace {

// Noise level (amplitude dB) of the threshold estimates in the summary report.
constexpr float kReportNoiseLevel_dB = -40.0f;

}  // namespace

void SignalPattern::OutStatictics(unsigned int channel) {
  if (!RecPar.fStatistics || !fRecognitionMode || TVS == nullptr || TVS[0] == nullptr ||
      TVS[0]->PatternStat == nullptr)
    return;
  TVS[0]->PatternStat->OutStatitistics(-1, channel);
}

void SignalPattern::OutTraceableValues(unsigned int channel) {
  if (!RecPar.fStatistics || !fRecognitionMode || TVS == nullptr) {
    sp::LogLine(channel, CP1251("OutTraceableValues(): нет статистики"));
    return;
  }
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[i];
    if (P == nullptr || P->PatternStat == nullptr) continue;
    if (NPattern != 1)
      sp::LogFormat(channel, CP1251("OutTraceableValues: образец %d)  %s"), i, P->FileName);
    else
      sp::LogFormat(channel, CP1251("OutTraceableValues: образец %s"), P->FileName);
    P->PatternStat->OutTraceableValues(channel);
  }
}

void SignalPattern::OutGeneralStatictics(unsigned int channel) {
  if (!RecPar.fStatistics || !GeneralStatistics.IsNotEmpty()) return;
  GeneralStatistics.OutStatitistics(-1, -1, channel);
}

void SignalPattern::OutGeneralTraceableValues(unsigned int channel) {
  if (!RecPar.fStatistics || !GeneralStatistics.IsNotEmpty()) return;
  GeneralStatistics.OutTraceableValues(-1, channel);

  sp::LogLine(channel, "");
  sp::LogLine(channel, CP1251("Оценки порога относительного отклонения"));
  sp::LogFormat(channel, CP1251(" LevNoise_dB  %3.2f дБ (по амплитуде)"), static_cast<double>(kReportNoiseLevel_dB));
  // The summary outlives a release of the patterns; then there is no pattern to list.
  if (TVS != nullptr) {
    for (int i = 0; i < NPattern; ++i) {
      sp::LogFormat(channel, CP1251(" Образец %d)   %s"), i, TVS[i] != nullptr ? TVS[i]->FileName : "");
      float shift = 0.0f;
      float noise = 0.0f;
      float shiftNoise = 0.0f;
      if (CalcTresholdEstimation(i, &shift, &noise, &shiftNoise, nullptr, kReportNoiseLevel_dB, -1)) {
        sp::LogFormat(channel, " TreshSHIFT  %3.5f  (%e)", static_cast<double>(shift), static_cast<double>(shift));
        sp::LogFormat(channel, " TreshNOISE  %3.5f  (%e)", static_cast<double>(noise), static_cast<double>(noise));
        sp::LogFormat(channel, " TreshSHIFTandNOISE  %3.5f  (%e)", static_cast<double>(shiftNoise),
                      static_cast<double>(shiftNoise));
      } else {
        sp::LogLine(channel, "?");
      }
    }
  }
  sp::LogLine(channel, "");
}
