#include "content_hash.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>
#include <sys/stat.h>

#include "store.h"

namespace sigpat::store {

namespace {

struct Digest {
  Digest() { sha256_init(&ctx); }
  void Add(const void* data, std::size_t size) { sha256_update(&ctx, size, static_cast<const std::uint8_t*>(data)); }
  std::string Hex() {
    std::uint8_t md[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof md, md);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : md) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    return out;
  }
  sha256_ctx ctx;
};

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  Digest d;
  d.Add(bytes.data(), bytes.size());
  return d.Hex();
}

std::string HashFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) throw StoreError(path + ": cannot read the pattern file (" + std::strerror(errno) + ")");
  Digest d;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) d.Add(buf, n);
  if (std::ferror(f.get())) throw StoreError(path + ": cannot read the pattern file (" + std::strerror(errno) + ")");
  return d.Hex();
}

namespace {

std::string HashCacheDirectory() {
  namespace fs = std::filesystem;
  fs::path dir;
  if (const char* cache = std::getenv("SIGNALPATTERN_CACHE")) {
    if (*cache == '\0' || std::strcmp(cache, "off") == 0) return "";
    dir = cache;
  } else if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg != '\0') {
    dir = fs::path(xdg) / "signalpattern";
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    dir = fs::path(home) / ".cache" / "signalpattern";
  } else {
    return "";
  }
  return (dir / "content-hashes").string();
}

}  // namespace

namespace {

// What a cache entry is kept for: the file's absolute path, size, modification and change times
// and file number, one a line; empty when the file is not a regular file that can be read.
struct FileState {
  std::string key;
  std::filesystem::file_time_type modified;
  long long changed = 0;
};

bool StateOf(const std::string& path, FileState& state) {
  namespace fs = std::filesystem;
  struct stat st {};
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  if (ec || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  state.modified = fs::last_write_time(path, ec);
  if (ec) return false;
  state.changed = static_cast<long long>(st.st_ctime);
  state.key = absolute.string() + "\n" + std::to_string(st.st_size) + "\n" +
              std::to_string(state.modified.time_since_epoch().count()) + "\n" + std::to_string(state.changed) + "\n" +
              std::to_string(static_cast<unsigned long long>(st.st_ino));
  return true;
}

std::string EntryName(const std::string& key) { return Sha256Hex(key).substr(0, 32); }

bool IsHash(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Temporary files older than this (seconds) are what a process killed while writing left.
constexpr long long kStaleTemporary = 3600;

}  // namespace

void PruneHashCache(const std::string& dir, std::size_t maxEntries) {
  namespace fs = std::filesystem;
  struct Live {
    fs::path path;
    fs::file_time_type written;
  };
  std::vector<Live> live;
  const auto now = fs::file_time_type::clock::now();
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& entry = it->path();
    const std::string name = entry.filename().string();
    std::error_code fe;
    const auto written = it->last_write_time(fe);
    if (fe || !it->is_regular_file(fe)) continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
      if (now - written > std::chrono::seconds(kStaleTemporary)) fs::remove(entry, fe);
      continue;
    }
    if (name.size() != 32 || name.find_first_not_of("0123456789abcdef") != std::string::npos) continue;  // not ours
    // An entry is the hash, then the key it was made for; it stays while the file still has that key.
    std::string hash, key;
    {
      std::ifstream in(entry, std::ios::binary);
      if (in && std::getline(in, hash)) key.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool keep = IsHash(hash) && !key.empty() && EntryName(key) == name;
    if (keep) {
      // The path is all but the last four lines of the key (a path may hold a newline itself).
      std::size_t cut = key.size();
      for (int i = 0; i < 4 && cut != std::string::npos && cut > 0; ++i) cut = key.rfind('\n', cut - 1);
      FileState state;
      keep = cut != std::string::npos && cut > 0 && StateOf(key.substr(0, cut), state) && state.key == key;
    }
    if (keep) live.push_back(Live{entry, written});
    else fs::remove(entry, fe);
  }
  if (live.size() <= maxEntries) return;
  // Beyond the bound the entries written longest ago go (those still used are written again).
  std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) {
    return a.written != b.written ? a.written < b.written : a.path < b.path;
  });
  for (std::size_t i = 0; i < live.size() - maxEntries; ++i) fs::remove(live[i].path, ec);
}

std::string HashFileCached(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string dir = HashCacheDirectory();
  FileState state;
  if (dir.empty() || !StateOf(path, state)) return HashFile(path);
  const fs::path entry = fs::path(dir) / EntryName(state.key);
  {
    std::ifstream in(entry, std::ios::binary);
    std::string hash;
    if (in && std::getline(in, hash) && IsHash(hash)) return hash;
  }
  std::string hash = HashFile(path);
  // Kept only when the file has not changed for 2 s (its times are to the second on some systems).
  const auto now = fs::file_time_type::clock::now();
  const long long nowSeconds = static_cast<long long>(std::time(nullptr));
  if (now - state.modified < std::chrono::seconds(2) || nowSeconds - state.changed < 2) return hash;
  std::error_code ec;
  fs::create_directories(dir, ec);
  // The first entry a process writes prunes the cache: entries of files gone or changed since go,
  // and the oldest beyond kHashCacheEntries. A warm load writes nothing and so never walks it.
  static std::once_flag pruned;
  std::call_once(pruned, [&] { PruneHashCache(dir, kHashCacheEntries); });
  const fs::path temporary = entry.string() + "." + std::to_string(static_cast<unsigned long long>(
                                                          std::chrono::steady_clock::now().time_since_epoch().count())) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary);
    out << hash << "\n" << state.key;
    if (!out) return hash;
  }
  fs::rename(temporary, entry, ec);
  if (ec) fs::remove(temporary, ec);
  return hash;
}

}  // namespace sigpat::store
