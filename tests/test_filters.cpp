// Tests of the signal-processing primitives: the DFT filter bank and the biquad cascade.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

std::vector<float> StandardWindow() {
  return std::vector<float>(StandardDftWindow, StandardDftWindow + StandardDftWindowLength);
}

double StandardWindowSum() {
  double s = 0.0;
  for (int i = 0; i < StandardDftWindowLength; ++i) s += StandardDftWindow[i];
  return s;
}

// Standard engine geometry: 16 channels, 128 taps, one frame per sample, power output.
void InitStandard(DFTFilter& f, std::vector<float>& win, int ndec = 1, int nband = -1) {
  win = StandardWindow();
  ASSERT_EQ(f.InitDFTFilter(16, 128, win.data(), ndec, 1, nband), 1);
}

std::vector<float> Filter(DFTFilter& f, const std::vector<float>& in) {
  std::vector<float> out(in.size() / f.Ndec * f.Nband, 0.0f);
  EXPECT_EQ(f.ProcDFTFilterPow(static_cast<sp_long>(in.size()), const_cast<float*>(in.data()), out.data(), 0), 1);
  return out;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Gain of the standard cascade for a sine: peak of the settled output over the amplitude.
double CascadeSineGain(double freqHz) {
  const double amplitude = 0.5;
  std::vector<float> x = sptest::Sine(44100, freqHz, amplitude);
  float state[4];
  IniIirBiq(2, state);
  std::vector<float> y(x.size());
  EXPECT_EQ(IirBiq(2, const_cast<float*>(StandardBiquadCoefficients), static_cast<int>(x.size()), x.data(),
                   y.data(), state, 0),
            static_cast<int>(x.size()));
  float peak = 0.0f;
  for (std::size_t i = x.size() / 2; i < x.size(); ++i) peak = std::max(peak, std::fabs(y[i]));
  return peak / amplitude;
}

}  // namespace

TEST(DFTFilter, InitialisationGeometry) {
  std::vector<float> win;
  DFTFilter f;
  EXPECT_EQ(f.fInit, 0);
  EXPECT_EQ(f.Win, nullptr);

  InitStandard(f, win);
  EXPECT_EQ(f.fInit, 1);
  EXPECT_EQ(f.Ndft, 16);
  EXPECT_EQ(f.Nband, 8);
  EXPECT_EQ(f.BandFirst, 0);
  EXPECT_EQ(f.BandLast, 7);
  EXPECT_EQ(f.NwinExt, 128);
  EXPECT_EQ(f.Nseg, 8);
  EXPECT_EQ(f.NframePerDft, 16);
  EXPECT_EQ(f.NHist, 128);
  EXPECT_EQ(f.fPower, 1);
  EXPECT_NE(f.Win, win.data());  // the filter keeps its own copy
  EXPECT_EQ(std::memcmp(f.Win, StandardDftWindow, sizeof(StandardDftWindow)), 0);
  // Table entry [b*Ndft + k] = trig(2*pi*k*b/Ndft).
  EXPECT_FLOAT_EQ(f.SinTab[1 * 16 + 4], 1.0f);
  EXPECT_FLOAT_EQ(f.CosTab[2 * 16 + 4], -1.0f);
  EXPECT_FLOAT_EQ(f.CosTab[3 * 16 + 5], static_cast<float>(std::cos(2.0 * M_PI * 15.0 / 16.0)));
  EXPECT_EQ(f.CosTab[0], 1.0f);

  InitStandard(f, win, 1, 20);
  EXPECT_EQ(f.Nband, 16);
  EXPECT_EQ(f.BandLast, 15);
  InitStandard(f, win, 4, 5);
  EXPECT_EQ(f.Nband, 5);
  EXPECT_EQ(f.NframePerDft, 4);
  EXPECT_EQ(f.NHist, 32);

  ASSERT_EQ(f.InitDFTFilter(3, 128, win.data(), 1, 1, 0), 1);
  EXPECT_EQ(f.Nband, 3);
  EXPECT_EQ(f.NwinExt, 129);
  EXPECT_EQ(f.Nseg, 43);

  // A window that is not a whole number of segments is zero padded.
  std::vector<float> w100(100, 0.25f);
  ASSERT_EQ(f.InitDFTFilter(16, 100, w100.data(), 1, 0, -1), 1);
  EXPECT_EQ(f.NwinExt, 112);
  EXPECT_EQ(f.Nseg, 7);
  EXPECT_EQ(f.Nwin, 100);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(f.Win[i], 0.25f);
  for (int i = 100; i < 112; ++i) EXPECT_EQ(f.Win[i], 0.0f) << i;

  // Refusals leave the object released, whatever it held before.
  struct Bad { int ndft, nwin; bool nullWin; int ndec; } bad[] = {
      {16, 128, false, 3}, {16, 128, true, 1}, {0, 128, false, 1}, {16, 0, false, 1}, {16, 128, false, 0}};
  for (const Bad& b : bad) {
    InitStandard(f, win);
    EXPECT_EQ(f.InitDFTFilter(b.ndft, b.nwin, b.nullWin ? nullptr : win.data(), b.ndec, 1, -1), 0)
        << b.ndft << " " << b.nwin << " " << b.ndec;
    EXPECT_EQ(f.fInit, 0);
    EXPECT_EQ(f.Win, nullptr);
    EXPECT_EQ(f.Hist, nullptr);
    EXPECT_EQ(f.SinTab, nullptr);
  }
  f.UnloadObj();  // repeated release is harmless
  EXPECT_EQ(f.InRing, nullptr);
}

