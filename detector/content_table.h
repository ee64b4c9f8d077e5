// A process-wide table of read-only objects made from a pattern's content: every detector of the
// process with the same pattern (every station of a monitor) holds the one copy. Entries are
// keyed by a hash of the content and what the object depends on, and hold a second, independent
// hash of the content, so that two contents with the same key never share one. The table holds
// weak references: an object lives while a detector holds it, and the entries of objects no
// detector holds any more are swept out as the table grows.
#ifndef SP_DETECTOR_CONTENT_TABLE_H
#define SP_DETECTOR_CONTENT_TABLE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace spdet {

template <typename T>
class ContentTable {
 public:
  // The object held for (key, check), or the one `make()` returns, then held. `make` runs
  // outside the lock: two threads may make the same object at once, and the first one entered
  // is the one both keep.
  template <typename Make>
  std::shared_ptr<const T> Get(std::uint64_t key, std::uint64_t check, Make&& make) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = table_.find(key);
      if (it != table_.end() && it->second.check == check)
        if (auto held = it->second.made.lock()) return held;
    }
    std::shared_ptr<const T> made = make();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(key);
    if (it != table_.end() && it->second.check == check) {
      if (auto held = it->second.made.lock()) return held;  // made meanwhile by another thread
      it->second.made = made;
      return made;
    }
    if (it != table_.end()) return made;  // another content under this key keeps its entry
    if (table_.size() >= sweepAt_) {
      for (auto e = table_.begin(); e != table_.end();) e = e->second.made.expired() ? table_.erase(e) : std::next(e);
      sweepAt_ = std::max<std::size_t>(256, 2 * table_.size());
    }
    table_.emplace(key, Held{check, made});
    return made;
  }

  // Objects the table holds alive (for tests and measurements).
  std::size_t Alive() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t alive = 0;
    for (const auto& e : table_) alive += e.second.made.expired() ? 0 : 1;
    return alive;
  }

 private:
  struct Held {
    std::uint64_t check;
    std::weak_ptr<const T> made;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, Held> table_;
  std::size_t sweepAt_ = 256;
};

}  // namespace spdet

#endif
