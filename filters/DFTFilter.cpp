// Uniform DFT filter bank in weighted overlap-add form.
//
// Every output frame windows the recent input with a long prototype low-pass window, folds
// the windowed stretch modulo the DFT length and takes a direct DFT of the fold from sine
// and cosine tables. Only bands BandFirst..BandLast are computed, so an owner can save work
// by lowering BandLast.
#include "DFTFilter.h"

#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// AVX2 (chosen at run time, where the processor has it) for the engine's geometry. Not on
// Windows, where GCC cannot keep 32-byte stack slots aligned.
#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define SP_DFT_AVX2 1
#include <immintrin.h>

#include "sp_cpu.h"
#endif

namespace {

// Allocates n floats and copies them from src; null on failure or when src is null.
float* DuplicateBuffer(const float* src, long long n) {
  if (src == nullptr || n <= 0) return nullptr;
  float* p = new (std::nothrow) float[static_cast<std::size_t>(n)];
  if (p != nullptr) std::memcpy(p, src, static_cast<std::size_t>(n) * sizeof(float));
  return p;
}

// Allocates n floats set to zero; null on failure.
float* NewZeroed(long long n) {
  if (n <= 0) return nullptr;
  float* p = new (std::nothrow) float[static_cast<std::size_t>(n)];
  if (p != nullptr) std::memset(p, 0, static_cast<std::size_t>(n) * sizeof(float));
  return p;
}

void ReleaseBuffer(float*& p) {
  if (p != nullptr) {
    delete[] p;
    p = nullptr;
  }
}

}  // namespace

// The standard 128-tap prototype window: a low-pass whose response, at 16 channels, is
// 1.2 dB down at a quarter of the band spacing, 10.4 dB down at half the spacing and at
// least 41 dB down from three quarters of the spacing on. Symmetric: w[127 - i] == w[i].
// Existing pattern files hold band powers computed with exactly these values.
const float StandardDftWindow[128] = {
    -0.00559274293f, -0.00159557804f, -0.00174050196f, -0.00182916305f,
    -0.001848649f, -0.00178642897f, -0.00163465005f, -0.00138716598f,
    -0.00104231003f, -0.00059714599f, -5.32349986e-05f, 0.000584435009f,
    0.00129469903f, 0.00206232397f, 0.00288725807f, 0.00371911889f,
    0.00454991218f, 0.00534196896f, 0.00606894679f, 0.00669828523f,
    0.00720066717f, 0.00754572218f, 0.00770943286f, 0.00767080905f,
    0.00741454819f, 0.00692677079f, 0.00620835787f, 0.00526553113f,
    0.00410646619f, 0.00275856908f, 0.00124783197f, -0.000384724f,
    -0.00209425692f, -0.00382793508f, -0.00552896922f, -0.00713521522f,
    -0.00858233217f, -0.0098066153f, -0.0107469903f, -0.0113420999f,
    -0.0115395999f, -0.0112942196f, -0.0105668996f, -0.009333889f,
    -0.00757878786f, -0.00530128507f, -0.00251295394f, 0.000759268005f,
    0.00447610719f, 0.00858506933f, 0.0130201401f, 0.0177050307f,
    0.02255564f, 0.0274781696f, 0.0323758796f, 0.0371494181f,
    0.0416978002f, 0.0459256098f, 0.0497404598f, 0.0530594811f,
    0.0558081418f, 0.0579257682f, 0.059365049f, 0.0600925311f,
    0.0600925311f, 0.059365049f, 0.0579257682f, 0.0558081418f,
    0.0530594811f, 0.0497404598f, 0.0459256098f, 0.0416978002f,
    0.0371494181f, 0.0323758796f, 0.0274781696f, 0.02255564f,
    0.0177050307f, 0.0130201401f, 0.00858506933f, 0.00447610719f,
    0.000759268005f, -0.00251295394f, -0.00530128507f, -0.00757878786f,
    -0.009333889f, -0.0105668996f, -0.0112942196f, -0.0115395999f,
    -0.0113420999f, -0.0107469903f, -0.0098066153f, -0.00858233217f,
    -0.00713521522f, -0.00552896922f, -0.00382793508f, -0.00209425692f,
    -0.000384724f, 0.00124783197f, 0.00275856908f, 0.00410646619f,
    0.00526553113f, 0.00620835787f, 0.00692677079f, 0.00741454819f,
    0.00767080905f, 0.00770943286f, 0.00754572218f, 0.00720066717f,
    0.00669828523f, 0.00606894679f, 0.00534196896f, 0.00454991218f,
    0.00371911889f, 0.00288725807f, 0.00206232397f, 0.00129469903f,
    0.000584435009f, -5.32349986e-05f, -0.00059714599f, -0.00104231003f,
    -0.00138716598f, -0.00163465005f, -0.00178642897f, -0.001848649f,
    -0.00182916305f, -0.00174050196f, -0.00159557804f, -0.00559274293f
};

