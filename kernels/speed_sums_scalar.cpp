// The coarse pass's sums over speeds in portable scalar code (see speed_sums.h).
#include "speed_sums.h"

namespace sp::kernels {

void SpeedSumsScalar(const float* values, const int* shifts, int pieces, int span, int padded, int slot, float* num,
                     float* norm) {
  for (int k = 0; k < padded; ++k) num[k] = norm[k] = 0.0f;
  for (int j = 0; j < pieces; ++j) {
    const float* h = values + 2L * j * span;
    const int* s = shifts + static_cast<long>(j) * padded;
    for (int k = 0; k < padded; ++k) {
      int at = slot + s[k];
      if (at >= span) at -= span;
      else if (at < 0) at += span;
      num[k] += h[2 * at];
      norm[k] += h[2 * at + 1];
    }
  }
}

}  // namespace sp::kernels
