// Which blocks of a clip the input could carry above its own floor (see cut_masked.cpp).
#pragma once

#include <vector>

namespace spdet {

// clip[k * nband + lo..hi]: block k of the clip (oldest first, n of them); input[k]: the input's
// levels aligned with it from `first` on. The clip is heard over blocks [first, from). Sets
// audible[k] (k in [first, n)) to 1 where the block, brought to the input's level, stands out of
// the input's floor in enough of its loud cells to be judged heard or not.
void AudibleBlocks(const float* clip, const float* const* input, int n, int first, int from, int nband, int lo, int hi,
                   std::vector<char>& audible);

}  // namespace spdet
