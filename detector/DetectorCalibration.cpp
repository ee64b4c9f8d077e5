// Background calibration of the detector's thresholds, the sidecar files that keep it beside
// the pattern files, and grouping of speed-shifted pattern variants by file name.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PatternDetector.h"

namespace {

// FNV-1a over the pattern's spectrum: ties a sidecar to the pattern it was measured for.
std::uint64_t SpectrumHash(const SignalTVSEx* T) {
  std::uint64_t h = 1469598103934665603ull;
  if (T == nullptr || T->Spectrum == nullptr) return h;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(T->Spectrum);
  const std::size_t n = sizeof(float) * static_cast<std::size_t>(T->Nblock) * static_cast<std::size_t>(T->Nband);
  for (std::size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 1099511628211ull;
  }
  return h;
}

const char kSidecarMagic[] = "signalpattern-calibration 1";

}  // namespace

int PatternDetector::BeginBackgroundCalibration() {
  if (Engine == nullptr) return 0;
  CalibrationMode = 1;
  CalibrationBlocks = 0.0;
  for (int i = 0; i < NPattern; ++i) {
    Patterns[i].BackgroundMin = 0.0f;
    Candidates[i].Active = 0;
  }
  return 1;
}

int PatternDetector::EndBackgroundCalibration() {
  if (!CalibrationMode) return 0;
  CalibrationMode = 0;
  if (CalibrationBlocks < 1.0) return 0;
  for (int i = 0; i < NPattern; ++i) {
    DetectorPattern& P = Patterns[i];
    if (P.Nblock < 1 || P.BackgroundMin <= 0.0f) continue;
    // The threshold stays under the closest background distance by the margin, but is never
    // lowered below half the pattern's own threshold: a background that nearly holds the clip
    // must not make the pattern deaf.
    float thr = P.SelfThreshold;
    float bg = BackgroundMargin * P.BackgroundMin;
    if (bg < thr) thr = bg;
    if (thr < 0.5f * P.SelfThreshold) thr = 0.5f * P.SelfThreshold;
    P.Threshold = thr;
    P.Calibrated = 1;
  }
  return 1;
}

double PatternDetector::CalibrationSeconds() const {
  if (Engine == nullptr || !(Engine->RecPar.Fs > 0.0f)) return 0.0;
  return CalibrationBlocks * NsampleBlock / static_cast<double>(Engine->RecPar.Fs);
}

void PatternDetector::SidecarName(const char* patternFile, char* out, int outSize) {
  if (out == nullptr || outSize < 1) return;
  std::snprintf(out, static_cast<std::size_t>(outSize), "%s.cal", patternFile != nullptr ? patternFile : "");
}

int PatternDetector::SaveCalibration(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= NPattern || patternFile == nullptr || !EngineUnchanged()) return 0;
  const DetectorPattern& P = Patterns[pattern];
  if (!P.Calibrated) return 0;
  char name[1100];
  SidecarName(patternFile, name, sizeof name);
  std::FILE* f = std::fopen(name, "w");
  if (f == nullptr) return 0;
  int ok = std::fprintf(f,
                        "%s\nnblock %d\nspectrum %016llx\nbackground_seconds %.3f\nbackground_min %.6g\n"
                        "threshold %.6g\n",
                        kSidecarMagic, P.Nblock, static_cast<unsigned long long>(SpectrumHash(Engine->TVS[pattern])),
                        CalibrationSeconds(), static_cast<double>(P.BackgroundMin),
                        static_cast<double>(P.Threshold)) > 0;
  if (std::fclose(f) != 0) ok = 0;
  return ok ? 1 : 0;
}

int PatternDetector::LoadCalibration(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= NPattern || patternFile == nullptr || !EngineUnchanged()) return 0;
  DetectorPattern& P = Patterns[pattern];
  char name[1100];
  SidecarName(patternFile, name, sizeof name);
  std::FILE* f = std::fopen(name, "r");
  if (f == nullptr) return 0;
  char line[256];
  int nblock = -1;
  unsigned long long hash = 0;
  double bgMin = -1.0, thr = -1.0;
  bool magic = false, hashSet = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, kSidecarMagic, sizeof kSidecarMagic - 1) == 0) magic = true;
    else if (std::sscanf(line, "nblock %d", &nblock) == 1) {
    } else if (std::sscanf(line, "spectrum %llx", &hash) == 1) hashSet = true;
    else if (std::sscanf(line, "background_min %lf", &bgMin) == 1) {
    } else if (std::sscanf(line, "threshold %lf", &thr) == 1) {
    }
  }
  std::fclose(f);
  if (!magic || !hashSet || nblock != P.Nblock || hash != SpectrumHash(Engine->TVS[pattern])) return 0;
  if (!(thr > 0.0) || !std::isfinite(thr) || !(bgMin > 0.0)) return 0;
  P.BackgroundMin = static_cast<float>(bgMin);
  P.Threshold = static_cast<float>(thr);
  P.Calibrated = 1;
  return 1;
}

int PatternDetector::GroupBySpeedNames(const char* const* patternFiles) {
  if (patternFiles == nullptr) return 0;
  int grouped = 0;
  for (int i = 0; i < NPattern; ++i) {
    const char* name = patternFiles[i];
    if (name == nullptr) continue;
    // The last ".speed" of the name (a directory may hold the word too).
    const char* mark = nullptr;
    for (const char* at = std::strstr(name, ".speed"); at != nullptr; at = std::strstr(at + 1, ".speed")) mark = at;
    if (mark == nullptr) continue;
    // ".speed" then a signed decimal number such as +1.5 or -3 (a dot only when digits follow).
    const char* end = mark + 6;
    if (*end != '+' && *end != '-') continue;
    ++end;
    if (*end < '0' || *end > '9') continue;
    while (*end >= '0' && *end <= '9') ++end;
    if (end[0] == '.' && end[1] >= '0' && end[1] <= '9') {
      ++end;
      while (*end >= '0' && *end <= '9') ++end;
    }
    if (*end != 0 && *end != '.') continue;
    const double speed = std::strtod(mark + 6, nullptr);
    // The group's main pattern has the name without the speed part.
    const std::size_t head = static_cast<std::size_t>(mark - name);
    for (int j = 0; j < NPattern; ++j) {
      const char* other = patternFiles[j];
      if (j == i || other == nullptr) continue;
      if (std::strncmp(other, name, head) == 0 && std::strcmp(other + head, end) == 0) {
        if (SetGroup(i, j, static_cast<float>(speed))) ++grouped;
        break;
      }
    }
  }
  return grouped;
}
