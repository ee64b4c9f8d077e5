// Blocks of levels centred over the blocks and the bands: see centred_levels.h.
#include "centred_levels.h"

#include <cmath>
#include <cstddef>

void spdet::CentreBlocks(const float* const* blocks, int count, int lo, int bands, std::vector<double>& out) {
  const std::size_t width = static_cast<std::size_t>(bands);
  std::vector<double> mean(width, 0.0);
  int present = 0;
  for (int k = 0; k < count; ++k) {
    if (blocks[k] == nullptr) continue;
    for (std::size_t j = 0; j < width; ++j) mean[j] += blocks[k][lo + static_cast<int>(j)];
    ++present;
  }
  if (present > 0)
    for (double& m : mean) m /= present;
  out.assign(static_cast<std::size_t>(count) * width, 0.0);
  for (int k = 0; k < count; ++k) {
    if (blocks[k] == nullptr) continue;
    double* x = out.data() + static_cast<std::size_t>(k) * width;
    double own = 0.0;
    for (std::size_t j = 0; j < width; ++j) own += x[j] = blocks[k][lo + static_cast<int>(j)] - mean[j];
    own /= bands;
    for (std::size_t j = 0; j < width; ++j) x[j] -= own;
  }
}

double spdet::CentredCorrelation(const double* x, const double* y, int bands) {
  double xy = 0.0, xx = 0.0, yy = 0.0;
  for (int j = 0; j < bands; ++j) {
    xy += x[j] * y[j];
    xx += x[j] * x[j];
    yy += y[j] * y[j];
  }
  return xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
}