DFTFilter::DFTFilter()
    : fInit(0), Ndft(0), Nband(0), BandFirst(0), BandLast(0), Ndec(0), NwinExt(0), Nwin(0),
      Nseg(0), NframePerDft(0), Win(nullptr), InRing(nullptr), NHist(0), InRingPos(0),
      Hist(nullptr), HistPos(0), SinTab(nullptr), CosTab(nullptr), Fold(nullptr), fPower(0) {}

DFTFilter::~DFTFilter() { UnloadObj(); }

DFTFilter::DFTFilter(const DFTFilter& other) : DFTFilter() { *this = other; }

// Copies every field and duplicates the owned buffers, so that the two objects never share
// storage. If a duplicate cannot be allocated the target is left released (fInit 0).
DFTFilter& DFTFilter::operator=(const DFTFilter& other) {
  if (this == &other) return *this;

  const long long ndft = other.Ndft > 0 ? other.Ndft : 0;
  float* win = DuplicateBuffer(other.Win, other.NwinExt);
  float* inRing = DuplicateBuffer(other.InRing, ndft);
  float* hist = DuplicateBuffer(other.Hist, static_cast<long long>(other.NHist) * ndft);
  float* sinTab = DuplicateBuffer(other.SinTab, ndft * ndft);
  float* cosTab = DuplicateBuffer(other.CosTab, ndft * ndft);
  float* fold = DuplicateBuffer(other.Fold, ndft);
  const bool failed = (other.Win != nullptr && win == nullptr) ||
                      (other.InRing != nullptr && inRing == nullptr) ||
                      (other.Hist != nullptr && hist == nullptr) ||
                      (other.SinTab != nullptr && sinTab == nullptr) ||
                      (other.CosTab != nullptr && cosTab == nullptr) ||
                      (other.Fold != nullptr && fold == nullptr);

  UnloadObj();
  fInit = other.fInit;
  Ndft = other.Ndft;
  Nband = other.Nband;
  BandFirst = other.BandFirst;
  BandLast = other.BandLast;
  Ndec = other.Ndec;
  NwinExt = other.NwinExt;
  Nwin = other.Nwin;
  Nseg = other.Nseg;
  NframePerDft = other.NframePerDft;
  Win = win;
  InRing = inRing;
  NHist = other.NHist;
  InRingPos = other.InRingPos;
  Hist = hist;
  HistPos = other.HistPos;
  SinTab = sinTab;
  CosTab = cosTab;
  Fold = fold;
  fPower = other.fPower;
  if (failed) UnloadObj();
  return *this;
}

void DFTFilter::UnloadObj() {
  ReleaseBuffer(Win);
  ReleaseBuffer(InRing);
  ReleaseBuffer(Hist);
  ReleaseBuffer(SinTab);
  ReleaseBuffer(CosTab);
  ReleaseBuffer(Fold);
  fInit = 0;
}

