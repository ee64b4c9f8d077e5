// Spectrum test data: the per-block monitoring record file ("tvd"), spectrum snapshots kept in
// a pattern record, and the dump of a pattern against the current input spectrum.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "TimeSpectrumEstimation.h"
#include "sp_message.h"

namespace {

// One record of the test-data file: the image of a RecognizeParam, 9 little-endian words.
constexpr DWORD kTestDataRecordSize = 36;

void PutU32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFFu);
  p[1] = static_cast<unsigned char>((v >> 8) & 0xFFu);
  p[2] = static_cast<unsigned char>((v >> 16) & 0xFFu);
  p[3] = static_cast<unsigned char>((v >> 24) & 0xFFu);
}

void PutInt(unsigned char* p, int v) { PutU32(p, static_cast<std::uint32_t>(v)); }

void PutFloat(unsigned char* p, float v) {
  std::uint32_t u;
  std::memcpy(&u, &v, sizeof(u));
  PutU32(p, u);
}

std::uint32_t GetU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

int GetInt(const unsigned char* p) { return static_cast<int>(static_cast<std::int32_t>(GetU32(p))); }

float GetFloat(const unsigned char* p) {
  std::uint32_t u = GetU32(p);
  float v;
  std::memcpy(&v, &u, sizeof(v));
  return v;
}

}  // namespace

