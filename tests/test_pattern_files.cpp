// Pattern creation and the pattern file: names, intervals, layout, round trip, loader failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
using sptest::F32At;
using sptest::U32At;

struct TestEngine : TimeSpectrumEstimation {
  using TimeSpectrumEstimation::CreateSignalPattern;
  using TimeSpectrumEstimation::SetPatternInterval;
  using TimeSpectrumEstimation::WriteCurrentSpectrumSamples;
  TestEngine(sp_ulong mode = 0x20000u, int nblockPattern = 0) {
    EXPECT_EQ(InitTimeSpectrumEst(mode, 1152, 0, nblockPattern), 1);
  }
};

bool SameBits(const float* a, const float* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(float)) == 0; }

// Description of a hand-made pattern file; the defaults give a valid version-5 file.
struct FileLayout {
  std::uint32_t protocolWord = 0x50000u;
  int ndft = 16, nband = 4, nblock = 3;
  float fs = 44100.0f;
  std::string shortName = "short.tvs";
  std::vector<float> bandRms = {1.0f, 3.0f, 3.0f, 2.0f};
  bool section1 = true, nameBlock = true;
  std::string inputName = "C:\\snd\\source.wav";
  std::string path = "C:\\patterns\\short.tvs";
};

float SpectrumValue(int t, int b) { return static_cast<float>(t * 10 + b) + 0.25f; }

Bytes Build(const FileLayout& s) {
  Bytes b;
  auto u32 = [&b](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  auto u16 = [&b](std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
  };
  auto f32 = [&u32](float f) { std::uint32_t u; std::memcpy(&u, &f, 4); u32(u); };
  auto text = [&b](const std::string& t) { b.insert(b.end(), t.begin(), t.end()); };
  u32(s.protocolWord);
  u32(static_cast<std::uint32_t>(s.ndft));
  u32(static_cast<std::uint32_t>(s.nband));
  u32(static_cast<std::uint32_t>(s.nblock));
  f32(s.fs);
  f32(1.0e-10f);
  u32(5000);
  std::string name = s.shortName;
  name.resize(16, '\0');
  text(name);
  u32(0);  // null-section size: the loader does not use it
  u32(0);
  u32(0);
  for (float v : s.bandRms) f32(v);
  for (int t = 0; t < s.nblock; ++t)
    for (int band = 0; band < s.nband; ++band) f32(SpectrumValue(t, band));
  if (s.section1) {
    std::uint32_t L = static_cast<std::uint32_t>(s.inputName.size() + 1);
    u16(L + 14);
    u16(1);
    u16(L);
    text(s.inputName);
    b.push_back(0);
    u32(0);
    u32(0);
  }
  if (s.nameBlock) {
    u32(static_cast<std::uint32_t>(s.path.size()));
    text(s.path);
    b.push_back(0);
  }
  return b;
}

struct Loaded {
  int result;
  Lines lines;
};

Loaded Load(TestEngine& e, const std::string& path, SignalTVSEx& rec) {
  sptest::LogCapture log;
  int result = e.LoadRecognizePattern(const_cast<char*>(path.c_str()), &rec);
  return {result, log.Utf8Lines()};
}

const char kHeaderDataError[] = "LoadRecognizePattern(): ошибка данных заголовка вх. файла";
const char kFullNameError[] = "LoadRecognizePattern(): ошибка чтения вх. файла: полное имя образца";

// Feeds 576-sample calls (signal, then silence) until the pattern is created; returns the
// number of calls made, or -1.
int FeedUntilCreated(TestEngine& e, const std::vector<float>& x, int maxCalls) {
  std::vector<float> block(576);
  for (int call = 0; call < maxCalls; ++call) {
    for (std::size_t i = 0; i < 576; ++i) {
      std::size_t k = static_cast<std::size_t>(call) * 576 + i;
      block[i] = k < x.size() ? x[k] : 0.0f;
    }
    if (e.TimeSpectrumEst(576, block.data()) != 1) return -1;
    if (e.GetFlagCreatedPattern()) return call + 1;
  }
  return -1;
}

std::string Derived(TestEngine& e, std::string input, const char* extension = nullptr) {
  if (!e.SetCreatePatternMode(0, 1151, input.data(), const_cast<char*>(extension))) return "<refused>";
  return e.GetPatternFileName();
}

}  // namespace

