// The detail check: does the input around a detection hold what the clip's detail print
// holds? Designed to tell a clip from its near relatives (the same sting with another voice)
// through what broadcast chains do (equalisation, compression, talk-over, speed changes of a
// few percent). How it was measured: docs/detail-check.md.
#ifndef SP_DETAIL_CHECK_H
#define SP_DETAIL_CHECK_H

#include "detail_print.h"

namespace spdetail {

struct DetailTuning {
  int searchFrames = 10;       // the clip is looked for this far either side of where it is expected
  int windowFrames = 100;      // compared in windows of 1 s, every half window
  int driftFrames = 4;         // each window may move this far from the previous one's alignment
  float windowDepth_dB = 20;   // cells within this depth under the window's loudest are compared
  float tolerance_dB = 3;      // a cell may fall this far under the window's typical offset
  float globalFloor_dB = 40;   // levels more than this under the loudest count as this for aligning
  float threshold = 1.3f;      // missing score above which a detection is not the clip
  // A tentative detection (the detector's distance beyond its threshold) must also correlate
  // with the clip at least this well: the missing score alone lets through any sound that covers
  // the clip (music, a loud crowd), and clips under 1 s have no window to miss anything in.
  float tentativeCorrelation = 0.5f;
  // ... and its print must be at least this long: over shorter prints (a click, a plop) the
  // correlation with unrelated sound comes close to that by chance.
  int tentativeMinFrames = 15;
  // ... and one that correlates under this as it is is not compared again at other speeds (a
  // speed change of a few percent moves the correlation by a tenth or so; most tentative
  // detections are other sound, far under).
  float tentativeRetryCorrelation = 0.35f;
};

struct DetailResult {
  float missing = 0;   // the worst window's mean shortfall of the clip's loud cells (dB)
  int offset = 0;      // input frame where the clip begins, by the whole-clip alignment
  float correlation = 0;  // of that alignment (0 where the input is flat over the clip's span)
};

// Compares a clip's print with the print of the input around where it was found: the input
// print begins a little before the clip's expected begin (`expected` frames) and ends a little
// after its end. An input shorter than the clip gives missing = +infinity, and so does an
// alignment that correlates under needCorrelation (the windows are then not compared).
DetailResult CompareDetail(const DetailPrint& clip, const DetailPrint& input, int expected,
                           const DetailTuning& tuning = {}, float needCorrelation = -2.0f);

}  // namespace spdetail

#endif
