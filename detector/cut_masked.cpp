// Where a clip is quiet, a room's noise can cover it: a whole ident through a small speaker at
// 10-15 dB SNR, whose second half is 10-20 dB under its first, correlated block by block no
// better than what follows a cut, and was reported seen to half (4 of 32 whole airings through
// the development rooms were reported cut short at 0.50-0.89). A block is judged heard or not
// only where the clip, brought to the input's level (by its loud cells where it is heard), stands
// kAbove dB over the input's floor (its lowest level in the band where the clip is heard: the
// room's noise, or a bed under the clip) in at least kAudibleShare of the block's own loud cells
// (a tone step has one or two); a tail of blocks the input's floor covers says nothing of a cut.
#include "cut_masked.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr double kLoud = 15.0;     // the clip's loud cells: within this of its loudest (dB)
constexpr double kAbove = 6.0;     // over the input's floor by this a cell could be heard (dB)
constexpr double kAudibleShare = 0.25;  // of the block's own loud cells

}  // namespace

void spdet::AudibleBlocks(const float* clip, const float* const* input, int n, int first, int from, int nband, int lo, int hi,
                          std::vector<char>& audible) {
  audible.assign(static_cast<std::size_t>(n), 1);
  const int bands = hi - lo + 1;
  if (first >= from || bands <= 0) return;
  const auto at = [&](int k, int band) { return clip[static_cast<std::size_t>(k) * nband + band]; };
  float peak = -1e30f;
  for (int k = first; k < n; ++k)
    for (int band = lo; band <= hi; ++band) peak = std::max(peak, at(k, band));
  double offset = 0.0;
  int count = 0;
  for (int k = first; k < from; ++k)
    for (int band = lo; band <= hi; ++band)
      if (at(k, band) >= peak - kLoud) {
        offset += input[k][band] - at(k, band);
        ++count;
      }
  if (count == 0) return;
  offset /= count;
  std::vector<float> floor(static_cast<std::size_t>(bands), 1e30f);
  for (int k = first; k < from; ++k)
    for (int b = 0; b < bands; ++b) floor[static_cast<std::size_t>(b)] = std::min(floor[static_cast<std::size_t>(b)], input[k][lo + b]);
  for (int k = first; k < n; ++k) {  // the block's own loud cells: within kLoud of its loudest
    float top = -1e30f;
    for (int band = lo; band <= hi; ++band) top = std::max(top, at(k, band));
    int own = 0, over = 0;
    for (int b = 0; b < bands; ++b)
      if (at(k, lo + b) >= top - kLoud) {
        ++own;
        over += at(k, lo + b) + offset >= floor[static_cast<std::size_t>(b)] + kAbove ? 1 : 0;
      }
    audible[static_cast<std::size_t>(k)] = over >= kAudibleShare * own ? 1 : 0;
  }
}