TEST(Creation, OutputNameDerivation) {
  TestEngine e;
  const std::pair<const char*, const char*> derived[] = {
      {"C:\\snd\\jingle.wav", "C:\\snd\\jingle.tvs"}, {"jingle", "jingle.tvs"}, {"a.b.c", "a.b.tvs"},
      {"C:\\snd.d\\jingle", "C:\\snd.d\\jingle.tvs"}, {"/snd.d/jingle", "/snd.d/jingle.tvs"},
      {".wav", ".wav.tvs"}, {"C:\\snd\\", "<refused>"}, {"C:", "<refused>"}, {"", "<refused>"}};
  sptest::LogCapture log;
  for (auto [input, output] : derived) EXPECT_EQ(Derived(e, input), output) << input;
  EXPECT_EQ(Derived(e, "clip.wav", "dat"), "clip.dat");
  EXPECT_EQ(Derived(e, "clip.wav", ""), "<refused>");
  EXPECT_EQ(e.SetCreatePatternMode(0, 1151, nullptr, nullptr), 0);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(e.fCreatePatternMode, 0);
  EXPECT_STREQ(e.GetPatternFileName(), "");

  // Output name overloads, only in creation mode.
  char clip[] = "clip.wav";
  EXPECT_EQ(e.SetOutputPatternFileName(clip) + e.SetOutputPatternFileName(clip, 3), 0);
  ASSERT_EQ(Derived(e, "in.wav"), "in.tvs");
  struct Case { const char* name; int number; const char* expected; };
  const Case numbered[] = {{"C:\\p\\clip.wav", 3, "C:\\p\\clip_3.tvs"}, {"clip.wav", -1, "clip.tvs"},
                           {"clip", 3, "clip.tvs"},                     {"C:\\p.q\\clip", 2, "C:\\p_2.tvs"},
                           {".hidden", 4, ".hidden.tvs"},               {"a.b", 2147483647, "a_2147483647.tvs"}};
  for (const Case& c : numbered) {
    std::string name = c.name;
    ASSERT_EQ(e.SetOutputPatternFileName(name.data(), c.number), 1) << c.name;
    EXPECT_STREQ(e.GetPatternFileName(), c.expected) << c.name;
  }
  ASSERT_EQ(e.SetOutputPatternFileName(clip), 1);
  EXPECT_STREQ(e.GetPatternFileName(), "clip.wav.tvs");
  char empty[] = "";
  EXPECT_EQ(e.SetOutputPatternFileName(empty) + e.SetOutputPatternFileName(nullptr) +
                e.SetOutputPatternFileName(empty, 1),
            0);
  EXPECT_STREQ(e.GetPatternFileName(), "clip.wav.tvs");
}

