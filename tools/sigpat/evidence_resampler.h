// Changes the rate of evidence audio before it is encoded: a polyphase windowed-sinc filter,
// short (16 taps an output sample), for audio that is listened to and scanned again, not for
// the recognizer's own input (scanning/ resamples that with soxr at its best quality).
//
// Output sample j is the input's sound at the moment j * from / to in input samples: no delay,
// so a moment in the evidence is the same moment at either rate. Samples past either end count
// as silence; a constant gives back the same constant away from the ends.
#ifndef SIGPAT_EVIDENCE_RESAMPLER_H
#define SIGPAT_EVIDENCE_RESAMPLER_H

#include <cstdint>
#include <vector>

namespace sigpat {

class EvidenceResampler {
 public:
  // Both rates positive. Filters the band above the lower of the two Nyquist frequencies.
  EvidenceResampler(int fromRate, int toRate);
  // round(in.size() * to / from) samples (at least one for a non-empty input).
  std::vector<std::int16_t> Run(const std::vector<std::int16_t>& in) const;

 private:
  template <int kFixed>  // taps per phase, 0: taps_
  std::vector<std::int16_t> Filter(const std::vector<std::int16_t>& in) const;

  std::int64_t up_ = 1, down_ = 1;  // the ratio to / from in lowest terms
  int taps_ = 0;                    // per phase: input samples an output sample is made of
  int before_ = 0;                  // of them, those up to and including the output's moment
  std::vector<float> table_;        // up_ phases of taps_ coefficients, each phase summing to 1
};

}  // namespace sigpat

#endif
