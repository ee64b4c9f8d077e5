// Basic types of the SignalPattern library.
//
// The library was designed for an ILP32 platform: every "long" of its interface is a
// 32-bit integer, so that sample counters wrap at 2^32 and file records keep their
// sizes on every platform. sp_long / sp_ulong are those 32-bit integers.
#ifndef SP_TYPES_H
#define SP_TYPES_H

#include <cstdint>

typedef std::int32_t sp_long;
typedef std::uint32_t sp_ulong;

// The one export macro of the library: marks the exported classes and functions. On Windows
// it exports them from signalpattern.dll (nothing else is exported) and imports them in
// clients; SP_STATIC is for programs linked with a static copy of the library.
#if defined(_WIN32)
#  if defined(SP_STATIC)
#    define SP_API
#  elif defined(SP_BUILDING_LIBRARY)
#    define SP_API __declspec(dllexport)
#  else
#    define SP_API __declspec(dllimport)
#  endif
#else
#  define SP_API __attribute__((visibility("default")))
#endif

#endif