TEST(Creation, IntervalsAndRefusals) {
  char in[] = "in.wav";
  TimeSpectrumEstimation idle;
  EXPECT_EQ(idle.SetCreatePatternMode(0, 1151, in, nullptr), 0);  // not initialised
  TestEngine e;
  {
    sptest::LogCapture log;
    e.fCreatedPattern = 1;
    EXPECT_EQ(e.SetCreatePatternMode(100, 99, in, nullptr), 0);
    EXPECT_EQ(e.SetCreatePatternMode(-1, 99, in, nullptr), 0);
    EXPECT_EQ(log.Utf8Lines(), (Lines{"SetCreatePatternMode(): ошибка установки интервала",
                                      "NumSampBegin=100, NumSampEnd=99",
                                      "SetCreatePatternMode(): ошибка установки интервала",
                                      "NumSampBegin=-1, NumSampEnd=99"}));
    EXPECT_EQ(e.fCreatedPattern, 0);
    EXPECT_EQ(e.fCreatePatternMode, 0);
  }
  // Whole blocks from the first sample; the end moves by the pipeline delay.
  ASSERT_EQ(e.SetCreatePatternMode(0, 574, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 1);
  EXPECT_EQ(e.NumSampEnd, 1404 + 576);
  ASSERT_EQ(e.SetCreatePatternMode(1000, 2151, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 2);
  EXPECT_EQ(e.NumSampEnd, 1000 + 1404 + 1152);
  ASSERT_EQ(e.SetCreatePatternMode(0, 1727 + 575, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 3);  // the remainder of a block is dropped

  // The ring holds 307 blocks: exactly that many are accepted, one sample more is refused.
  ASSERT_EQ(e.SetCreatePatternMode(0, 307 * 576 - 1, in, nullptr), 1);
  {
    sptest::LogCapture log;
    EXPECT_EQ(e.SetCreatePatternMode(0, 308 * 576 - 1, in, nullptr), 0);
    EXPECT_EQ(log.Utf8Lines(), Lines{"SetCreatePatternMode(): ограничение длительности образца"});
    EXPECT_EQ(e.fCreatePatternMode, 0);
    EXPECT_EQ(e.SetPatternInterval(0, 0x7FFFFFFF), 1);
    EXPECT_EQ(e.NblockCreate, 307);
  }

  // Creation computes every band whatever the acceleration regime.
  TestEngine fast(0x100000u);
  ASSERT_EQ(fast.SetCreatePatternMode(0, 1151, in, nullptr), 1);
  EXPECT_EQ(fast.BandLast, 7);
  // Creation and recognition exclude each other.
  e.fRecognitionMode = 1;
  EXPECT_EQ(e.SetCreatePatternMode(0, 1151, in, nullptr), 0);
  EXPECT_EQ(e.SetPatternInterval(0, 1151), -1);
  e.fRecognitionMode = 0;
}

TEST(Creation, WrittenOnceInTheCompletingBlock) {
  sptest::TempDir dir;
  std::string input = dir.File("clip.wav");
  const std::string output = dir.File("clip.tvs");
  TestEngine e;
  ASSERT_EQ(e.SetCreatePatternMode(0, 1151, input.data(), nullptr), 1);
  // NumSampEnd = 1404 + 2*576 = 2556: reached by the 5th time block (NCurrentSample 2880).
  std::vector<float> x = sptest::Noise(576 * 12, 0.3, 21);
  int done = -1;
  EXPECT_EQ(e.CreateSignalPattern(done), 0);
  EXPECT_EQ(done, 0);
  for (int call = 0; call < 4; ++call) {
    ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + call * 576), 1);
    EXPECT_FALSE(std::filesystem::exists(output)) << "call " << call;
  }
  ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + 4 * 576), 1);
  EXPECT_EQ(e.GetFlagCreatedPattern(), 1);
  EXPECT_EQ(e.fCreatePatternMode, 0);
  Bytes file = sptest::ReadAll(output);

  // The pattern is the two newest ring blocks at that moment, newest first.
  ASSERT_GE(file.size(), 56u + 32 + 64);
  EXPECT_EQ(U32At(file, 24), 2880u);
  for (int b = 0; b < 8; ++b) {
    EXPECT_EQ(F32At(file, 56 + 32 + 4 * b), e.TimeSpectrum[4 * 8 + b]);
    EXPECT_EQ(F32At(file, 56 + 32 + 4 * (8 + b)), e.TimeSpectrum[3 * 8 + b]);
  }
  // Later blocks never touch the file again.
  std::filesystem::remove(output);
  for (int call = 5; call < 12; ++call) ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + call * 576), 1);
  EXPECT_FALSE(std::filesystem::exists(output));
  EXPECT_EQ(e.CreateSignalPattern(done), 0);

  // A stretch whose end falls exactly on a time block is written in that very block.
  TestEngine exact;
  std::string exactInput = dir.File("exact.wav");
  ASSERT_EQ(exact.SetCreatePatternMode(900, 900 + 575, exactInput.data(), nullptr), 1);
  EXPECT_EQ(exact.NumSampEnd, 2880);
  EXPECT_EQ(FeedUntilCreated(exact, x, 12), 5);

  // WriteCurrentSpectrumSamples walks back from the newest block and wraps round the ring.
  TestEngine small(0x20000u, 3);
  ASSERT_EQ(small.TimeSpectrumEst(1152, x.data()), 1);
  std::vector<float> out(32, -1.0f);
  small.NblockCur = 1;  // as during the creation step: the row just written
  ASSERT_EQ(small.WriteCurrentSpectrumSamples(out.data(), 4), 1);
  for (int k = 0; k < 4; ++k)
    EXPECT_TRUE(SameBits(out.data() + 8 * k, small.TimeSpectrum + 8 * ((1 - k + 3) % 3), 8)) << k;
  EXPECT_EQ(small.WriteCurrentSpectrumSamples(nullptr, 1), 0);

  // A file that cannot be created: two lines, and creation ends unfinished.
  TestEngine failing;
  std::string missing = dir.File("missing-dir/clip.wav");
  ASSERT_EQ(failing.SetCreatePatternMode(0, 575, missing.data(), nullptr), 1);
  sptest::LogCapture log;
  EXPECT_EQ(FeedUntilCreated(failing, {}, 6), -1);
  EXPECT_EQ(log.Utf8Lines(), (Lines{"CreateSignalPattern(): не создать файл для записи",
                                    "имя файла " + dir.File("missing-dir/clip.tvs")}));
  EXPECT_EQ(failing.fCreatePatternMode, 0);
}

