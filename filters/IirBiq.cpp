// Cascade of second-order IIR sections (biquads) in direct form II.
//
// Section s uses the five coefficients a1, a2, b0, b1, b2 at Coef[5*s] and the delay line
// w1, w2 at State[2*s]. The owner keeps the delay line from block to block.
#include "IirBiq.h"
#include "biquad_step.h"

#include <climits>
#include <cstddef>
#include <new>

#include "sp_message.h"

// Standard low-pass pre-filter for 44100 Hz input, applied before keeping every 4th sample:
// flat within -1.5 .. +1.3 dB up to 3.5 kHz, -34 dB at 5 kHz, at least 47 dB down from
// 5.5 kHz up (transmission zeros near 5.82 kHz and 10.88 kHz).
const float StandardBiquadCoefficients[10] = {
    // section 1: a1, a2, b0, b1, b2
    -1.73526096f, 0.791907489f, 0.0241256207f, -0.00102735299f, 0.0240287408f,
    // section 2: a1, a2, b0, b1, b2
    -1.71247995f, 0.932301819f, 0.344159514f, -0.464873105f, 0.34401229f,
};

float* IniIirBiq(int Nbiq, float* Buf) {
  if (Nbiq < 1) {
    sp::LogLine(0, CP1251("IniIirBiq(), ошибка во вх. параметре:"));
    sp::LogFormat(0, CP1251("число бикв. звеньев Nbiq=%d"), Nbiq);
    return nullptr;
  }
  const std::size_t length = 2 * static_cast<std::size_t>(Nbiq);
  float* line = Buf;
  if (line == nullptr) {
    // A delay line longer than an int can count cannot be allocated either.
    if (Nbiq <= INT_MAX / 2) line = new (std::nothrow) float[length];
    if (line == nullptr) {
      sp::LogLine(0, CP1251("IniIirBiq(): не выделить память для линии задержки"));
      sp::LogFormat(0, CP1251("длина линии задержки %d элементов"),
                    static_cast<int>(2u * static_cast<unsigned>(Nbiq)));
      return nullptr;
    }
  }
  for (std::size_t i = 0; i < length; ++i) line[i] = 0.0f;
  return line;
}

int IirBiq(int Nbiq, float* Coef, int Nsample, float* In, float* Out, float* State, int /*Reserved*/) {
  if (Nbiq < 1 || Nsample < 1 || Coef == nullptr || In == nullptr || Out == nullptr || State == nullptr) {
    sp::LogLine(0, CP1251("IirBiq(): ошибка во входных параметрах"));
    return 0;
  }
  // Sections go over the whole block two at a time: the second section of a pair takes the
  // first one's output sample by sample, so each sees exactly the sequence the previous one
  // produces, the same as running the cascade per sample; the two recursions are independent
  // chains that the processor overlaps. In == Out works because sample i is read before it is
  // overwritten.
  const float* src = In;
  int s = 0;
  for (; s + 1 < Nbiq; s += 2) {
    const float* c = Coef + 5 * static_cast<std::size_t>(s);
    const BiquadCoefficients first(c), second(c + 5);
    float* st = State + 2 * static_cast<std::size_t>(s);
    float w1 = st[0], w2 = st[1], W1 = st[2], W2 = st[3];
    for (int i = 0; i < Nsample; ++i) Out[i] = BiquadStep(second, BiquadStep(first, src[i], w1, w2), W1, W2);
    st[0] = w1;
    st[1] = w2;
    st[2] = W1;
    st[3] = W2;
    src = Out;
  }
  if (s < Nbiq) {
    const BiquadCoefficients only(Coef + 5 * static_cast<std::size_t>(s));
    float* st = State + 2 * static_cast<std::size_t>(s);
    float w1 = st[0];
    float w2 = st[1];
    for (int i = 0; i < Nsample; ++i) Out[i] = BiquadStep(only, src[i], w1, w2);
    st[0] = w1;
    st[1] = w2;
  }
  return Nsample;
}
