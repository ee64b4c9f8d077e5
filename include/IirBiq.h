// Cascade of second-order IIR sections (biquads) in direct form II.
//
// Coefficients: 5 floats per section, in the order a1, a2, b0, b1, b2 of
// (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2). Delay line: 2 floats per section (w1, w2).
#ifndef SP_IIRBIQ_H
#define SP_IIRBIQ_H

#include "sp_types.h"

// Returns a zeroed delay line of 2*Nbiq floats: Buf when not null, else new storage owned by
// the caller (release with delete[]). Null on error (message on channel 0).
float* IniIirBiq(int Nbiq, float* Buf);

// Filters Nsample samples from In to Out (may be the same array) and keeps the delay line.
// Returns Nsample, or 0 on error (message on channel 0; nothing filtered).
int IirBiq(int Nbiq, float* Coef, int Nsample, float* In, float* Out, float* State, int Reserved);

// The standard two-section low-pass pre-filter for 44100 Hz input.
constexpr int StandardBiquadSections = 2;
extern const float StandardBiquadCoefficients[10];

#endif
