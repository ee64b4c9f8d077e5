// The time-spectrum of a whole input through the library's engine (see time_spectrum.h).
#include "time_spectrum.h"

#include <cmath>

#include "SignalPattern.h"
#include "messages.h"

namespace sigpat {

namespace {

// The engine's delay from a sample to the block that holds it (its pre-filter, filter bank and
// averaging), as the engine computes it for pattern creation.
std::int64_t EngineDelay() {
  static const std::int64_t delay = [] {
    TimeSpectrumEstimation e;
    e.InitTimeSpectrumEst(SP_MODE_ALL_BANDS, 2 * kSpectrumBlockSamples, 0, 1);
    return static_cast<std::int64_t>(e.NsDelay);
  }();
  return delay;
}

// Feeds samples a block at a time and keeps each block's band levels.
class SpectrumReader {
 public:
  SpectrumReader() {
    if (engine_.InitTimeSpectrumEst(SP_MODE_ALL_BANDS, kSpectrumBlockSamples, 0, 4) != 1)
      throw Error("the library refused to set up its time-spectrum engine");
    out_.bands = engine_.Nband;
  }
  void Feed(const std::int16_t* samples, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      buf_[fill_++] = static_cast<float>(samples[i]) * kScale;
      if (fill_ == kSpectrumBlockSamples) Block();
    }
    out_.samples += static_cast<std::int64_t>(n);
  }
  TimeSpectrum Finish() {
    // The last partial block and the engine's delay in silence: every sample read reaches a block.
    const std::int64_t closing = fill_ + EngineDelay() + kSpectrumBlockSamples;
    for (std::int64_t k = 0; k < closing; ++k) {
      buf_[fill_++] = 0.0f;
      if (fill_ == kSpectrumBlockSamples) Block();
    }
    const std::size_t wanted = static_cast<std::size_t>(BlockAtSample(out_.samples));
    if (out_.blocks() > wanted) out_.levels.resize(wanted * static_cast<std::size_t>(out_.bands));
    return std::move(out_);
  }

 private:
  static constexpr float kScale = 1.0f / 32767.0f;  // the recognizer's sample scale
  void Block() {
    fill_ = 0;
    const sp_ulong before = engine_.NCurrentSample;
    if (engine_.TimeSpectrumEst(kSpectrumBlockSamples, buf_) != 1) throw Error("the library refused a block of the input");
    if (engine_.NCurrentSample == before) return;
    const float* p = engine_.CurrentTimeBlock().Block;
    for (int b = 0; b < engine_.Nband; ++b) {
      const float v = std::isfinite(p[b]) && p[b] > 1.0e-12f ? p[b] : 1.0e-12f;
      out_.levels.push_back(10.0f * std::log10(v));
    }
  }
  TimeSpectrumEstimation engine_;
  float buf_[kSpectrumBlockSamples];
  int fill_ = 0;
  TimeSpectrum out_;
};

}  // namespace

std::int64_t BlockStartSample(std::int64_t block) { return block * kSpectrumBlockSamples - EngineDelay(); }

std::int64_t BlockAtSample(std::int64_t sample) {
  const std::int64_t x = sample + EngineDelay();
  return x <= 0 ? 0 : (x + kSpectrumBlockSamples - 1) / kSpectrumBlockSamples;
}

TimeSpectrum ComputeTimeSpectrum(AudioInput& input) {
  SpectrumReader reader;
  std::vector<std::int16_t> buf(65536);
  for (std::size_t n; (n = input.Read(buf.data(), buf.size())) > 0;) reader.Feed(buf.data(), n);
  return reader.Finish();
}

TimeSpectrum ComputeTimeSpectrum(const std::int16_t* samples, std::size_t n) {
  SpectrumReader reader;
  reader.Feed(samples, n);
  return reader.Finish();
}

}  // namespace sigpat
