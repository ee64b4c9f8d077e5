#include <algorithm>
#include <cmath>
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

void SortDescending(const float* src, float* dst, int n, int k) {
  if (src == nullptr || dst == nullptr) return;
  for (int i = 0; i < n; ++i) dst[i] = src[i];
  if (n < 2) return;
  if (k < 1 || k > n) k = n;
  // A whole sort of numbers that compare equal only when they are the same bits (no NaN, no
  // negative zero) has one result, however it is sorted: sort them in n log n.
  auto ambiguous = [](float x) { return std::isnan(x) || (x == 0.0f && std::signbit(x)); };
  if (k >= n - 1 && std::none_of(dst, dst + n, ambiguous)) {
    std::sort(dst, dst + n, std::greater<float>());
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
