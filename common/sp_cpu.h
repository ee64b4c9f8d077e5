// Processor features chosen at run time (library-internal).
#ifndef SP_CPU_H
#define SP_CPU_H

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
namespace sp {

// True when the processor runs AVX2 code; asked once.
inline bool HasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

}  // namespace sp
#endif

#endif
