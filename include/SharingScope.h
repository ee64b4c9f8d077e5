// SharingScope: while one lives on a thread, the copies of a recognizer made on that thread
// (RecognitionStream::InitLike, the engine's copy constructor and assignment) take a reference
// to the source's read-only pattern arrays instead of duplicating them: a pattern's spectrum in
// both layouts, band levels, range codes, level splits, deviation scaling factors and input file
// name. The arrays are reference-counted; the source and every copy can be destroyed in any
// order, on any thread, and the last holder frees them. What a stream writes (statistics, the
// spectra noted at known positions, every ring and counter) stays each copy's own, so a copy
// recognises to the bit as a duplicate does.
//
// Outside a scope a copy duplicates every array, as always. Scopes nest.
//
//   { SharingScope sharing; for (auto& s : stations) s.InitLike(model); }
#ifndef SP_SHARINGSCOPE_H
#define SP_SHARINGSCOPE_H

#include <cstddef>

#include "sp_types.h"

class SP_API SharingScope {
 public:
  SharingScope();
  ~SharingScope();
  SharingScope(const SharingScope&) = delete;
  SharingScope& operator=(const SharingScope&) = delete;

  // True while a scope lives on the calling thread.
  static bool Active();
  // Arrays held by more than one record in the process now (for diagnostics and tests).
  static std::size_t SharedArrays();
  // How many records hold the array at `p`: 0 when it is not shared (it then has one owner).
  static std::size_t Holders(const void* p);
};

#endif