int DFTFilter::InitDFTFilter(int Ndft_, int Nwin_, float* Win_, int Ndec_, int fPower_, int Nband_) {
  UnloadObj();
  if (Ndft_ < 1 || Ndec_ < 1 || Nwin_ < 1 || Win_ == nullptr || Ndft_ % Ndec_ != 0) return 0;

  // Extended window: rounded up to whole segments of Ndft taps. A length that cannot be
  // represented is refused like a failed allocation.
  long long winExt = Nwin_;
  if (Nwin_ % Ndft_ != 0) winExt = (static_cast<long long>(Nwin_ / Ndft_) + 1) * Ndft_;
  if (winExt > 0x7FFFFFFF) return 0;

  Ndft = Ndft_;
  Nwin = Nwin_;
  Ndec = Ndec_;
  NwinExt = static_cast<int>(winExt);
  if (Nband_ >= 1)
    Nband = Nband_ < Ndft ? Nband_ : Ndft;
  else
    Nband = Ndft >= 4 ? Ndft / 2 : Ndft;
  BandFirst = 0;
  BandLast = Nband - 1;
  Nseg = NwinExt / Ndft;

  Win = new (std::nothrow) float[static_cast<std::size_t>(NwinExt)];
  if (Win == nullptr) return 0;
  std::memcpy(Win, Win_, static_cast<std::size_t>(Nwin) * sizeof(float));
  for (int i = Nwin; i < NwinExt; ++i) Win[i] = 0.0f;

  const long long n = Ndft;
  InRing = NewZeroed(n);
  NframePerDft = Ndft / Ndec;
  const long long histLen = static_cast<long long>(Nseg) * NframePerDft;
  NHist = histLen <= 0x7FFFFFFF ? static_cast<int>(histLen) : 0;
  Hist = NHist > 0 ? NewZeroed(histLen * n) : nullptr;
  SinTab = new (std::nothrow) float[static_cast<std::size_t>(n * n)];
  CosTab = new (std::nothrow) float[static_cast<std::size_t>(n * n)];
  Fold = NewZeroed(n);
  if (InRing == nullptr || Hist == nullptr || SinTab == nullptr || CosTab == nullptr || Fold == nullptr) {
    UnloadObj();
    return 0;
  }

  // x = k * 2pi * b / Ndft, evaluated left to right in double precision.
  for (int b = 0; b < Ndft; ++b) {
    for (int k = 0; k < Ndft; ++k) {
      const double x = static_cast<double>(k) * 6.283185307179586 * b / Ndft;
      SinTab[static_cast<std::size_t>(b) * Ndft + k] = static_cast<float>(std::sin(x));
      CosTab[static_cast<std::size_t>(b) * Ndft + k] = static_cast<float>(std::cos(x));
    }
  }

  InRingPos = 0;
  HistPos = 0;
  fPower = fPower_;
  fInit = 1;
  return 1;
}