TEST(DFTFilter, ResponseToConstantAndSines) {
  const double sum = StandardWindowSum();
  EXPECT_NEAR(sum, 1.0966, 5e-5);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(StandardDftWindow[i], StandardDftWindow[127 - i]) << i;

  std::vector<float> win;
  DFTFilter f;
  InitStandard(f, win);
  std::vector<float> out = Filter(f, std::vector<float>(400, 1.0f));
  const float* last = &out[out.size() - 8];
  EXPECT_NEAR(last[0], sum * sum, 1e-5 * sum * sum);
  for (int b = 1; b < 8; ++b) EXPECT_LT(last[b], 1e-4 * last[0]) << "band " << b;

  // Without power output band 0 is the real part: the window sum.
  DFTFilter re;
  ASSERT_EQ(re.InitDFTFilter(16, 128, win.data(), 1, 0, -1), 1);
  std::vector<float> reOut = Filter(re, std::vector<float>(400, 1.0f));
  EXPECT_NEAR(reOut[reOut.size() - 8], sum, 1e-5);

  // A sine at the centre of band k (k * fs / 16) peaks in band k.
  for (int k = 1; k < 8; ++k) {
    InitStandard(f, win);
    std::vector<float> x = sptest::Sine(1024, k * 11025.0 / 16.0, 0.5, 11025.0);
    out = Filter(f, x);
    const float* y = &out[out.size() - 8];
    int best = 0;
    for (int b = 1; b < 8; ++b)
      if (y[b] > y[best]) best = b;
    EXPECT_EQ(best, k);
    // A real sine of amplitude 0.5 puts 0.25 into the band's complex bin: (0.25 * sum)^2,
    // up to the leakage of its negative-frequency image.
    EXPECT_NEAR(y[k], 0.0625 * sum * sum, 0.001 * sum * sum) << "band " << k;
  }

  // The root output is the square root of the power output.
  std::vector<float> noise = sptest::Noise(512, 1.0, 7);
  InitStandard(f, win);
  std::vector<float> pow = Filter(f, noise);
  InitStandard(f, win);
  std::vector<float> root(pow.size());
  ASSERT_EQ(f.ProcDFTFilterPow(512, noise.data(), root.data(), 1), 1);
  for (std::size_t i = 0; i < pow.size(); ++i) ASSERT_FLOAT_EQ(root[i] * root[i], pow[i]) << i;
}

