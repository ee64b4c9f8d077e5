// Samples pushed in pieces, as they arrive, converted to what the library takes: mono values
// (full scale 1.0) at any rate in, 16-bit samples at 44100 Hz out. The push counterpart of
// AudioInput, whose sources are pulled: the same resampler settings (libsoxr, high quality) and
// the same rounding to 16 bits.
#ifndef SIGPAT_SAMPLE_STREAM_H
#define SIGPAT_SAMPLE_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sigpat {

class SampleStream {
 public:
  // Throws Error ("NAME: problem") when the rate is not positive or the resampler cannot start.
  SampleStream(const std::string& name, int sourceRate);
  ~SampleStream();
  SampleStream(const SampleStream&) = delete;
  SampleStream& operator=(const SampleStream&) = delete;

  // Converts n values and appends the samples that are ready to out (a resampler keeps some
  // back until more input or End comes).
  void Push(const double* values, std::size_t n, std::vector<std::int16_t>& out);
  // Appends what the resampler still holds.
  void End(std::vector<std::int16_t>& out);

 private:
  void Process(const double* values, std::size_t n, std::vector<std::int16_t>& out);

  std::string name_;
  double ratio_ = 1.0;
  void* resampler_ = nullptr;  // soxr_t when the rate is not 44100 Hz
  std::vector<double> resampled_;
};

}  // namespace sigpat

#endif
