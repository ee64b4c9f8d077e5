// The decision layer's background tracker: per band, the lowest level of the input over the last
// few segments of time blocks (a minimum-statistics estimate: speech pauses, the floor of music,
// steady noise), recorded after every time block, so that a comparison can use the background
// as it was just before an occurrence began. Why and how it is used: docs/detector.md.
#ifndef SP_DETECTOR_BACKGROUND_H
#define SP_DETECTOR_BACKGROUND_H

#include <cstdint>
#include <vector>

namespace spdet {

constexpr float kNoBackground = -1.0e30f;  // a band without a background

class BackgroundTracker {
 public:
  // nband bands; `history` time blocks of backgrounds kept; up to `segments` segments.
  // delayBlocks: whole time blocks of the pipeline delay. Throws std::bad_alloc.
  void Configure(int nband, int history, int segments, int delayBlocks);
  void Reset();

  // After time block `blocks` (counted from 1): takes its levels (nband, dB) into the segment
  // being filled and records the background in force. `started`: the block averages input
  // (the first blocks of a stream average the pipeline's start); segments, segmentBlocks: the
  // tuning (segments beyond what Configure allowed are not used; < 1 turns it off).
  void Track(const float* levels, std::int64_t blocks, bool started, int segments, int segmentBlocks);

  // Sets Levels() to the background that applies to an occurrence of nblock time blocks ending
  // at block `blocks`: the background as it was just before the occurrence began, measured over
  // at least half a segment (or lower now). Without enough audio before it, none: a clip's own
  // steady sound must not be taken for background. Returns 1 when a background is in force.
  int For(int nblock, std::int64_t blocks, int segments, int segmentBlocks);

  // The background in force (nband levels in dB, kNoBackground: none); the self-calibration
  // writes the background it pretends to have measured here.
  float* Levels() { return noise_.data(); }

 private:
  int nband_ = 0;
  int history_ = 0;       // time blocks of backgrounds kept in hist_
  int capacity_ = 0;      // segments allocated
  int delayBlocks_ = 0;
  std::vector<float> seg_;    // capacity_*nband lowest levels of the completed segments
  std::vector<float> cur_;    // nband lowest levels of the segment being filled
  std::vector<float> hist_;   // history_*nband background levels after each time block
  std::vector<float> noise_;  // nband background in force
  int segPos_ = 0;            // next segment slot
  int segFill_ = 0;           // completed segments kept
  int count_ = 0;             // time blocks in the segment being filled
};

}  // namespace spdet

#endif
