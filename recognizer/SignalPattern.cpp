// SignalPattern: construction, copying, initialisation and release, the version, the audio
// intake (integer PCM to float samples) and pattern creation from a whole buffer.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "SignalPatternRecognizer.h"
#include "sp_message.h"

namespace {

// Factor from a 16-bit sample to the engine's float sample: 1 / (2^15 - 1).
constexpr float kSampleScale = static_cast<float>(1.0 / 32767.0);
static_assert(kSampleScale == 1.0f / 32767.0f, "sample scale must be the single-precision 1/32767");

// Samples per chunk that CreatePattern feeds to Pattern.
constexpr int kCreateChunkSamples = 1152;
// Chunks of silence fed after the data so that the delayed end of the clip reaches the ring.
constexpr std::uint64_t kCreateSilentChunks = 10;

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
  if (!InitSignalPattern(Mode_, kCreateChunkSamples, 0)) return 0;

  // Another rate changes only the parameters in force: the geometry stays that of 44100 Hz and
  // the pattern written still records 44100 Hz.
  if (Fs != 44100.0f) {
    RecPar.Fs = Fs;
    RecPar.fFixedFs = 0;
  }

  // The sample indices are passed on as the engine's signed 32-bit positions.
  if (!SetCreatePatternMode(static_cast<sp_long>(NumSampBegin_), static_cast<sp_long>(NumSampEnd_), FileName,
                            nullptr))
    return 0;

  const unsigned int wordSize = WordSize(SampleFormat);
  if (wordSize == 0) return 0;

  // Byte counts in 64 bits: Nsample times the word size may exceed 32 bits.
  const std::uint64_t chunkBytes = static_cast<std::uint64_t>(kCreateChunkSamples) * wordSize;
  const std::uint64_t totalBytes = static_cast<std::uint64_t>(Nsample) * wordSize;
  const std::uint64_t rest = totalBytes % chunkBytes;
  const std::uint64_t nChunk = totalBytes / chunkBytes + (rest != 0 ? 1 : 0);

  unsigned char* scratch = new (std::nothrow) unsigned char[chunkBytes];
  if (scratch == nullptr) return 0;

  const unsigned char* bytes = static_cast<const unsigned char*>(Data);
  int result = 1;
  for (std::uint64_t i = 0; i < nChunk + kCreateSilentChunks; ++i) {
    const unsigned char* chunk;
    if (i + 1 >= nChunk) std::memset(scratch, 0, chunkBytes);
    if (i + 1 == nChunk && rest != 0) {
      // The last, partial chunk: its bytes followed by zeros.
      std::memcpy(scratch, bytes + i * chunkBytes, rest);
      chunk = scratch;
    } else if (i >= nChunk) {
      chunk = scratch;
    } else {
      chunk = bytes + i * chunkBytes;
    }
    if (Pattern(kCreateChunkSamples, const_cast<unsigned char*>(chunk), SampleFormat, nullptr) < 0) {
      result = 0;
      break;
    }
    if (fCreatedPattern) break;
  }

  delete[] scratch;
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