TEST(DFTFilter, MatchesDirectWindowedDft) {
  // Frame n is the DFT bin b of the input ending Ndft - Ndec samples before the frame,
  // weighted by the time-reversed window: |sum_p x[n-15-p] w[p] e^{-j 2 pi b p / 16}|^2.
  std::vector<float> x = sptest::Noise(600, 1.0, 99);
  std::vector<float> win;
  DFTFilter f;
  InitStandard(f, win);
  std::vector<float> out = Filter(f, x);
  for (int n = 0; n < 600; n += 37) {
    for (int b = 0; b < 8; ++b) {
      std::complex<double> acc = 0.0;
      for (int p = 0; p < 128; ++p) {
        int i = n - 15 - p;
        if (i < 0) break;
        acc += static_cast<double>(x[i]) * StandardDftWindow[p] * std::polar(1.0, -2.0 * M_PI * b * p / 16.0);
      }
      EXPECT_NEAR(out[n * 8 + b], std::norm(acc), 1e-5) << n << " " << b;
    }
  }

  // With decimation 4, frame f covers the same stretch as frame 4f+3 without decimation,
  // folded in the same order: the values are identical.
  DFTFilter d;
  InitStandard(d, win, 4);
  std::vector<float> dec = Filter(d, x);
  ASSERT_EQ(dec.size(), 150u * 8);
  for (int fr = 0; fr < 150; ++fr)
    ASSERT_EQ(std::memcmp(&dec[fr * 8], &out[(4 * fr + 3) * 8], 8 * sizeof(float)), 0) << fr;
}

TEST(DFTFilter, StreamingBandRangeAndRefusals) {
  std::vector<float> x = sptest::Noise(2048, 1.0, 3);
  std::vector<float> win;
  DFTFilter whole, parts;
  InitStandard(whole, win, 4);
  InitStandard(parts, win, 4);
  std::vector<float> expect = Filter(whole, x);

  // Feeding in uneven pieces carries the rings and histories over: bit-identical frames.
  std::vector<float> got(expect.size());
  const int pieces[] = {4, 12, 400, 4, 1000, 628};
  std::size_t pos = 0;
  for (int n : pieces) {
    ASSERT_EQ(parts.ProcDFTFilterPow(n, x.data() + pos, got.data() + pos / 4 * 8, 0), 1);
    pos += n;
  }
  ASSERT_EQ(pos, x.size());
  EXPECT_TRUE(SameBits(expect, got));

  // Refused calls consume nothing and write nothing.
  std::vector<float> ring(parts.InRing, parts.InRing + 16);
  std::vector<float> hist(parts.Hist, parts.Hist + 16 * parts.NHist);
  const int ringPos = parts.InRingPos, histPos = parts.HistPos;
  std::vector<float> sink(64, -3.0f);
  EXPECT_EQ(parts.ProcDFTFilterPow(0, x.data(), sink.data(), 0), 0);
  EXPECT_EQ(parts.ProcDFTFilterPow(-4, x.data(), sink.data(), 0), 0);
  EXPECT_EQ(parts.ProcDFTFilterPow(6, x.data(), sink.data(), 0), 0);  // not a multiple of Ndec
  EXPECT_EQ(parts.ProcDFTFilterPow(8, nullptr, sink.data(), 0), 0);
  EXPECT_EQ(parts.ProcDFTFilterPow(8, x.data(), nullptr, 0), 0);
  EXPECT_TRUE(SameBits(ring, std::vector<float>(parts.InRing, parts.InRing + 16)));
  EXPECT_TRUE(SameBits(hist, std::vector<float>(parts.Hist, parts.Hist + 16 * parts.NHist)));
  EXPECT_EQ(parts.InRingPos, ringPos);
  EXPECT_EQ(parts.HistPos, histPos);
  EXPECT_TRUE(SameBits(sink, std::vector<float>(64, -3.0f)));
  DFTFilter idle;
  EXPECT_EQ(idle.ProcDFTFilterPow(8, x.data(), sink.data(), 0), 0);
  parts.UnloadObj();
  EXPECT_EQ(parts.ProcDFTFilterPow(8, x.data(), sink.data(), 0), 0);

  // A lowered BandLast computes bands 0..2 as before and leaves 3..7 of every frame alone.
  DFTFilter narrow;
  InitStandard(narrow, win, 4);
  narrow.BandLast = 2;
  std::vector<float> part(expect.size(), -1.5f);
  ASSERT_EQ(narrow.ProcDFTFilterPow(2048, x.data(), part.data(), 0), 1);
  for (std::size_t fr = 0; fr < part.size() / 8; ++fr) {
    ASSERT_EQ(std::memcmp(&part[fr * 8], &expect[fr * 8], 3 * sizeof(float)), 0) << fr;
    for (int b = 3; b < 8; ++b) ASSERT_EQ(part[fr * 8 + b], -1.5f) << fr << " " << b;
  }
}

