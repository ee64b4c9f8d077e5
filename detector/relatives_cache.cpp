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

}  // namespace

std::string RelativesEntryName(const std::string& directory, std::uint64_t key, double blocksPerSecond) {
  static const std::uint64_t build = BuildIdentity();
  if (directory.empty() || build == 0) return std::string();
  Fnv1a f;
  f.Value(key);
  f.Value(kVersion);
  f.Value(build);
  f.Value(blocksPerSecond);
  char leaf[48];
  std::snprintf(leaf, sizeof leaf, "/relatives/%016" PRIx64, f.h);
  return directory + leaf;
}

bool ReadRelativesEntry(const std::string& name, std::uint64_t key, std::vector<CachedPair>& pairs) {
  try {
    std::error_code ec;
    const auto status = std::filesystem::status(name, ec);
    if (ec || !std::filesystem::is_regular_file(status)) return false;
    const std::uintmax_t size = std::filesystem::file_size(name, ec);
    if (ec || size > kMaxEntryBytes) return false;
    std::ifstream in(name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
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
    pairs = std::move(read);
    return true;
  } catch (...) {
    return false;
  }
}

bool WriteRelativesEntry(const std::string& name, std::uint64_t key, const std::vector<CachedPair>& pairs) {
  if (name.empty()) return false;
  try {
    const std::string text = Format(key, pairs);
    const std::filesystem::path path(name);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return false;
    // A temporary name of this thread and moment, renamed over the entry when written whole.
    char suffix[48];
    Fnv1a f;
    f.Value(key);
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
  } catch (...) {
    return false;
  }
}

}  // namespace spdet
