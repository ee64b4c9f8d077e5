// Sidecar calibration files (calibration_file.h).
#include "calibration_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <io.h>

#include <filesystem>

#include "sp_platform.h"  // windows.h without the min/max macros
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace spdet {

namespace {

const char kSidecarMagic[] = "signalpattern-calibration 1";
constexpr std::size_t kMaxSidecarBytes = 4096;


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

// A whole field: a number and nothing else.
bool WholeDouble(const std::string& s, double& v) {
  if (s.empty() || s.size() > 40 || std::isspace(static_cast<unsigned char>(s[0]))) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && std::isfinite(v);
}

// The sidecar's lines: the magic line, then each key once, "key value", nothing else.
const char* ParseSidecar(const std::string& text, CalibrationRecord& v) {
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

std::string CalibrationFileName(const char* patternFile) {
  return patternFile != nullptr && *patternFile != 0 ? std::string(patternFile) + ".cal" : std::string();
}

const char* ReadCalibrationFile(const std::string& name, CalibrationRecord& record) {
  std::string text;
  if (const char* problem = ReadSmallRegularFile(name, text)) return problem;
  return ParseSidecar(text, record);
}

bool WriteCalibrationFile(const std::string& name, const CalibrationRecord& r) {
  char text[512];
  const int n = std::snprintf(text, sizeof text,
                              "%s\nnblock %d\nspectrum %016llx\nbackground_seconds %.3f\nbackground_min %.6g\n"
                              "threshold %.6g\n",
                              kSidecarMagic, r.nblock, r.hash, r.seconds, r.bgMin, r.thr);
  if (n <= 0 || n >= static_cast<int>(sizeof text)) return false;
  return ReplaceFile(name, text, static_cast<std::size_t>(n));
}

}  // namespace spdet
