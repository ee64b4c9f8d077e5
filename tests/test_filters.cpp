// The DFT filter bank and the biquad cascade.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

// Standard engine geometry: 16 channels, 128 taps, power output.
void InitStandard(DFTFilter& f, int ndec = 1, int nband = -1) {
  ASSERT_EQ(f.InitDFTFilter(16, 128, const_cast<float*>(StandardDftWindow), ndec, 1, nband), 1);
}

std::vector<float> Filter(DFTFilter& f, const std::vector<float>& in) {
  std::vector<float> out(in.size() / f.Ndec * f.Nband, 0.0f);
  EXPECT_EQ(f.ProcDFTFilterPow(static_cast<sp_long>(in.size()), const_cast<float*>(in.data()), out.data(), 0), 1);
  return out;
}

bool SameBits(const float* a, const float* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(float)) == 0; }
bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && SameBits(a.data(), b.data(), a.size());
}

float* const kBiquad = const_cast<float*>(StandardBiquadCoefficients);

// Gain of the standard cascade for a sine: peak of the settled output over the amplitude.
double CascadeGainDB(double freqHz) {
  std::vector<float> x = sptest::Sine(44100, freqHz, 0.5), y(x.size());
  float state[4];
  IniIirBiq(2, state);
  IirBiq(2, kBiquad, static_cast<int>(x.size()), x.data(), y.data(), state, 0);
  float peak = 0.0f;
  for (std::size_t i = x.size() / 2; i < x.size(); ++i) peak = std::max(peak, std::fabs(y[i]));
  return 20.0 * std::log10(peak / 0.5);
}

}  // namespace

TEST(DFTFilter, GeometryAndRefusals) {
  DFTFilter f;
  auto geometry = [&f] { return std::vector<int>{f.Nband, f.BandLast, f.NwinExt, f.Nseg, f.NframePerDft, f.NHist}; };
  InitStandard(f);
  EXPECT_EQ(geometry(), (std::vector<int>{8, 7, 128, 8, 16, 128}));

  InitStandard(f, 1, 20);  // more bands than Ndft clamp to Ndft
  EXPECT_EQ(geometry(), (std::vector<int>{16, 15, 128, 8, 16, 128}));
  InitStandard(f, 4, 5);
  EXPECT_EQ(geometry(), (std::vector<int>{5, 4, 128, 8, 4, 32}));
  ASSERT_EQ(f.InitDFTFilter(3, 128, const_cast<float*>(StandardDftWindow), 1, 1, 0), 1);
  EXPECT_EQ(geometry(), (std::vector<int>{3, 2, 129, 43, 3, 129}));  // under 4 channels: all bands

  // A window that is not a whole number of segments is zero padded.
  std::vector<float> w100(100, 0.25f);
  ASSERT_EQ(f.InitDFTFilter(16, 100, w100.data(), 1, 0, -1), 1);
  EXPECT_EQ(geometry(), (std::vector<int>{8, 7, 112, 7, 16, 112}));
  EXPECT_EQ(f.Win[99], 0.25f);
  for (int i = 100; i < 112; ++i) EXPECT_EQ(f.Win[i], 0.0f) << i;

  // Refusals leave the object released, whatever it held before.
  struct Bad { int ndft, nwin; bool nullWin; int ndec; } bad[] = {
      {16, 128, false, 3}, {16, 128, true, 1}, {0, 128, false, 1}, {16, 0, false, 1}, {16, 128, false, 0}};
  for (const Bad& b : bad) {
    InitStandard(f);
    EXPECT_EQ(f.InitDFTFilter(b.ndft, b.nwin, b.nullWin ? nullptr : const_cast<float*>(StandardDftWindow), b.ndec,
                              1, -1),
              0)
        << b.ndft << " " << b.nwin << " " << b.ndec;
    EXPECT_EQ(f.fInit, 0);
    EXPECT_EQ(f.Hist, nullptr);
  }
  f.UnloadObj();  // repeated release is harmless
}