namespace {

// ---- Fast frame loop for one input sample per frame (Ndec 1), the engine's case.
//
// With Ndec 1 every channel history is the same input sequence, delayed by the channel
// number: channel k at the position written j frames ago holds the input j + k frames back.
// The frames of a call therefore read one linear stretch of the input, which is laid out
// newest first in a local buffer, so that the fold of channels k .. k+3 for one window
// segment reads four neighbouring values. Every sum keeps its order (segments m = 0, 1, ...
// for the fold, points k = 0, 1, ... for the DFT) and its single-precision rounding: the
// vectors only run channels, or bands, side by side. The rings (InRing, Hist, HistPos,
// InRingPos) and Fold end exactly as the frame-by-frame algorithm leaves them.

constexpr int kFastFrames = 256;    // frames per pass over the local buffers
constexpr int kFastHistory = 1024;  // largest NHist + Ndft the local history holds
constexpr int kFastTable = 1024;    // largest Ndft x (bands rounded up to 4) per table
constexpr int kFastFold = 256;      // largest Ndft

#if defined(__SSE2__)
// The DFT of one fold for band groups g0 .. g0 + kGroups - 1 (four bands each): per band,
// re and im summed over the points q = 0, 1, ... in that order. `fold` holds N values (N a
// multiple of 4 when kAligned). Writes power (or re) of the groups' bands to out.
template <int kGroups, bool kPower, bool kAligned>
inline void DftGroups(const float* fold, int N, const float* cosT, const float* sinT, int stride, float* out) {
  __m128 re[kGroups], im[kGroups];
  for (int g = 0; g < kGroups; ++g) re[g] = im[g] = _mm_setzero_ps();
  auto step = [&](__m128 v, int q) {
    for (int g = 0; g < kGroups; ++g) {
      re[g] = _mm_add_ps(re[g], _mm_mul_ps(v, _mm_load_ps(cosT + q * stride + 4 * g)));
      if (kPower) im[g] = _mm_add_ps(im[g], _mm_mul_ps(v, _mm_load_ps(sinT + q * stride + 4 * g)));
    }
  };
  if (kAligned) {
    for (int q = 0; q < N; q += 4) {
      const __m128 f4 = _mm_load_ps(fold + q);
      step(_mm_shuffle_ps(f4, f4, 0x00), q);
      step(_mm_shuffle_ps(f4, f4, 0x55), q + 1);
      step(_mm_shuffle_ps(f4, f4, 0xAA), q + 2);
      step(_mm_shuffle_ps(f4, f4, 0xFF), q + 3);
    }
  } else {
    for (int q = 0; q < N; ++q) step(_mm_set1_ps(fold[q]), q);
  }
  for (int g = 0; g < kGroups; ++g)
    _mm_store_ps(out + 4 * g, kPower ? _mm_add_ps(_mm_mul_ps(re[g], re[g]), _mm_mul_ps(im[g], im[g])) : re[g]);
}

// The fold of channels 0 .. 4*kGroups - 1 (relative to base and win): per channel the sum over
// the segments m = 0, 1, ... in that order; the channel groups' sums run interleaved.
template <int kGroups>
inline void FoldChannels(const float* base, const float* win, int N, int Nseg, float* fold) {
  __m128 sum[kGroups];
  for (int g = 0; g < kGroups; ++g) sum[g] = _mm_setzero_ps();
  for (int m = 0; m < Nseg; ++m)
    for (int g = 0; g < kGroups; ++g)
      sum[g] = _mm_add_ps(sum[g], _mm_mul_ps(_mm_loadu_ps(base + m * N + 4 * g), _mm_loadu_ps(win + m * N + 4 * g)));
  for (int g = 0; g < kGroups; ++g) _mm_store_ps(fold + 4 * g, sum[g]);
}

// The engine's geometry (16 channels, 5 to 8 bands, power output), two frames at a time:
// frame fr and fr + 1 are independent, so their sums interleave and the processor keeps
// both in flight. Each sum keeps its order and rounding exactly as in the single-frame code.
// `base` is where frame fr's channel 0, segment 0 reads (frame fr + 1 reads one before);
// the tables have 8 floats per point; writes 8 values per frame to bands0 and bands1 (which
// may be the output rows).
inline void FramePair16(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                        float* fold0, float* fold1, float* bands0, float* bands1) {
  __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  const float* x0 = base;
  const float* x1 = base - 1;
  for (int m = 0; m < Nseg; ++m) {
    const float* w = win + 16 * m;
    const __m128 w0 = _mm_loadu_ps(w), w1 = _mm_loadu_ps(w + 4), w2 = _mm_loadu_ps(w + 8), w3 = _mm_loadu_ps(w + 12);
    a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m), w0));
    b0 = _mm_add_ps(b0, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m), w0));
    a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m + 4), w1));
    b1 = _mm_add_ps(b1, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m + 4), w1));
    a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m + 8), w2));
    b2 = _mm_add_ps(b2, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m + 8), w2));
    a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_loadu_ps(x0 + 16 * m + 12), w3));
    b3 = _mm_add_ps(b3, _mm_mul_ps(_mm_loadu_ps(x1 + 16 * m + 12), w3));
  }
  _mm_store_ps(fold0, a0);
  _mm_store_ps(fold0 + 4, a1);
  _mm_store_ps(fold0 + 8, a2);
  _mm_store_ps(fold0 + 12, a3);
  _mm_store_ps(fold1, b0);
  _mm_store_ps(fold1 + 4, b1);
  _mm_store_ps(fold1 + 8, b2);
  _mm_store_ps(fold1 + 12, b3);

  __m128 re0 = _mm_setzero_ps(), re1 = re0, im0 = re0, im1 = re0;  // frame fr, bands 0-3 and 4-7
  __m128 RE0 = re0, RE1 = re0, IM0 = re0, IM1 = re0;                // frame fr + 1
  auto step = [&](__m128 v, __m128 V, int q) {
    const __m128 c0 = _mm_load_ps(cosT + 8 * q), c1 = _mm_load_ps(cosT + 8 * q + 4);
    const __m128 s0 = _mm_load_ps(sinT + 8 * q), s1 = _mm_load_ps(sinT + 8 * q + 4);
    re0 = _mm_add_ps(re0, _mm_mul_ps(v, c0));
    RE0 = _mm_add_ps(RE0, _mm_mul_ps(V, c0));
    re1 = _mm_add_ps(re1, _mm_mul_ps(v, c1));
    RE1 = _mm_add_ps(RE1, _mm_mul_ps(V, c1));
    im0 = _mm_add_ps(im0, _mm_mul_ps(v, s0));
    IM0 = _mm_add_ps(IM0, _mm_mul_ps(V, s0));
    im1 = _mm_add_ps(im1, _mm_mul_ps(v, s1));
    IM1 = _mm_add_ps(IM1, _mm_mul_ps(V, s1));
  };