TEST(DFTFilter, CopiesOwnTheirBuffers) {
  std::vector<float> x = sptest::Noise(1024, 1.0, 11);
  std::vector<float> win;
  DFTFilter a;
  InitStandard(a, win);
  std::vector<float> head(x.begin(), x.begin() + 512), tail(x.begin() + 512, x.end());
  Filter(a, head);

  DFTFilter b(a);
  DFTFilter c;
  c = a;
  for (const DFTFilter* p : {&b, &c}) {
    EXPECT_EQ(p->fInit, 1);
    EXPECT_EQ(p->Nband, 8);
    EXPECT_EQ(p->HistPos, a.HistPos);
    EXPECT_EQ(p->InRingPos, a.InRingPos);
    EXPECT_NE(p->Win, a.Win);
    EXPECT_NE(p->Hist, a.Hist);
    EXPECT_NE(p->SinTab, a.SinTab);
    EXPECT_EQ(std::memcmp(p->Hist, a.Hist, sizeof(float) * 16 * a.NHist), 0);
  }
  // Each copy continues the stream exactly like the original, and independently of it.
  std::vector<float> ya = Filter(a, tail);
  a.UnloadObj();
  EXPECT_TRUE(SameBits(Filter(b, tail), ya));
  EXPECT_TRUE(SameBits(Filter(c, tail), ya));

  c = c;  // self-assignment keeps the state
  EXPECT_EQ(c.fInit, 1);
  ASSERT_NE(c.Win, nullptr);
  EXPECT_EQ(c.Win[64], StandardDftWindow[64]);

  c = a;  // assigning a released object releases the target
  EXPECT_EQ(c.fInit, 0);
  EXPECT_EQ(c.Hist, nullptr);
}

TEST(IirBiq, ImpulseAndStandardCascadeResponse) {
  float fir[5] = {0.0f, 0.0f, 1.0f, 2.0f, 3.0f};
  float state[4] = {9.0f, 9.0f, 9.0f, 9.0f};
  ASSERT_EQ(IniIirBiq(1, state), state);
  EXPECT_EQ(state[0], 0.0f);
  EXPECT_EQ(state[1], 0.0f);
  EXPECT_EQ(state[2], 9.0f);  // only 2*Nbiq entries belong to the line
  float impulse[6] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, y[6];
  ASSERT_EQ(IirBiq(1, fir, 6, impulse, y, state, 0), 6);
  const float expectFir[6] = {1.0f, 2.0f, 3.0f, 0.0f, 0.0f, 0.0f};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(y[i], expectFir[i]) << i;

  // Standard pre-filter at 44100 Hz: DC gain 0.8451, about +0.3 dB at 1 kHz, -34 dB at 5 kHz.
  float* line = IniIirBiq(StandardBiquadSections, nullptr);
  ASSERT_NE(line, nullptr);
  std::vector<float> ones(4000, 1.0f), dc(4000);
  ASSERT_EQ(IirBiq(2, const_cast<float*>(StandardBiquadCoefficients), 4000, ones.data(), dc.data(), line, 0), 4000);
  delete[] line;
  EXPECT_NEAR(dc.back(), 0.8451, 1e-4);
  EXPECT_NEAR(CascadeSineGain(1000.0), 1.04, 0.01);
  EXPECT_NEAR(20.0 * std::log10(CascadeSineGain(5000.0)), -34.0, 1.0);
  EXPECT_LT(20.0 * std::log10(CascadeSineGain(6000.0)), -47.0);
}