TEST(DFTFilter, MatchesDirectWindowedDftAndDecimates) {
  // Frame n is bin b of the input ending Ndft - Ndec samples before the frame, weighted by the
  // time-reversed window: |sum_p x[n-15-p] w[p] e^{-j 2 pi b p / 16}|^2.
  std::vector<float> x = sptest::Noise(600, 1.0, 99);
  DFTFilter f;
  InitStandard(f);
  std::vector<float> out = Filter(f, x);
  for (int n = 0; n < 600; n += 37)
    for (int b = 0; b < 8; ++b) {
      std::complex<double> acc = 0.0;
      for (int p = 0; p < 128 && n - 15 - p >= 0; ++p)
        acc += static_cast<double>(x[n - 15 - p]) * StandardDftWindow[p] * std::polar(1.0, -2.0 * M_PI * b * p / 16.0);
      EXPECT_NEAR(out[n * 8 + b], std::norm(acc), 1e-5) << n << " " << b;
    }

  // The root output is the square root of the power output.
  std::vector<float> root(out.size());
  InitStandard(f);
  ASSERT_EQ(f.ProcDFTFilterPow(600, x.data(), root.data(), 1), 1);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_FLOAT_EQ(root[i] * root[i], out[i]) << i;

  // The window table is symmetric; without power output band 0 of a constant is its sum.
  double sum = 0.0;
  for (int i = 0; i < StandardDftWindowLength; ++i) sum += StandardDftWindow[i];
  EXPECT_NEAR(sum, 1.0966, 5e-5);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(StandardDftWindow[i], StandardDftWindow[127 - i]) << i;
  DFTFilter re;
  ASSERT_EQ(re.InitDFTFilter(16, 128, const_cast<float*>(StandardDftWindow), 1, 0, -1), 1);
  EXPECT_NEAR(Filter(re, std::vector<float>(400, 1.0f))[400 * 8 - 8], sum, 1e-5);

  // With decimation 4, frame f is bit-identical to frame 4f+3 without decimation.
  DFTFilter d;
  InitStandard(d, 4);
  std::vector<float> dec = Filter(d, x);
  ASSERT_EQ(dec.size(), 150u * 8);
  for (int fr = 0; fr < 150; ++fr) ASSERT_TRUE(SameBits(&dec[fr * 8], &out[(4 * fr + 3) * 8], 8)) << fr;
}

// (Pieces and band ranges against the frame-by-frame definition: Golden.FilterBankMatchesDefinition.)
TEST(DFTFilter, RefusalsAndCopies) {
  std::vector<float> x = sptest::Noise(2048, 1.0, 3);
  DFTFilter parts;
  InitStandard(parts, 4);
  Filter(parts, std::vector<float>(x.begin(), x.begin() + 1000));

  // Refused calls consume nothing and write nothing: the copy taken now must stay in step.
  DFTFilter before(parts);
  std::vector<float> sink(64, -3.0f);
  EXPECT_EQ(parts.ProcDFTFilterPow(0, x.data(), sink.data(), 0), 0);
  EXPECT_EQ(parts.ProcDFTFilterPow(-4, x.data(), sink.data(), 0), 0);
  EXPECT_EQ(parts.ProcDFTFilterPow(6, x.data(), sink.data(), 0), 0);  // not a multiple of Ndec
  EXPECT_EQ(parts.ProcDFTFilterPow(8, nullptr, sink.data(), 0), 0);
  EXPECT_EQ(parts.ProcDFTFilterPow(8, x.data(), nullptr, 0), 0);
  EXPECT_TRUE(SameBits(sink, std::vector<float>(64, -3.0f)));
  EXPECT_EQ(parts.InRingPos, before.InRingPos);
  EXPECT_EQ(parts.HistPos, before.HistPos);
  EXPECT_TRUE(SameBits(Filter(parts, x), Filter(before, x)));
  DFTFilter idle;
  EXPECT_EQ(idle.ProcDFTFilterPow(8, x.data(), sink.data(), 0), 0);

  // Copies own their buffers and continue the stream exactly like the original.
  DFTFilter a;
  InitStandard(a);
  std::vector<float> head(x.begin(), x.begin() + 500), tail(x.begin() + 500, x.begin() + 1024);
  Filter(a, head);
  DFTFilter b(a), c;
  c = a;
  EXPECT_NE(b.Hist, a.Hist);
  EXPECT_NE(c.Win, a.Win);
  std::vector<float> ya = Filter(a, tail);
  a.UnloadObj();
  EXPECT_TRUE(SameBits(Filter(b, tail), ya));
  EXPECT_TRUE(SameBits(Filter(c, tail), ya));
  c = c;  // self-assignment keeps the state
  EXPECT_EQ(c.Win[64], StandardDftWindow[64]);
  c = a;  // assigning a released object releases the target
  EXPECT_EQ(c.fInit, 0);
  EXPECT_EQ(c.Hist, nullptr);
}

