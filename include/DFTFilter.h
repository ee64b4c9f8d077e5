// Uniform DFT filter bank (weighted overlap-add form) with power output.
#ifndef SP_DFTFILTER_H
#define SP_DFTFILTER_H

#include "sp_types.h"

class SP_API DFTFilter {
 public:
  int fInit;         // 1 after a successful InitDFTFilter
  int Ndft;          // DFT length: polyphase channels and DFT points
  int Nband;         // bands in an output frame (its stride in the output array)
  int BandFirst;     // first band computed
  int BandLast;      // last band computed (the owner may lower it)
  int Ndec;          // input samples consumed per output frame
  int NwinExt;       // window length rounded up to a multiple of Ndft
  int Nwin;          // window length as given
  int Nseg;          // NwinExt / Ndft
  int NframePerDft;  // Ndft / Ndec
  float* Win;        // own copy of the window, NwinExt floats, zero padded
  float* InRing;     // the last Ndft input samples
  int NHist;         // Nseg * NframePerDft: depth of each channel history
  int InRingPos;     // position in InRing written next
  float* Hist;       // Ndft channel histories of NHist floats (channel k at k*NHist)
  int HistPos;       // position written next in every channel history
  float* SinTab;     // Ndft*Ndft: [b*Ndft + k] = sin(2*pi*k*b/Ndft)
  float* CosTab;     // same with cos
  float* Fold;       // Ndft floats: the windowed, folded frame
  int fPower;        // 1: output re^2 + im^2; 0: output re

  DFTFilter();
  ~DFTFilter();
  // Copies the twenty fields and duplicates the owned buffers (the objects never share
  // storage); when a duplicate cannot be allocated the target is left released (fInit 0).
  DFTFilter& operator=(const DFTFilter& other);
  DFTFilter(const DFTFilter& other);

  // Returns 1 on success, 0 on refusal or allocation failure (the object is then released).
  // Nband < 1 selects the default band count: Ndft/2 for Ndft >= 4, else Ndft.
  int InitDFTFilter(int Ndft, int Nwin, float* Win, int Ndec, int fPower, int Nband);
  // Consumes Nsample samples, writes Nsample/Ndec frames of Nband floats (only bands
  // BandFirst..BandLast are written). Returns 1, or 0 on refusal (nothing consumed).
  int ProcDFTFilterPow(sp_long Nsample, float* In, float* Out, int fSqrt);
  // Frees every buffer and clears fInit; safe to call repeatedly.
  void UnloadObj();
};

// The standard 128-tap prototype window of the engine (symmetric; sums to 1.0966).
extern const float StandardDftWindow[128];
constexpr int StandardDftWindowLength = 128;

#endif
