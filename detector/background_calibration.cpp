// Background calibration of the detector's thresholds, the sidecar calibration of each pattern
// (the files themselves: calibration_file.h) and grouping of speed-shifted pattern variants by
// file name.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

#include "detector_core.h"
#include "SpeedVariantName.h"
#include "calibration_file.h"
#include "fnv1a.h"
#include "sp_message.h"

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

int spdet::DetectorCore::BeginBackgroundCalibration() {
  if (Engine == nullptr) return 0;
  CalibrationMode = 1;
  CalibrationBlocks = 0.0;
  for (int i = 0; i < NPattern; ++i) {
    Patterns[static_cast<std::size_t>(i)].BackgroundMin = 0.0f;
    Picker.Drop(i);
  }
  return 1;
}

int spdet::DetectorCore::CalibrateFromBackground(const float* minimum, double seconds) {
  if (minimum == nullptr || !BeginBackgroundCalibration()) return 0;
  CalibrationBlocks = seconds * Engine->RecPar.Fs / NsampleBlock;
  for (int i = 0; i < NPattern; ++i)
    if (minimum[i] < FLT_MAX) Patterns[static_cast<std::size_t>(i)].BackgroundMin = minimum[i];
  return EndBackgroundCalibration();
}

int spdet::DetectorCore::EndBackgroundCalibration() {
  if (!CalibrationMode) return 0;
  CalibrationMode = 0;
  if (CalibrationBlocks < 1.0) return 0;
  for (int i = 0; i < NPattern; ++i) {
    DetectorPattern& P = Patterns[static_cast<std::size_t>(i)];
    if (P.Nblock < 1 || P.BackgroundMin <= 0.0f) continue;
    // The threshold stays under the closest background distance by the margin, but is never
    // lowered below half the pattern's own threshold: a background that nearly holds the clip
    // must not make the pattern deaf.
    float thr = P.SelfThreshold;
    float bg = Tuning.BackgroundMargin * P.BackgroundMin;
    if (bg < thr) thr = bg;
    if (thr < 0.5f * P.SelfThreshold) thr = 0.5f * P.SelfThreshold;
    P.Threshold = thr;
    P.Calibrated = 1;
  }
  return 1;
}

double spdet::DetectorCore::CalibrationSeconds() const {
  if (Engine == nullptr || !(Engine->RecPar.Fs > 0.0f)) return 0.0;
  return CalibrationBlocks * NsampleBlock / static_cast<double>(Engine->RecPar.Fs);
}

void spdet::DetectorCore::SidecarName(const char* patternFile, char* out, int outSize) {
  if (out == nullptr || outSize < 1) return;
  out[0] = 0;
  // A name that does not fit is refused (left empty), never cut: a cut name could be another file.
  const std::string name = spdet::CalibrationFileName(patternFile);
  if (!name.empty() && name.size() < static_cast<std::size_t>(outSize)) std::memcpy(out, name.c_str(), name.size() + 1);
}

int spdet::DetectorCore::SaveCalibration(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= NPattern || patternFile == nullptr || !EngineUnchanged()) return 0;
  const DetectorPattern& P = Patterns[static_cast<std::size_t>(pattern)];
  if (!P.Calibrated) return 0;
  spdet::CalibrationRecord r;
  r.nblock = P.Nblock;
  r.hash = SpectrumHash(Engine->TVS[pattern]);
  r.seconds = CalibrationSeconds();
  r.bgMin = P.BackgroundMin;
  r.thr = P.Threshold;
  return spdet::WriteCalibrationFile(spdet::CalibrationFileName(patternFile), r) ? 1 : 0;
}

int spdet::DetectorCore::LoadCalibration(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= NPattern || patternFile == nullptr || !EngineUnchanged()) return 0;
  DetectorPattern& P = Patterns[static_cast<std::size_t>(pattern)];
  const std::string name = spdet::CalibrationFileName(patternFile);
  spdet::CalibrationRecord v;
  if (const char* problem = spdet::ReadCalibrationFile(name, v)) return *problem != 0 ? Refuse(name, problem) : 0;
  if (v.nblock != P.Nblock || v.hash != SpectrumHash(Engine->TVS[pattern]))
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

int spdet::DetectorCore::GroupBySpeedNames(const char* const* patternFiles) {
  if (patternFiles == nullptr) return 0;
  // Every name once, by its text (the first of equal names wins).
  std::unordered_map<std::string, int> number;
  for (int i = 0; i < NPattern; ++i)
    if (patternFiles[i] != nullptr) number.emplace(patternFiles[i], i);
  int grouped = 0;
  std::string main;
  double speed = 0.0;
  for (int i = 0; i < NPattern; ++i) {
    if (patternFiles[i] == nullptr || !sp::ParseSpeedVariantName(patternFiles[i], &main, &speed)) continue;
    // The group's main pattern has the name without the speed part.
    const auto it = number.find(main);
    if (it != number.end() && it->second != i && SetGroup(i, it->second, static_cast<float>(speed))) ++grouped;
  }
  return grouped;
}
