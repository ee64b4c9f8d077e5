// Detail prints: a finer time-spectrum of a short clip (64 mel-spaced bands from 150 Hz to
// 5.5 kHz every 10 ms), kept beside its pattern file as "<pattern file>.detail".
//
// The pattern's eight bands of 689 Hz tell a clip from other sounds, but not from its near
// relatives: an ident whose sting is the same and whose voice names another station differs
// in about a second of speech, which those bands smear into the sting. The detail print keeps
// enough of the voice to tell them apart (detail_check.h). Why and how: docs/detail-check.md.
#ifndef SP_DETAIL_PRINT_H
#define SP_DETAIL_PRINT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace spdetail {

constexpr int kBands = 64;
constexpr int kHop = 441;      // 10 ms at 44100 Hz
constexpr int kFftSize = 2048;

// Levels in dB, frame-major (frames * kBands).
struct DetailPrint {
  int frames = 0;
  std::vector<float> levels;
  const float* Frame(int f) const { return levels.data() + static_cast<std::size_t>(f) * kBands; }
};

// Computes prints of 44100 Hz mono samples. Holds its transform; reusable, one thread at a time.
class DetailAnalyser {
 public:
  DetailAnalyser();
  ~DetailAnalyser();
  DetailAnalyser(const DetailAnalyser&) = delete;
  DetailAnalyser& operator=(const DetailAnalyser&) = delete;
  // One frame per kHop samples that has kFftSize samples from its start; none when n < kFftSize.
  DetailPrint Analyse(const std::int16_t* samples, std::size_t n);
  // The kBands levels of the one frame whose kFftSize samples begin at `samples` (what Analyse
  // gives for each of its frames).
  void AnalyseFrame(const std::int16_t* samples, float* levels);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// 64-bit FNV-1a of a byte string: a print names the pattern file it was made with by the hash
// of its bytes, so a print left beside a pattern file made again is recognised as stale.
std::uint64_t ContentHash(const std::string& bytes);

// "<pattern file>.detail".
std::string DetailFileName(const std::string& patternFile);

// The bytes of a print file (little-endian fields, levels in hundredths of a dB) for the pattern
// whose file bytes hash to patternHash.
std::string EncodeDetailPrint(const DetailPrint& print, std::uint64_t patternHash);

// Reads the bytes of a print file: true, or false with `problem` saying why ("not a detail
// print", "made for another pattern file", ...).
bool DecodeDetailPrint(const std::string& bytes, std::uint64_t patternHash, DetailPrint& print, std::string& problem);

// The first bytes of a print file, which say all that DecodeDetailPrint checks.
constexpr std::size_t kDetailHeaderBytes = 28;
// Checks a print file of `fileSize` bytes from its first `have` bytes (`head`) as DecodeDetailPrint
// does: its frame count, or false with the same problem said.
bool CheckDetailHeader(const unsigned char* head, std::size_t have, std::uint64_t fileSize, std::uint64_t patternHash,
                       int& frames, std::string& problem);

}  // namespace spdetail

#endif
