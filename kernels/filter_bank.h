// Kernels of the filter bank's frame loop (filters/DFTFilter.cpp): the fold of the windowed
// input into the DFT's channels and the DFT of a fold, for any geometry and for the engine's
// (16 channels, 8 bands, power output) two or four frames at a time. See simd.h for the
// versions and how one is chosen.
//
// Every sum keeps its order: the fold of channel k adds the segments m = 0, 1, ...; the DFT of
// band j adds the points q = 0, 1, ... . Power is re * re + im * im.
#ifndef SP_KERNELS_FILTER_BANK_H
#define SP_KERNELS_FILTER_BANK_H

#include "simd.h"

namespace sp::kernels {

// ---- Any geometry, one frame.

// fold[k] = sum over m < Nseg of base[m * N + k] * win[m * N + k], for k < N.
void FoldScalar(const float* base, const float* win, int N, int Nseg, float* fold);

// For j < nBands: re = sum over q < N of fold[q] * cosT[q * stride + j], im likewise from sinT;
// bands[j] = power ? re * re + im * im : re. stride is a multiple of 4 no smaller than
// nBands; the vector versions write bands up to nBands rounded up to 4 (the tables are zero
// past nBands). fold, cosT, sinT and bands are 16-byte aligned.
void DftScalar(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nBands, bool power,
               float* bands);

#if defined(SP_KERNELS_SSE2)
void FoldSse2(const float* base, const float* win, int N, int Nseg, float* fold);
void DftSse2(const float* fold, int N, const float* cosT, const float* sinT, int stride, int nBands, bool power,
             float* bands);
#endif

// ---- The engine's geometry (N 16, 8 bands, power), several frames at a time.
//
// Frame i reads one sample earlier than frame i - 1: its channel k, segment m is
// base[16 * m + k - i]. win holds 16 * Nseg taps; cosT and sinT hold 8 values (bands 0-7)
// per point, 16-byte aligned.

// Frames 0 and 1: their folds go to fold0 and fold1 (16-byte aligned), their 8 band powers
// to bands0 and bands1.
void FramePairScalar(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                     float* fold0, float* fold1, float* bands0, float* bands1);

// Frames 0 .. 3: the 8 band powers of frame i go to out[i], frame 3's fold to lastFold.
void FrameQuadScalar(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                     float* const* out, float* lastFold);

#if defined(SP_KERNELS_SSE2)
void FramePairSse2(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                   float* fold0, float* fold1, float* bands0, float* bands1);
#endif
#if defined(SP_KERNELS_AVX2)
void FramePairAvx2(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                   float* fold0, float* fold1, float* bands0, float* bands1);
void FrameQuadAvx2(const float* base, const float* win, int Nseg, const float* cosT, const float* sinT,
                   float* const* out, float* lastFold);
#endif

}  // namespace sp::kernels

#endif
