// The parameter records of recognition.
#include <cmath>
#include <new>

#include "RecognitionParams.h"

namespace {
float PowerRatio(float dB) { return std::pow(10.0f, dB / 10.0f); }
}  // namespace

void SigRecognitionBase::RefreshDerivedValues() {
  if (fStatistics) fUseRelDevMPB = 0;
  LevMax = PowerRatio(LevMax_dB);
  LevMin = PowerRatio(LevMin_dB);
  BandGainMax = PowerRatio(BandGainMax_dB);
  BandGainMin = PowerRatio(BandGainMin_dB);
}

void RecognizeParam::Reset() {
  Reserved1 = 0;
  RelDev = 0.0f;
  ValueC = 0.0f;
  ValueB = 0.0f;
  Reserved2 = 0;
  Reserved3 = 0;
  fRecognized = 0;
  if (Value != nullptr)
    for (int i = 0; i < Nvalue; ++i) Value[i] = 0.0f;
}

void RecognizeParam::Release() {
  delete[] Value;
  Value = nullptr;
  Nvalue = 0;
}

int RecognizeParam::Init(int n) {
  if (n < 1) return 0;
  Release();
  Value = new (std::nothrow) float[n < 2 ? 2 : n];
  if (Value == nullptr) return 0;
  for (int i = 0; i < (n < 2 ? 2 : n); ++i) Value[i] = 0.0f;
  Nvalue = n;
  Reset();
  return 1;
}
