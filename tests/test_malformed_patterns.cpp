// Malformed pattern files through the recognition set-up: every way a file can be cut short,
// impossible block and band counts, name lengths that run past the end of the file. Each must
// be refused with its messages, allocate nothing out of proportion to the file, and leave the
// recognizer ready for a new set-up.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "test_support.h"

// ---- largest allocation request, recorded while tracking is on (whole program)

// The replacements below pair operator new with malloc and operator delete with free, which
// GCC cannot see through when it inlines library code.

namespace {
bool gTrack = false;
std::size_t gLargest = 0;

void* TestAllocate(std::size_t n) {
  if (gTrack && n > gLargest) gLargest = n;
  return std::malloc(n != 0 ? n : 1);
}
}  // namespace

void TestRelease(void* p) { std::free(p); }

#include "replace_new.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
constexpr int kBlock = 1152;

const char kFormatError1[] = "LoadRecognizePattern(): ReadFileTVSHeader():";
const char kFormatError2[] = "ошибка формата входного файла";
const char kHeaderReadError[] = "LoadRecognizePattern(): ошибка чтения заголовка вх. файла";
const char kHeaderDataError[] = "LoadRecognizePattern(): ошибка данных заголовка вх. файла";
const char kReadError[] = "LoadRecognizePattern(): ошибка чтения вх. файла";
const char kFullNameError[] = "LoadRecognizePattern(): ошибка чтения вх. файла: полное имя образца";
const char kNsymError[] = "LoadRecognizePattern(): ошибка чтения вх. файла: nsym ?";
const char kLoadFailed[] = "InitTimeSpectrumEst(): ошибка загрузки данных";

void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutU16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}

