// The detector's calibration files: sidecars and self-calibration cache entries (calibration_file.h).
#include "calibration_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <process.h>

#include "sp_platform.h"  // windows.h without the min/max macros
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "float_bits.h"
#include "fnv1a.h"

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


const char kSelfMagic[] = "signalpattern-selfcal 1";

// A hash over an entry's values: a flipped digit anywhere makes it another entry.
unsigned long long EntryCheck(const SelfCalibrationRecord& r) {
  const unsigned long long parts[] = {r.key, static_cast<unsigned long long>(r.nblock), Bits(r.positive),
                                      Bits(r.negative), Bits(r.shift), Bits(r.threshold)};
  return spdet::Fnv1aOf(parts, sizeof parts);
}

// The text of an entry; its length, or 0 when it does not fit.
int FormatSelfEntry(const SelfCalibrationRecord& r, char* text, std::size_t size) {
  const int n = std::snprintf(text, size,
                              "%s\nkey %016llx\nnblock %d\npositive %08x\nnegative %08x\nshift %08x\nthreshold %08x\n"
                              "check %016llx\n",
                              kSelfMagic, r.key, r.nblock, static_cast<unsigned>(Bits(r.positive)),
                              static_cast<unsigned>(Bits(r.negative)), static_cast<unsigned>(Bits(r.shift)),
                              static_cast<unsigned>(Bits(r.threshold)), EntryCheck(r));
  return n > 0 && static_cast<std::size_t>(n) < size ? n : 0;
}

std::string Joined(const char* dir, const char* leaf) {
  return dir != nullptr && *dir != 0 ? std::string(dir) + "/" + leaf : std::string();
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
  return WriteFileWhole(name, text, static_cast<std::size_t>(n), true);
}

std::string CacheDirectory(const char* chosen) {
  if (chosen != nullptr) return chosen;
  if (const char* env = std::getenv("SIGNALPATTERN_CACHE"))
    return std::strcmp(env, "off") == 0 ? std::string() : std::string(env);
#ifdef _WIN32
  return Joined(std::getenv("LOCALAPPDATA"), "signalpattern");
#else
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return Joined(xdg, "signalpattern");
  return Joined(std::getenv("HOME"), ".cache/signalpattern");
#endif
}

unsigned long long BuildIdentity() {
#ifdef _WIN32
  std::string file;
  HMODULE module = nullptr;
  char path[MAX_PATH];
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&BuildIdentity), &module))
    return 0;
  const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 0;
  file.assign(path, n);
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) return 0;
  const auto time = std::filesystem::last_write_time(file, ec);
  if (ec) return 0;
  const unsigned long long parts[] = {static_cast<unsigned long long>(size),
                                      static_cast<unsigned long long>(time.time_since_epoch().count()), 0};
#else
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&BuildIdentity), &info) == 0 || info.dli_fname == nullptr) return 0;
  struct stat st;
  if (::stat(info.dli_fname, &st) != 0) return 0;
  const unsigned long long parts[] = {static_cast<unsigned long long>(st.st_size),
                                      static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull +
                                          static_cast<unsigned long long>(st.st_mtim.tv_nsec),
                                      static_cast<unsigned long long>(st.st_ino)};
#endif
  return spdet::Fnv1aOf(parts, sizeof parts);
}

const char* ReadSmallFile(const std::string& name, std::string& text) { return ReadSmallRegularFile(name, text); }

std::string SelfCalibrationEntryName(const std::string& directory, unsigned long long key) {
  if (directory.empty()) return std::string();
  char leaf[48];
  std::snprintf(leaf, sizeof leaf, "selfcal/%016llx", key);
  return Joined(directory.c_str(), leaf);
}

bool ReadSelfCalibration(const std::string& name, SelfCalibrationRecord& r) {
  std::string text;
  if (ReadSmallRegularFile(name, text) != nullptr) return false;
  SelfCalibrationRecord v;
  unsigned bits[4] = {};
  // The fields, then the whole text (with the check of the values) compared with what they would
  // be written as: nothing more, nothing less, no other spelling.
  if (std::sscanf(text.c_str(), "signalpattern-selfcal 1 key %16llx nblock %d positive %8x negative %8x shift %8x threshold %8x",
                  &v.key, &v.nblock, &bits[0], &bits[1], &bits[2], &bits[3]) != 6)
    return false;
  v.positive = FromBits(bits[0]);
  v.negative = FromBits(bits[1]);
  v.shift = FromBits(bits[2]);
  v.threshold = FromBits(bits[3]);
  char again[256];
  const int n = FormatSelfEntry(v, again, sizeof again);
  if (n == 0 || text.size() != static_cast<std::size_t>(n) || text.compare(0, text.size(), again) != 0) return false;
  r = v;
  return true;
}

bool WriteSelfCalibration(const std::string& name, const SelfCalibrationRecord& r) {
  char text[256];
  const int n = FormatSelfEntry(r, text, sizeof text);
  if (n == 0 || name.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(name).parent_path(), ec);
  if (ec) return false;
  return WriteFileWhole(name, text, static_cast<std::size_t>(n), false);
}

bool WriteFileWhole(const std::string& name, const char* data, std::size_t size, bool sync) {
  if (name.empty()) return false;
#ifdef _WIN32
  static std::atomic<unsigned> serial{0};  // a temporary name of this process and call, as mkstemp gives
  const std::string temp = name + "." + std::to_string(_getpid()) + "-" + std::to_string(serial++) + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, f) == size && std::fflush(f) == 0 && (!sync || _commit(_fileno(f)) == 0);
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
  ok = ok && ::fchmod(fd, 0644) == 0 && (!sync || ::fsync(fd) == 0);
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), name.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
#endif
}

}  // namespace spdet
