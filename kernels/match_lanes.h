// Kernels of the matching of many patterns at once (engine/matching_ahead.cpp). See simd.h
// for the versions and how one is chosen.
//
// A deviation is two sums in strict order over a pattern's blocks: the band mean (sum of
// level gain x current value) and, after the caller has chosen the band's alignment gain from
// it, the deviation proper (sum of |gain x level gain x current value - pattern value| over
// the values that count). One deviation cannot be vectorised; many can: every lane of a
// MatchLanes is one (pattern, band) unit doing exactly the scalar sequence of its own unit,
// and a call takes up to four sets, so that several vectors are in flight together.
//
// The current blocks are read from `rows`, block-major: row k holds the 8 bands of the k-th
// newest block.
#ifndef SP_KERNELS_MATCH_LANES_H
#define SP_KERNELS_MATCH_LANES_H

#include <cstdint>
#include <type_traits>

#include "simd.h"

namespace sp::kernels {

constexpr int kMatchRow = 8;       // bands in a row of `rows`
constexpr int kMatchMaxLanes = 8;
constexpr int kMatchMaxSets = 4;   // sets a call takes

struct MatchLanes {
  // Groups: the lane-interleaved pattern values, `width` per block, NaN where a value does not
  // count. By pattern: the pattern's spectrum, block-major (8 bands per block).
  const float* pattern;
  // By pattern: the range codes, block-major (8 per block); code 3 (a front) does not count.
  const unsigned char* range;
  alignas(32) std::int32_t band[kMatchMaxLanes];  // groups: the lane's band in the row
  alignas(32) std::int32_t n[kMatchMaxLanes];     // groups: the lane's length (0: empty lane)
  alignas(32) float lg[kMatchMaxLanes];           // level gain
  alignas(32) float gain[kMatchMaxLanes];         // alignment gain, set between the two sums
  alignas(32) float sum[kMatchMaxLanes];          // out: the band-mean sum
  alignas(32) float acc[kMatchMaxLanes];          // out: the deviation sum
};

// ---- Groups: lanes of any patterns, each with its own band and length. With `kmax` the
// longest length among the sets of the call, lane l of a set adds
//   sum: for k < kmax, rows[8k + band] x lg, or +0 once k >= n;
//   acc: for 1 <= k < kmax - 1, with p = pattern[width x k + l], |(rows[8k + band] x lg) x
//        gain - p|, or +0 where p is NaN.
// Four-lane (SSE2) sets have one band in all lanes.
void GroupSumsScalar(const float* rows, MatchLanes* const* sets, int count, int width);
void GroupDeviationsScalar(const float* rows, MatchLanes* const* sets, int count, int width);

// ---- By pattern: lane b is band b of one pattern of length N (all sets of a call have that
// length) and level gain lg[0]:
//   sum: for k < N, rows[8k + b] x lg;
//   acc: for 1 <= k < N - 1, |(rows[8k + b] x lg) x gain - pattern[8k + b]|, or +0 where
//        range[8k + b] is 3.
void PatternSumsScalar(const float* rows, int N, MatchLanes* const* sets, int count);
void PatternDeviationsScalar(const float* rows, int N, MatchLanes* const* sets, int count);

#if defined(SP_KERNELS_SSE2)
// Four lanes (width 4).
void GroupSumsSse2(const float* rows, MatchLanes* const* sets, int count);
void GroupDeviationsSse2(const float* rows, MatchLanes* const* sets, int count);
void PatternSumsSse2(const float* rows, int N, MatchLanes* const* sets, int count);
void PatternDeviationsSse2(const float* rows, int N, MatchLanes* const* sets, int count);
#endif
#if defined(SP_KERNELS_AVX2)
// Eight lanes (width 8). The upper halves of the vector registers are cleared on return.
void GroupSumsAvx2(const float* rows, MatchLanes* const* sets, int count);
void GroupDeviationsAvx2(const float* rows, MatchLanes* const* sets, int count);
void PatternSumsAvx2(const float* rows, int N, MatchLanes* const* sets, int count);
void PatternDeviationsAvx2(const float* rows, int N, MatchLanes* const* sets, int count);
#endif

// The longest length among the sets (the lengths of lanes [0, width)).
inline int LongestLane(MatchLanes* const* sets, int count, int width) {
  int kmax = 0;
  for (int i = 0; i < count; ++i)
    for (int l = 0; l < width; ++l)
      if (sets[i]->n[l] > kmax) kmax = sets[i]->n[l];
  return kmax;
}

// Calls f(std::integral_constant<int, count>()) for a count of 1 to 4, so that the vector
// versions keep the sets of a call in registers.
template <typename F>
void ForSetCount(int count, F&& f) {
  switch (count) {
    case 4: f(std::integral_constant<int, 4>()); break;
    case 3: f(std::integral_constant<int, 3>()); break;
    case 2: f(std::integral_constant<int, 2>()); break;
    case 1: f(std::integral_constant<int, 1>()); break;
    default: break;
  }
}

}  // namespace sp::kernels

#endif
