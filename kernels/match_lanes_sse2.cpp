// The matching kernels with SSE2 (see match_lanes.h): four lanes to a vector, up to four
// vectors in flight.
#include "match_lanes.h"

#if defined(SP_KERNELS_SSE2)
#include <emmintrin.h>

namespace sp::kernels {
namespace {

// Four-lane groups of one band: the band's value of each row goes to all lanes.
template <int NG>
void GroupSums(const float* rows, MatchLanes* const* sets) {
  const float* w[NG];
  __m128 lg[NG], sum[NG];
  __m128i n[NG];
  int kmax = 0, kmin = 1 << 30;
  for (int gi = 0; gi < NG; ++gi) {
    const MatchLanes& s = *sets[gi];
    for (int l = 0; l < 4; ++l) {
      if (s.n[l] > kmax) kmax = s.n[l];
      if (s.n[l] < kmin) kmin = s.n[l];
    }
    w[gi] = rows + s.band[0];
    lg[gi] = _mm_load_ps(s.lg);
    n[gi] = _mm_load_si128(reinterpret_cast<const __m128i*>(s.n));
    sum[gi] = _mm_setzero_ps();
  }
  // Past a lane's end it adds +0.
  int k = 0;
  for (; k < kmin; ++k)
    for (int gi = 0; gi < NG; ++gi) sum[gi] = _mm_add_ps(sum[gi], _mm_mul_ps(_mm_set1_ps(w[gi][8 * k]), lg[gi]));
  for (; k < kmax; ++k) {
    const __m128i kv = _mm_set1_epi32(k);
    for (int gi = 0; gi < NG; ++gi) {
      const __m128 c = _mm_mul_ps(_mm_set1_ps(w[gi][8 * k]), lg[gi]);
      sum[gi] = _mm_add_ps(sum[gi], _mm_and_ps(c, _mm_castsi128_ps(_mm_cmpgt_epi32(n[gi], kv))));
    }
  }
  for (int gi = 0; gi < NG; ++gi) _mm_store_ps(sets[gi]->sum, sum[gi]);
}

template <int NG>
void GroupDeviations(const float* rows, MatchLanes* const* sets) {
  const int kmax = LongestLane(sets, NG, 4);
  const float* w[NG];
  const float* p[NG];
  __m128 lg[NG], gain[NG], acc[NG];
  for (int gi = 0; gi < NG; ++gi) {
    const MatchLanes& s = *sets[gi];
    w[gi] = rows + s.band[0];
    p[gi] = s.pattern;
    lg[gi] = _mm_load_ps(s.lg);
    gain[gi] = _mm_load_ps(s.gain);
    acc[gi] = _mm_setzero_ps();
  }
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  for (int k = 1; k < kmax - 1; ++k)
    for (int gi = 0; gi < NG; ++gi) {
      const __m128 c = _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(w[gi][8 * k]), lg[gi]), gain[gi]);
      const __m128 pv = _mm_loadu_ps(p[gi] + 4 * static_cast<std::size_t>(k));
      const __m128 d = _mm_and_ps(_mm_sub_ps(c, pv), absMask);
      acc[gi] = _mm_add_ps(acc[gi], _mm_and_ps(d, _mm_cmpord_ps(pv, pv)));
    }
  for (int gi = 0; gi < NG; ++gi) _mm_store_ps(sets[gi]->acc, acc[gi]);
}

// By pattern: bands 0-3 and 4-7 of each pattern in two vectors.
template <int NP>
void PatternSums(const float* rows, int N, MatchLanes* const* sets) {
  __m128 lg[NP], sum[NP][2];
  for (int pi = 0; pi < NP; ++pi) {
    lg[pi] = _mm_set1_ps(sets[pi]->lg[0]);
    sum[pi][0] = sum[pi][1] = _mm_setzero_ps();
  }
  for (int k = 0; k < N; ++k) {
    const __m128 lo = _mm_loadu_ps(rows + 8 * k), hi = _mm_loadu_ps(rows + 8 * k + 4);
    for (int pi = 0; pi < NP; ++pi) {
      sum[pi][0] = _mm_add_ps(sum[pi][0], _mm_mul_ps(lo, lg[pi]));
      sum[pi][1] = _mm_add_ps(sum[pi][1], _mm_mul_ps(hi, lg[pi]));
    }
  }
  for (int pi = 0; pi < NP; ++pi) {
    _mm_store_ps(sets[pi]->sum, sum[pi][0]);
    _mm_store_ps(sets[pi]->sum + 4, sum[pi][1]);
  }
}

template <int NP>
void PatternDeviations(const float* rows, int N, MatchLanes* const* sets) {
  __m128 lg[NP], gain[NP][2], acc[NP][2];
  for (int pi = 0; pi < NP; ++pi) {
    lg[pi] = _mm_set1_ps(sets[pi]->lg[0]);
    gain[pi][0] = _mm_load_ps(sets[pi]->gain);
    gain[pi][1] = _mm_load_ps(sets[pi]->gain + 4);
    acc[pi][0] = acc[pi][1] = _mm_setzero_ps();
  }
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128i three = _mm_set1_epi32(3), zero = _mm_setzero_si128();
  for (int k = 1; k < N - 1; ++k) {
    const __m128 lo = _mm_loadu_ps(rows + 8 * k), hi = _mm_loadu_ps(rows + 8 * k + 4);
    for (int pi = 0; pi < NP; ++pi) {
      // Range codes of the 8 bands of block k; front samples (code 3) do not count.
      const __m128i r16 =
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(sets[pi]->range + 8 * k)), zero);
      const __m128 front0 = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_unpacklo_epi16(r16, zero), three));
      const __m128 front1 = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_unpackhi_epi16(r16, zero), three));
      const float* p = sets[pi]->pattern + 8 * k;
      const __m128 c0 = _mm_mul_ps(_mm_mul_ps(lo, lg[pi]), gain[pi][0]);
      const __m128 c1 = _mm_mul_ps(_mm_mul_ps(hi, lg[pi]), gain[pi][1]);
      acc[pi][0] = _mm_add_ps(acc[pi][0], _mm_andnot_ps(front0, _mm_and_ps(_mm_sub_ps(c0, _mm_loadu_ps(p)), absMask)));
      acc[pi][1] =
          _mm_add_ps(acc[pi][1], _mm_andnot_ps(front1, _mm_and_ps(_mm_sub_ps(c1, _mm_loadu_ps(p + 4)), absMask)));
    }
  }
  for (int pi = 0; pi < NP; ++pi) {
    _mm_store_ps(sets[pi]->acc, acc[pi][0]);
    _mm_store_ps(sets[pi]->acc + 4, acc[pi][1]);
  }
}

}  // namespace

void GroupSumsSse2(const float* rows, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { GroupSums<decltype(n)::value>(rows, sets); });
}
void GroupDeviationsSse2(const float* rows, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { GroupDeviations<decltype(n)::value>(rows, sets); });
}
void PatternSumsSse2(const float* rows, int N, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { PatternSums<decltype(n)::value>(rows, N, sets); });
}
void PatternDeviationsSse2(const float* rows, int N, MatchLanes* const* sets, int count) {
  ForSetCount(count, [&](auto n) { PatternDeviations<decltype(n)::value>(rows, N, sets); });
}

}  // namespace sp::kernels

#endif
