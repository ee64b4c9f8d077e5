#include "content_hash.h"

#include <nettle/sha2.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

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

}  // namespace sigpat::store
