// The background tracker (background.h).
#include "background.h"

#include <algorithm>
#include <cstring>

namespace spdet {

namespace {
constexpr float kAboveAll = 1.0e30f;
}

void BackgroundTracker::Configure(int nband, int history, int segments, int delayBlocks) {
  nband_ = nband;
  history_ = history;
  capacity_ = segments > 0 ? segments : 1;
  delayBlocks_ = delayBlocks;
  seg_.assign(static_cast<std::size_t>(capacity_) * nband, 0.0f);
  cur_.assign(static_cast<std::size_t>(nband), kAboveAll);
  hist_.assign(static_cast<std::size_t>(history_) * nband, kNoBackground);
  noise_.assign(static_cast<std::size_t>(nband), kNoBackground);
  Reset();
}

void BackgroundTracker::Reset() {
  segPos_ = segFill_ = count_ = 0;
  std::fill(cur_.begin(), cur_.end(), kAboveAll);
  std::fill(hist_.begin(), hist_.end(), kNoBackground);
  std::fill(noise_.begin(), noise_.end(), kNoBackground);
}

void BackgroundTracker::Track(const float* levels, std::int64_t blocks, bool started, int segments,
                              int segmentBlocks) {
  float* hist = hist_.data() + static_cast<long>(blocks % history_) * nband_;
  // The number of segments in force: as tuned, at most what was allocated.
  const int segs = segments < capacity_ ? segments : capacity_;
  if (segs < 1 || segmentBlocks < 1 || !started) {
    for (int b = 0; b < nband_; ++b) hist[b] = kNoBackground;
    return;
  }
  float* cur = cur_.data();
  for (int b = 0; b < nband_; ++b)
    if (levels[b] < cur[b]) cur[b] = levels[b];
  if (++count_ >= segmentBlocks) {
    std::memcpy(seg_.data() + static_cast<long>(segPos_) * nband_, cur, sizeof(float) * nband_);
    segPos_ = (segPos_ + 1) % segs;
    if (segFill_ < segs) ++segFill_;
    count_ = 0;
    for (int b = 0; b < nband_; ++b) cur[b] = kAboveAll;
  }
  for (int b = 0; b < nband_; ++b) {
    float v = cur[b];
    for (int s = 0; s < segFill_; ++s) {
      const float m = seg_[static_cast<long>(s) * nband_ + b];
      if (m < v) v = m;
    }
    hist[b] = v;
  }
}

int BackgroundTracker::For(int nblock, std::int64_t blocks, int segments, int segmentBlocks) {
  const std::int64_t before = blocks - nblock - delayBlocks_ - 2;
  float* noise = noise_.data();
  if (segments < 1 || before < segmentBlocks / 2 || blocks - before >= history_) {
    for (int b = 0; b < nband_; ++b) noise[b] = kNoBackground;
    return 0;
  }
  const float* then = hist_.data() + static_cast<long>(before % history_) * nband_;
  const float* now = hist_.data() + static_cast<long>(blocks % history_) * nband_;
  for (int b = 0; b < nband_; ++b) noise[b] = then[b] < now[b] ? then[b] : now[b];
  return 1;
}

}  // namespace spdet
