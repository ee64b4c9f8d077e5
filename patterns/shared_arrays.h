// Reference counts of the read-only pattern arrays that copies of a recognizer share (see
// include/SharingScope.h). An array enters the process-wide table when a second record takes
// it; a record gives its arrays back through ReleaseArray, which frees an array only when no
// other record holds it. An array that is not in the table has one owner and is freed at once,
// so code that never shares behaves exactly as plain delete[].
#ifndef SP_PATTERNS_SHARED_ARRAYS_H
#define SP_PATTERNS_SHARED_ARRAYS_H

#include <cstddef>
#include <new>

namespace sp {

// True while a SharingScope lives on the calling thread.
bool SharingActive() noexcept;
// Adds a holder of p (two when p was not shared yet: its owner and the new one). False when
// the table cannot grow (memory): the caller then duplicates the array instead.
bool RetainArray(const void* p) noexcept;
// Removes a holder of p; true when the caller held the last reference and must free it.
bool DropArray(const void* p) noexcept;
// True while another record holds p too.
bool ArrayShared(const void* p) noexcept;

template <typename T>
void ReleaseArray(T*& p) noexcept {
  if (p != nullptr && DropArray(p)) delete[] p;
  p = nullptr;
}

// p itself with one more holder when a SharingScope is active on this thread and the table
// takes it, else null (the caller duplicates).
template <typename T>
T* ShareArray(T* p) noexcept {
  if (p == nullptr || !SharingActive() || !RetainArray(p)) return nullptr;
  return p;
}

// Makes p the caller's own before it writes into it: a shared array is replaced by a copy of its
// n elements (the others keep the original). False when memory ran out (p is then unchanged).
template <typename T>
bool OwnArray(T*& p, std::size_t n) noexcept {
  if (p == nullptr || !ArrayShared(p)) return true;
  T* own = new (std::nothrow) T[n];
  if (own == nullptr) return false;
  for (std::size_t i = 0; i < n; ++i) own[i] = p[i];
  ReleaseArray(p);
  p = own;
  return true;
}

}  // namespace sp

#endif
