// The pattern file, the only place that knows its bytes: writing it when a pattern is created
// (the engine hands over the record, band levels and spectrum), and loading a pattern file
// into a pattern record.
//
// Layout (little-endian throughout):
//   null section  56-byte header, Nband band levels, Nblock*Nband spectrum floats (block-major)
//   section 1     size, number (1), L, the input file name (L-1 bytes), a zero byte, 8 reserved
//   name block    N (at most 511), the N characters of the pattern file's path, a zero byte
// Every number is written and read as its own little-endian field; no structure is ever
// dumped as it lies in memory.
#include <cstdint>
#include <cstring>
#include <new>

#include "TimeSpectrumEstimation.h"
#include "shared_arrays.h"
#include "sp_message.h"

namespace {

constexpr sp_ulong kHeaderSize = 56;
constexpr sp_ulong kHeaderSizeOffset = 44;
constexpr int kShortNameBytes = 16;
constexpr sp_ulong kMaxNameBlockLength = 511;

bool IsOpen(void* file) { return file != nullptr && file != INVALID_HANDLE_VALUE; }

// ---- little-endian field writers; each returns the byte count reported by WriteFile

DWORD WriteBytes(void* file, const void* data, DWORD size) {
  DWORD written = 0;
  if (size == 0) return 0;
  if (!WriteFile(static_cast<HANDLE>(file), data, size, &written, nullptr)) return written;
  return written;
}

DWORD WriteU32(void* file, std::uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  return WriteBytes(file, b, 4);
}

DWORD WriteU16(void* file, std::uint16_t v) {
  unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  return WriteBytes(file, b, 2);
}

DWORD WriteF32(void* file, float v) {
  std::uint32_t u;
  std::memcpy(&u, &v, 4);
  return WriteU32(file, u);
}

// Writes count floats; returns the bytes written.
std::uint64_t WriteFloats(void* file, const float* src, std::uint64_t count) {
  unsigned char chunk[4096];
  std::uint64_t total = 0;
  for (std::uint64_t done = 0; done < count;) {
    std::uint64_t n = count - done;
    if (n > sizeof(chunk) / 4) n = sizeof(chunk) / 4;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint32_t u;
      std::memcpy(&u, &src[done + i], 4);
      chunk[4 * i] = static_cast<unsigned char>(u);
      chunk[4 * i + 1] = static_cast<unsigned char>(u >> 8);
      chunk[4 * i + 2] = static_cast<unsigned char>(u >> 16);
      chunk[4 * i + 3] = static_cast<unsigned char>(u >> 24);
    }
    const DWORD written = WriteBytes(file, chunk, static_cast<DWORD>(n * 4));
    total += written;
    if (written != n * 4) break;
    done += n;
  }
  return total;
}

// ---- little-endian field readers; each returns the byte count reported by ReadFile and
// stores the value only when the whole field was read

DWORD ReadBytes(void* file, void* data, DWORD size) {
  DWORD got = 0;
  if (size == 0) return 0;
  if (!ReadFile(static_cast<HANDLE>(file), data, size, &got, nullptr)) return got;
  return got;
}

