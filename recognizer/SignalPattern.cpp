// SignalPattern: construction, copying, initialisation and release, the version, the audio
// intake (integer PCM to float samples) and pattern creation from a whole buffer (through
// PatternMaker).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "PatternMaker.h"
#include "SignalPattern.h"
#include "sp_message.h"

namespace {

// Factor from a 16-bit sample to the engine's float sample: 1 / (2^15 - 1).
constexpr float kSampleScale = static_cast<float>(1.0 / 32767.0);
static_assert(kSampleScale == 1.0f / 32767.0f, "sample scale must be the single-precision 1/32767");

// Bytes per sample of a sample format; 0 for an unknown format.
unsigned int WordSize(unsigned int format) {
  switch (format) {
    case SP_SAMPLE_S16: return 2;
    case SP_SAMPLE_S32_LOW:
    case SP_SAMPLE_S32_HIGH: return 4;
    default: return 0;
  }
}

// A signed 16-bit little-endian value at p (any alignment).
inline std::int16_t Int16At(const unsigned char* p) {
  std::uint16_t u = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  std::int16_t v;
  std::memcpy(&v, &u, sizeof(v));
  return v;
}

}  // namespace

SignalPattern::SignalPattern() : TimeSpectrumEstimation(), SampleScale(kSampleScale), GeneralStatistics() {}

SignalPattern::~SignalPattern() { GeneralStatistics.Release(); }

// The engine part is copied as an independent engine (see TimeSpectrumEstimation). The summary
// statistics cannot be duplicated: the copy starts with an empty GeneralStatistics and, when it
// is in recognition mode with statistics, builds a fresh one and links its own (fresh)
// per-pattern statistics objects to it, so the copy goes on collecting on its own.
SignalPattern::SignalPattern(const SignalPattern& other)
    : TimeSpectrumEstimation(other), SampleScale(other.SampleScale), GeneralStatistics() {
  if (fRecognitionMode && RecPar.fStatistics && TVS != nullptr) InitGeneralStatistics();
}

SignalPattern& SignalPattern::operator=(const SignalPattern& other) {
  if (this == &other) return *this;
  GeneralStatistics.Release();
  TimeSpectrumEstimation::operator=(other);
  SampleScale = other.SampleScale;
  if (fRecognitionMode && RecPar.fStatistics && TVS != nullptr) InitGeneralStatistics();
  return *this;
}

int SignalPattern::InitSignalPattern(unsigned int Mode_, int NsampleMax_, int fOutInfo_) {
  return InitTimeSpectrumEst(static_cast<sp_ulong>(Mode_), NsampleMax_, fOutInfo_, 0);
}

void SignalPattern::UnloadSignalPatternObj(int fAll, int fStat) {
  UnloadTimeSpectrumObj(fAll);
  if (fStat) GeneralStatistics.Release();
}

int SignalPattern::GetLinearVersionNumber() { return VersionNumber; }

char* SignalPattern::GetVersionName() {
  // One buffer per thread, so that objects used in different threads do not share it.
  static thread_local char versionName[128];
  std::snprintf(versionName, sizeof(versionName), "%d.%d", VersionNumber > 1 ? 2 : 1, VersionNumber);
  return versionName;
}

int SignalPattern::Pattern(int Nsample, void* Data, unsigned int SampleFormat, int* /*Reserved*/) {
  if (!fInitialized || Data == nullptr || SampleBuf == nullptr || Nsample < 1152 || Nsample > NsampleMax) return -1;
  const int recognizedBefore = NRecognize;

  const unsigned char* bytes = static_cast<const unsigned char*>(Data);
  switch (SampleFormat) {
    case SP_SAMPLE_S16:
      for (int i = 0; i < Nsample; ++i)
        SampleBuf[i] = static_cast<float>(Int16At(bytes + 2 * static_cast<std::size_t>(i))) * SampleScale;
      break;
    case SP_SAMPLE_S32_LOW:
      for (int i = 0; i < Nsample; ++i)
        SampleBuf[i] = static_cast<float>(Int16At(bytes + 4 * static_cast<std::size_t>(i))) * SampleScale;
      break;
    case SP_SAMPLE_S32_HIGH:
      for (int i = 0; i < Nsample; ++i)
        SampleBuf[i] = static_cast<float>(Int16At(bytes + 4 * static_cast<std::size_t>(i) + 2)) * SampleScale;
      break;
    default:
      return -1;
  }

  if (!TimeSpectrumEst(Nsample, SampleBuf)) return -2;
  return NRecognize - recognizedBefore;
}

int SignalPattern::CreatePattern(sp_ulong Nsample, sp_ulong NumSampBegin_, sp_ulong NumSampEnd_, void* Data,
                                 unsigned int SampleFormat, char* FileName, float Fs, unsigned int Mode_) {
  if (NumSampEnd_ < NumSampBegin_ || NumSampEnd_ >= Nsample || Data == nullptr || FileName == nullptr) return 0;

  DFTFilter::UnloadObj();
  // The sample indices are passed on as the engine's signed 32-bit positions.
  PatternMaker maker(*this);
  if (!maker.Start(static_cast<sp_long>(NumSampBegin_), static_cast<sp_long>(NumSampEnd_), FileName, Fs, Mode_))
    return 0;
  if (WordSize(SampleFormat) == 0) return 0;

  // The whole buffer, then the closing silence; a pattern not written for want of input still
  // counts as success, a refused block does not.
  int result = maker.Feed(Data, Nsample, SampleFormat) >= 0 && maker.Finish() >= 0 ? 1 : 0;
  DFTFilter::UnloadObj();
  return result;
}

void SignalPattern::InitGeneralStatistics() {
  if (!RecPar.fStatistics || TVS == nullptr) return;
  if (!GeneralStatistics.IsNotEmpty()) {
    if (!GeneralStatistics.Init(1, TVS[0] != nullptr ? TVS[0]->PatternStat : nullptr)) {
      sp::LogLine(0, CP1251("Не инициализировать GeneralStatistics"));
      return;
    }
    GeneralStatistics.SetItem(0, 1, CP1251("Суммарная статистика по всем случаям"));
  }
  for (int v = 0; v < NPattern; ++v)
    if (TVS[v] != nullptr && TVS[v]->PatternStat != nullptr) TVS[v]->PatternStat->Linked = &GeneralStatistics;
}
