// Blocks of levels compared by their shape over the bands: each band's mean over the blocks is
// taken off, then each block's own mean. The cut finder (cut_find.cpp) correlates the clip's
// blocks with the input's so; the speed fit of level reports (emit_speed.cpp) brings them to unit
// length first.
#ifndef SP_DETECTOR_CENTRED_LEVELS_H
#define SP_DETECTOR_CENTRED_LEVELS_H

#include <vector>

namespace spdet {

// blocks[k] (k < count; null: no block) holds levels at bands lo .. lo + bands - 1. out[k * bands
// + j]: block k's level in band j less the band's mean over the blocks there are, less that
// block's mean over the bands after it; zeros for a missing block. Sums in double, bands and
// blocks in order.
void CentreBlocks(const float* const* blocks, int count, int lo, int bands, std::vector<double>& out);

// The correlation of two centred blocks of `bands` values (0 where either has no spread).
double CentredCorrelation(const double* x, const double* y, int bands);

}  // namespace spdet

#endif
