// 64-bit FNV-1a: the decision layer's one hash, tying sidecars, cache entries and detail prints
// to the pattern they were made for. Fed in pieces; not for security.
#ifndef SP_DETECTOR_FNV1A_H
#define SP_DETECTOR_FNV1A_H

#include <cstddef>
#include <cstdint>

namespace spdet {

struct Fnv1a {
  std::uint64_t h = 1469598103934665603ull;
  void Bytes(const void* p, std::size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (std::size_t k = 0; k < n; ++k) h = (h ^ c[k]) * 1099511628211ull;
  }
  template <typename T>
  void Value(T v) { Bytes(&v, sizeof v); }
};

inline std::uint64_t Fnv1aOf(const void* p, std::size_t n) {
  Fnv1a f;
  f.Bytes(p, n);
  return f.h;
}

}  // namespace spdet

#endif
