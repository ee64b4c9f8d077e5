// Relatives kept on disk: see relatives_cache.h.
#include "relatives_cache.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "calibration_file.h"
#include "fnv1a.h"

namespace spdet {

namespace {

const char kMagic[] = "signalpattern-relatives 1";
// Changes whenever the comparison does: entries of another version are other files.
constexpr int kVersion = 2;
// An entry larger than this is refused (a pattern compared in full with thousands of others).
constexpr std::uintmax_t kMaxEntryBytes = 4u << 20;

std::uint32_t Bits(float v) {
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

float FromBits(std::uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

void Side(std::string& text, const Relation& r) {
  char buf[96];
  std::snprintf(buf, sizeof buf, " %d %d %d %08" PRIx32 " %08" PRIx32, r.offset, r.differBegin, r.differEnd, Bits(r.shared),
                Bits(r.apart));
  text += buf;
}

std::string Format(std::uint64_t key, const std::vector<CachedPair>& pairs) {
  std::string text = kMagic;
  char buf[64];
  std::snprintf(buf, sizeof buf, "\nkey %016" PRIx64 "\npairs %zu\n", key, pairs.size());
  text += buf;
  for (const CachedPair& p : pairs) {
    std::snprintf(buf, sizeof buf, "%016" PRIx64 " %d", p.other, p.related ? 1 : 0);
    text += buf;
    if (p.related) Side(text, p.mine), Side(text, p.theirs);
    text += '\n';
  }
  std::snprintf(buf, sizeof buf, "check %016" PRIx64 "\n", Fnv1aOf(text.data(), text.size()));
  return text + buf;
}

// The check line's value of a text made by Format or FormatSwept.
std::uint64_t CheckOf(const std::string& text) {
  const std::size_t end = text.rfind("check ");
  return Fnv1aOf(text.data(), end == std::string::npos ? text.size() : end);
}

const char kSweptMagic[] = "signalpattern-relatives-swept 1";
// Room for about two million members.
constexpr std::uintmax_t kMaxSweptBytes = 64u << 20;

std::string FormatSwept(const std::vector<SweptMember>& members) {
  std::string text = kSweptMagic;
  char buf[64];
  std::snprintf(buf, sizeof buf, "\nmembers %zu\n", members.size());
  text += buf;
  text.reserve(text.size() + members.size() * 34 + 32);
  for (const SweptMember& m : members) {
    std::snprintf(buf, sizeof buf, "%016" PRIx64 " %016" PRIx64 "\n", m.key, m.entry);
    text += buf;
  }
  std::snprintf(buf, sizeof buf, "check %016" PRIx64 "\n", Fnv1aOf(text.data(), text.size()));
  return text + buf;
}

// 16 lower-case hex digits at p (the text goes on to its terminating zero, so p[0..15] are there
// or a zero stops the loop first).
bool Hex16(const char* p, std::uint64_t& v) {
  v = 0;
  for (int k = 0; k < 16; ++k) {
    const char c = p[k];
    if (c >= '0' && c <= '9') v = v << 4 | static_cast<std::uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f') v = v << 4 | static_cast<std::uint64_t>(c - 'a' + 10);
    else return false;
  }
  return true;
}

// A regular file of at most `limit` bytes, whole (a FIFO or device is never opened).
bool ReadSmallFile(const std::string& name, std::uintmax_t limit, std::string& text) {
  std::error_code ec;
  const auto status = std::filesystem::status(name, ec);
  if (ec || !std::filesystem::is_regular_file(status)) return false;
  const std::uintmax_t size = std::filesystem::file_size(name, ec);
  if (ec || size > limit) return false;
  std::ifstream in(name, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return static_cast<bool>(in) || in.eof();
}

// Writes text to name through a temporary file of this thread and moment renamed into place,
// making the directory when needed.
bool WriteWhole(const std::string& name, const std::string& text, std::uint64_t salt) {
  const std::filesystem::path path(name);
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) return false;
  char suffix[48];
  Fnv1a f;
  f.Value(salt);
  f.Value(std::chrono::steady_clock::now().time_since_epoch().count());
  f.Value(std::hash<std::thread::id>()(std::this_thread::get_id()));
  std::snprintf(suffix, sizeof suffix, ".%016" PRIx64 ".tmp", f.h);
  const std::string temp = name + suffix;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) std::filesystem::remove(temp, ec);
  return !ec;
}

// A file of `folder` in the cache directory, named by the hash of what it depends on: the
// pattern's content key (if any), this format's version, the library's build and the geometry.
// Empty where there is no cache.
std::string NameIn(const std::string& directory, const char* folder, const std::uint64_t* key, double blocksPerSecond) {
  static const std::uint64_t build = BuildIdentity();
  if (directory.empty() || build == 0) return std::string();
  Fnv1a f;
  if (key != nullptr) f.Value(*key);
  f.Value(kVersion);
  f.Value(build);
  f.Value(blocksPerSecond);
  char leaf[64];
  std::snprintf(leaf, sizeof leaf, "/%s/%016" PRIx64, folder, f.h);
  return directory + leaf;
}

}  // namespace

std::string RelativesEntryName(const std::string& directory, std::uint64_t key, double blocksPerSecond) {
  return NameIn(directory, "relatives", &key, blocksPerSecond);
}

bool ReadRelativesEntry(const std::string& name, std::uint64_t key, std::vector<CachedPair>& pairs,
                        std::uint64_t* check) {
  try {
    std::string text;
    if (!ReadSmallFile(name, kMaxEntryBytes, text)) return false;
    const std::size_t size = text.size();
    std::istringstream lines(text);
    std::string line;
    std::uint64_t k = 0;
    std::size_t n = 0;
    if (!std::getline(lines, line) || line != kMagic) return false;
    if (!std::getline(lines, line) || std::sscanf(line.c_str(), "key %16" SCNx64, &k) != 1 || k != key) return false;
    if (!std::getline(lines, line) || std::sscanf(line.c_str(), "pairs %zu", &n) != 1 || n > size / 18) return false;
    std::vector<CachedPair> read(n);
    for (CachedPair& p : read) {
      if (!std::getline(lines, line)) return false;
      int related = 0;
      std::uint32_t bits[4] = {};
      const int got = std::sscanf(line.c_str(), "%16" SCNx64 " %d %d %d %d %8" SCNx32 " %8" SCNx32 " %d %d %d %8" SCNx32 " %8" SCNx32,
                                  &p.other, &related, &p.mine.offset, &p.mine.differBegin, &p.mine.differEnd, &bits[0],
                                  &bits[1], &p.theirs.offset, &p.theirs.differBegin, &p.theirs.differEnd, &bits[2], &bits[3]);
      if (!(got == 2 && related == 0) && !(got == 12 && related == 1)) return false;
      p.related = related == 1;
      p.mine.shared = FromBits(bits[0]), p.mine.apart = FromBits(bits[1]);
      p.theirs.shared = FromBits(bits[2]), p.theirs.apart = FromBits(bits[3]);
    }
    // Whatever was read must be written the same way, to the byte (the check line included).
    if (Format(key, read) != text) return false;
    if (check != nullptr) *check = CheckOf(text);
    pairs = std::move(read);
    return true;
  } catch (...) {
    return false;
  }
}

bool WriteRelativesEntry(const std::string& name, std::uint64_t key, const std::vector<CachedPair>& pairs) {
  if (name.empty()) return false;
  try {
    return WriteWhole(name, Format(key, pairs), key);
  } catch (...) {
    return false;
  }
}

std::uint64_t RelativesEntryCheck(std::uint64_t key, const std::vector<CachedPair>& pairs) {
  try {
    return CheckOf(Format(key, pairs));
  } catch (...) {
    return 0;
  }
}

std::string SweptCatalogueName(const std::string& directory, double blocksPerSecond) {
  return NameIn(directory, "relatives-swept", nullptr, blocksPerSecond);
}

bool ReadSweptCatalogue(const std::string& name, std::vector<SweptMember>& members) {
  try {
    std::string text;
    if (!ReadSmallFile(name, kMaxSweptBytes, text)) return false;
    const char* p = text.c_str();
    const std::size_t head = std::strlen(kSweptMagic);
    if (text.compare(0, head, kSweptMagic) != 0 || p[head] != '\n') return false;
    p += head + 1;
    std::size_t n = 0;
    int used = 0;
    if (std::sscanf(p, "members %zu\n%n", &n, &used) != 1 || used == 0 || n > text.size() / 34) return false;
    p += used;
    std::vector<SweptMember> read(n);
    for (SweptMember& m : read) {
      if (!Hex16(p, m.key) || p[16] != ' ' || !Hex16(p + 17, m.entry) || p[33] != '\n') return false;
      p += 34;
    }
    // Read strictly: written back the same to the byte, check line included.
    if (FormatSwept(read) != text) return false;
    members = std::move(read);
    return true;
  } catch (...) {
    return false;
  }
}

bool WriteSweptCatalogue(const std::string& name, const std::vector<SweptMember>& members) {
  if (name.empty()) return false;
  try {
    return WriteWhole(name, FormatSwept(members), members.size());
  } catch (...) {
    return false;
  }
}

}  // namespace spdet
