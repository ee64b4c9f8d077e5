// A process-wide table of values worked out from a pattern (its calibrations), by a hash of what
// they depend on, bounded by recent use: a monitor reloaded with new spots for months keeps the
// values of the catalogues it set up lately, not of every pattern it ever held. When the table
// reaches its limit the half used longest ago goes. A set-up looks up or keeps the values of each
// of its patterns, so once it is done the table holds its whole catalogue whenever the limit is
// at least twice the catalogue; what went is found again from the cache directory or worked out
// anew. Shared by threads.
#ifndef SP_DETECTOR_RECENT_TABLE_H
#define SP_DETECTOR_RECENT_TABLE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace spdet {

template <typename T>
class RecentTable {
 public:
  explicit RecentTable(std::size_t limit) : limit_(std::max<std::size_t>(limit, 2)) {}

  // The value kept for key, marked as used now.
  bool Find(std::uint64_t key, T& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(key);
    if (it == table_.end()) return false;
    it->second.used = ++clock_;
    out = it->second.value;
    return true;
  }

  // Keeps value for key (over what was kept for it), sweeping first when the table is full.
  void Keep(std::uint64_t key, const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(key);
    if (it != table_.end()) {
      it->second = Entry{value, ++clock_};
      return;
    }
    if (table_.size() >= limit_) Sweep();
    table_.emplace(key, Entry{value, ++clock_});
  }

  std::size_t Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_.size();
  }

 private:
  struct Entry {
    T value;
    std::uint64_t used;
  };

  // Drops the half of the entries used longest ago.
  void Sweep() {
    std::vector<std::uint64_t> stamps;
    stamps.reserve(table_.size());
    for (const auto& e : table_) stamps.push_back(e.second.used);
    const auto middle = stamps.begin() + static_cast<std::ptrdiff_t>(stamps.size() / 2);
    std::nth_element(stamps.begin(), middle, stamps.end());
    const std::uint64_t keepFrom = *middle;
    for (auto e = table_.begin(); e != table_.end();) e = e->second.used < keepFrom ? table_.erase(e) : std::next(e);
  }

  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, Entry> table_;
  std::uint64_t clock_ = 0;
  std::size_t limit_;
};

}  // namespace spdet

#endif
