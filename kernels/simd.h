// The vector targets of the arithmetic kernels (kernels/*.h) and the choice among them.
//
// Every kernel has a scalar version, built everywhere, and versions for the vector targets
// below, each in a file of its own (name_sse2.cpp, name_avx2.cpp). SSE2 is chosen at build
// time (the compiler targets it); AVX2 is built with per-function target attributes and chosen
// at run time (HasAvx2). A vector version runs independent sums side by side in its lanes and
// keeps every sum's order and single-precision rounding, so all versions give the same bits;
// tests/test_kernels.cpp holds them to their scalar twins.
#ifndef SP_KERNELS_SIMD_H
#define SP_KERNELS_SIMD_H

#if defined(__SSE2__)
#define SP_KERNELS_SSE2 1
#endif

// AVX2 needs GCC's target attributes on x86; not on Windows, where GCC cannot keep 32-byte
// stack slots aligned.
#if defined(SP_KERNELS_SSE2) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define SP_KERNELS_AVX2 1
#endif

namespace sp::kernels {

#if defined(SP_KERNELS_AVX2)
// True when the processor runs AVX2 code; asked once.
inline bool HasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}
#else
inline bool HasAvx2() { return false; }
#endif

}  // namespace sp::kernels

#endif