// A pattern made by the library from a clip of tone steps, its file's layout, and a stream
// that holds the clip once.
class Malformed : public ::testing::Test {
 protected:
  void SetUp() override {
    clip_ = sptest::ToneSteps({523, 1568, 784, 2637, 659, 3136, 1047, 440}, 4410, 0.5);
    std::vector<std::int16_t> pcm = sptest::ToPcm16(clip_);
    std::string source = dir_.File("clip.wav");
    SignalPattern maker;
    ASSERT_EQ(maker.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1),
                                  pcm.data(), SP_SAMPLE_S16, source.data(), 44100.0f, 0x20000),
              1);
    good_ = dir_.File("clip.tvs");
    valid_ = sptest::ReadAll(good_);
    nband_ = sptest::U32At(valid_, 8);
    nblock_ = sptest::U32At(valid_, 12);
    nullSection_ = sptest::U32At(valid_, 44);
    nameBlock_ = nullSection_ + sptest::U16At(valid_, nullSection_);
    ASSERT_EQ(nband_, 8u);
    ASSERT_EQ(nullSection_, 56u + 4 * nband_ + 4 * nband_ * nblock_);
    ASSERT_LT(nameBlock_, valid_.size());
    path_ = dir_.File("bad.tvs");
  }

  struct Outcome {
    int result;
    Lines lines;
    std::size_t largest;  // largest single allocation during the set-up
  };

  Outcome Start(SignalPattern& rec, const std::vector<std::string>& files, int statistics = 0) {
    std::vector<char*> names;
    for (const std::string& f : files) names.push_back(const_cast<char*>(f.c_str()));
    SigRecognitionPar par;
    par.fStatistics = statistics;
    par.NPattern = static_cast<int>(names.size());
    par.PatternFileNames = names.data();
    sptest::LogCapture log;
    gLargest = 0;
    gTrack = true;
    Outcome o;
    o.result = rec.InitSignalPattern(&par);
    gTrack = false;
    o.largest = gLargest;
    o.lines = log.Utf8Lines();
    return o;
  }

  // Writes bytes as the bad pattern and sets it up alone.
  Outcome StartWith(SignalPattern& rec, const Bytes& bytes, int statistics = 0) {
    sptest::WriteAll(path_, bytes);
    return Start(rec, {path_}, statistics);
  }

  // The lines of a load failure of pattern `index`, after the loader's own lines.
  Lines LoadFailure(Lines loader, int index = 0) const {
    loader.push_back(kLoadFailed);
    loader.push_back("образец " + std::to_string(index) + ", файл " + path_);
    return loader;
  }

  // A refused set-up leaves nothing loaded and no pipeline; the next set-up works.
  void ExpectReleasedAndUsable(SignalPattern& rec) {
    EXPECT_EQ(rec.GetTVS(), nullptr);
    EXPECT_EQ(rec.fRecognitionMode, 0);
    std::vector<std::int16_t> silence(kBlock, 0);
    EXPECT_EQ(rec.Pattern(kBlock, silence.data(), SP_SAMPLE_S16, nullptr), -1);
    Outcome again = Start(rec, {good_});
    EXPECT_EQ(again.result, 1);
    EXPECT_TRUE(again.lines.empty());
  }

  // After the refusals the same object still finds the clip at its place.
  void ExpectRecognizes(SignalPattern& rec) {
    ASSERT_EQ(Start(rec, {good_}).result, 1);
    std::vector<float> stream = sptest::Noise(4 * 44100, 0.02, 3);
    const std::size_t at = 44100 + 999;
    for (std::size_t i = 0; i < clip_.size(); ++i) stream[at + i] += clip_[i];
    std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
    for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock)
      ASSERT_GE(rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr), 0);
    EXPECT_EQ(rec.GetNRecognize(), 1);
    EXPECT_NEAR(static_cast<double>(rec.RecognizedBegin), static_cast<double>(at), 576.0);
  }

  // The same pattern with n bands: levels and every spectrum block cut to their first n bands
  // or extended by repeating them; section 1 and the name block unchanged.
  Bytes Rebanded(std::uint32_t n) const {
    Bytes out(valid_.begin(), valid_.begin() + 56);
    PutU32(out, 8, n);
    auto appendRow = [&](std::size_t row) {
      for (std::uint32_t b = 0; b < n; ++b) {
        const std::size_t at = row + 4 * (b % nband_);
        out.insert(out.end(), valid_.begin() + static_cast<std::ptrdiff_t>(at),
                   valid_.begin() + static_cast<std::ptrdiff_t>(at + 4));
      }
    };
    appendRow(56);
    for (std::size_t t = 0; t < nblock_; ++t) appendRow(56 + 4 * nband_ + 4 * nband_ * t);
    out.insert(out.end(), valid_.begin() + static_cast<std::ptrdiff_t>(nullSection_), valid_.end());
    return out;
  }

  sptest::TempDir dir_;
  std::vector<float> clip_;
  std::string good_, path_;
  Bytes valid_;
  std::uint32_t nband_ = 0, nblock_ = 0;
  std::size_t nullSection_ = 0, nameBlock_ = 0;
};

}  // namespace

// A version-5 file cut anywhere, from 0 bytes up to one byte short: inside the header, the
// levels and the spectrum it is a read error of that part; from the end of the spectrum on
// (section 1 or the name block missing or incomplete) the full pattern name is missing.
TEST_F(Malformed, TruncatedAtEveryByte) {
  SignalPattern rec;
  // Every length in the header, the levels, the first and last spectrum blocks, section 1 and
  // the name block; a sample of lengths in the rest of the spectrum.
  const std::size_t spectrumStart = 56 + 4 * nband_;
  for (std::size_t cut = 0; cut < valid_.size(); ++cut) {
    if (cut > spectrumStart + 8 * nband_ && cut + 4 * nband_ < nullSection_ && cut % 29 != 0) continue;
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Outcome o = StartWith(rec, Bytes(valid_.begin(), valid_.begin() + static_cast<std::ptrdiff_t>(cut)));
    Lines loader;
    if (cut <= 56)
      loader = {kFormatError1, kFormatError2, kHeaderReadError, "файл " + path_};
    else if (cut < nullSection_)
      loader = {kReadError};
    else
      loader = {kFullNameError};
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.lines, LoadFailure(loader));
    EXPECT_LT(o.largest, 64u * 1024);
    EXPECT_EQ(rec.GetTVS(), nullptr);
    if (cut % 16 == 0 || cut == 56 || cut == nullSection_ || cut == nameBlock_ || cut + 1 == valid_.size())
      ExpectReleasedAndUsable(rec);
  }
  ExpectRecognizes(rec);
}

