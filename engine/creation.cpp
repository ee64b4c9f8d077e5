// Pattern creation mode: the stretch of input to turn into a pattern, the output file name,
// and the per-time-block step that writes the pattern file once the stretch has fully
// entered the time-spectrum ring.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "TimeSpectrumEstimation.h"
#include "sp_helpers.h"
#include "sp_message.h"

namespace {

const char kPatternExtension[] = "tvs";

bool IsPathSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

}  // namespace

int TimeSpectrumEstimation::SetCreatePatternMode(sp_long NumSampBegin_, sp_long NumSampEnd_, char* inputFile,
                                                 char* extension) {
  fCreatedPattern = 0;
  fCreatePatternMode = 0;
  if (!fInitialized || fRecognitionMode || inputFile == nullptr || inputFile[0] == 0) return 0;
  if (extension != nullptr && extension[0] == 0) return 0;

  if (NumSampBegin_ < 0 || NumSampEnd_ < 0 || NumSampBegin_ > NumSampEnd_) {
    sp::LogLine(0, CP1251("SetCreatePatternMode(): ошибка установки интервала"));
    sp::LogFormat(0, "NumSampBegin=%ld, NumSampEnd=%ld", static_cast<long>(NumSampBegin_),
                  static_cast<long>(NumSampEnd_));
    return 0;
  }

  const int interval = SetPatternInterval(NumSampBegin_, NumSampEnd_);
  if (interval == 1) {
    sp::LogLine(0, CP1251("SetCreatePatternMode(): ограничение длительности образца"));
    return 0;
  }
  if (interval != 0) {
    sp::LogLine(0, CP1251("SetCreatePatternMode(): не установить интервал образца"));
    return 0;
  }

  const std::size_t length = std::strlen(inputFile);
  delete[] InputFileName;
  InputFileName = new (std::nothrow) char[length + 1];
  if (InputFileName == nullptr) return 0;
  std::memcpy(InputFileName, inputFile, length + 1);

  // Output name: the input name without its extension, then the pattern extension. A dot
  // counts as an extension only inside the last path component and not at index 0.
  std::size_t last = length - 1;
  if (IsPathSeparator(inputFile[last])) return 0;
  for (std::size_t j = last; j >= 1; --j) {
    if (inputFile[j] == '.') {
      last = j - 1;
      break;
    }
    if (IsPathSeparator(inputFile[j])) break;
  }
  const char* ext = extension != nullptr ? extension : kPatternExtension;
  const std::size_t extLength = std::strlen(ext);
  delete[] PatternFileName;
  PatternFileName = new (std::nothrow) char[last + 1 + 1 + extLength + 1];
  if (PatternFileName == nullptr) return 0;
  std::memcpy(PatternFileName, inputFile, last + 1);
  PatternFileName[last + 1] = '.';
  std::memcpy(PatternFileName + last + 2, ext, extLength + 1);

  delete[] CreateBuf;
  CreateBuf = new (std::nothrow) float[static_cast<std::size_t>(NblockCreate) * static_cast<std::size_t>(Nband)];
  if (CreateBuf == nullptr) {
    sp::LogLine(0, CP1251("SetCreatePatternMode(): не выделить память для спектр. образца"));
    delete[] PatternFileName;
    PatternFileName = nullptr;
    return 0;
  }

  NSampleCreateOffset = 0;
  // Creation computes every band, whatever acceleration regime the mode selected.
  BandFirst = 0;
  BandLast = Nband - 1;
  fCreatePatternMode = 1;
  return 1;
}

int TimeSpectrumEstimation::SetPatternInterval(sp_long begin, sp_long end) {
  if (!fInitialized || fRecognitionMode || begin < 0 || end < 0 || begin > end) return -1;
  NsDelay = ((NwinExt - 1) / 2 + NframeAvg * Ndec) * NdecIn;
  const std::int64_t samplesPerBlock = static_cast<std::int64_t>(NdecIn) * Ndec * NframeHop;
  if (samplesPerBlock < 1) return -1;

  int result = 0;
  std::int64_t nblock = (static_cast<std::int64_t>(end) - begin + 1) / samplesPerBlock;
  if (nblock < 1) nblock = 1;
  if (nblock > Nblock) {
    nblock = Nblock;
    result = 1;
  }
  NblockCreate = static_cast<int>(nblock);
  // Sample positions are 32-bit counters: the end position wraps like them.
  NumSampEnd = static_cast<sp_long>(static_cast<sp_ulong>(static_cast<std::int64_t>(begin) + NsDelay +
                                                          nblock * samplesPerBlock));
  NumSampBegin = begin;
  return result;
}

