// The decision layer's report store: the reports not yet taken, and per group its recent
// reports, so that an occurrence found by both distances (level and shape), or whole and in
// part, is reported once.
#ifndef SP_DETECTOR_REPORT_STORE_H
#define SP_DETECTOR_REPORT_STORE_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "PatternDetector.h"

namespace spdet {

class ReportStore {
 public:
  // Forgets the reports and every group's recent ones (groups: the number of patterns). Throws
  // std::bad_alloc.
  void Reset(int groups) {
    reports_.clear();
    recent_.assign(static_cast<std::size_t>(groups) * kRecent, Span());
  }
  // Adds r unless it repeats one of its group's recent reports: covers more than half of it (or
  // the other way round; a partial occurrence may be decided after the whole one, with other
  // reports of the group in between). A tentative report repeats any of them; a firm one only
  // firm ones (the check after the detector may drop the tentative one). Otherwise r becomes the
  // group's newest report. Nothing is added when memory runs out.
  void Add(const DetectorReport& r) {
    if (Known(r.Group)) {
      Span* spans = &recent_[static_cast<std::size_t>(r.Group) * kRecent];
      if (std::any_of(spans, spans + kRecent, [&r](const Span& s) { return (r.Tentative || !s.tentative) && Overlaps(s, r); }))
        return;
      std::copy_backward(spans, spans + kRecent - 1, spans + kRecent);
      spans[0] = Span{r.Begin, r.End, r.Tentative != 0};
    }
    try {
      reports_.push_back(r);
    } catch (...) {
    }
  }
  // Drops the reports taken; the groups' recent reports stay.
  void Clear() { reports_.clear(); }
  int Count() const { return static_cast<int>(reports_.size()); }
  const DetectorReport* At(int i) const {
    return i >= 0 && i < Count() ? &reports_[static_cast<std::size_t>(i)] : nullptr;
  }

 private:
  static constexpr std::size_t kRecent = 4;  // reports remembered per group, newest first
  struct Span {
    std::int64_t begin = -1, end = -1;
    bool tentative = false;
  };
  bool Known(int group) const { return group >= 0 && static_cast<std::size_t>(group) * kRecent < recent_.size(); }
  static bool Overlaps(const Span& s, const DetectorReport& r) { return s.end > s.begin && r.SameOccurrence(s.begin, s.end); }

  std::vector<DetectorReport> reports_;
  std::vector<Span> recent_;  // per group, kRecent spans
};

}  // namespace spdet

#endif
