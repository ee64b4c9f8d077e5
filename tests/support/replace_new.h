// Replaces the global allocation functions of one test program with two hooks the including
// file defines before including this header (include it in exactly one source file):
//   void* TestAllocate(std::size_t n);  // null when out of memory
//   void TestRelease(void* p);          // p may be null
#ifndef SP_TEST_REPLACE_NEW_H
#define SP_TEST_REPLACE_NEW_H

#include <cstddef>
#include <new>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
  void* p = TestAllocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) {
  void* p = TestAllocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return TestAllocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return TestAllocate(n); }
void operator delete(void* p) noexcept { TestRelease(p); }
void operator delete[](void* p) noexcept { TestRelease(p); }
void operator delete(void* p, std::size_t) noexcept { TestRelease(p); }
void operator delete[](void* p, std::size_t) noexcept { TestRelease(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { TestRelease(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { TestRelease(p); }

#endif
