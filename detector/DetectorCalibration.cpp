// Background calibration of the detector's thresholds, the sidecar files that keep it beside
// the pattern files, and grouping of speed-shifted pattern variants by file name.
//
// Sidecars come from outside: they are read only when they are small regular files, parsed
// strictly and accepted only with values a calibration of that very pattern could have written;
// anything else is refused with a diagnostic line naming the file, and the pattern keeps its own
// threshold. They are written whole or not at all (a temporary file renamed into place).
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#ifdef _WIN32
#include <io.h>

#include <filesystem>

#include "sp_platform.h"  // windows.h without the min/max macros
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "PatternDetector.h"
#include "SpeedVariantName.h"
#include "sp_message.h"

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
// Bounds of the values a calibration writes.
constexpr double kMaxDistance = 1000.0;   // dB
constexpr double kMaxSeconds = 1e9;
constexpr std::size_t kMaxSidecarBytes = 4096;

std::string SidecarPath(const char* patternFile) {
  return patternFile != nullptr && *patternFile != 0 ? std::string(patternFile) + ".cal" : std::string();
}

// Refuses a sidecar with a line naming it (the pattern then keeps its own threshold).
int Refuse(const std::string& name, const char* problem) {
  sp::LogFormat(0, "LoadCalibration(): %s: %s", name.c_str(), problem);
  return 0;
}

// Reads a regular file of at most kMaxSidecarBytes whole. Returns null, "" when it is absent,
// or the problem. A FIFO or device is never read (or opened blocking).
const char* ReadSmallRegularFile(const std::string& name, std::string& text) {
  if (name.empty()) return "";
#ifdef _WIN32
  std::error_code ec;
  const auto status = std::filesystem::status(name, ec);
  if (ec || !std::filesystem::exists(status)) return "";
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return "cannot be read";
  char buf[kMaxSidecarBytes + 1];
  const std::size_t n = std::fread(buf, 1, sizeof buf, f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return "cannot be read";
#else
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? "" : "cannot be read";
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return "not a regular file";
  }
  char buf[kMaxSidecarBytes + 1];
  std::size_t n = 0;
  while (n < sizeof buf) {
    const ssize_t got = ::read(fd, buf + n, sizeof buf - n);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return "cannot be read";
    }
    if (got == 0) break;
    n += static_cast<std::size_t>(got);
  }
  ::close(fd);
#endif
  if (n > kMaxSidecarBytes) return "too large for a calibration";
  text.assign(buf, n);
  return nullptr;
}

struct SidecarValues {
  int nblock = -1;
  unsigned long long hash = 0;
  double seconds = -1.0, bgMin = -1.0, thr = -1.0;
};

// A whole field: a number and nothing else.
bool WholeDouble(const std::string& s, double& v) {
  if (s.empty() || s.size() > 40 || std::isspace(static_cast<unsigned char>(s[0]))) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && std::isfinite(v);
}

// The sidecar's lines: the magic line, then each key once, "key value", nothing else.
const char* ParseSidecar(const std::string& text, SidecarValues& v) {
  std::size_t pos = 0;
  int line = 0, seen = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string l = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (line++ == 0) {
      if (l != kSidecarMagic) return "not a calibration (first line)";
      continue;
    }
    if (l.empty()) continue;
    const std::size_t space = l.find(' ');
    if (space == std::string::npos) return "malformed line";
    const std::string key = l.substr(0, space), value = l.substr(space + 1);
    static const char* const keys[] = {"nblock", "spectrum", "background_seconds", "background_min", "threshold"};
    int k = 0;
    while (k < 5 && key != keys[k]) ++k;
    if (k == 5) return "unknown line";
    if (seen & (1 << k)) return "a value given twice";
    seen |= 1 << k;
    double d = 0.0;
    if (k == 1) {
      if (value.size() != 16 || value.find_first_not_of("0123456789abcdef") != std::string::npos)
        return "malformed spectrum";
      v.hash = std::strtoull(value.c_str(), nullptr, 16);
      continue;
    }
    if (!WholeDouble(value, d)) return "malformed number";
    if (k == 0) {
      if (d != std::floor(d) || d < 1 || d > 1e7) return "nblock out of range";
      v.nblock = static_cast<int>(d);
    } else if (k == 2) {
      v.seconds = d;
    } else if (k == 3) {
      v.bgMin = d;
    } else {
      v.thr = d;
    }
  }
  if (line == 0) return "empty";
  if (seen != 31) return "a value is missing";
  return nullptr;
}

// Writes a file whole or not at all: a temporary file beside it, flushed to disk, then renamed
// over the name (a symbolic link there is replaced, not followed). Returns false, leaving any
// old file, when any step fails.
bool ReplaceFile(const std::string& name, const char* data, std::size_t size) {
  if (name.empty()) return false;
#ifdef _WIN32
  const std::string temp = name + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, f) == size && std::fflush(f) == 0 && _commit(_fileno(f)) == 0;
  ok = std::fclose(f) == 0 && ok;
  ok = ok && MoveFileExA(temp.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) std::remove(temp.c_str());
  return ok;
#else
  std::string temp = name + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), name.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
#endif
}

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
  out[0] = 0;
  // A name that does not fit is refused (left empty), never cut: a cut name could be another file.
  const std::string name = SidecarPath(patternFile);
  if (!name.empty() && name.size() < static_cast<std::size_t>(outSize)) std::memcpy(out, name.c_str(), name.size() + 1);
}

int PatternDetector::SaveCalibration(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= NPattern || patternFile == nullptr || !EngineUnchanged()) return 0;
  const DetectorPattern& P = Patterns[pattern];
  if (!P.Calibrated) return 0;
  char text[512];
  const int n = std::snprintf(text, sizeof text,
                              "%s\nnblock %d\nspectrum %016llx\nbackground_seconds %.3f\nbackground_min %.6g\n"
                              "threshold %.6g\n",
                              kSidecarMagic, P.Nblock, static_cast<unsigned long long>(SpectrumHash(Engine->TVS[pattern])),
                              CalibrationSeconds(), static_cast<double>(P.BackgroundMin),
                              static_cast<double>(P.Threshold));
  if (n <= 0 || n >= static_cast<int>(sizeof text)) return 0;
  return ReplaceFile(SidecarPath(patternFile), text, static_cast<std::size_t>(n)) ? 1 : 0;
}

int PatternDetector::LoadCalibration(int pattern, const char* patternFile) {
  if (pattern < 0 || pattern >= NPattern || patternFile == nullptr || !EngineUnchanged()) return 0;
  DetectorPattern& P = Patterns[pattern];
  const std::string name = SidecarPath(patternFile);
  std::string text;
  const char* problem = ReadSmallRegularFile(name, text);
  if (problem != nullptr) {
    if (*problem != 0) Refuse(name, problem);
    return 0;
  }
  SidecarValues v;
  if (const char* bad = ParseSidecar(text, v)) return Refuse(name, bad);
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

int PatternDetector::GroupBySpeedNames(const char* const* patternFiles) {
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