#pragma GCC unroll 1
  for (int q = 0; q < 16; q += 4) {
    const __m128 f = _mm_load_ps(fold0 + q), F = _mm_load_ps(fold1 + q);
    step(_mm_shuffle_ps(f, f, 0x00), _mm_shuffle_ps(F, F, 0x00), q);
    step(_mm_shuffle_ps(f, f, 0x55), _mm_shuffle_ps(F, F, 0x55), q + 1);
    step(_mm_shuffle_ps(f, f, 0xAA), _mm_shuffle_ps(F, F, 0xAA), q + 2);
    step(_mm_shuffle_ps(f, f, 0xFF), _mm_shuffle_ps(F, F, 0xFF), q + 3);
  }
  _mm_storeu_ps(bands0, _mm_add_ps(_mm_mul_ps(re0, re0), _mm_mul_ps(im0, im0)));
  _mm_storeu_ps(bands0 + 4, _mm_add_ps(_mm_mul_ps(re1, re1), _mm_mul_ps(im1, im1)));
  _mm_storeu_ps(bands1, _mm_add_ps(_mm_mul_ps(RE0, RE0), _mm_mul_ps(IM0, IM0)));
  _mm_storeu_ps(bands1 + 4, _mm_add_ps(_mm_mul_ps(RE1, RE1), _mm_mul_ps(IM1, IM1)));
}

#if defined(SP_DFT_AVX2)
// FramePair16 with eight lanes: channels 0-7 and 8-15 of the fold, bands 0-7 of the DFT.
// The same sums in the same order; plain multiplications and additions, no fused ones.
__attribute__((target("avx2"))) void FramePair16Avx2(const float* base, const float* win, int Nseg,
                                                     const float* cosT, const float* sinT, float* fold0,
                                                     float* fold1, float* bands0, float* bands1) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, b0 = a0, b1 = a0;
  const float* x0 = base;
  const float* x1 = base - 1;
  for (int m = 0; m < Nseg; ++m) {
    const __m256 w0 = _mm256_loadu_ps(win + 16 * m), w1 = _mm256_loadu_ps(win + 16 * m + 8);
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_loadu_ps(x0 + 16 * m), w0));
    b0 = _mm256_add_ps(b0, _mm256_mul_ps(_mm256_loadu_ps(x1 + 16 * m), w0));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_loadu_ps(x0 + 16 * m + 8), w1));
    b1 = _mm256_add_ps(b1, _mm256_mul_ps(_mm256_loadu_ps(x1 + 16 * m + 8), w1));
  }
  _mm256_storeu_ps(fold0, a0);
  _mm256_storeu_ps(fold0 + 8, a1);
  _mm256_storeu_ps(fold1, b0);
  _mm256_storeu_ps(fold1 + 8, b1);

  __m256 re = _mm256_setzero_ps(), im = re, RE = re, IM = re;
  // Kept as a loop: fully unrolled, the compiler hoists every load and spills them.
#pragma GCC unroll 2
  for (int q = 0; q < 16; ++q) {
    const __m256 c = _mm256_loadu_ps(cosT + 8 * q), s = _mm256_loadu_ps(sinT + 8 * q);
    const __m256 v = _mm256_broadcast_ss(fold0 + q), V = _mm256_broadcast_ss(fold1 + q);
    re = _mm256_add_ps(re, _mm256_mul_ps(v, c));
    RE = _mm256_add_ps(RE, _mm256_mul_ps(V, c));
    im = _mm256_add_ps(im, _mm256_mul_ps(v, s));
    IM = _mm256_add_ps(IM, _mm256_mul_ps(V, s));
  }
  _mm256_storeu_ps(bands0, _mm256_add_ps(_mm256_mul_ps(re, re), _mm256_mul_ps(im, im)));
  _mm256_storeu_ps(bands1, _mm256_add_ps(_mm256_mul_ps(RE, RE), _mm256_mul_ps(IM, IM)));
}

