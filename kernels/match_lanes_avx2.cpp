// The matching kernels with AVX2, chosen at run time (see match_lanes.h): eight lanes to a
// vector, up to four vectors in flight; group lanes take their bands from the row of 8 by a
// permutation.
#include "match_lanes.h"

#if defined(SP_KERNELS_AVX2)
#include <immintrin.h>

namespace sp::kernels {
namespace {

template <int NG>
__attribute__((target("avx2"))) void GroupSums(const float* rows, MatchLanes* const* sets) {
  __m256 lg[NG], sum[NG];
  __m256i n[NG], band[NG];
  int kmax = 0, kmin = 1 << 30;
  for (int gi = 0; gi < NG; ++gi) {
    const MatchLanes& s = *sets[gi];
    for (int l = 0; l < 8; ++l) {
      if (s.n[l] > kmax) kmax = s.n[l];
      if (s.n[l] < kmin) kmin = s.n[l];
    }
    lg[gi] = _mm256_load_ps(s.lg);
    n[gi] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.n));
    band[gi] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.band));
    sum[gi] = _mm256_setzero_ps();
  }
  // Past a lane's end it adds +0.
  int k = 0;
  for (; k < kmin; ++k) {
    const __m256 row = _mm256_loadu_ps(rows + 8 * k);
    for (int gi = 0; gi < NG; ++gi)
      sum[gi] = _mm256_add_ps(sum[gi], _mm256_mul_ps(_mm256_permutevar8x32_ps(row, band[gi]), lg[gi]));
  }
  for (; k < kmax; ++k) {
    const __m256 row = _mm256_loadu_ps(rows + 8 * k);
    const __m256i kv = _mm256_set1_epi32(k);
    for (int gi = 0; gi < NG; ++gi) {
      const __m256 c = _mm256_mul_ps(_mm256_permutevar8x32_ps(row, band[gi]), lg[gi]);
      sum[gi] = _mm256_add_ps(sum[gi], _mm256_and_ps(c, _mm256_castsi256_ps(_mm256_cmpgt_epi32(n[gi], kv))));
    }
  }
  for (int gi = 0; gi < NG; ++gi) _mm256_store_ps(sets[gi]->sum, sum[gi]);
  // The caller's lane bookkeeping is plain code: mixing the upper halves in costs it dearly.
  _mm256_zeroupper();
}

template <int NG>
__attribute__((target("avx2"))) void GroupDeviations(const float* rows, MatchLanes* const* sets) {
  const int kmax = LongestLane(sets, NG, 8);
  const float* p[NG];
  __m256 lg[NG], gain[NG], acc[NG];
  __m256i band[NG];
  for (int gi = 0; gi < NG; ++gi) {
    const MatchLanes& s = *sets[gi];
    p[gi] = s.pattern;
    lg[gi] = _mm256_load_ps(s.lg);
    gain[gi] = _mm256_load_ps(s.gain);
    band[gi] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.band));
    acc[gi] = _mm256_setzero_ps();
  }
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  for (int k = 1; k < kmax - 1; ++k) {
    const __m256 row = _mm256_loadu_ps(rows + 8 * k);
    for (int gi = 0; gi < NG; ++gi) {
      const __m256 c = _mm256_mul_ps(_mm256_mul_ps(_mm256_permutevar8x32_ps(row, band[gi]), lg[gi]), gain[gi]);
      const __m256 pv = _mm256_loadu_ps(p[gi] + 8 * static_cast<std::size_t>(k));
      const __m256 d = _mm256_and_ps(_mm256_sub_ps(c, pv), absMask);
      acc[gi] = _mm256_add_ps(acc[gi], _mm256_and_ps(d, _mm256_cmp_ps(pv, pv, _CMP_ORD_Q)));
    }
  }
  for (int gi = 0; gi < NG; ++gi) _mm256_store_ps(sets[gi]->acc, acc[gi]);
  _mm256_zeroupper();
}

template <int NP>
__attribute__((target("avx2"))) void PatternSums(const float* rows, int N, MatchLanes* const* sets) {
  __m256 lg[NP], sum[NP];
  for (int pi = 0; pi < NP; ++pi) {
    lg[pi] = _mm256_set1_ps(sets[pi]->lg[0]);
    sum[pi] = _mm256_setzero_ps();
  }
  for (int k = 0; k < N; ++k) {
    const __m256 row = _mm256_loadu_ps(rows + 8 * k);
    for (int pi = 0; pi < NP; ++pi) sum[pi] = _mm256_add_ps(sum[pi], _mm256_mul_ps(row, lg[pi]));
  }
  for (int pi = 0; pi < NP; ++pi) _mm256_store_ps(sets[pi]->sum, sum[pi]);
  _mm256_zeroupper();
}

template <int NP>
__attribute__((target("avx2"))) void PatternDeviations(const float* rows, int N, MatchLanes* const* sets) {
  __m256 lg[NP], gain[NP], acc[NP];
  for (int pi = 0; pi < NP; ++pi) {
    lg[pi] = _mm256_set1_ps(sets[pi]->lg[0]);
    gain[pi] = _mm256_load_ps(sets[pi]->gain);
    acc[pi] = _mm256_setzero_ps();
  }
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  const __m256i three = _mm256_set1_epi32(3);
  for (int k = 1; k < N - 1; ++k) {
    const __m256 row = _mm256_loadu_ps(rows + 8 * k);
    for (int pi = 0; pi < NP; ++pi) {
      const __m256i codes =
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(sets[pi]->range + 8 * k)));
      const __m256 front = _mm256_castsi256_ps(_mm256_cmpeq_epi32(codes, three));
      const __m256 c = _mm256_mul_ps(_mm256_mul_ps(row, lg[pi]), gain[pi]);
      const __m256 d = _mm256_and_ps(_mm256_sub_ps(c, _mm256_loadu_ps(sets[pi]->pattern + 8 * k)), absMask);
      acc[pi] = _mm256_add_ps(acc[pi], _mm256_andnot_ps(front, d));
    }
  }
  for (int pi = 0; pi < NP; ++pi) _mm256_store_ps(sets[pi]->acc, acc[pi]);
  _mm256_zeroupper();
}

}  // namespace

void GroupSumsAvx2(const float* rows, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { GroupSums<decltype(n)::value>(rows, sets); });
}
void GroupDeviationsAvx2(const float* rows, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { GroupDeviations<decltype(n)::value>(rows, sets); });
}
void PatternSumsAvx2(const float* rows, int N, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { PatternSums<decltype(n)::value>(rows, N, sets); });
}
void PatternDeviationsAvx2(const float* rows, int N, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { PatternDeviations<decltype(n)::value>(rows, N, sets); });
}

}  // namespace sp::kernels

#endif
