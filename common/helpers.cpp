#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>

#include "sp_helpers.h"

float PowToDB(float x) {
  if (static_cast<double>(x) > 1e-10) {
    float logarithm = static_cast<float>(std::log10(static_cast<double>(x)));
    return 10.0f * logarithm;
  }
  return -100.0f;
}

float DBToPow(float x) { return static_cast<float>(std::pow(10.0, 0.1 * static_cast<double>(x))); }

namespace {

// Sorts n numbers (no NaN, no negative zero) largest first by their bits: the order of the
// numbers is the order of these keys, so the result is the one any whole sort gives. Three passes
// of 11 bits from the lowest; a quarter of the time std::sort takes on the level sets of a pattern.
bool RadixSortDescending(float* x, std::size_t n) {
  std::uint32_t* keys = new (std::nothrow) std::uint32_t[2 * n];
  if (keys == nullptr) return false;
  std::uint32_t *from = keys, *to = keys + n;
  constexpr int kBits = 11, kBuckets = 1 << kBits;
  std::size_t count[3][kBuckets] = {};
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t b;
    std::memcpy(&b, x + i, sizeof b);
    // Ascending order of the numbers as unsigned keys, then turned round.
    b = ~(b & 0x80000000u ? ~b : b | 0x80000000u);
    from[i] = b;
    for (int p = 0; p < 3; ++p) ++count[p][(b >> (kBits * p)) & (kBuckets - 1)];
  }
  for (int p = 0; p < 3; ++p) {
    std::size_t at = 0;
    for (std::size_t& c : count[p]) {
      const std::size_t here = c;
      c = at;
      at += here;
    }
    for (std::size_t i = 0; i < n; ++i) to[count[p][(from[i] >> (kBits * p)) & (kBuckets - 1)]++] = from[i];
    std::swap(from, to);
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t b = ~from[i];
    b = b & 0x80000000u ? b & 0x7FFFFFFFu : ~b;
    std::memcpy(x + i, &b, sizeof b);
  }
  delete[] keys;
  return true;
}

}  // namespace

void SortDescending(const float* src, float* dst, int n, int k) {
  if (src == nullptr || dst == nullptr) return;
  for (int i = 0; i < n; ++i) dst[i] = src[i];
  if (n < 2) return;
  if (k < 1 || k > n) k = n;
  // A whole sort of numbers that compare equal only when they are the same bits (no NaN, no
  // negative zero) has one result, however it is sorted: sort them in n log n.
  auto ambiguous = [](float x) { return std::isnan(x) || (x == 0.0f && std::signbit(x)); };
  if (k >= n - 1 && std::none_of(dst, dst + n, ambiguous)) {
    if (n < 256 || !RadixSortDescending(dst, static_cast<std::size_t>(n))) std::sort(dst, dst + n, std::greater<float>());
    return;
  }
  for (int p = 0; p < k; ++p) {
    int best = p;
    for (int i = p + 1; i < n; ++i)
      if (dst[i] > dst[best]) best = i;
    float t = dst[p];
    dst[p] = dst[best];
    dst[best] = t;
  }
}

int SortAscendingWithIndex(const int* value, int* sortedValue, int n, int* index, int k) {
  if (value == nullptr || sortedValue == nullptr || index == nullptr || n < 2) return 0;
  if (k < 1) k = n;
  if (k > n) k = n;
  unsigned char* taken = new (std::nothrow) unsigned char[n];
  if (taken == nullptr) return 0;
  for (int i = 0; i < n; ++i) taken[i] = 0;
  for (int p = 0; p < k; ++p) {
    int candidate = -1;
    for (int i = 0; i < n; ++i) {
      if (taken[i]) continue;
      if (candidate < 0 || value[i] < value[candidate]) candidate = i;
    }
    sortedValue[p] = value[candidate];
    index[p] = candidate;
    taken[candidate] = 1;
  }
  delete[] taken;
  return 1;
}

const char* FileNameOfPath(const char* path) {
  if (path == nullptr) return nullptr;
  const char* name = path;
  for (const char* p = path; *p != 0; ++p)
    if (*p == '/' || *p == '\\' || *p == ':') name = p + 1;
  return name;
}

char* FileNameOfPath(char* path) {
  return const_cast<char*>(FileNameOfPath(static_cast<const char*>(path)));
}
