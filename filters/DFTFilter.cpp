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

#include "../kernels/filter_bank.h"

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

namespace kernels = sp::kernels;

// ---- Fast frame loop for one input sample per frame (Ndec 1), the engine's case.
//
// With Ndec 1 every channel history is the same input sequence, delayed by the channel
// number: channel k at the position written j frames ago holds the input j + k frames back.
// The frames of a call therefore read one linear stretch of the input, which is laid out
// newest first in a local buffer, so that the fold of channels k .. k+3 for one window
// segment reads four neighbouring values. Every sum keeps its order (segments m = 0, 1, ...
// for the fold, points k = 0, 1, ... for the DFT) and its single-precision rounding: the
// kernels (kernels/filter_bank.h) only run channels, or bands, side by side. The rings
// (InRing, Hist, HistPos, InRingPos) and Fold end exactly as the frame-by-frame algorithm
// leaves them.

constexpr int kFastFrames = 256;    // frames per pass over the local buffers
constexpr int kFastHistory = 1024;  // largest NHist + Ndft the local history holds
constexpr int kFastTable = 1024;    // largest Ndft x (bands rounded up to 4) per table
constexpr int kFastFold = 256;      // largest Ndft

// The kernels of this build: SSE2 where the compiler targets it, AVX2 where the processor
// has it (see kernels/simd.h).
void Fold(const float* base, const float* win, int N, int Nseg, float* fold) {
#if defined(SP_KERNELS_SSE2)
  kernels::FoldSse2(base, win, N, Nseg, fold);
#else
  kernels::FoldScalar(base, win, N, Nseg, fold);
#endif
}

void Dft(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nBands, bool power,
         float* bands) {
#if defined(SP_KERNELS_SSE2)
  kernels::DftSse2(fold, N, cosT, sinT, stride, nBands, power, bands);
#else
  kernels::DftScalar(fold, N, cosT, sinT, stride, nBands, power, bands);
#endif
}

void FramePair(bool avx2, const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
               float* fold0, float* fold1, float* bands0, float* bands1) {
#if defined(SP_KERNELS_AVX2)
  if (avx2) return kernels::FramePairAvx2(base, win, Nseg, cosT, sinT, fold0, fold1, bands0, bands1);
#endif
  (void)avx2;
#if defined(SP_KERNELS_SSE2)
  kernels::FramePairSse2(base, win, Nseg, cosT, sinT, fold0, fold1, bands0, bands1);
#else
  kernels::FramePairScalar(base, win, Nseg, cosT, sinT, fold0, fold1, bands0, bands1);
#endif
}

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
    if (N == 16 && nGroups == 2 && power && !root) {
      alignas(16) float fold1[16];
      alignas(16) float bands1[8];
      const bool avx2 = kernels::HasAvx2();
#if defined(SP_KERNELS_AVX2)
      if (avx2 && nBands == 8) {
        for (; fr + 3 < c; fr += 4) {
          float* y = out + static_cast<std::size_t>(fr) * f.Nband + bandFirst;
          float* const rows[4] = {y, y + f.Nband, y + 2 * f.Nband, y + 3 * f.Nband};
          kernels::FrameQuadAvx2(hist + (c - 1 - fr) + 15, win, Nseg, cosT, sinT, rows, fold);
        }
      }
#endif
      for (; fr + 1 < c; fr += 2) {
        // All eight bands go straight to the two output rows; fewer through bands/bands1.
        float* y = out + static_cast<std::size_t>(fr) * f.Nband + bandFirst;
        const bool direct = nBands == 8;
        float* y0 = direct ? y : bands;
        float* y1 = direct ? y + f.Nband : bands1;
        FramePair(avx2, hist + (c - 1 - fr) + 15, win, Nseg, cosT, sinT, fold1, fold, y0, y1);
        if (!direct) {
          for (int j = 0; j < nBands; ++j) y[j] = bands[j];
          for (int j = 0; j < nBands; ++j) y[f.Nband + j] = bands1[j];
        }
      }
    }
    for (; fr < c; ++fr) {
      // Channel k, segment m reads the input (N - 1) + m*N + k frames back.
      const float* base = hist + (c - 1 - fr) + (N - 1);
      Fold(base, win, N, Nseg, fold);
      Dft(fold, N, cosT, sinT, tableStride, nBands, power, bands);
      float* y = out + static_cast<std::size_t>(fr) * f.Nband + bandFirst;
      if (root) {
        for (int j = 0; j < nBands; ++j) y[j] = static_cast<float>(std::pow(static_cast<double>(bands[j]), 0.5));
      } else if (nBands > 0) {
        std::memcpy(y, bands, sizeof(float) * static_cast<std::size_t>(nBands));
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
