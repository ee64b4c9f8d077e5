// The pre-selection's kernels, one value at a time (see preselect_lanes.h).
#include "preselect_lanes.h"

#include <algorithm>
#include <cmath>

namespace sp::kernels {

float ChunkPeakScalar(const float* rows, int n, std::int64_t at, std::int64_t step, std::int64_t capacity) {
  float peak = 0.0f;
  for (int c = 0; c < n; ++c) {
    const float* y = rows + static_cast<std::size_t>(at) * kSketchWidth;
    for (int b = 0; b < kSketchWidth; ++b) peak = std::max(peak, std::fabs(y[b]));
    at -= step;
    if (at < 0) at += capacity;
  }
  return peak;
}

void StepRowScalar(const float* row, float scale, std::int16_t* out) {
  for (int b = 0; b < kSketchWidth; ++b)
    out[b] = static_cast<std::int16_t>(std::max(-32768.0f, std::min(32767.0f, std::nearbyint(row[b] * scale))));
}

std::int32_t CodeDotScalar(const std::int8_t* codes, const std::int16_t* steps, int chunks) {
  std::int32_t sum = 0;
  for (int i = 0; i < chunks * kSketchWidth; ++i) sum += static_cast<std::int32_t>(codes[i]) * steps[i];
  return sum;
}

}  // namespace sp::kernels
