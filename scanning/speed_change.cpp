#include "speed_change.h"

#include <soxr.h>

#include <cmath>
#include <string>

#include "audio_input.h"
#include "messages.h"

namespace sigpat {

std::vector<float> Resample(const std::vector<float>& in, double inRate, double outRate) {
  if (in.empty() || inRate == outRate) return in;
  std::vector<float> out(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * outRate / inRate)) + 16);
  std::size_t done = 0;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
  soxr_runtime_spec_t rt = soxr_runtime_spec(1);
  soxr_error_t err = soxr_oneshot(inRate, outRate, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done,
                                  &io, &q, &rt);
  if (err != nullptr) throw Error(std::string("cannot resample the clip: ") + err);
  out.resize(done);
  return out;
}

std::vector<float> ChangeSpeed(const std::vector<float>& in, double percent) {
  // Read as if recorded at a higher rate and converted back to the stream's rate: played faster.
  return Resample(in, kLibraryRate * (1.0 + percent / 100.0), kLibraryRate);
}

}  // namespace sigpat