// A version-3 file has no name block: cut inside section 1 it still loads, with the part of
// the input file name that the file holds, and never a byte beyond it.
TEST_F(Malformed, Version3CutInsideSection1) {
  Bytes v3(valid_.begin(), valid_.begin() + static_cast<std::ptrdiff_t>(nameBlock_));
  PutU16(v3, 2, 3);
  const std::string input = dir_.File("clip.wav");
  SignalPattern rec;
  for (std::size_t cut = nullSection_; cut <= v3.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Outcome o = StartWith(rec, Bytes(v3.begin(), v3.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_EQ(o.result, 1);
    EXPECT_TRUE(o.lines.empty());
    const char* name = rec.GetTVS()[0]->InputFileName;
    const std::size_t nameBytes = cut > nullSection_ + 6 ? cut - nullSection_ - 6 : 0;
    if (cut == nullSection_) {
      EXPECT_EQ(name, nullptr);  // nothing after the spectrum: no section 1 at all
    } else {
      ASSERT_NE(name, nullptr);
      EXPECT_EQ(std::string(name), input.substr(0, nameBytes < input.size() ? nameBytes : input.size()));
    }
    EXPECT_STREQ(rec.GetTVS()[0]->FileName, "clip.tvs");  // the short name of the header
  }
}

// Block counts that no file can hold are refused as bad header data before anything is
// allocated; a count that fits a 32-bit read but not the file is a read error, found before
// the spectrum arrays are allocated.
TEST_F(Malformed, ImpossibleBlockCounts) {
  SignalPattern rec;
  struct Case {
    std::uint32_t nblock;
    const char* line;
  };
  const Case cases[] = {{0u, kHeaderDataError},
                        {0xFFFFFFFFu, kHeaderDataError},           // -1
                        {0x80000000u, kHeaderDataError},           // INT_MIN
                        {0x7FFFFFFFu, kHeaderDataError},           // beyond a 32-bit read
                        {0x04000000u, kHeaderDataError},           // 8 bands x 4 bytes x 2^26 = 2^31
                        {0x03FFFFFFu, kReadError},                 // just within a 32-bit read
                        {50000000u, kReadError}};                  // 1.6 GB claimed by a 2 KB file
  for (const Case& c : cases) {
    SCOPED_TRACE("Nblock " + std::to_string(static_cast<std::int32_t>(c.nblock)));
    Bytes b = valid_;
    PutU32(b, 12, c.nblock);
    Outcome o = StartWith(rec, b);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.lines, LoadFailure({c.line}));
    EXPECT_LT(o.largest, 64u * 1024);
    ExpectReleasedAndUsable(rec);
  }
  // A 40-byte file that claims a huge pattern is refused before its header is even read.
  Bytes tiny(valid_.begin(), valid_.begin() + 40);
  PutU32(tiny, 12, 50000000u);
  Outcome o = StartWith(rec, tiny);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.lines, LoadFailure({kFormatError1, kFormatError2, kHeaderReadError, "файл " + path_}));
  EXPECT_LT(o.largest, 64u * 1024);

  // One block more than the file holds: the name block is read from the wrong place and the
  // load fails somewhere in it, whatever bytes it meets there.
  Bytes more = valid_;
  PutU32(more, 12, nblock_ + 1);
  o = StartWith(rec, more, 1);
  EXPECT_EQ(o.result, 0);
  ASSERT_GE(o.lines.size(), 3u);
  EXPECT_EQ(o.lines[o.lines.size() - 2], kLoadFailed);
  ExpectReleasedAndUsable(rec);
  ExpectRecognizes(rec);
}

