// The decision layer's report store: the reports not yet taken, and per group the last report,
// so that an occurrence found by both distances (level and shape) is reported once.
#ifndef SP_DETECTOR_REPORT_STORE_H
#define SP_DETECTOR_REPORT_STORE_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "PatternDetector.h"

namespace spdet {

class ReportStore {
 public:
  // Forgets the reports and every group's last one (groups: the number of patterns). Throws
  // std::bad_alloc.
  void Reset(int groups) {
    reports_.clear();
    lastBegin_.assign(static_cast<std::size_t>(groups), -1);
    lastEnd_.assign(static_cast<std::size_t>(groups), -1);
  }
  // Adds r unless it repeats its group's last report: covers more than half of it (or the other
  // way round). Otherwise r becomes the group's last report. Nothing is added when memory runs out.
  void Add(const DetectorReport& r) {
    if (r.Group >= 0 && static_cast<std::size_t>(r.Group) < lastBegin_.size()) {
      const std::size_t g = static_cast<std::size_t>(r.Group);
      const std::int64_t b = lastBegin_[g], e = lastEnd_[g];
      if (e > b) {
        const std::int64_t overlap = std::min(e, r.End) - std::max(b, r.Begin);
        const std::int64_t shorter = std::min(e - b, r.End - r.Begin);
        if (overlap * 2 > shorter) return;
      }
      lastBegin_[g] = r.Begin;
      lastEnd_[g] = r.End;
    }
    try {
      reports_.push_back(r);
    } catch (...) {
    }
  }
  // Drops the reports taken; the groups' last reports stay.
  void Clear() { reports_.clear(); }
  int Count() const { return static_cast<int>(reports_.size()); }
  const DetectorReport* At(int i) const {
    return i >= 0 && i < Count() ? &reports_[static_cast<std::size_t>(i)] : nullptr;
  }

 private:
  std::vector<DetectorReport> reports_;
  std::vector<std::int64_t> lastBegin_, lastEnd_;  // per group: the last report
};

}  // namespace spdet

#endif
