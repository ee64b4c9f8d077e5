// The filter bank's kernels in portable scalar code (see filter_bank.h).
#include "filter_bank.h"

namespace sp::kernels {

void FoldScalar(const float* base, const float* win, int N, int Nseg, float* fold) {
  for (int k = 0; k < N; ++k) {
    float sum = 0.0f;
    for (int m = 0; m < Nseg; ++m) sum = sum + base[m * N + k] * win[m * N + k];
    fold[k] = sum;
  }
}

void DftScalar(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nBands, bool power,
               float* bands) {
  for (int j = 0; j < nBands; ++j) {
    float re = 0.0f, im = 0.0f;
    for (int q = 0; q < N; ++q) {
      re = re + fold[q] * cosT[q * stride + j];
      im = im + fold[q] * sinT[q * stride + j];
    }
    bands[j] = power ? re * re + im * im : re;
  }
}

void FramePairScalar(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                     float* fold0, float* fold1, float* bands0, float* bands1) {
  FoldScalar(base, win, 16, Nseg, fold0);
  FoldScalar(base - 1, win, 16, Nseg, fold1);
  DftScalar(fold0, 16, cosT, sinT, 8, 8, true, bands0);
  DftScalar(fold1, 16, cosT, sinT, 8, 8, true, bands1);
}

void FrameQuadScalar(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                     float* const* out, float* lastFold) {
  for (int i = 0; i < 4; ++i) {
    FoldScalar(base - i, win, 16, Nseg, lastFold);
    DftScalar(lastFold, 16, cosT, sinT, 8, 8, true, out[i]);
  }
}

}  // namespace sp::kernels