int TimeSpectrumEstimation::OpenForWriteTestDataFile(char* name) {
  delete[] TestDataFileName;
  TestDataFileName = nullptr;
  CloseTestDataFile();
  if (!fInit || name == nullptr || name[0] == 0) return 0;

  const std::size_t length = std::strlen(name);
  TestDataFileName = new (std::nothrow) char[length + 5];
  if (TestDataFileName == nullptr) return 0;
  std::memcpy(TestDataFileName, name, length);
  std::memcpy(TestDataFileName + length, ".tvd", 5);

  hTestDataFile = CreateFileA(TestDataFileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (hTestDataFile == INVALID_HANDLE_VALUE) {
    // The name stays set; only the file is missing.
    sp::LogLine(0, CP1251("OpenForWriteTestDataFile(): не создать файл для записи"));
    return 0;
  }
  return 1;
}

int TimeSpectrumEstimation::WriteTestDataFile() {
  if (hTestDataFile == INVALID_HANDLE_VALUE) return 0;
  // The Value slot carries no content in the file: a reader cannot use a pointer.
  unsigned char record[kTestDataRecordSize];
  PutInt(record + 0, MonitorParam.Nvalue);
  PutU32(record + 4, 0);
  PutInt(record + 8, MonitorParam.Reserved1);
  PutFloat(record + 12, MonitorParam.RelDev);
  PutFloat(record + 16, MonitorParam.ValueC);
  PutFloat(record + 20, MonitorParam.ValueB);
  PutInt(record + 24, MonitorParam.Reserved2);
  PutInt(record + 28, MonitorParam.Reserved3);
  PutInt(record + 32, MonitorParam.fRecognized);
  DWORD written = 0;
  // The result of the write is not examined: a file opened for reading swallows the records.
  WriteFile(hTestDataFile, record, kTestDataRecordSize, &written, nullptr);
  return 1;
}

void TimeSpectrumEstimation::CloseTestDataFile() {
  if (hTestDataFile != INVALID_HANDLE_VALUE) CloseHandle(hTestDataFile);
  hTestDataFile = INVALID_HANDLE_VALUE;
}

void TimeSpectrumEstimation::CloseReadTestData() { CloseTestDataFile(); }

int TimeSpectrumEstimation::OpenForReadTestData() {
  if (TestDataFileName == nullptr) return 0;
  CloseTestDataFile();
  hTestDataFile = CreateFileA(TestDataFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_READONLY, nullptr);
  if (hTestDataFile == INVALID_HANDLE_VALUE) {
    sp::LogLine(0, CP1251("OpenForReadTestData(): не открыть файл для чтения"));
    return 0;
  }
  return 1;
}

void* TimeSpectrumEstimation::ReadTestData(sp_ulong sample) {
  if (hTestDataFile == INVALID_HANDLE_VALUE) return nullptr;
  // Without a block size (an engine never initialised) no record can be mapped.
  if (NsampleBlock < 1) return nullptr;

  // Record index: the quotient in double precision, rounded to single precision, truncated.
  const float quotient = static_cast<float>(static_cast<double>(sample) / static_cast<double>(NsampleBlock));
  const sp_ulong k = static_cast<sp_ulong>(quotient);

  // 32-bit low part of the offset (wrapping as the original 32-bit arithmetic did), high part 0.
  const sp_ulong offset = kTestDataRecordSize * k;
  LONG high = 0;
  if (SetFilePointer(hTestDataFile, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    sp::LogLine(0, CP1251("ReadTestData(): ошибка позиционирования файла"));
    return nullptr;
  }

  delete[] MonitorParam.Value;
  MonitorParam.Value = nullptr;

  unsigned char record[kTestDataRecordSize];
  DWORD read = 0;
  ReadFile(hTestDataFile, record, kTestDataRecordSize, &read, nullptr);
  // Past the end of the file (or after a short read) the record keeps its earlier fields.
  if (read == kTestDataRecordSize) {
    MonitorParam.Nvalue = GetInt(record + 0);
    MonitorParam.Reserved1 = GetInt(record + 8);
    MonitorParam.RelDev = GetFloat(record + 12);
    MonitorParam.ValueC = GetFloat(record + 16);
    MonitorParam.ValueB = GetFloat(record + 20);
    MonitorParam.Reserved2 = GetInt(record + 24);
    MonitorParam.Reserved3 = GetInt(record + 28);
    MonitorParam.fRecognized = GetInt(record + 32);
  }
  MonitorParam.Value = nullptr;
  return &MonitorParam;
}

void TimeSpectrumEstimation::SaveCurrentSpectrumData(SignalTVSEx* rec, int atKnownPosition) {
  if (rec == nullptr || !fRecognitionMode) return;
  if (rec->Nband < 1 || rec->Nblock < 1) return;
  const long long count = static_cast<long long>(rec->Nband) * rec->Nblock;
  if (count < 1 || count > 0x7FFFFFFFLL) return;

  float*& spectrum = atKnownPosition ? rec->SpectrumKnown : rec->SpectrumFound;
  float& level = atKnownPosition ? rec->LevelKnown : rec->LevelFound;
  delete[] spectrum;
  spectrum = new (std::nothrow) float[static_cast<std::size_t>(count)];
  if (spectrum == nullptr) return;

  if (rec->Nband == Nband) {
    WriteCurrentSpectrumSamples(spectrum, rec->Nblock);
  } else {
    // A record with another band count: copy the bands both have, block by block, newest
    // first; bands the engine does not have stay 0. Never index past either array.
    for (long long i = 0; i < count; ++i) spectrum[i] = 0.0f;
    if (TimeSpectrum != nullptr && Nblock > 0 && Nband > 0) {
      const int bands = rec->Nband < Nband ? rec->Nband : Nband;
      int r = NblockCur;
      for (int k = 0; k < rec->Nblock; ++k) {
        const float* src = TimeSpectrum + static_cast<long>(r) * Nband;
        float* dst = spectrum + static_cast<long>(k) * rec->Nband;
        for (int b = 0; b < bands; ++b) dst[b] = src[b];
        if (--r < 0) r = Nblock - 1;
      }
    }
  }
  level = LevelGain;
}

void TimeSpectrumEstimation::OutCurrentSpectrumData(int pattern, sp_ulong channel) {
  if (TVS == nullptr || pattern < 0 || pattern >= NPattern) return;
  const SignalTVSEx* P = TVS[pattern];
  if (P == nullptr || P->Spectrum == nullptr || TimeSpectrum == nullptr || Nblock < 1) return;
  const unsigned int ch = static_cast<unsigned int>(channel);

  sp::LogLine(ch, "");
  sp::LogLine(ch, "OutCurrentSpectrumData");
  sp::LogFormat(ch, "NCurrentSample=%ld, NSampleCreate=%ld", static_cast<long>(static_cast<sp_long>(NCurrentSample)),
                static_cast<long>(static_cast<sp_long>(static_cast<sp_ulong>(P->NSampleCreate) + NSampleOffset)));
  // Bands present both in the pattern and in the ring.
  const int bands = P->Nband < Nband ? P->Nband : Nband;
  int r = NblockCur;
  for (int k = 0; k < P->Nblock; ++k) {
    sp::LogFormat(ch, "Time block nblock=%ld", static_cast<long>(k));
    const float* cur = TimeSpectrum + static_cast<long>(r) * Nband;
    const float* pat = P->Spectrum + static_cast<long>(k) * P->Nband;
    for (int b = 0; b < bands; ++b) {
      const float d = pat[b];
      const float p = cur[b];
      const float diff = std::fabs(d - p);
      const float rel = d != 0.0f ? diff / d : 0.0f;
      sp::LogFormat(ch, " %d) d %12.5e p %12.5e d %12.5e rel=%12.5e", b, static_cast<double>(d),
                    static_cast<double>(p), static_cast<double>(diff), static_cast<double>(rel));
    }
    if (--r < 0) r = Nblock - 1;
  }
  sp::LogLine(ch, "");
}
