// The matching kernels in portable scalar code, one lane after the other (see match_lanes.h).
#include <cmath>

#include "match_lanes.h"

namespace sp::kernels {

void GroupSumsScalar(const float* rows, MatchLanes* const* sets, int count, int width) {
  const int kmax = LongestLane(sets, count, width);
  for (int i = 0; i < count; ++i) {
    MatchLanes& s = *sets[i];
    for (int l = 0; l < width; ++l) {
      float sum = 0.0f;
      for (int k = 0; k < kmax; ++k) sum += k < s.n[l] ? rows[kMatchRow * k + s.band[l]] * s.lg[l] : 0.0f;
      s.sum[l] = sum;
    }
  }
}

void GroupDeviationsScalar(const float* rows, MatchLanes* const* sets, int count, int width) {
  const int kmax = LongestLane(sets, count, width);
  for (int i = 0; i < count; ++i) {
    MatchLanes& s = *sets[i];
    for (int l = 0; l < width; ++l) {
      float acc = 0.0f;
      for (int k = 1; k < kmax - 1; ++k) {
        const float p = s.pattern[static_cast<long>(width) * k + l];
        const float c = rows[kMatchRow * k + s.band[l]] * s.lg[l] * s.gain[l];
        acc += std::isnan(p) ? 0.0f : std::fabs(c - p);
      }
      s.acc[l] = acc;
    }
  }
}

void PatternSumsScalar(const float* rows, int N, MatchLanes* const* sets, int count) {
  for (int i = 0; i < count; ++i) {
    MatchLanes& s = *sets[i];
    for (int b = 0; b < kMatchRow; ++b) {
      float sum = 0.0f;
      for (int k = 0; k < N; ++k) sum += rows[kMatchRow * k + b] * s.lg[0];
      s.sum[b] = sum;
    }
  }
}

void PatternDeviationsScalar(const float* rows, int N, MatchLanes* const* sets, int count) {
  for (int i = 0; i < count; ++i) {
    MatchLanes& s = *sets[i];
    for (int b = 0; b < kMatchRow; ++b) {
      float acc = 0.0f;
      for (int k = 1; k < N - 1; ++k) {
        const long at = static_cast<long>(kMatchRow) * k + b;
        const float c = rows[at] * s.lg[0] * s.gain[b];
        acc += s.range[at] == 3 ? 0.0f : std::fabs(c - s.pattern[at]);
      }
      s.acc[b] = acc;
    }
  }
}

}  // namespace sp::kernels
