// The calibrator's thresholds from background audio (measured by this detector, or elsewhere)
// and the sidecar calibration of each pattern (the files themselves: calibration_file.h).
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "calibrator.h"
#include "calibration_file.h"
#include "fnv1a.h"
#include "level_kernel.h"
#include "sp_message.h"

using spdet::kNotEvaluated;

namespace {

// FNV-1a over the pattern's spectrum: ties a sidecar to the pattern it was measured for.
std::uint64_t SpectrumHash(const SignalTVSEx* T) {
  if (T == nullptr || T->Spectrum == nullptr) return spdet::Fnv1a{}.h;
  return spdet::Fnv1aOf(T->Spectrum, sizeof(float) * static_cast<std::size_t>(T->Nblock) * static_cast<std::size_t>(T->Nband));
}

// Bounds of the values a calibration writes.
constexpr double kMaxDistance = 1000.0;  // dB
constexpr double kMaxSeconds = 1e9;

// Refuses a sidecar with a line naming it (the pattern then keeps its own threshold).
int Refuse(const std::string& name, const char* problem) {
  sp::LogFormat(0, "LoadCalibration(): %s: %s", name.c_str(), problem);
  return 0;
}

}  // namespace

int spdet::Calibrator::Begin() {
  if (s_.engine == nullptr) return 0;
  mode_ = 1;
  blocks_ = 0.0;
  for (int i = 0; i < Count(); ++i) (*s_.patterns)[static_cast<std::size_t>(i)].BackgroundMin = 0.0f;
  return 1;
}

// A time block of background: the smallest distance of every pattern at any step.
void spdet::Calibrator::Measured(const float* stepScores) {
  blocks_ += 1.0;
  const int steps = s_.steps;
  for (int i = 0; i < Count(); ++i) {
    DetectorPattern& P = (*s_.patterns)[static_cast<std::size_t>(i)];
    for (int s = 0; s < steps; ++s) {
      const float v = stepScores[static_cast<std::size_t>(i) * steps + s];
      if (v < kNotEvaluated && (P.BackgroundMin <= 0.0f || v < P.BackgroundMin)) P.BackgroundMin = v;
    }
  }
}

int spdet::Calibrator::FromMeasurement(const float* minimum, double seconds) {
  if (minimum == nullptr || !mode_) return 0;
  blocks_ = seconds * s_.engine->RecPar.Fs / s_.blockSamples;
  for (int i = 0; i < Count(); ++i)
    if (minimum[i] < FLT_MAX) (*s_.patterns)[static_cast<std::size_t>(i)].BackgroundMin = minimum[i];
  return End();
}

int spdet::Calibrator::End() {
  if (!mode_) return 0;
  mode_ = 0;
  if (blocks_ < 1.0) return 0;
  for (int i = 0; i < Count(); ++i) {
    DetectorPattern& P = (*s_.patterns)[static_cast<std::size_t>(i)];
    if (P.Nblock < 1 || P.BackgroundMin <= 0.0f) continue;
    // The threshold stays under the closest background distance by the margin, but is never
    // lowered below half the pattern's own threshold: a background that nearly holds the clip
    // must not make the pattern deaf.
    float thr = P.SelfThreshold;
    float bg = s_.tuning->BackgroundMargin * P.BackgroundMin;
    if (bg < thr) thr = bg;
    if (thr < 0.5f * P.SelfThreshold) thr = 0.5f * P.SelfThreshold;
    P.Threshold = thr;
    P.Calibrated = 1;
  }
  return 1;
}

double spdet::Calibrator::Seconds() const {
  if (s_.engine == nullptr || !(s_.engine->RecPar.Fs > 0.0f)) return 0.0;
  return blocks_ * s_.blockSamples / static_cast<double>(s_.engine->RecPar.Fs);
}

void spdet::Calibrator::SidecarName(const char* patternFile, char* out, int outSize) {
  if (out == nullptr || outSize < 1) return;
  out[0] = 0;
  // A name that does not fit is refused (left empty), never cut: a cut name could be another file.
  const std::string name = spdet::CalibrationFileName(patternFile);
  if (!name.empty() && name.size() < static_cast<std::size_t>(outSize)) std::memcpy(out, name.c_str(), name.size() + 1);
}

int spdet::Calibrator::Save(int pattern, const char* patternFile) const {
  if (pattern < 0 || pattern >= Count() || patternFile == nullptr || s_.engine == nullptr) return 0;
  const DetectorPattern& P = (*s_.patterns)[static_cast<std::size_t>(pattern)];
  if (!P.Calibrated) return 0;
  spdet::CalibrationRecord r;
  r.nblock = P.Nblock;
  r.hash = SpectrumHash(s_.engine->TVS[pattern]);
  r.seconds = Seconds();
  r.bgMin = P.BackgroundMin;
  r.thr = P.Threshold;
  return spdet::WriteCalibrationFile(spdet::CalibrationFileName(patternFile), r) ? 1 : 0;
}

int spdet::Calibrator::Load(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= Count() || patternFile == nullptr || s_.engine == nullptr) return 0;
  DetectorPattern& P = (*s_.patterns)[static_cast<std::size_t>(pattern)];
  const std::string name = spdet::CalibrationFileName(patternFile);
  spdet::CalibrationRecord v;
  if (const char* problem = spdet::ReadCalibrationFile(name, v)) return *problem != 0 ? Refuse(name, problem) : 0;
  if (v.nblock != P.Nblock || v.hash != SpectrumHash(s_.engine->TVS[pattern]))
    return Refuse(name, "made for another pattern (the pattern file was made again)");
  // What a calibration can have written: a positive finite background distance, and a threshold
  // between half the pattern's own threshold and the pattern's own (printed with 6 digits).
  const double self = P.SelfThreshold, slack = 1e-5 * self;
  if (!(v.bgMin > 0.0 && v.bgMin <= kMaxDistance)) return Refuse(name, "background_min out of range");
  if (!(v.seconds >= 0.0 && v.seconds <= kMaxSeconds)) return Refuse(name, "background_seconds out of range");
  if (!(v.thr >= 0.5 * self - slack && v.thr <= self + slack))
    return Refuse(name, "threshold outside what a calibration of this pattern can give");
  P.BackgroundMin = static_cast<float>(v.bgMin);
  P.Threshold = static_cast<float>(v.thr);
  P.Calibrated = 1;
  return 1;
}

