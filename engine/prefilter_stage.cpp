// The interleaved pre-filter stage (see prefilter_stage.h).
#include "prefilter_stage.h"

#include "../filters/biquad_step.h"

namespace sp {

void InterleavedPrefilter::Start(const float* in, float* out, long n, long keepFrom, const float* coefficients,
                                 float* state) {
  Finish();
  in_ = in;
  out_ = out;
  next_ = 0;
  end_ = n;
  keepFrom_ = keepFrom;
  for (int i = 0; i < 10; ++i) c_[i] = coefficients[i];
  for (int i = 0; i < 4; ++i) s_[i] = state[i];
  state_ = state;
}

__attribute__((noinline)) void InterleavedPrefilter::Advance(long n) {
  if (state_ == nullptr) return;
  const float* in = in_;
  float* out = out_;
  const long keepFrom = keepFrom_;
  const BiquadCoefficients first(c_), second(c_ + 5);
  float w1 = s_[0], w2 = s_[1], W1 = s_[2], W2 = s_[3];
  long next = next_;
  const long stop = next + n < end_ ? next + n : end_;
  for (; next < stop; ++next) {
    const float Y = BiquadStep(second, BiquadStep(first, in[next], w1, w2), W1, W2);
    if ((next & 3) == 0) out[next >> 2] = Y;
    if (next >= keepFrom) out[next] = Y;
  }
  next_ = next;
  s_[0] = w1;
  s_[1] = w2;
  s_[2] = W1;
  s_[3] = W2;
}

void InterleavedPrefilter::Finish() {
  if (state_ == nullptr) return;
  Advance(end_ - next_);
  for (int i = 0; i < 4; ++i) state_[i] = s_[i];
  state_ = nullptr;
}

}  // namespace sp
