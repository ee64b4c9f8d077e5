// Where an airing cut short stops, from the blocks of the clip and of the input aligned with them
// (cut_point.cpp for the detector's paths, version_arbiter.cpp for a version decided among its
// relatives). docs/versions.md, "Spots cut after 65-90 %".
#ifndef SP_DETECTOR_CUT_FIND_H
#define SP_DETECTOR_CUT_FIND_H

#include <vector>

namespace spdet {

// The least correlation of a block taken for heard where the clip is known to be cut. On
// tone-step spots of 4 s cut after 55-90 % under a noise bed, 0.3 found the most of them (0.2: a
// few cuts placed late).
constexpr double kCutTail = 0.3;

// Where the input stops matching the clip: clip[k * nband + lo..hi] is block k of the clip (oldest
// first, n of them), input[k] the input's levels aligned with it (from `first` on; null before).
// The cut (blocks heard, from `from` on) is where the sum of (correlation - level) is greatest
// (level < 0: -level times the mean correlation of the blocks before `from`, at least kCutTail
// where `cut`, the pieces having found the clip cut).
struct Cut {
  int heard = 0;
  double missing = 0.0;  // (relative level only) the share of the tail's loud cells the input lacks
  double head = 0.0;     // the mean correlation of the blocks before `from`
  bool covered = false;  // (with floorMasks) what the blocks did not hear, the input's floor covers
  std::vector<double> correlation;  // of each block from `first` on
};

// floorMasks (where `cut`): blocks the input could not carry over its own floor (cut_masked.h)
// are left out, and a cut whose tail holds under 5 % of the clip's blocks that it could is none
// (a tail shorter than that can hold no such share: there the cut stands).
Cut FindCut(const float* clip, const float* const* input, int n, int first, int from, int nband, int lo, int hi, double level,
            bool cut, bool floorMasks = false);

// The fraction of the clip heard (blocks as for FindCut, from `from` on). Where `cut` (the
// reports found the clip cut), a block counts as heard while it correlates over 0.7 times what the blocks before `from` do (at least kCutTail); else over 0.6
// times, and the clip is taken for whole unless the tail not heard is at least 8 % of it and the
// input lacks 30 % of the clip's loud cells there (talked over to its end, a clip is still under
// the voice). head (unless null): the mean correlation of the blocks before `from`. step (the
// airing decided with its input known after it): with `cut`, the cut is where a step (heard
// before it, not after) fits the blocks' correlations best in the least squares (a stretch that
// matches less well before the cut, 0.3 against 0.5-0.8 through a station chain, counts as
// heard, where the level above cut there); else a tail of 3 % not heard (under a third of the
// first half's correlation and under kCutTail) that lacks 5 % of the loud cells is a cut.
// envelope (with `cut` and `step`, blocks): a block also counts as heard as well as the clip's
// level and the input's rise and fall together over that many blocks around it (through a
// station chain's compression the blocks' spectra match 0.2-0.5 where the levels still follow
// the clip 0.6-0.9, and the step came out at the first half's end).
float FractionHeard(const float* clip, const float* const* input, int n, int first, int from, int nband, int lo, int hi,
                    bool cut, double* head = nullptr, bool step = false, bool floorMasks = false, int envelope = 0);

}  // namespace spdet

#endif
