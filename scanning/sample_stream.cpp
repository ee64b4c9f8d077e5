#include "sample_stream.h"

#include <soxr.h>

#include "audio_input.h"
#include "messages.h"

namespace sigpat {

SampleStream::SampleStream(const std::string& name, int sourceRate) : name_(name) {
  if (sourceRate < 1) throw Error(name + ": the sample rate " + std::to_string(sourceRate) + " Hz is not positive");
  if (sourceRate == kLibraryRate) return;
  ratio_ = static_cast<double>(kLibraryRate) / sourceRate;
  soxr_error_t err = nullptr;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_t s = soxr_create(sourceRate, kLibraryRate, 1, &err, &io, &quality, nullptr);
  if (s == nullptr || err != nullptr)
    throw Error(name + ": cannot resample from " + std::to_string(sourceRate) + " Hz (" +
                (err != nullptr ? err : "soxr") + ")");
  resampler_ = s;
}

SampleStream::~SampleStream() {
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
}

void SampleStream::Push(const double* values, std::size_t n, std::vector<std::int16_t>& out) {
  if (n == 0) return;
  if (resampler_ == nullptr) {
    const std::size_t at = out.size();
    out.resize(at + n);
    for (std::size_t i = 0; i < n; ++i) out[at + i] = ToSample16(values[i]);
    return;
  }
  Process(values, n, out);
}

void SampleStream::End(std::vector<std::int16_t>& out) {
  if (resampler_ != nullptr) Process(nullptr, 0, out);  // no input: the resampler drains
}

void SampleStream::Process(const double* values, std::size_t n, std::vector<std::int16_t>& out) {
  soxr_t s = static_cast<soxr_t>(resampler_);
  std::size_t done = 0;
  while (true) {
    resampled_.resize(static_cast<std::size_t>((n - done) * ratio_) + 4096);
    std::size_t used = 0, made = 0;
    soxr_error_t err = soxr_process(s, values != nullptr ? values + done : nullptr, n - done, &used,
                                    resampled_.data(), resampled_.size(), &made);
    if (err != nullptr) throw Error(name_ + ": resampler error (" + err + ")");
    done += used;
    for (std::size_t i = 0; i < made; ++i) out.push_back(ToSample16(resampled_[i]));
    // Input left, or the output buffer was filled (more may be waiting).
    if (done < n || made == resampled_.size()) continue;
    break;
  }
}

}  // namespace sigpat