// The bytes of written files are pinned by Golden.PatternFileBytes and their fields read back
// by the round trip below; the format version carries bits 16..19 of the mode word.
TEST(PatternFile, VersionCarriesTheModeBits) {
  sptest::TempDir dir;
  struct Case { sp_ulong mode; unsigned version; };
  for (const Case& c : {Case{0u, 5}, Case{0x40000u, 5}, Case{0x80000u, 13}, Case{0x100000u, 5}}) {
    TestEngine m(c.mode);
    std::string in = dir.File("mode.wav");
    ASSERT_EQ(m.SetCreatePatternMode(0, 575, in.data(), nullptr), 1);
    ASSERT_GT(FeedUntilCreated(m, {}, 10), 0);
    EXPECT_EQ(U32At(sptest::ReadAll(dir.File("mode.tvs")), 0), c.version << 16) << std::hex << c.mode;
  }
}

TEST(PatternFile, WriteThenLoadRoundTrip) {
  sptest::TempDir dir;
  std::string input = dir.File("tone.wav");
  TestEngine creator;
  ASSERT_EQ(creator.SetCreatePatternMode(1000, 1000 + 20 * 576 - 1, input.data(), nullptr), 1);
  ASSERT_GT(FeedUntilCreated(creator, sptest::ToneSteps({700.0, 1500.0, 3000.0}, 5000, 0.5), 100), 0);
  const std::string path = dir.File("tone.tvs");

  TestEngine loader;
  SignalTVSEx rec;
  Loaded r = Load(loader, path, rec);
  ASSERT_EQ(r.result, 1);
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(rec.Protocol, 0x70000u);
  EXPECT_TRUE(SameBits(rec.BandRms, creator.BandLevelCur, 8));
  EXPECT_TRUE(SameBits(rec.Spectrum, creator.CreateBuf, 20 * 8));
  EXPECT_STREQ(rec.InputFileName, input.c_str());
  EXPECT_STREQ(rec.FileName, path.c_str());
  EXPECT_EQ(rec.InvNbandNblock, 1.0f / 160.0f);

  // Loading is refused silently while creating.
  std::string other = dir.File("other.wav");
  ASSERT_EQ(loader.SetCreatePatternMode(0, 575, other.data(), nullptr), 1);
  SignalTVSEx rec2;
  r = Load(loader, path, rec2);
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(rec2.BandRms, nullptr);
}

