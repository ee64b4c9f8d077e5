#include "content_hash.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "store.h"

namespace sigpat::store {

namespace {

struct Digest {
  Digest() : ctx(EVP_MD_CTX_new()) {
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) throw StoreError("SHA-256 is not available");
  }
  ~Digest() { EVP_MD_CTX_free(ctx); }
  void Add(const void* data, std::size_t size) { EVP_DigestUpdate(ctx, data, size); }
  std::string Hex() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, md, &n);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
      out += kHex[md[i] >> 4];
      out += kHex[md[i] & 15];
    }
    return out;
  }
  EVP_MD_CTX* ctx;
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
