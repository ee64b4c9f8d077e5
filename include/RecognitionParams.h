// Parameter records of recognition: what a client passes in (SigRecognitionPar), the
// parameters in force (SigRecognitionBase) and the per-block monitoring record
// (RecognizeParam).
#ifndef SP_RECOGNITIONPARAMS_H
#define SP_RECOGNITIONPARAMS_H

#include "sp_types.h"

// Parameters of recognition. dB values are power decibels (10*log10).
struct SP_API SigRecognitionBase {
  float Fs = 44100.0f;                    // sample rate of the input, Hz
  int fUseRelDevMPB = 1;                  // early rejection by the maximum-power band; 0 with statistics
  int fFixedFs = 1;                       // only 44100 Hz is accepted
  float LevMax_dB = 20.0f;                // level window of a pattern against the input
  float LevMin_dB = -20.0f;
  float BandGainMax_dB = 1.5f;            // band alignment window
  float BandGainMin_dB = -1.5f;
  float TresholdRelDeviationMPB = 1.2f;   // threshold of the maximum-power-band deviation
  float TresholdRelDeviation = 0.9f;      // threshold of the overall deviation
  float LevNoise_dB = -60.0f;             // noise floor level
  int fStatistics = 0;                    // collect statistics, allow test-data recording
  int fKnownPattern = 1;                  // statistics category rule
  // Linear power ratios of the four dB fields; always recomputed by the library.
  float LevMax = 100.0f;
  float LevMin = 0.01f;
  float BandGainMax = 1.4125f;
  float BandGainMin = 0.7079f;

  // Refreshes the derived values: fUseRelDevMPB = 0 when fStatistics is set; the four linear
  // ratios from the dB fields (10^(dB/10) in single precision).
  void RefreshDerivedValues();
};

// The client's parameter record: SigRecognitionBase followed by the pattern list.
struct SP_API SigRecognitionPar : SigRecognitionBase {
  sp_ulong Mode = 0x20000;                // mode word (acceleration bits in 0x20000..0x100000)
  int NsampleMax = 1152;                  // largest samples per block
  int NPattern = 1;                       // number of pattern files
  char** PatternFileNames = nullptr;      // NPattern zero-terminated names (the client's)
  int fOutInfo = 0;                       // write diagnostic lines
};

// Monitoring record of one time block; also the record of the test-data file.
struct SP_API RecognizeParam {
  int Nvalue = 0;          // entries in Value
  float* Value = nullptr;  // Nvalue floats (at least 2 allocated)
  int Reserved1 = 0;
  float RelDev = 0.0f;     // overall deviation of the latest comparison
  float ValueC = 0.0f;
  float ValueB = 0.0f;
  int Reserved2 = 0;
  int Reserved3 = 0;
  int fRecognized = 0;     // 1 after an accepted recognition, 0 after a refused repeat

  // All scalar fields 0, all Value entries 0.0.
  void Reset();
  // Frees Value, Nvalue = 0.
  void Release();
  // Releases, allocates max(n, 2) floats, Nvalue = n, resets. Returns 1, or 0 when n < 1 or
  // the allocation fails.
  int Init(int n);
};

#endif
