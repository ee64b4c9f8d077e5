// The ring mean in portable scalar code (see ring_mean.h).
#include "ring_mean.h"

namespace sp::kernels {

void RingMeanScalar(const float* ring, int rows, int pos, int nband, float scale, float* out) {
  for (int b = 0; b < nband; ++b) out[b] = RingMeanOfBand(ring, rows, pos, nband, scale, b);
}

}  // namespace sp::kernels
