// The block pipeline: pre-filter, decimation, DFT filter bank, averaging into time blocks and
// the per-time-block work of the active mode.
#include <cmath>
#include <cstring>

#include "../kernels/ring_mean.h"
#include "IirBiq.h"
#include "TimeSpectrumEstimation.h"
#include "prefilter_stage.h"
#include "sp_message.h"

namespace {

// Mean of the last `rows` rows of the frame-power ring for every band (kernels/ring_mean.h).
void AverageRing(const float* ring, int rows, int pos, int nband, float scale, float* out) {
#if defined(SP_KERNELS_SSE2)
  sp::kernels::RingMeanSse2(ring, rows, pos, nband, scale, out);
#else
  sp::kernels::RingMeanScalar(ring, rows, pos, nband, scale, out);
#endif
}

// True when every value is within +-1e20 (NaN is not).
bool Bounded(const float* x, long n) {
  bool ok = true;
  for (long i = 0; i < n; ++i) ok &= std::fabs(x[i]) <= 1.0e20f;
  return ok;
}

}  // namespace

int TimeSpectrumEstimation::TimeSpectrumEst(sp_long Nsample, float* In) {
  if (!fInitialized || In == nullptr || Nsample < 1 || Nsample > NsampleMax || NsampleBlock < 1 ||
      Nsample % NsampleBlock != 0)
    return 0;

  // When the block's first frame closes a time block that is matched, only the samples that
  // frame needs are pre-filtered now; the rest of the block is filtered while that time block
  // is matched (see prefilter_stage.h), and in any case before the next frame. This takes the
  // standard pre-filter and bounded input: its sections are stable (the absolute sums of their
  // impulse responses are below 30), so from samples and a delay line within +-1e20 nothing
  // can overflow, and the non-finite handling below has nothing to do.
  sp::InterleavedPrefilter interleaved;
  const bool deferred = Nbiq == 2 && NdecIn == 4 && Ndec == 1 && fRecognitionMode && FrameInHop == 0 &&
                        BiqCoef != nullptr && BiqState != nullptr &&
                        std::memcmp(BiqCoef, StandardBiquadCoefficients, sizeof StandardBiquadCoefficients) == 0 &&
                        Bounded(BiqState, 4) && Bounded(In, Nsample);
  if (deferred) {
    interleaved.Start(In, FilteredBuf, Nsample, Nsample / NdecIn, BiqCoef, BiqState);
    interleaved.Advance(NdecIn);
  } else if (Nbiq > 0) {
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
    if (!deferred)
      for (sp_long i = 0; i < nKept; ++i) FilteredBuf[i] = FilteredBuf[i * NdecIn];
  }

  // The filter bank runs frame after frame into consecutive rows of DftPowRing. The frames up
  // to the next one that closes a time block (FrameInHop 0), and not past the ring's last row,
  // go to the filter bank in one call; the time block is then made from the ring exactly as
  // after frame-by-frame processing, and band changes made at a time block take effect at the
  // frame after it.
  const sp_long nFrames = nKept / Ndec;
  for (sp_long i = 0; i < nFrames;) {
    sp_long count = nFrames - i;
    const sp_long toRingEnd = NframeAvg - DftPowRingPos;
    const sp_long toBlock = FrameInHop == 0 ? 1 : NframeHop - FrameInHop + 1;
    if (count > toRingEnd) count = toRingEnd;
    if (count > toBlock) count = toBlock;
    if (i > 0) interleaved.Finish();  // the frames after the first need the rest of the block
    float* row = DftPowRing + static_cast<long>(DftPowRingPos) * Nband;
    if (!ProcDFTFilterPow(count * Ndec, FilteredBuf + i * Ndec, row, 0)) return 0;
    i += count;
    // Bookkeeping of the frames before the chunk's last one (none of them closes a block).
    FrameInHop = static_cast<int>((FrameInHop + count - 1) % NframeHop);
    DftPowRingPos += static_cast<int>(count - 1);

    if (FrameInHop == 0) {
      // Mean of the last NframeAvg frames, newest first, summed in single precision.
      float* block = TimeSpectrum + static_cast<long>(NblockCur) * Nband;
      AverageRing(DftPowRing, NframeAvg, DftPowRingPos, Nband, InvNframeAvg, block);
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
        RecognizePattern(interleaved.Pending() ? &interleaved : nullptr);
        interleaved.Finish();
        Monitor_Deviation();
        if (RecPar.fStatistics && hTestDataFile != INVALID_HANDLE_VALUE) {
          if (!WriteTestDataFile()) sp::LogLine(0, CP1251("Ошибка записи в файл тестовых данных"));
        }
        if (fOutInfo)
          sp::LogFormat(0, "PRMD %f, %f, %ld, c=%f", static_cast<double>(MonitorParam.RelDev),
                        static_cast<double>(MonitorParam.ValueB),
                        static_cast<long>(static_cast<sp_long>(NCurrentSample)),
                        static_cast<double>(MonitorParam.ValueC));
        if (NBlockObservers > 0) {
          const TimeBlockView view = BlockView(NblockCur);
          for (int k = NBlockObservers - 1; k >= 0; --k) BlockObservers[k](BlockObserverContexts[k], view);
        }
      }
      NblockCur = (NblockCur + 1) % Nblock;
    }
    FrameInHop = (FrameInHop + 1) % NframeHop;
    DftPowRingPos = (DftPowRingPos + 1) % NframeAvg;
  }
  return 1;
}

TimeBlockView TimeSpectrumEstimation::CurrentTimeBlock() const {
  return BlockView(Nblock > 0 ? (NblockCur + Nblock - 1) % Nblock : 0);
}

TimeBlockView TimeSpectrumEstimation::BlockView(int row) const {
  TimeBlockView v;
  v.Nband = Nband;
  v.NsampleBlock = NsampleBlock;
  v.FramesPerHop = NframeHop;
  v.FramesAveraged = NframeAvg;
  v.FramePowers = DftPowRing;
  v.NewestFrame = DftPowRingPos;
  v.FrameScale = InvNframeAvg;
  v.Block = TimeSpectrum != nullptr ? TimeSpectrum + static_cast<long>(row) * Nband : nullptr;
  v.Position = NCurrentSample;
  return v;
}

int TimeSpectrumEstimation::AddTimeBlockObserver(TimeBlockObserver observer, void* context) {
  if (observer == nullptr) return 0;
  RemoveTimeBlockObserver(observer, context);
  if (NBlockObservers >= kMaxBlockObservers) return 0;
  BlockObservers[NBlockObservers] = observer;
  BlockObserverContexts[NBlockObservers] = context;
  ++NBlockObservers;
  return 1;
}

void TimeSpectrumEstimation::RemoveTimeBlockObserver(TimeBlockObserver observer, void* context) {
  int kept = 0;
  for (int k = 0; k < NBlockObservers; ++k) {
    if (BlockObservers[k] == observer && BlockObserverContexts[k] == context) continue;
    BlockObservers[kept] = BlockObservers[k];
    BlockObserverContexts[kept] = BlockObserverContexts[k];
    ++kept;
  }
  for (int k = kept; k < NBlockObservers; ++k) {
    BlockObservers[k] = nullptr;
    BlockObserverContexts[k] = nullptr;
  }
  NBlockObservers = kept;
}
