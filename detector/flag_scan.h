// Visiting the few flagged entries of a large catalogue: most patterns are neither compared nor
// waiting at a time block, and their per-pattern flags (one byte each) are scanned sixteen at a
// time instead of looked at one by one.
#ifndef SP_DETECTOR_FLAG_SCAN_H
#define SP_DETECTOR_FLAG_SCAN_H

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace spdet {

// Calls visit(i), in ascending order, for every i in [0, n) where a[i], b[i] or c[i] is nonzero
// (b and c may be null).
template <class Visit>
inline void ForEachFlagged(int n, const unsigned char* a, const unsigned char* b, const unsigned char* c,
                           Visit&& visit) {
  int i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    if (b != nullptr) v = _mm_or_si128(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    if (c != nullptr) v = _mm_or_si128(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i)));
    unsigned set = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) & 0xFFFFu;
    while (set != 0) {
      visit(i + __builtin_ctz(set));
      set &= set - 1;
    }
  }
#endif
  for (; i < n; ++i)
    if (a[i] != 0 || (b != nullptr && b[i] != 0) || (c != nullptr && c[i] != 0)) visit(i);
}

}  // namespace spdet

#endif
