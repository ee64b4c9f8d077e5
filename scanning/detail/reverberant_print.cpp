#include "reverberant_print.h"

#include <algorithm>
#include <cmath>

namespace spdetail {

DetailPrint Reverberant(const DetailPrint& print, float rt60, float drrDb) {
  DetailPrint out = print;
  if (!(rt60 > 0.0f) || print.frames <= 0) return out;
  // Energy left of a frame's sound one frame later, and the tail's weight (its sum over all
  // later frames is drrDb under the direct sound).
  const double a = std::pow(10.0, -6.0 * kHop / 44100.0 / rt60);
  const double g = std::pow(10.0, -drrDb / 10.0) * (1.0 - a) / a;
  for (int b = 0; b < kBands; ++b) {
    double tail = 0.0, before = 0.0;
    for (int f = 0; f < print.frames; ++f) {
      float& level = out.levels[static_cast<std::size_t>(f) * kBands + static_cast<std::size_t>(b)];
      tail = a * (tail + before);
      before = std::pow(10.0, level / 10.0);
      level = static_cast<float>(10.0 * std::log10(std::max(before + g * tail, 1.0e-30)));
    }
  }
  return out;
}

}  // namespace spdetail