TEST(IirBiq, BlocksInPlaceAndInHalvesAgree) {
  std::vector<float> x = sptest::Noise(1000, 0.8, 5);
  float* coef = const_cast<float*>(StandardBiquadCoefficients);
  float s1[4], s2[4], s3[4];
  IniIirBiq(2, s1);
  IniIirBiq(2, s2);
  IniIirBiq(2, s3);

  std::vector<float> once(1000), halves(1000), inplace = x;
  ASSERT_EQ(IirBiq(2, coef, 1000, x.data(), once.data(), s1, 0), 1000);
  ASSERT_EQ(IirBiq(2, coef, 377, x.data(), halves.data(), s2, 0), 377);
  ASSERT_EQ(IirBiq(2, coef, 623, x.data() + 377, halves.data() + 377, s2, 0), 623);
  ASSERT_EQ(IirBiq(2, coef, 1000, inplace.data(), inplace.data(), s3, 0), 1000);
  EXPECT_TRUE(SameBits(once, halves));
  EXPECT_TRUE(SameBits(once, inplace));
  EXPECT_EQ(std::memcmp(s1, s2, sizeof(s1)), 0);

  // Per-sample direct form II, each operation rounded to single precision.
  float w[4] = {0, 0, 0, 0};
  for (int i = 0; i < 1000; ++i) {
    float v = x[i];
    for (int s = 0; s < 2; ++s) {
      const float* c = coef + 5 * s;
      float wn = v - c[0] * w[2 * s] - c[1] * w[2 * s + 1];
      v = c[2] * wn + c[3] * w[2 * s] + c[4] * w[2 * s + 1];
      w[2 * s + 1] = w[2 * s];
      w[2 * s] = wn;
    }
    ASSERT_EQ(once[i], v) << i;
  }
}

TEST(IirBiq, ErrorMessages) {
  sptest::LogCapture log;
  EXPECT_EQ(IniIirBiq(0, nullptr), nullptr);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].channel, 0u);
  EXPECT_EQ(log.Utf8Lines()[0], "IniIirBiq(), ошибка во вх. параметре:");
  EXPECT_EQ(log.Utf8Lines()[1], "число бикв. звеньев Nbiq=0");
  // Stored and emitted in Windows-1251, not UTF-8.
  EXPECT_EQ(log.lines()[0].raw, Utf8ToCp1251("IniIirBiq(), ошибка во вх. параметре:"));

  log.Clear();
  EXPECT_EQ(IniIirBiq(0x40000000, nullptr), nullptr);  // 2*Nbiq elements cannot be counted
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.Utf8Lines()[0], "IniIirBiq(): не выделить память для линии задержки");
  EXPECT_EQ(log.Utf8Lines()[1].rfind("длина линии задержки ", 0), 0u);

  log.Clear();
  float coef[5] = {0.5f, 0.25f, 1.0f, 1.0f, 1.0f};
  float state[2] = {0.125f, -0.5f};
  float in[4] = {1, 2, 3, 4}, out[4] = {7, 7, 7, 7};
  EXPECT_EQ(IirBiq(1, coef, 4, in, out, nullptr, 0), 0);
  EXPECT_TRUE(log.Contains("IirBiq(): ошибка во входных параметрах"));
  EXPECT_EQ(log.lines()[0].raw, Utf8ToCp1251("IirBiq(): ошибка во входных параметрах"));
  EXPECT_EQ(IirBiq(0, coef, 4, in, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, coef, 0, in, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, nullptr, 4, in, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, coef, 4, nullptr, out, state, 0), 0);
  EXPECT_EQ(IirBiq(1, coef, 4, in, nullptr, state, 0), 0);
  EXPECT_EQ(log.lines().size(), 6u);
  EXPECT_EQ(state[0], 0.125f);
  EXPECT_EQ(state[1], -0.5f);
  for (float v : out) EXPECT_EQ(v, 7.0f);
}