// Four frames at a time (fr .. fr + 3; frame fr + i reads i before `base`): twice the sums in
// flight of FramePair16Avx2, so that their chains of additions overlap. Writes 8 bands per
// frame to out[0 .. 3] and leaves the last frame's fold in lastFold.
__attribute__((target("avx2"))) void FrameQuad16Avx2(const float* base, const float* win, int Nseg,
                                                     const float* cosT, const float* sinT, float* const* out,
                                                     float* lastFold) {
  alignas(32) float fold[4][16];
  {
    __m256 a[4][2];
    for (int i = 0; i < 4; ++i) a[i][0] = a[i][1] = _mm256_setzero_ps();
    for (int m = 0; m < Nseg; ++m) {
      const __m256 w0 = _mm256_loadu_ps(win + 16 * m), w1 = _mm256_loadu_ps(win + 16 * m + 8);
      for (int i = 0; i < 4; ++i) {
        a[i][0] = _mm256_add_ps(a[i][0], _mm256_mul_ps(_mm256_loadu_ps(base - i + 16 * m), w0));
        a[i][1] = _mm256_add_ps(a[i][1], _mm256_mul_ps(_mm256_loadu_ps(base - i + 16 * m + 8), w1));
      }
    }
    for (int i = 0; i < 4; ++i) {
      _mm256_store_ps(fold[i], a[i][0]);
      _mm256_store_ps(fold[i] + 8, a[i][1]);
    }
  }
  __m256 re[4], im[4];
  for (int i = 0; i < 4; ++i) re[i] = im[i] = _mm256_setzero_ps();
#pragma GCC unroll 2
  for (int q = 0; q < 16; ++q) {
    const __m256 c = _mm256_loadu_ps(cosT + 8 * q), s = _mm256_loadu_ps(sinT + 8 * q);
    for (int i = 0; i < 4; ++i) {
      const __m256 v = _mm256_broadcast_ss(&fold[i][q]);
      re[i] = _mm256_add_ps(re[i], _mm256_mul_ps(v, c));
      im[i] = _mm256_add_ps(im[i], _mm256_mul_ps(v, s));
    }
  }
  for (int i = 0; i < 4; ++i)
    _mm256_storeu_ps(out[i], _mm256_add_ps(_mm256_mul_ps(re[i], re[i]), _mm256_mul_ps(im[i], im[i])));
  for (int k = 0; k < 16; ++k) lastFold[k] = fold[3][k];
}

#endif

template <bool kPower, bool kAligned>
void DftAllGroups(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nGroups,
                  float* out) {
  int g = 0;
  for (; g + 2 <= nGroups; g += 2)
    DftGroups<2, kPower, kAligned>(fold, N, cosT + 4 * g, sinT + 4 * g, stride, out + 4 * g);
  if (g < nGroups) DftGroups<1, kPower, kAligned>(fold, N, cosT + 4 * g, sinT + 4 * g, stride, out + 4 * g);
}
#endif

