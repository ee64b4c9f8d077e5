// Helpers shared by the fuzz targets: scratch files, a byte reader over the fuzz input, and
// patterns made by the library itself at start-up.
#ifndef SP_FUZZ_SUPPORT_H
#define SP_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "SignalPattern.h"

namespace spfuzz {

// A private scratch directory for this process (removed at exit).
const std::string& ScratchDir();
// Writes bytes to path (replacing the file); false on failure.
bool WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size);

// Reads little-endian values from the fuzz input; past its end every value is 0.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  std::size_t Remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }
  std::uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | (U8() << 8)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(U16()) | (static_cast<std::uint32_t>(U16()) << 16); }
  // Any bit pattern, NaN and infinities included.
  float RawFloat() {
    std::uint32_t u = U32();
    float f;
    std::memcpy(&f, &u, sizeof(f));
    return f;
  }
  // A value in [lo, hi] from one byte.
  float Range(float lo, float hi) { return lo + (hi - lo) * static_cast<float>(U8()) / 255.0f; }
  // Copies up to n bytes (zero-filling the rest); returns the count taken from the input.
  std::size_t Bytes(std::uint8_t* out, std::size_t n) {
    std::size_t k = Remaining() < n ? Remaining() : n;
    if (k > 0) std::memcpy(out, data_ + pos_, k);
    if (k < n) std::memset(out + k, 0, n - k);
    pos_ += k;
    return k;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A clip of tone steps (16-bit mono, 44100 Hz) and the pattern the library makes of it.
struct LibraryPattern {
  std::vector<std::int16_t> clip;
  std::string path;  // the .tvs file, empty when creation failed
};
// Makes the pattern of a clip of the given tone frequencies, stepMs milliseconds each.
LibraryPattern MakeLibraryPattern(const std::string& name, const std::vector<double>& freqs, int stepMs);
// Sets engine up to recognize the one pattern file (blocks of 1152 samples); false when refused.
bool SetUpRecognition(SignalPattern& engine, const std::string& patternFile);

// Deterministic 16-bit test signal: tones plus noise at the given amplitude (0..1).
void FillSignal(std::int16_t* out, std::size_t n, std::uint32_t seed, float amplitude);

}  // namespace spfuzz

#endif
