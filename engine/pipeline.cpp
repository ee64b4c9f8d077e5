// The block pipeline: pre-filter, decimation, DFT filter bank, averaging into time blocks and
// the per-time-block work of the active mode.
#include <cmath>

#include "IirBiq.h"
#include "TimeSpectrumEstimation.h"
#include "sp_message.h"

int TimeSpectrumEstimation::TimeSpectrumEst(sp_long Nsample, float* In) {
  if (!fInitialized || In == nullptr || Nsample < 1 || Nsample > NsampleMax || NsampleBlock < 1 ||
      Nsample % NsampleBlock != 0)
    return 0;

  if (Nbiq > 0) {
    if (IirBiq(Nbiq, BiqCoef, Nsample, In, FilteredBuf, BiqState, 0) != Nsample) return 0;
    // A non-finite sample (or one so large that the recursion overflows) would stay in the
    // pre-filter's feedback for ever. Clear the delay line and the block's non-finite output
    // then: the damage stays within this block, and the filter-bank rings and the time blocks
    // flush it out within NframeAvg frames and Nblock time blocks. Finite input never gets here.
    bool finiteState = true;
    for (int i = 0; i < 2 * Nbiq; ++i) finiteState = finiteState && std::isfinite(BiqState[i]);
    if (!finiteState) {
      for (int i = 0; i < 2 * Nbiq; ++i) BiqState[i] = 0.0f;
      for (sp_long i = 0; i < Nsample; ++i)
        if (!std::isfinite(FilteredBuf[i])) FilteredBuf[i] = 0.0f;
    }
  } else {
    for (sp_long i = 0; i < Nsample; ++i) FilteredBuf[i] = In[i];
  }

  sp_long nKept = Nsample;
  if (NdecIn > 1) {
    nKept = Nsample / NdecIn;
    for (sp_long i = 0; i < nKept; ++i) FilteredBuf[i] = FilteredBuf[i * NdecIn];
  }

  const sp_long nFrames = nKept / Ndec;
  for (sp_long i = 0; i < nFrames; ++i) {
    float* row = DftPowRing + static_cast<long>(DftPowRingPos) * Nband;
    if (!ProcDFTFilterPow(Ndec, FilteredBuf + i * Ndec, row, 0)) return 0;

    if (FrameInHop == 0) {
      float* block = TimeSpectrum + static_cast<long>(NblockCur) * Nband;
      for (int b = 0; b < Nband; ++b) {
        // Mean of the last NframeAvg frames, newest first, summed in single precision.
        float sum = 0.0f;
        int r = DftPowRingPos;
        for (int k = 0; k < NframeAvg; ++k) {
          sum += DftPowRing[static_cast<long>(r) * Nband + b];
          if (--r < 0) r = NframeAvg - 1;
        }
        block[b] = sum * InvNframeAvg;
      }
      NCurrentSample += static_cast<sp_ulong>(NsampleBlock);
      NCurrentSampleRel = NCurrentSample < NSampleOffset ? 0 : NCurrentSample - NSampleOffset;

      if (fCreatePatternMode) {
        int done = 0;
        CreateSignalPattern(done);
      }
      if (fRecognitionMode) {
        if (fNewRecognizeParam) {
          SetNewRecognizeParam();
          fNewRecognizeParam = 0;
        }
        RecognizePattern();
        Monitor_Deviation();
        if (RecPar.fStatistics && hTestDataFile != INVALID_HANDLE_VALUE) {
          if (!WriteTestDataFile()) sp::LogLine(0, CP1251("Ошибка записи в файл тестовых данных"));
        }
        if (fOutInfo)
          sp::LogFormat(0, "PRMD %f, %f, %ld, c=%f", static_cast<double>(MonitorParam.RelDev),
                        static_cast<double>(MonitorParam.ValueB),
                        static_cast<long>(static_cast<sp_long>(NCurrentSample)),
                        static_cast<double>(MonitorParam.ValueC));
        if (BlockObserver != nullptr) BlockObserver(BlockObserverContext, this);
      }
      NblockCur = (NblockCur + 1) % Nblock;
    }
    FrameInHop = (FrameInHop + 1) % NframeHop;
    DftPowRingPos = (DftPowRingPos + 1) % NframeAvg;
  }
  return 1;
}