int ProcessFramesFast(DFTFilter& f, sp_long nFrame, const float* In, float* Out, int fSqrt, int bandFirst,
                      int bandLast) {
  const int N = f.Ndft;
  if (f.Ndec != 1 || f.NframePerDft != N || f.NHist != f.Nseg * N || N > kFastFold ||
      f.NHist + N > kFastHistory)
    return 0;
  const int nBands = bandLast >= bandFirst ? bandLast - bandFirst + 1 : 0;
  const int nGroups = (nBands + 3) / 4;
  const int tableStride = 4 * nGroups;  // floats per table row (one row per point k)
  if (static_cast<long long>(N) * tableStride > kFastTable) return 0;

  // Tables transposed to point-major order, bands of a row side by side, padded with zeros.
  alignas(16) float cosT[kFastTable];
  alignas(16) float sinT[kFastTable];
  for (int k = 0; k < N; ++k)
    for (int j = 0; j < tableStride; ++j) {
      const bool inside = j < nBands;
      const std::size_t src = static_cast<std::size_t>(bandFirst + (inside ? j : 0)) * N + k;
      cosT[k * tableStride + j] = inside ? f.CosTab[src] : 0.0f;
      sinT[k * tableStride + j] = inside ? f.SinTab[src] : 0.0f;
    }

  const int NHist = f.NHist;
  const int Nseg = f.Nseg;
  const float* win = f.Win;
  const bool power = f.fPower != 0;
  const bool root = power && fSqrt != 0;
  const int older = NHist + N - 2;  // input samples before the pass that a frame can read
  alignas(16) float hist[kFastFrames + kFastHistory];
  alignas(16) float fold[kFastFold];
  alignas(16) float bands[kFastTable];

  for (sp_long done = 0; done < nFrame;) {
    const int c = nFrame - done < kFastFrames ? static_cast<int>(nFrame - done) : kFastFrames;
    const float* x = In + done;
    float* out = Out + static_cast<std::size_t>(done) * f.Nband;

    // hist[c - 1 - i] is the input i frames after the pass starts (i < 0: before it). The
    // input d frames back is in InRing for d < Ndft and at HistPos - d of channel 0's history
    // (channel d - NHist's at HistPos for the oldest ones).
    for (int i = 0; i < c; ++i) hist[c - 1 - i] = x[i];
    float* back = hist + (c - 1);  // back[d]: the input d frames before the pass
    for (int d = 1; d < N; ++d) back[d] = f.InRing[f.InRingPos - d >= 0 ? f.InRingPos - d : f.InRingPos - d + N];
    {
      // d = N .. NHist from channel 0, positions HistPos - d backwards (wrapping once).
      const float* row0 = f.Hist;
      int d = N;
      for (int p = f.HistPos - d; d <= NHist && p >= 0; ++d, --p) back[d] = row0[p];
      for (int p = f.HistPos - d + NHist; d <= NHist; ++d, --p) back[d] = row0[p];
      // d = NHist + 1 .. NHist + N - 2 from channels 1, 2, ... at HistPos.
      for (; d <= older; ++d) back[d] = f.Hist[static_cast<std::size_t>(d - NHist) * NHist + f.HistPos];
    }

    int fr = 0;
#if defined(__SSE2__)
    if (N == 16 && nGroups == 2 && power && !root) {
      alignas(16) float fold1[16];
      alignas(16) float bands1[8];
#if defined(SP_DFT_AVX2)
      const bool avx2 = sp::HasAvx2();
#endif
#if defined(SP_DFT_AVX2)
      if (avx2 && nBands == 8) {
        for (; fr + 3 < c; fr += 4) {
          float* y = out + static_cast<std::size_t>(fr) * f.Nband + bandFirst;
          float* const rows[4] = {y, y + f.Nband, y + 2 * f.Nband, y + 3 * f.Nband};
          FrameQuad16Avx2(hist + (c - 1 - fr) + 15, win, Nseg, cosT, sinT, rows, fold);
        }
      }
#endif
      for (; fr + 1 < c; fr += 2) {
        // All eight bands go straight to the two output rows; fewer through bands/bands1.
        float* y = out + static_cast<std::size_t>(fr) * f.Nband + bandFirst;
        const bool direct = nBands == 8;
        float* y0 = direct ? y : bands;
        float* y1 = direct ? y + f.Nband : bands1;
#if defined(SP_DFT_AVX2)
        if (avx2)
          FramePair16Avx2(hist + (c - 1 - fr) + 15, win, Nseg, cosT, sinT, fold1, fold, y0, y1);
        else
#endif
          FramePair16(hist + (c - 1 - fr) + 15, win, Nseg, cosT, sinT, fold1, fold, y0, y1);
        if (!direct) {
          for (int j = 0; j < nBands; ++j) y[j] = bands[j];
          for (int j = 0; j < nBands; ++j) y[f.Nband + j] = bands1[j];
        }
      }
    }
#endif
    for (; fr < c; ++fr) {
      // Channel k, segment m reads the input (N - 1) + m*N + k frames back.
      const float* base = hist + (c - 1 - fr) + (N - 1);
      int k = 0;
#if defined(__SSE2__)
      if (N == 16) {
        FoldChannels<4>(base, win, N, Nseg, fold);
        k = 16;
      } else if (N == 8) {
        FoldChannels<2>(base, win, N, Nseg, fold);
        k = 8;
      }
      for (; k + 4 <= N; k += 4) FoldChannels<1>(base + k, win + k, N, Nseg, fold + k);
#endif
      for (; k < N; ++k) {
        float sum = 0.0f;
        for (int m = 0; m < Nseg; ++m) sum = sum + base[m * N + k] * win[m * N + k];
        fold[k] = sum;
      }

#if defined(__SSE2__)
      if (N % 4 == 0) {
        if (power) DftAllGroups<true, true>(fold, N, cosT, sinT, tableStride, nGroups, bands);
        else DftAllGroups<false, true>(fold, N, cosT, sinT, tableStride, nGroups, bands);
      } else {
        if (power) DftAllGroups<true, false>(fold, N, cosT, sinT, tableStride, nGroups, bands);
        else DftAllGroups<false, false>(fold, N, cosT, sinT, tableStride, nGroups, bands);
      }
#else
      for (int j = 0; j < nBands; ++j) {
        float re = 0.0f, im = 0.0f;
        for (int q = 0; q < N; ++q) {
          re = re + fold[q] * cosT[q * tableStride + j];
          im = im + fold[q] * sinT[q * tableStride + j];
        }
        bands[j] = power ? re * re + im * im : re;
      }
#endif
      float* y = out + static_cast<std::size_t>(fr) * f.Nband + bandFirst;
      if (root) {
        for (int j = 0; j < nBands; ++j) y[j] = static_cast<float>(std::pow(static_cast<double>(bands[j]), 0.5));
      } else {
        int j = 0;
#if defined(__SSE2__)
        for (; j + 4 <= nBands; j += 4) _mm_storeu_ps(y + j, _mm_load_ps(bands + j));
#endif
        if (j < nBands) std::memcpy(y + j, bands + j, sizeof(float) * static_cast<std::size_t>(nBands - j));
      }
    }

    // Rings as the frame-by-frame algorithm leaves them: frame i wrote the input i - k frames
    // back into channel k at HistPos + i; only the last NHist frames survive.
    const int first = c > NHist ? c - NHist : 0;
    const int p0 = static_cast<int>((f.HistPos + static_cast<long long>(first)) % NHist);
    const int run = c - first < NHist - p0 ? c - first : NHist - p0;  // frames before the wrap
    for (int k = 0; k < N; ++k) {
      float* row = f.Hist + static_cast<std::size_t>(k) * NHist;
      const float* src = hist + (c - 1 + k);  // frame fr reads src[-fr]
      for (int i = 0; i < run; ++i) row[p0 + i] = src[-(first + i)];
      for (int i = run; i < c - first; ++i) row[i - run] = src[-(first + i)];
    }
    const int firstIn = c > N ? c - N : 0;
    int q = static_cast<int>((f.InRingPos + static_cast<long long>(firstIn)) % N);
    for (int fr = firstIn; fr < c; ++fr) {
      f.InRing[q] = x[fr];
      if (++q == N) q = 0;
    }
    f.HistPos = static_cast<int>((f.HistPos + static_cast<long long>(c)) % NHist);
    f.InRingPos = static_cast<int>((f.InRingPos + static_cast<long long>(c)) % N);
    std::memcpy(f.Fold, fold, sizeof(float) * static_cast<std::size_t>(N));
    done += c;
  }
  return 1;
}

}  // namespace