TEST(IirBiq, ResponsesBlockingAndPrecision) {
  float fir[5] = {0.0f, 0.0f, 1.0f, 2.0f, 3.0f};
  float state[4] = {9.0f, 9.0f, 9.0f, 9.0f};
  ASSERT_EQ(IniIirBiq(1, state), state);
  EXPECT_EQ(state[1], 0.0f);
  EXPECT_EQ(state[2], 9.0f);  // only 2*Nbiq entries belong to the line
  float impulse[6] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, y[6];
  ASSERT_EQ(IirBiq(1, fir, 6, impulse, y, state, 0), 6);
  EXPECT_EQ(std::vector<float>(y, y + 6), (std::vector<float>{1, 2, 3, 0, 0, 0}));

  // Standard pre-filter at 44100 Hz: DC gain 0.8451, about +0.3 dB at 1 kHz, -34 dB at 5 kHz.
  float* line = IniIirBiq(StandardBiquadSections, nullptr);
  ASSERT_NE(line, nullptr);
  std::vector<float> ones(4000, 1.0f), dc(4000);
  ASSERT_EQ(IirBiq(2, kBiquad, 4000, ones.data(), dc.data(), line, 0), 4000);
  delete[] line;
  EXPECT_NEAR(dc.back(), 0.8451, 1e-4);
  EXPECT_NEAR(CascadeGainDB(1000.0), 0.34, 0.09);
  EXPECT_NEAR(CascadeGainDB(5000.0), -34.0, 1.0);
  EXPECT_LT(CascadeGainDB(6000.0), -47.0);

  // (Blocking, in place and the per-sample rounding order: Golden.BiquadCascadeMatchesDefinition.)
}

TEST(IirBiq, ErrorMessages) {
  sptest::LogCapture log;
  EXPECT_EQ(IniIirBiq(0, nullptr), nullptr);
  EXPECT_EQ(IniIirBiq(0x40000000, nullptr), nullptr);  // 2*Nbiq elements cannot be counted
  auto lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(log.lines()[0].channel, 0u);
  EXPECT_EQ(lines[0], "IniIirBiq(), ошибка во вх. параметре:");
  EXPECT_EQ(lines[1], "число бикв. звеньев Nbiq=0");
  EXPECT_EQ(lines[2], "IniIirBiq(): не выделить память для линии задержки");
  EXPECT_EQ(lines[3].rfind("длина линии задержки ", 0), 0u);

  log.Clear();
  float coef[5] = {0.5f, 0.25f, 1.0f, 1.0f, 1.0f};
  float state[2] = {0.125f, -0.5f};
  float in[4] = {1, 2, 3, 4}, out[4] = {7, 7, 7, 7};
  EXPECT_EQ(IirBiq(1, coef, 4, in, out, nullptr, 0), 0);
  EXPECT_EQ(IirBiq(0, coef, 4, in, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, coef, 0, in, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, nullptr, 4, in, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, coef, 4, nullptr, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, coef, 4, in, nullptr, state, 0), 0);
  EXPECT_EQ(log.Utf8Lines(), std::vector<std::string>(6, "IirBiq(): ошибка во входных параметрах"));
  EXPECT_EQ(state[0], 0.125f);
  EXPECT_EQ(state[1], -0.5f);
  for (float v : out) EXPECT_EQ(v, 7.0f);
}