// Header checks, name limits and the older format versions. Cut files, impossible block
// counts and names running past the end of the file are in test_malformed_patterns.cpp.
TEST(PatternFile, LoaderCases) {
  sptest::TempDir dir;
  TestEngine e;
  const std::string path = dir.File("p.tvs");
  struct Case {
    const char* what;
    void (*edit)(FileLayout&);
    int result;
    Lines lines;
    void (*check)(const SignalTVSEx&);
  };
  const std::vector<Case> cases = {
      {"valid", [](FileLayout&) {}, 1, {},
       [](const SignalTVSEx& r) {
         EXPECT_EQ(r.BandMaxRms, 1);  // levels 1, 3, 3, 2: the first of equal maxima
         EXPECT_STREQ(r.InputFileName, "C:\\snd\\source.wav");
         EXPECT_STREQ(r.FileName, "C:\\patterns\\short.tvs");
         EXPECT_EQ(r.Spectrum[2 * 4 + 3], SpectrumValue(2, 3));
         EXPECT_EQ(r.SpectrumByBand[3 * 3 + 2], SpectrumValue(2, 3));
         EXPECT_EQ(r.NSamplePattern, 3 * 576);
       }},
      {"protocol", [](FileLayout& s) { s.protocolWord = 0x50001u; }, 0, {kHeaderDataError}, nullptr},
      {"Ndft 8", [](FileLayout& s) { s.ndft = 8; }, 0, {kHeaderDataError}, nullptr},
      {"Nband 0", [](FileLayout& s) { s.nband = 0; }, 0, {kHeaderDataError}, nullptr},
      {"Nband 17", [](FileLayout& s) { s.nband = 17; }, 0, {kHeaderDataError}, nullptr},
      {"48000 Hz", [](FileLayout& s) { s.fs = 48000.0f; }, 0, {kHeaderDataError}, nullptr},
      {"N 511", [](FileLayout& s) { s.path = std::string(511, 'n'); }, 1, {},
       [](const SignalTVSEx& r) { EXPECT_EQ(std::string(r.FileName), std::string(511, 'n')); }},
      {"v1", [](FileLayout& s) { s.protocolWord = 0x10000u; s.shortName = "fifteen-chars-x"; }, 1, {},
       [](const SignalTVSEx& r) {
         EXPECT_EQ(r.InputFileName, nullptr);
         EXPECT_STREQ(r.FileName, "fifteen-chars-x");
       }},
      {"v2 without section 1", [](FileLayout& s) { s.protocolWord = 0x20000u; s.section1 = s.nameBlock = false; }, 1,
       {}, [](const SignalTVSEx& r) { EXPECT_EQ(r.InputFileName, nullptr); }},
      {"v4 without name block", [](FileLayout& s) { s.protocolWord = 0x40000u; s.section1 = s.nameBlock = false; }, 0,
       {kFullNameError}, [](const SignalTVSEx& r) { EXPECT_STREQ(r.FileName, "short.tvs"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileLayout layout;
    c.edit(layout);
    sptest::WriteAll(path, Build(layout));
    SignalTVSEx rec;
    Loaded r = Load(e, path, rec);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.lines, c.lines);
    if (c.lines == Lines{kHeaderDataError}) {
      EXPECT_EQ(rec.BandRms, nullptr);  // rejected before any allocation
    }
    if (c.check != nullptr) c.check(rec);
  }

  // With the fixed-rate flag clear, 48000 Hz loads.
  FileLayout s48;
  s48.fs = 48000.0f;
  sptest::WriteAll(path, Build(s48));
  e.RecPar.fFixedFs = 0;
  SignalTVSEx rec;
  EXPECT_EQ(Load(e, path, rec).result, 1);
  EXPECT_EQ(rec.Fs, 48000.0f);

  const std::string missing = dir.File("none.tvs");
  SignalTVSEx rec2;
  EXPECT_EQ(Load(e, missing, rec2).lines, (Lines{"LoadRecognizePattern(), ошибка:", "не открыть файл " + missing}));
  EXPECT_EQ(e.LoadRecognizePattern(nullptr, &rec2), 0);
  EXPECT_EQ(e.LoadRecognizePattern(const_cast<char*>(path.c_str()), nullptr), 0);
}