int DFTFilter::ProcDFTFilterPow(sp_long Nsample, float* In, float* Out, int fSqrt) {
  if (fInit == 0 || Nsample < 1 || Nsample % Ndec != 0 || In == nullptr || Out == nullptr) return 0;

  const sp_long nFrame = Nsample / Ndec;
  // The owner moves BandFirst/BandLast; a range outside the frame is cut to it.
  const int bandFirst = BandFirst > 0 ? BandFirst : 0;
  const int bandLast = BandLast < Nband - 1 ? BandLast : Nband - 1;
  if (ProcessFramesFast(*this, nFrame, In, Out, fSqrt, bandFirst, bandLast)) return 1;

  for (sp_long f = 0; f < nFrame; ++f) {
    const float* x = In + static_cast<std::size_t>(f) * Ndec;
    float* y = Out + static_cast<std::size_t>(f) * Nband;

    InRing[InRingPos] = x[0];
    int t = InRingPos;
    InRingPos = InRingPos + 1 == Ndft ? 0 : InRingPos + 1;

    // Channel k receives the input delayed by k samples; its history is sampled every
    // NframePerDft frames (Ndft input samples) to fold the windowed stretch.
    int j0 = HistPos - (NframePerDft - 1);
    if (j0 < 0) j0 += NHist;
    for (int k = 0; k < Ndft; ++k) {
      float* h = Hist + static_cast<std::size_t>(k) * NHist;
      h[HistPos] = InRing[t];
      t = t == 0 ? Ndft - 1 : t - 1;

      float sum = 0.0f;
      int j = j0;
      for (int m = 0; m < Nseg; ++m) {
        sum = sum + h[j] * Win[m * Ndft + k];
        j -= NframePerDft;
        if (j < 0) j += NHist;
      }
      Fold[k] = sum;
    }
    HistPos = HistPos + 1 == NHist ? 0 : HistPos + 1;

    for (int b = bandFirst; b <= bandLast; ++b) {
      const float* c = CosTab + static_cast<std::size_t>(b) * Ndft;
      float re = 0.0f;
      for (int k = 0; k < Ndft; ++k) re = re + Fold[k] * c[k];
      if (fPower) {
        const float* s = SinTab + static_cast<std::size_t>(b) * Ndft;
        float im = 0.0f;
        for (int k = 0; k < Ndft; ++k) im = im + Fold[k] * s[k];
        float p = re * re + im * im;
        // The root is taken as the power 0.5 in double precision, then stored as float.
        if (fSqrt) p = static_cast<float>(std::pow(static_cast<double>(p), 0.5));
        y[b] = p;
      } else {
        y[b] = re;
      }
    }

    for (int i = 1; i < Ndec; ++i) {
      InRing[InRingPos] = x[i];
      InRingPos = InRingPos + 1 == Ndft ? 0 : InRingPos + 1;
    }
  }
  return 1;
}
