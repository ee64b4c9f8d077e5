// SignalPattern: the controls a client uses around a running recognition and the accessors of
// the engine state.
#include "SignalPattern.h"

int SignalPattern::InitSignalPattern(SigRecognitionPar* Par) { return InitTimeSpectrumEst(Par); }

// Takes effect at the next time block.
void SignalPattern::SetFlagUsePattern(int n, int f) {
  if (!fInit || !fInitialized || TVS == nullptr || n < 0 || n >= NPattern || TVS[n] == nullptr) return;
  TVS[n]->fUsePattern = static_cast<unsigned char>(f != 0 ? 1 : 0);
}

int SignalPattern::SetflagUseElemInStatistics(int n, int f) { return DeviationStat::SetflagUseElem(n, f); }

// The record waits in NewRecognitionPar until the next time block applies it (before that block
// is matched). A refused call drops a change still waiting.
int SignalPattern::ChangeRecognizeParam(SigRecognitionPar* Par) {
  if (!fInit || Par == nullptr) {
    fNewRecognizeParam = 0;
    return 0;
  }
  NewRecognitionPar = *Par;
  NewRecognitionPar.RefreshDerivedValues();
  fNewRecognizeParam = 1;
  return 1;
}

// Takes effect at once: the next comparison uses the new thresholds.
int SignalPattern::ChangeThresholdParam(float TresholdRelDeviation, float TresholdRelDeviationMPB) {
  RecPar.TresholdRelDeviation = TresholdRelDeviation;
  RecPar.TresholdRelDeviationMPB = TresholdRelDeviationMPB;
  return 1;
}

void SignalPattern::GetDiapasoneRecognizeParam(float* pMin, float* pMax, int n) {
  if (!fInit || TVS == nullptr) return;
  float lo;
  float hi;
  if (n >= 0 && n < NPattern) {
    if (TVS[n] == nullptr) return;
    lo = TVS[n]->RelDevMin;
    hi = TVS[n]->RelDevMax;
  } else {
    // Range over all loaded patterns, from the first one on.
    bool found = false;
    lo = 0.0f;
    hi = 0.0f;
    for (int i = 0; i < NPattern; ++i) {
      const SignalTVSEx* P = TVS[i];
      if (P == nullptr) continue;
      if (!found) {
        lo = P->RelDevMin;
        hi = P->RelDevMax;
        found = true;
        continue;
      }
      if (P->RelDevMin < lo) lo = P->RelDevMin;
      if (P->RelDevMax > hi) hi = P->RelDevMax;
    }
    if (!found) return;
  }
  if (pMin != nullptr) *pMin = lo;
  if (pMax != nullptr) *pMax = hi;
}

// Starts a new observation period for GetDiapasoneRecognizeParam.
void SignalPattern::ResetMonitoring() {
  if (!fInit || TVS == nullptr) return;
  for (int i = 0; i < NPattern; ++i) {
    SignalTVSEx* P = TVS[i];
    if (P == nullptr) continue;
    P->RelDevMax = P->RelDev;
    P->RelDevMin = P->RelDev;
  }
}

// Takes effect at the next initialisation made without a pattern length.
float SignalPattern::DefineMaxCreatedPatternDuration(float Duration) {
  const float previous = MaxCreatedPatternDuration;
  if (Duration > 0.0f) MaxCreatedPatternDuration = Duration;
  return previous;
}

sp_long SignalPattern::GetNsDelay() { return NsDelay; }

float SignalPattern::GetTresholdRelDeviation() { return RecPar.TresholdRelDeviation; }

float SignalPattern::GetTresholdRelDeviationMPB() { return RecPar.TresholdRelDeviationMPB; }

// The summary is built again by the next recognition set-up; the per-pattern statistics keep
// their link to the (now empty) set, which passes nothing on.
void SignalPattern::ResetStatistics(int f) {
  GeneralStatistics.Release();
  RecPar.fStatistics = f;
}

SignalTVSEx** SignalPattern::GetTVS() { return TVS; }

int SignalPattern::GetTVSCount() { return NPattern; }

RecognizeParam* SignalPattern::GetRecognizeParam() { return &MonitorParam; }
