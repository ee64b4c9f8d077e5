#include "content_hash.h"

#include <nettle/sha2.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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

std::string HashFileCached(const std::string& path) {
  namespace fs = std::filesystem;
  struct stat st {};
  const std::string dir = HashCacheDirectory();
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  if (dir.empty() || ec || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return HashFile(path);
  const auto modified = fs::last_write_time(path, ec);
  if (ec) return HashFile(path);
  const std::string key = absolute.string() + "\n" + std::to_string(st.st_size) + "\n" +
                          std::to_string(modified.time_since_epoch().count()) + "\n" +
                          std::to_string(static_cast<long long>(st.st_ctime)) + "\n" +
                          std::to_string(static_cast<unsigned long long>(st.st_ino));
  const fs::path entry = fs::path(dir) / Sha256Hex(key).substr(0, 32);
  {
    std::ifstream in(entry, std::ios::binary);
    std::string hash;
    if (in && std::getline(in, hash) && hash.size() == 64 &&
        hash.find_first_not_of("0123456789abcdef") == std::string::npos)
      return hash;
  }
  std::string hash = HashFile(path);
  // Kept only when the file has not changed for 2 s (its times are to the second on some systems).
  const auto now = fs::file_time_type::clock::now();
  const auto changed = static_cast<long long>(st.st_ctime);
  const long long nowSeconds = static_cast<long long>(std::time(nullptr));
  if (now - modified < std::chrono::seconds(2) || nowSeconds - changed < 2) return hash;
  fs::create_directories(dir, ec);
  const fs::path temporary = entry.string() + "." + std::to_string(static_cast<unsigned long long>(
                                                          std::chrono::steady_clock::now().time_since_epoch().count())) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary);
    out << hash << "\n";
    if (!out) return hash;
  }
  fs::rename(temporary, entry, ec);
  if (ec) fs::remove(temporary, ec);
  return hash;
}

}  // namespace sigpat::store
