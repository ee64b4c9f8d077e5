#include "shared_arrays.h"

#include <mutex>
#include <new>
#include <unordered_map>

#include "SharingScope.h"

namespace sp {
namespace {

thread_local int scopeDepth = 0;

// Address -> holders (two or more), one entry per shared array; touched only when records are
// copied or released, never while a stream is fed.
struct Table {
  std::mutex mutex;
  std::unordered_map<const void*, std::size_t> holders;
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: records may be released at exit
  return *table;
}

}  // namespace

bool SharingActive() noexcept { return scopeDepth > 0; }

bool ArrayShared(const void* p) noexcept {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.holders.find(p) != t.holders.end();
}

bool RetainArray(const void* p) noexcept {
  if (p == nullptr) return false;
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  try {
    ++t.holders.try_emplace(p, 1).first->second;
  } catch (...) {
    return false;
  }
  return true;
}

bool DropArray(const void* p) noexcept {
  if (p == nullptr) return false;
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.holders.find(p);
  if (it == t.holders.end()) return true;
  if (--it->second > 1) return false;
  // One holder left: the array is its own again.
  t.holders.erase(it);
  return false;
}

}  // namespace sp

SharingScope::SharingScope() { ++sp::scopeDepth; }

SharingScope::~SharingScope() { --sp::scopeDepth; }

bool SharingScope::Active() { return sp::SharingActive(); }

std::size_t SharingScope::SharedArrays() {
  sp::Table& t = sp::TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.holders.size();
}

std::size_t SharingScope::Holders(const void* p) {
  sp::Table& t = sp::TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.holders.find(p);
  return it == t.holders.end() ? 0 : it->second;
}
