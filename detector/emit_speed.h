// The speed at which an airing the level distance found was played, measured when it is reported:
// the level distance compares the clip block for block, so it carries no speed, and the end it
// gives an airing played faster or slower (a speed or tempo step) is the clip's length from its
// begin. Here the clip's blocks are fitted to the input around the level alignment at a range of
// stretch factors and shifts; the best fit places the airing's begin and end.
// docs/versions.md, "Ends at speed and tempo steps".
#ifndef SP_DETECTOR_EMIT_SPEED_H
#define SP_DETECTOR_EMIT_SPEED_H

#include <vector>

namespace spdet {

// The fit of a clip n blocks long (block k, oldest first, at input step middle + (k - (n-1)/2) *
// factor * steps + offset, `steps` alignment steps per time block).
struct StretchFit {
  double factor = 1.0;  // input time per clip time (over 1: played slower)
  double offset = 0.0;  // steps the clip's middle block lies after the alignment's
  double score = 0.0;   // mean correlation of the clip's blocks with the input's at the fit
  double unit = 0.0;    // the same at factor 1, at its best offset
};

// clip: n blocks of nband levels, oldest first; rows[j]: the input's levels j steps after the
// first one kept (null where not known); middle: where the clip's middle block lies among them at
// factor 1 (the level alignment). Bands lo..hi are compared; factors up to maxStretch from 1 are
// tried.
StretchFit FitStretch(const float* clip, int n, int nband, int lo, int hi, const std::vector<const float*>& rows,
                      double middle, int steps, double maxStretch);

}  // namespace spdet

#endif
