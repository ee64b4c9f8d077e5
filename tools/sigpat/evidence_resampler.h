// Changes the rate of evidence audio before it is encoded: a polyphase windowed-sinc filter,
// short (16 taps an output sample), for audio that is listened to and scanned again.
//
// Output sample j is the input's sound at the moment j * from / to in input samples: no delay,
// so a moment in the evidence is the same moment at either rate. Samples past either end count
// as silence; a constant gives back the same constant away from the ends.
#ifndef SIGPAT_EVIDENCE_RESAMPLER_H
#define SIGPAT_EVIDENCE_RESAMPLER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sigpat {

class EvidenceResampler {
 public:
  // Both rates positive. Filters the band above the lower of the two Nyquist frequencies.
  EvidenceResampler(int fromRate, int toRate);
  // round(in.size() * to / from) samples (at least one for a non-empty input).
  std::vector<std::int16_t> Run(const std::vector<std::int16_t>& in) const;
  // The same samples handed to `sink` a block of at most kBlock at a time, in order: the buffers
  // stay in the processor's cache (a minute of evidence whole at both rates was 8 MB, whose
  // page faults and cache misses cost more processor time than the filtering saved).
  static constexpr std::size_t kBlock = 4096;
  void Stream(const std::vector<std::int16_t>& in, const std::function<void(const std::int16_t*, std::size_t)>& sink) const;
  // The same as floats on the scale of 1.0 for 32768, neither rounded nor clamped (for an
  // encoder that takes floats: the rounding would only be undone).
  void StreamFloats(const std::vector<std::int16_t>& in, const std::function<void(const float*, std::size_t)>& sink) const;

 private:
  template <typename Sample>
  void Dispatch(const std::vector<std::int16_t>& in, const std::function<void(const Sample*, std::size_t)>& sink) const;
  template <int kFixed, typename Sample>  // taps per phase, 0: taps_
  void Filter(const std::vector<std::int16_t>& in, const std::function<void(const Sample*, std::size_t)>& sink) const;

  std::int64_t up_ = 1, down_ = 1;  // the ratio to / from in lowest terms
  int taps_ = 0;                    // per phase: input samples an output sample is made of
  int before_ = 0;                  // of them, those up to and including the output's moment
  // up_ phases of taps_ coefficients, each phase summing to 1, four to a vector register's width
  // (aligned to it: a multiply reads them from memory without a load of their own).
  typedef float Quad __attribute__((vector_size(16)));
  std::vector<Quad> table_;
};

}  // namespace sigpat

#endif
