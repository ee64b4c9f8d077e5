// Where an airing cut short stops: the block at which the input stops matching the clip.
//
// The whole-clip and part comparisons judge what was heard by pieces (a tenth to a fifth of the
// clip each), so the fraction they give is off by up to a piece: a clip cut after 70 % came out
// as seen to 79 %, and the check after the detector, which compares the fraction reported in
// detail, then found the last 9 % missing and dropped the airing (a 4 s spot cut after 65-85 %
// was lost where one cut after 55 % or 90 % was found). Here every block of the clip from
// PartialMinSeen on is compared with the input's block aligned with it: the correlation over the
// bands of the two levels, each with its band means over the window taken off and its own mean.
// The cut is where the sum of (correlation - level) from PartialMinSeen on is greatest: up to it
// the clip mostly matches, after it mostly not. Where the pieces found a cut, it only ever lowers
// the fraction they gave (with the band means of a window half noise, a few cuts came out late,
// never early).
//
// Where they found none, or for the level distance, which judges the clip whole, a clip cut after
// 80-90 % under a bed can still pass whole (the bed hides what did not play): before, its report
// said seen 1.0, the shape path's report of it was a repeat, and the check after the detector
// dropped the airing for its missing tail (12 tone-step spots cut after 80 %: 3 found, 85 %: 0).
// There the level is relative to how well the clip's first part matches, and a cut is taken only
// where the tail after it is long enough and the input lacks the clip's loud cells there: talked
// over to its end, a clip is still under the voice.
#include <algorithm>
#include <cmath>
#include <vector>

#include "cut_find.h"
#include "detector_core.h"
#include "distance.h"

namespace {
// How close (a share of the clip) the two placements of a cut must come to correct the pieces'.
constexpr float kCutAgree = 0.02f;
}  // namespace

// Pattern i's window ending at block `end` at speed step `shift`; `seen`: the fraction the pieces
// gave. Returns it, lowered to the cut where the blocks say so. Where the pieces found the clip
// whole (seen 1), the blocks still may find it cut: see Heard. whole: the whole clip passed (seen
// comes from its newest pieces, not from a part that passed alone).
float spdet::DetectorCore::CutSeen(int i, int shift, std::int64_t end, std::int64_t fed, float seen, bool whole) {
  const int n = Patterns[i].Nblock - 1;
  const int from = static_cast<int>(std::ceil(Tuning.PartialMinSeen * static_cast<float>(n)));
  const std::int64_t newest = fed - 1;
  const int length = n - shift;  // blocks of input the window spans at that speed
  if (n < 2 || from >= n || length < 2 || end > newest) return seen;
  // The input's block aligned with block k of the clip (oldest first); the ring holds Longest + 1
  // blocks back from the newest.
  std::vector<const float*>& input = CutInput;
  input.assign(static_cast<std::size_t>(n), nullptr);
  int first = n;
  for (int k = n - 1; k >= 0; --k) {
    const std::int64_t back = (newest - end) + std::llround(static_cast<double>(n - 1 - k) * length / n);
    if (back < 0 || back > Longest) break;
    int row = RingPos - static_cast<int>(back) * SubSteps;
    row = ((row % RingLength) + RingLength) % RingLength;
    input[static_cast<std::size_t>(k)] = LogRing.data() + static_cast<long>(row) * Nband;
    first = k;
  }
  if (first > from) return seen;
  if (seen >= 1.0f) return Heard(i, first, false);
  // (Where what the pieces missed is under the input's floor, the blocks take the clip for whole.)
  float step = -1.0f;
  const float heard = Heard(i, first, true, whole ? &step : nullptr);
  if (heard >= 1.0f) return 1.0f;
  // Where the whole clip passed, its newest pieces that correlate too little say it was cut, but
  // a piece is a tenth to a fifth of the clip: an advert cut after 82 % came out as seen to 69 %.
  // Where the blocks place the cut later and the step that fits their correlations best places
  // it within kCutAgree of that, the two agree on a cut the pieces could not resolve, and it
  // stands. (Where they disagree, the next item's bed kept correlating with the clip: a sweeper
  // cut after 59 % was heard to 93 % by the gain, to 75 % by the step. A part that passed alone
  // keeps its fraction as the longest: after a sweeper cut at 60 %, the next item's tone steps
  // took both past the cut alike.)
  if (whole && heard > seen && std::fabs(step - heard) <= kCutAgree) return heard;
  return std::min(seen, heard);
}

// Pattern i's blocks against CutInput (the input's blocks aligned with them from `first`
// on): the fraction heard (cut_find.h), from PartialMinSeen on; `cut`: the pieces found the clip
// cut. step (unless null, with `cut`): where the best-fitting step places the cut (FractionHeard's
// `step`).
float spdet::DetectorCore::Heard(int i, int first, bool cut, float* step) {
  const int n = Patterns[i].Nblock - 1;
  const int from = static_cast<int>(std::ceil(Tuning.PartialMinSeen * static_cast<float>(n)));
  const int lo = std::max(0, Engine->BandFirst), hi = std::min(Nband - 1, Engine->BandLast);
  if (hi - lo + 1 < 3 || from >= n || (!cut && n < 10)) return 1.0f;
  if (step != nullptr && cut)
    *step = spdet::FractionHeard(HeldClipLevels(i), CutInput.data(), n, first, from, Nband, lo, hi, true, nullptr, true, false);
  return spdet::FractionHeard(HeldClipLevels(i), CutInput.data(), n, first, from, Nband, lo, hi, cut, nullptr, false,
                              /*floorMasks=*/cut);
}

// The level distance judges the clip whole; at its alignment `phase` steps before the newest,
// the blocks say whether the clip was cut (see Heard). Returns the fraction heard, 1 for a clip
// heard whole.
float spdet::DetectorCore::LevelSeen(int i, int phase) {
  const int n = Patterns[i].Nblock - 1;
  if (n < 2 || n >= Longest) return 1.0f;
  // Block k of the clip (oldest first) is the pattern's block n - k (newest first).
  const AlignedInput aligned{LogRing.data(), RingLength, RingPos, Nband, SubSteps, Blocks};
  std::vector<const float*>& input = CutInput;
  input.resize(static_cast<std::size_t>(n) + 1);
  aligned.Segment(phase, n + 1, input.data());
  std::reverse(input.begin(), input.end());
  input.pop_back();
  return Heard(i, 0, false);
}