DWORD ReadU32(void* file, std::uint32_t& v) {
  unsigned char b[4] = {0, 0, 0, 0};
  DWORD got = ReadBytes(file, b, 4);
  if (got == 4)
    v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
        (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  return got;
}

DWORD ReadI32(void* file, int& v) {
  std::uint32_t u = 0;
  DWORD got = ReadU32(file, u);
  if (got == 4) v = static_cast<int>(u);
  return got;
}

DWORD ReadF32(void* file, float& v) {
  std::uint32_t u = 0;
  DWORD got = ReadU32(file, u);
  if (got == 4) std::memcpy(&v, &u, 4);
  return got;
}

DWORD ReadU16(void* file, std::uint16_t& v) {
  unsigned char b[2] = {0, 0};
  DWORD got = ReadBytes(file, b, 2);
  if (got == 2) v = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return got;
}

// Reads count floats; returns the bytes read. Only completely read floats are stored.
std::uint64_t ReadFloats(void* file, float* dst, std::uint64_t count) {
  unsigned char chunk[4096];
  std::uint64_t total = 0;
  std::uint64_t done = 0;
  while (done < count) {
    std::uint64_t n = count - done;
    if (n > sizeof(chunk) / 4) n = sizeof(chunk) / 4;
    DWORD got = ReadBytes(file, chunk, static_cast<DWORD>(n * 4));
    total += got;
    for (DWORD i = 0; i + 4 <= got; i += 4) {
      std::uint32_t u = static_cast<std::uint32_t>(chunk[i]) | (static_cast<std::uint32_t>(chunk[i + 1]) << 8) |
                        (static_cast<std::uint32_t>(chunk[i + 2]) << 16) |
                        (static_cast<std::uint32_t>(chunk[i + 3]) << 24);
      std::memcpy(&dst[done + i / 4], &u, 4);
    }
    if (got < n * 4) break;
    done += n;
  }
  return total;
}

// Moves the file position to an unsigned 32-bit offset (from the start, the current position
// or the end) and returns the new position; false when the move failed.
bool Seek(void* file, sp_ulong offset, DWORD method, sp_ulong* position) {
  LONG high = 0;
  DWORD pos = SetFilePointer(static_cast<HANDLE>(file), static_cast<LONG>(offset), &high, method);
  if (pos == INVALID_SET_FILE_POINTER || high != 0) return false;
  if (position != nullptr) *position = pos;
  return true;
}

// The file's size as a 64-bit value.
std::uint64_t FileSize(void* file) {
  DWORD high = 0;
  DWORD low = GetFileSize(static_cast<HANDLE>(file), &high);
  if (low == INVALID_FILE_SIZE && high == 0) return 0;
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// The current file position as a 64-bit value.
std::uint64_t Position(void* file) {
  LONG high = 0;
  DWORD low = SetFilePointer(static_cast<HANDLE>(file), 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && high == 0) return 0;
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | low;
}

}  // namespace

// ---- writing

int TimeSpectrumEstimation::WriteFileTVSHeader(void* file, SignalTVSEx* rec) {
  if (!IsOpen(file) || rec == nullptr) return 0;
  // The record being written holds the engine's mode word in Protocol: its acceleration bits
  // 16..19 are kept and combined with the format version in the high half.
  const std::uint32_t word = (rec->Protocol & 0xFFFFFu) | (static_cast<std::uint32_t>(VersionNumber) << 16);
  // Short name: at most 15 characters, zero-filled to 16 bytes.
  char shortName[kShortNameBytes] = {};
  for (int i = 0; i < kShortNameBytes - 1 && rec->FileName[i] != 0; ++i) shortName[i] = rec->FileName[i];

  std::uint64_t n = 0;
  n += WriteU32(file, word);
  n += WriteU32(file, static_cast<std::uint32_t>(rec->Ndft));
  n += WriteU32(file, static_cast<std::uint32_t>(rec->Nband));
  n += WriteU32(file, static_cast<std::uint32_t>(rec->Nblock));
  n += WriteF32(file, rec->Fs);
  n += WriteF32(file, rec->Epsilon);
  n += WriteU32(file, static_cast<std::uint32_t>(rec->NSampleCreate));
  n += WriteBytes(file, shortName, kShortNameBytes);
  n += WriteU32(file, 0);  // null-section size, patched once the spectrum is written
  n += WriteU32(file, 0);  // reserved
  n += WriteU32(file, static_cast<std::uint32_t>(rec->NRecognize));
  return n == kHeaderSize ? 1 : 0;
}

int TimeSpectrumEstimation::WriteSizeOfTvsFileNullSectionToHeader(void* file, sp_ulong size) {
  if (!IsOpen(file) || !fCreatePatternMode) return 0;
  if (!Seek(file, kHeaderSizeOffset, FILE_BEGIN, nullptr)) return 0;
  if (WriteU32(file, size) != 4) return 0;
  if (!Seek(file, size, FILE_BEGIN, nullptr)) return 0;
  return 1;
}

sp_ulong TimeSpectrumEstimation::WriteSectionHeader(void* file, unsigned short number) {
  sp_ulong start = INVALID_SET_FILE_POINTER;
  if (!IsOpen(file) || !Seek(file, 0, FILE_END, &start)) return INVALID_SET_FILE_POINTER;
  WriteU16(file, number);  // placeholder for the section size
  WriteU16(file, number);
  return start;
}

int TimeSpectrumEstimation::EndWriteOfSection(void* file, sp_ulong start) {
  sp_ulong end = 0;
  if (!IsOpen(file) || !Seek(file, 0, FILE_END, &end)) return 0;
  if (end <= start) return 0;
  if (!Seek(file, start, FILE_BEGIN, nullptr)) return 0;
  if (WriteU16(file, static_cast<std::uint16_t>(end - start)) != 2) return 0;
  if (!Seek(file, end, FILE_BEGIN, nullptr)) return 0;
  return 1;
}

int TimeSpectrumEstimation::WriteSectionInputFileNameUnderPatternCreation(void* file, unsigned short number) {
  if (!IsOpen(file) || !fCreatePatternMode || InputFileName == nullptr) return 0;
  const sp_ulong start = WriteSectionHeader(file, number);
  if (start == INVALID_SET_FILE_POINTER) return 0;
  // The name's length with its terminator, as a 16-bit word (a longer name is cut to fit).
  const std::uint16_t L = static_cast<std::uint16_t>(std::strlen(InputFileName) + 1);
  if (L <= 1) return 0;
  DWORD expected = 2u + L + 8u;
  DWORD n = 0;
  n += WriteU16(file, L);
  n += WriteBytes(file, InputFileName, static_cast<DWORD>(L - 1));
  n += WriteBytes(file, "", 1);
  n += WriteU32(file, InputReserved[0]);
  n += WriteU32(file, InputReserved[1]);
  if (n != expected) return 0;
  return EndWriteOfSection(file, start);
}

// Everything after the file is opened: header, band levels, spectrum, the null-section size,
// section 1 and the name block.
const char* TimeSpectrumEstimation::WriteCreatedPatternFile(void* file) {
  if (!WriteFileTVSHeader(file, &CreatedTVS)) return CP1251("CreateSignalPattern(): ошибка записи заголовка");
  const std::uint64_t nLevels = static_cast<std::uint64_t>(Nband);
  if (WriteFloats(file, BandLevelCur, nLevels) != 4 * nLevels)
    return CP1251("CreateSignalPattern(): ошибка записи среднекв. значений");
  const std::uint64_t nSpectrum = static_cast<std::uint64_t>(NblockCreate) * static_cast<std::uint64_t>(Nband);
  if (WriteFloats(file, CreateBuf, nSpectrum) != 4 * nSpectrum)
    return CP1251("CreateSignalPattern(): ошибка записи спектр. данных");

  sp_ulong position = 0;
  if (!Seek(file, 0, FILE_CURRENT, &position) || !WriteSizeOfTvsFileNullSectionToHeader(file, position))
    return CP1251("CreateSignalPattern(): ошибка записи нулевой секции файла");
  if (!WriteSectionInputFileNameUnderPatternCreation(file, 1))
    return CP1251("CreateSignalPattern(): ошибка записи секции 1 файла");

  // Name block: the path under which the file was written, at most 511 characters. Its
  // writes are not checked: the pattern is complete without it.
  std::size_t nameLength = std::strlen(PatternFileName);
  if (nameLength > kMaxNameBlockLength) nameLength = kMaxNameBlockLength;
  const std::uint32_t N = static_cast<std::uint32_t>(nameLength);
  WriteU32(file, N);
  WriteBytes(file, PatternFileName, N);
  WriteBytes(file, "", 1);
  return nullptr;
}

// ---- reading

int TimeSpectrumEstimation::ReadFileTVSHeader(void* file, SignalTVSEx* rec) {
  if (!IsOpen(file) || rec == nullptr) return 0;
  if (FileSize(file) <= kHeaderSize) {
    sp::LogLine(0, "LoadRecognizePattern(): ReadFileTVSHeader():");
    sp::LogLine(0, CP1251("ошибка формата входного файла"));
    return 0;
  }
  std::uint64_t n = 0;
  n += ReadU32(file, rec->Protocol);
  n += ReadI32(file, rec->Ndft);
  n += ReadI32(file, rec->Nband);
  n += ReadI32(file, rec->Nblock);
  n += ReadF32(file, rec->Fs);
  n += ReadF32(file, rec->Epsilon);
  n += ReadI32(file, rec->NSampleCreate);
  n += ReadBytes(file, rec->FileName, kShortNameBytes);
  // The short name is zero-terminated in every valid file; keep it terminated for any file.
  rec->FileName[kShortNameBytes] = 0;
  // The null-section size and the two reserved words are read and discarded: the loader reads
  // the parts of the file one after the other.
  std::uint32_t discarded = 0;
  n += ReadU32(file, discarded);
  n += ReadU32(file, discarded);
  n += ReadU32(file, discarded);
  return n == kHeaderSize ? 1 : 0;
}

int TimeSpectrumEstimation::LoadRecognizePattern(char* file, SignalTVSEx* rec) {
  if (file == nullptr || file[0] == 0 || rec == nullptr || fCreatePatternMode) return 0;

  HANDLE h = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(), ошибка:"));
    sp::LogFormat(0, CP1251("не открыть файл %s"), file);
    return 0;
  }
  auto fail = [h]() {
    CloseHandle(h);
    return 0;
  };

  if (!ReadFileTVSHeader(h, rec)) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения заголовка вх. файла"));
    sp::LogFormat(0, CP1251("файл %s"), file);
    return fail();
  }

  // Header check. Besides the protocol, the filter-bank geometry and the sample rate, a
  // pattern must have at least one time block, and its spectrum must stay within what a
  // 32-bit read can hold (Nblock*Nband*4 bytes), so that nothing below can overflow.
  const std::uint64_t nSpectrum = static_cast<std::uint64_t>(rec->Nblock > 0 ? rec->Nblock : 0) *
                                  static_cast<std::uint64_t>(rec->Nband > 0 ? rec->Nband : 0);
  bool bad = (rec->Protocol & 0xFFFFu) != 0;
  if (!bad) {
    bad = rec->Ndft != 16 || rec->Nband < 1 || rec->Nband > rec->Ndft;
    if (!bad && RecPar.fFixedFs && !(rec->Fs == 44100.0f)) bad = true;
    if (!bad && (rec->Nblock < 1 || nSpectrum * 4 > 0x7FFFFFFFull)) bad = true;
  }
  if (bad) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка данных заголовка вх. файла"));
    return fail();
  }

  rec->fUsePattern = 1;
  rec->fLevelGate = 1;

  // Band levels. The record is expected to be empty; anything it holds is released first.
  sp::ReleaseArray(rec->BandRms);
  rec->BandRms = new (std::nothrow) float[rec->Nband]();
  if (rec->BandRms == nullptr) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): не выделить память для среднекв. значений"));
    return fail();
  }
  if (ReadFloats(h, rec->BandRms, static_cast<std::uint64_t>(rec->Nband)) !=
      4ull * static_cast<std::uint64_t>(rec->Nband)) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения вх. файла"));
    return fail();
  }

  // The first of equal maxima wins.
  rec->BandMaxRms = 0;
  for (int b = 1; b < rec->Nband; ++b)
    if (rec->BandRms[b] > rec->BandRms[rec->BandMaxRms]) rec->BandMaxRms = b;

  // A header may claim far more spectrum than the file holds. Such a file can only end in a
  // short read, so it is reported as that read error before anything is allocated for it.
  const std::uint64_t spectrumBytes = nSpectrum * 4;
  if (FileSize(h) < Position(h) + spectrumBytes) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения вх. файла"));
    return fail();
  }

  sp::ReleaseArray(rec->Spectrum);
  sp::ReleaseArray(rec->SpectrumByBand);
  rec->Spectrum = new (std::nothrow) float[nSpectrum]();
  rec->SpectrumByBand = new (std::nothrow) float[nSpectrum]();
  if (rec->Spectrum == nullptr || rec->SpectrumByBand == nullptr) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): не выделить память для спектр. образца"));
    return fail();
  }
  if (ReadFloats(h, rec->Spectrum, nSpectrum) != spectrumBytes) {
    sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения вх. файла"));
    return fail();
  }

  const int nband = rec->Nband;
  const int nblock = rec->Nblock;
  for (int b = 0; b < nband; ++b)
    for (int t = 0; t < nblock; ++t)
      rec->SpectrumByBand[static_cast<std::size_t>(b) * nblock + t] =
          rec->Spectrum[static_cast<std::size_t>(t) * nband + b];

  const sp_ulong version = rec->Protocol >> 16;

  // Section 1: the input file name. A file may end anywhere inside the section; whatever was
  // not read counts as zero bytes: a missing length word gives an empty name, a name cut
  // short keeps the characters actually read (the buffer is zero-filled, so it is always
  // terminated), and missing reserved words stay 0. The load goes on in every such case.
  if (version >= 2 && FileSize(h) > Position(h)) {
    std::uint16_t sectionSize = 0, sectionNumber = 0, L = 0;
    ReadU16(h, sectionSize);
    ReadU16(h, sectionNumber);
    ReadU16(h, L);
    sp::ReleaseArray(rec->InputFileName);
    rec->InputFileName = new (std::nothrow) char[static_cast<std::size_t>(L) + 1]();
    if (rec->InputFileName == nullptr) return fail();
    ReadBytes(h, rec->InputFileName, L);
    rec->InputFileName[L] = 0;
    std::uint32_t reserved0 = 0, reserved1 = 0;
    ReadU32(h, reserved0);
    ReadU32(h, reserved1);
    rec->InputReserved[0] = reserved0;
    rec->InputReserved[1] = reserved1;
    rec->fKnownPosition = 0;
  }

  // Name block: the full path under which the pattern file was written. A file that ends
  // before the length word or inside the name is a short read of the full name; FileName
  // then keeps only the characters actually read, zero-terminated.
  if (version >= 4) {
    std::uint32_t N = 0;
    if (ReadU32(h, N) != 4) {
      sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения вх. файла: полное имя образца"));
      return fail();
    }
    if (N > kMaxNameBlockLength) {
      sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения вх. файла: nsym ?"));
      return fail();
    }
    DWORD got = ReadBytes(h, rec->FileName, N + 1);
    rec->FileName[got < N ? got : N] = 0;
    if (got < N + 1) {
      sp::LogLine(0, CP1251("LoadRecognizePattern(): ошибка чтения вх. файла: полное имя образца"));
      return fail();
    }
  }

  CloseHandle(h);
  rec->NSamplePattern = static_cast<int>(static_cast<sp_ulong>(NsampleBlock) * static_cast<sp_ulong>(nblock));
  rec->InvNblock = 1.0f / static_cast<float>(nblock);
  rec->InvNband = 1.0f / static_cast<float>(nband);
  rec->InvNbandNblock = 1.0f / static_cast<float>(nband * nblock);
  rec->NRecognize = 0;
  rec->NSampleFoundEnd = 0;
  rec->NSampleFoundBegin = 0;
  return 1;
}
