// One sample through one direct-form-II biquad section, in single precision with the
// statement order every pre-filter path of the library shares (results are bit for bit the
// same wherever it is used). c: a1, a2, b0, b1, b2; w1, w2: the section's delay line.
#ifndef SP_BIQUAD_STEP_H
#define SP_BIQUAD_STEP_H

struct BiquadCoefficients {
  float a1, a2, b0, b1, b2;
  explicit BiquadCoefficients(const float* c) : a1(c[0]), a2(c[1]), b0(c[2]), b1(c[3]), b2(c[4]) {}
};

inline float BiquadStep(const BiquadCoefficients& c, float v, float& w1, float& w2) {
  const float w = v - c.a1 * w1 - c.a2 * w2;
  const float y = c.b0 * w + c.b1 * w1 + c.b2 * w2;
  w2 = w1;
  w1 = w;
  return y;
}

#endif