int TimeSpectrumEstimation::SetOutputPatternFileName(char* name) {
  if (!fCreatePatternMode || name == nullptr || name[0] == 0) return 0;
  const std::size_t length = std::strlen(name);
  delete[] PatternFileName;
  PatternFileName = new (std::nothrow) char[length + 1 + sizeof(kPatternExtension)];
  if (PatternFileName == nullptr) return 0;
  std::memcpy(PatternFileName, name, length);
  PatternFileName[length] = '.';
  std::memcpy(PatternFileName + length + 1, kPatternExtension, sizeof(kPatternExtension));
  return 1;
}

int TimeSpectrumEstimation::SetOutputPatternFileName(char* name, int number) {
  if (!fCreatePatternMode || name == nullptr || name[0] == 0) return 0;
  const std::size_t length = std::strlen(name);
  // Room for the name plus 64 characters: "_<number>", "." and the extension.
  const std::size_t size = length + 1 + 64;
  delete[] PatternFileName;
  PatternFileName = new (std::nothrow) char[size];
  if (PatternFileName == nullptr) return 0;
  std::memcpy(PatternFileName, name, length + 1);

  // The last dot at index 1 or later ends the name, wherever it is in the path.
  for (std::size_t j = length - 1; j >= 1; --j) {
    if (PatternFileName[j] == '.') {
      PatternFileName[j] = 0;
      if (number >= 0) std::snprintf(PatternFileName + j, size - j, "_%d", number);
      break;
    }
  }
  const std::size_t cut = std::strlen(PatternFileName);
  std::snprintf(PatternFileName + cut, size - cut, ".%s", kPatternExtension);
  return 1;
}

int TimeSpectrumEstimation::CreateSignalPattern(int& done) {
  done = 0;
  if (!fCreatePatternMode || NCurrentSample < static_cast<sp_ulong>(NumSampEnd)) return 0;
  done = 1;

  CreatedTVS.Protocol = Mode;
  CreatedTVS.Ndft = Ndft;
  CreatedTVS.Nband = Nband;
  CreatedTVS.Nblock = NblockCreate;
  CreatedTVS.Epsilon = 1.0e-10f;
  CreatedTVS.NSampleCreate = static_cast<int>(NCurrentSample + static_cast<sp_ulong>(NSampleCreateOffset));
  // Short name: the output file's name without directory, at most 15 characters.
  std::memset(CreatedTVS.FileName, 0, 16);
  if (const char* shortName = FileNameOfPath(static_cast<const char*>(PatternFileName))) {
    for (int i = 0; i < 15 && shortName[i] != 0; ++i) CreatedTVS.FileName[i] = shortName[i];
  }

  auto abandon = [this](HANDLE file, const char* message) {
    sp::LogLine(0, message);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    fCreatedPattern = 0;
    fCreatePatternMode = 0;
    return 0;
  };

  HANDLE file = PatternFileName != nullptr
                    ? CreateFileA(PatternFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_FLAG_RANDOM_ACCESS, nullptr)
                    : INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) {
    sp::LogLine(0, CP1251("CreateSignalPattern(): не создать файл для записи"));
    sp::LogFormat(0, CP1251("имя файла %s"), PatternFileName != nullptr ? PatternFileName : "");
    fCreatedPattern = 0;
    fCreatePatternMode = 0;
    return 0;
  }

  // The pattern is the NblockCreate newest blocks of the ring at this moment.
  WriteCurrentSpectrumSamples(CreateBuf, NblockCreate);

  // Per-band level: the mean over the pattern's blocks, summed in double precision.
  for (int b = 0; b < Nband; ++b) {
    double sum = 0.0;
    for (int t = 0; t < NblockCreate; ++t) sum += CreateBuf[static_cast<std::size_t>(t) * Nband + b];
    BandLevelCur[b] = static_cast<float>(sum / NblockCreate);
  }

  if (const char* failure = WriteCreatedPatternFile(file)) return abandon(file, failure);

  CloseHandle(file);
  fCreatePatternMode = 0;
  fCreatedPattern = 1;
  return 1;
}

int TimeSpectrumEstimation::WriteCurrentSpectrumSamples(float* dst, int count) {
  if (dst == nullptr || TimeSpectrum == nullptr || Nblock < 1) return 0;
  int r = NblockCur;
  for (int k = 0; k < count; ++k) {
    std::memcpy(dst + static_cast<std::size_t>(k) * Nband, TimeSpectrum + static_cast<std::size_t>(r) * Nband,
                sizeof(float) * static_cast<std::size_t>(Nband));
    if (--r < 0) r = Nblock - 1;
  }
  return 1;
}