// A well-formed pattern of another band count loads, but the set-up refuses it: its arrays
// could not be matched against the filter bank's bands.
TEST_F(Malformed, BandCountMismatch) {
  const Bytes four = Rebanded(4);
  const Lines refusal = {"InitTimeSpectrumEst(): число полос образца не равно числу полос фильтра",
                         "образец 1, файл " + path_ + ", Nband=4, ожидается 8"};
  SignalPattern rec;
  for (int statistics = 0; statistics < 2; ++statistics) {
    sptest::WriteAll(path_, four);
    {
      // The loader itself takes the file.
      SignalTVSEx record;
      sptest::LogCapture log;
      ASSERT_EQ(rec.LoadRecognizePattern(path_.data(), &record), 1);
      EXPECT_EQ(record.Nband, 4);
      EXPECT_EQ(record.Nblock, static_cast<int>(nblock_));
    }
    Outcome o = Start(rec, {good_, path_}, statistics);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.lines, refusal);
    ExpectReleasedAndUsable(rec);
  }
  // 16 bands pass the loader's check (at most Ndft) and are refused the same way.
  sptest::WriteAll(path_, Rebanded(16));
  Outcome o = Start(rec, {path_});
  EXPECT_EQ(o.result, 0);
  ASSERT_EQ(o.lines.size(), 2u);
  EXPECT_EQ(o.lines[1], "образец 0, файл " + path_ + ", Nband=16, ожидается 8");
  ExpectRecognizes(rec);
}

// Lengths in section 1 and the name block that run past the end of the file.
TEST_F(Malformed, NameLengthsBeyondTheFile) {
  SignalPattern rec;
  struct Case {
    const char* what;
    std::size_t at;  // offset of the length field
    bool wide;       // 32-bit (name block) or 16-bit (section 1)
    std::uint32_t value;
    const char* line;
  };
  const Case cases[] = {
      {"name block N 400", nameBlock_, true, 400, kFullNameError},
      {"name block N 511", nameBlock_, true, 511, kFullNameError},
      {"name block N 512", nameBlock_, true, 512, kNsymError},
      {"name block N 2^32-1", nameBlock_, true, 0xFFFFFFFFu, kNsymError},
      // Section 1 swallows the rest of the file, the name block is then missing.
      {"section 1 L 65535", nullSection_ + 4, false, 0xFFFF, kFullNameError},
      {"section 1 L to the end", nullSection_ + 4, false,
       static_cast<std::uint32_t>(valid_.size() - nullSection_ - 6), kFullNameError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = valid_;
    if (c.wide)
      PutU32(b, c.at, c.value);
    else
      PutU16(b, c.at, static_cast<std::uint16_t>(c.value));
    Outcome o = StartWith(rec, b, 1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.lines, LoadFailure({c.line}));
    EXPECT_LT(o.largest, 128u * 1024);
    ExpectReleasedAndUsable(rec);
  }

  // Version 3 reads no name block: section 1 running past the end still loads, with the name
  // up to its terminator, and the loaded record keeps the header's short name.
  Bytes v3 = valid_;
  PutU16(v3, 2, 3);
  PutU16(v3, nullSection_ + 4, 0xFFFF);
  Outcome o = StartWith(rec, v3);
  ASSERT_EQ(o.result, 1);
  EXPECT_TRUE(o.lines.empty());
  EXPECT_EQ(std::string(rec.GetTVS()[0]->InputFileName), dir_.File("clip.wav"));
  EXPECT_STREQ(rec.GetTVS()[0]->FileName, "clip.tvs");

  // A name block whose text holds no terminator where the file says: the stored path ends at
  // the length given, the byte after it is not trusted.
  Bytes noZero = valid_;
  noZero.back() = 'x';
  o = StartWith(rec, noZero);
  ASSERT_EQ(o.result, 1);
  EXPECT_STREQ(rec.GetTVS()[0]->FileName, good_.c_str());
  ExpectRecognizes(rec);
}

// A malformed second or third file refuses the whole set-up: patterns loaded before it are
// released as well.
TEST_F(Malformed, LaterFileRefusesTheWholeSetUp) {
  SignalPattern rec;
  Bytes b = valid_;
  PutU32(b, 12, 0);
  sptest::WriteAll(path_, b);
  Outcome o = Start(rec, {good_, good_, path_}, 1);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.lines, LoadFailure({kHeaderDataError}, 2));
  ExpectReleasedAndUsable(rec);
  // And a valid set of three after it.
  o = Start(rec, {good_, good_, good_}, 1);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(rec.GetTVSCount(), 3);
}
