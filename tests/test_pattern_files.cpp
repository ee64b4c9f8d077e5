// Tests of pattern creation and of the pattern file: layout, round trip, loader failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct TestEngine : TimeSpectrumEstimation {
  using TimeSpectrumEstimation::CreateSignalPattern;
  using TimeSpectrumEstimation::SetPatternInterval;
  using TimeSpectrumEstimation::WriteCurrentSpectrumSamples;
};

bool SameBits(const float* a, const float* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(float)) == 0; }

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

// Byte builder for hand-made pattern files.
struct Writer {
  Bytes b;
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
  }
  void U16(std::uint16_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
  }
  void F32(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    U32(u);
  }
  void Text(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
};

// Description of a pattern file to build; defaults give a valid version-5 file.
struct FileSpec {
  std::uint32_t protocolWord = 0x50000u;
  int ndft = 16, nband = 4, nblock = 3;
  float fs = 44100.0f;
  int nSampleCreate = 5000;
  std::string shortName = "short.tvs";
  std::vector<float> bandRms = {1.0f, 3.0f, 3.0f, 2.0f};
  bool section1 = true;
  std::string inputName = "C:\\snd\\source.wav";
  bool nameBlock = true;
  std::uint32_t nameLength = 0xFFFFFFFFu;  // default: the path's length
  std::string path = "C:\\patterns\\short.tvs";
};

float SpectrumValue(int t, int b) { return static_cast<float>(t * 10 + b) + 0.25f; }

Bytes Build(const FileSpec& s) {
  Writer w;
  w.U32(s.protocolWord);
  w.U32(static_cast<std::uint32_t>(s.ndft));
  w.U32(static_cast<std::uint32_t>(s.nband));
  w.U32(static_cast<std::uint32_t>(s.nblock));
  w.F32(s.fs);
  w.F32(1.0e-10f);
  w.U32(static_cast<std::uint32_t>(s.nSampleCreate));
  std::string name = s.shortName;
  name.resize(16, '\0');
  w.Text(name);
  w.U32(0);  // null-section size: the loader does not use it
  w.U32(0);
  w.U32(0);
  for (float v : s.bandRms) w.F32(v);
  if (s.nblock > 0 && s.nblock < 1000)
    for (int t = 0; t < s.nblock; ++t)
      for (int b = 0; b < s.nband; ++b) w.F32(SpectrumValue(t, b));
  if (s.section1) {
    std::uint16_t L = static_cast<std::uint16_t>(s.inputName.size() + 1);
    w.U16(static_cast<std::uint16_t>(L + 14));
    w.U16(1);
    w.U16(L);
    w.Text(s.inputName);
    w.b.push_back(0);
    w.U32(0);
    w.U32(0);
  }
  if (s.nameBlock) {
    w.U32(s.nameLength == 0xFFFFFFFFu ? static_cast<std::uint32_t>(s.path.size()) : s.nameLength);
    w.Text(s.path);
    w.b.push_back(0);
  }
  return w.b;
}

struct Loaded {
  int result;
  std::vector<std::string> lines;
};

Loaded Load(TestEngine& e, const std::string& path, SignalTVSEx& rec) {
  sptest::LogCapture log;
  Loaded out;
  out.result = e.LoadRecognizePattern(const_cast<char*>(path.c_str()), &rec);
  out.lines = log.Utf8Lines();
  return out;
}

const char kHeaderDataError[] = "LoadRecognizePattern(): ошибка данных заголовка вх. файла";
const char kReadError[] = "LoadRecognizePattern(): ошибка чтения вх. файла";
const char kFullNameError[] = "LoadRecognizePattern(): ошибка чтения вх. файла: полное имя образца";

// An engine in the standard mode, ready for creation.
void InitStandard(TestEngine& e, sp_ulong mode = 0x20000u, int nblockPattern = 0) {
  ASSERT_EQ(e.InitTimeSpectrumEst(mode, 1152, 0, nblockPattern), 1);
}

// Feeds 576-sample calls (signal, then silence) until the pattern is created; returns the
// number of calls made.
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

std::string Derived(TestEngine& e, const char* input, const char* extension = nullptr) {
  if (!e.SetCreatePatternMode(0, 1151, const_cast<char*>(input), const_cast<char*>(extension))) return "<refused>";
  return e.GetPatternFileName();
}

}  // namespace

// ---- creation mode

TEST(Creation, OutputNameDerivation) {
  TestEngine e;
  InitStandard(e);
  EXPECT_EQ(Derived(e, "C:\\snd\\jingle.wav"), "C:\\snd\\jingle.tvs");
  EXPECT_STREQ(e.InputFileName, "C:\\snd\\jingle.wav");
  EXPECT_EQ(Derived(e, "jingle"), "jingle.tvs");
  EXPECT_EQ(Derived(e, "a.b.c"), "a.b.tvs");
  EXPECT_EQ(Derived(e, "C:\\snd.d\\jingle"), "C:\\snd.d\\jingle.tvs");
  EXPECT_EQ(Derived(e, "/snd.d/jingle"), "/snd.d/jingle.tvs");
  EXPECT_EQ(Derived(e, ".wav"), ".wav.tvs");
  EXPECT_EQ(Derived(e, "x"), "x.tvs");
  EXPECT_EQ(Derived(e, "clip.wav", "dat"), "clip.dat");

  sptest::LogCapture log;
  EXPECT_EQ(Derived(e, "C:\\snd\\"), "<refused>");
  EXPECT_EQ(Derived(e, "C:"), "<refused>");
  EXPECT_EQ(Derived(e, ""), "<refused>");
  EXPECT_EQ(Derived(e, "clip.wav", ""), "<refused>");
  EXPECT_EQ(e.SetCreatePatternMode(0, 1151, nullptr, nullptr), 0);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(e.fCreatePatternMode, 0);
  EXPECT_STREQ(e.GetPatternFileName(), "");

  // Output name overloads, only in creation mode.
  char clip[] = "clip.wav";
  EXPECT_EQ(e.SetOutputPatternFileName(clip), 0);
  EXPECT_EQ(e.SetOutputPatternFileName(clip, 3), 0);
  ASSERT_EQ(Derived(e, "in.wav"), "in.tvs");
  struct Case {
    const char* name;
    int number;
    const char* expected;
  };
  const Case numbered[] = {{"C:\\p\\clip.wav", 3, "C:\\p\\clip_3.tvs"},
                           {"clip.wav", -1, "clip.tvs"},
                           {"clip", 3, "clip.tvs"},
                           {"C:\\p.q\\clip", 2, "C:\\p_2.tvs"},
                           {".hidden", 4, ".hidden.tvs"},
                           {"a.b", 2147483647, "a_2147483647.tvs"}};
  for (const Case& c : numbered) {
    std::string name = c.name;
    ASSERT_EQ(e.SetOutputPatternFileName(name.data(), c.number), 1) << c.name;
    EXPECT_STREQ(e.GetPatternFileName(), c.expected) << c.name;
  }
  ASSERT_EQ(e.SetOutputPatternFileName(clip), 1);
  EXPECT_STREQ(e.GetPatternFileName(), "clip.wav.tvs");
  char empty[] = "";
  EXPECT_EQ(e.SetOutputPatternFileName(empty), 0);
  EXPECT_EQ(e.SetOutputPatternFileName(nullptr), 0);
  EXPECT_EQ(e.SetOutputPatternFileName(empty, 1), 0);
  EXPECT_STREQ(e.GetPatternFileName(), "clip.wav.tvs");
}

TEST(Creation, IntervalsAndRefusals) {
  TestEngine e;
  char in[] = "in.wav";
  {
    sptest::LogCapture log;
    EXPECT_EQ(e.SetCreatePatternMode(0, 1151, in, nullptr), 0);  // not initialised
    EXPECT_EQ(e.SetPatternInterval(0, 1151), -1);
    EXPECT_TRUE(log.lines().empty());
  }
  InitStandard(e);
  {
    sptest::LogCapture log;
    e.fCreatedPattern = 1;
    EXPECT_EQ(e.SetCreatePatternMode(100, 99, in, nullptr), 0);
    EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"SetCreatePatternMode(): ошибка установки интервала",
                                                         "NumSampBegin=100, NumSampEnd=99"}));
    EXPECT_EQ(e.fCreatedPattern, 0);
    EXPECT_EQ(e.fCreatePatternMode, 0);
    log.Clear();
    EXPECT_EQ(e.SetCreatePatternMode(-1, 99, in, nullptr), 0);
    EXPECT_EQ(log.Utf8Lines()[1], "NumSampBegin=-1, NumSampEnd=99");
  }

  ASSERT_EQ(e.SetCreatePatternMode(0, 574, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 1);
  EXPECT_EQ(e.NsDelay, 1404);
  EXPECT_EQ(e.NumSampBegin, 0);
  EXPECT_EQ(e.NumSampEnd, 1404 + 576);
  ASSERT_EQ(e.SetCreatePatternMode(1000, 2151, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 2);
  EXPECT_EQ(e.NumSampEnd, 1000 + 1404 + 1152);
  ASSERT_EQ(e.SetCreatePatternMode(0, 1727 + 575, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 3);  // the remainder of a block is dropped
  EXPECT_EQ(e.fCreatePatternMode, 1);
  EXPECT_EQ(e.BandFirst, 0);
  EXPECT_EQ(e.BandLast, 7);

  // The ring holds 307 blocks: exactly that many are accepted, one sample more is refused.
  ASSERT_EQ(e.SetCreatePatternMode(0, 307 * 576 - 1, in, nullptr), 1);
  EXPECT_EQ(e.NblockCreate, 307);
  {
    sptest::LogCapture log;
    EXPECT_EQ(e.SetCreatePatternMode(0, 308 * 576 - 1, in, nullptr), 0);
    EXPECT_EQ(log.Utf8Lines(), std::vector<std::string>{"SetCreatePatternMode(): ограничение длительности образца"});
    EXPECT_EQ(e.fCreatePatternMode, 0);
    EXPECT_EQ(e.SetPatternInterval(0, 0x7FFFFFFF), 1);
    EXPECT_EQ(e.NblockCreate, 307);
  }

  // Acceleration regimes are overridden for creation: every band is computed.
  TestEngine fast;
  InitStandard(fast, 0x100000u);
  EXPECT_EQ(fast.BandLast, 0);
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
  TestEngine e;
  InitStandard(e);
  ASSERT_EQ(e.SetCreatePatternMode(0, 1151, input.data(), nullptr), 1);
  const std::string output = dir.File("clip.tvs");
  EXPECT_EQ(e.GetPatternFileName(), output);
  // NumSampEnd = 1404 + 2*576 = 2556: reached by the 5th time block (NCurrentSample 2880).
  std::vector<float> x = sptest::Noise(576 * 12, 0.3, 21);
  int done = -1;
  EXPECT_EQ(e.CreateSignalPattern(done), 0);
  EXPECT_EQ(done, 0);
  for (int call = 0; call < 4; ++call) {
    ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + call * 576), 1);
    EXPECT_EQ(e.GetFlagCreatedPattern(), 0);
    EXPECT_FALSE(FileExists(output)) << "call " << call;
  }
  EXPECT_EQ(e.NCurrentSample, 2304u);
  ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + 4 * 576), 1);
  EXPECT_EQ(e.GetFlagCreatedPattern(), 1);
  EXPECT_EQ(e.fCreatePatternMode, 0);
  EXPECT_EQ(e.GetPatternFileName(), output);
  ASSERT_TRUE(FileExists(output));
  Bytes file = sptest::ReadAll(output);

  // The pattern is the two newest ring blocks at that moment, newest first.
  const int nband = 8;
  ASSERT_GE(file.size(), 56u + 4 * nband + 4 * 2 * nband);
  EXPECT_EQ(sptest::U32At(file, 24), 2880u);
  std::vector<float> ringNewest(e.TimeSpectrum + 4 * nband, e.TimeSpectrum + 5 * nband);
  std::vector<float> ringOlder(e.TimeSpectrum + 3 * nband, e.TimeSpectrum + 4 * nband);
  for (int b = 0; b < nband; ++b) {
    float s0 = sptest::F32At(file, 56 + 4 * nband + 4 * b);
    float s1 = sptest::F32At(file, 56 + 4 * nband + 4 * (nband + b));
    EXPECT_EQ(s0, ringNewest[b]);
    EXPECT_EQ(s1, ringOlder[b]);
    float mean = static_cast<float>((static_cast<double>(s0) + static_cast<double>(s1)) / 2);
    EXPECT_EQ(sptest::F32At(file, 56 + 4 * b), mean);
    EXPECT_EQ(e.BandLevelCur[b], mean);
  }

  // Later blocks never touch the file again.
  std::filesystem::remove(output);
  for (int call = 5; call < 12; ++call) ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + call * 576), 1);
  EXPECT_FALSE(FileExists(output));
  EXPECT_EQ(e.GetFlagCreatedPattern(), 1);
  EXPECT_EQ(e.CreateSignalPattern(done), 0);
  EXPECT_EQ(done, 0);

  // A stretch whose end falls exactly on a time block is written in that very block.
  TestEngine exact;
  InitStandard(exact);
  std::string exactInput = dir.File("exact.wav");
  ASSERT_EQ(exact.SetCreatePatternMode(900, 900 + 575, exactInput.data(), nullptr), 1);
  EXPECT_EQ(exact.NumSampEnd, 2880);
  EXPECT_EQ(FeedUntilCreated(exact, x, 12), 5);

  // WriteCurrentSpectrumSamples walks back from the newest block and wraps around the ring.
  TestEngine small;
  InitStandard(small, 0x20000u, 3);
  ASSERT_EQ(small.TimeSpectrumEst(1152, x.data()), 1);  // blocks at rows 0 and 1
  std::vector<float> out(4 * nband, -1.0f);
  small.NblockCur = 1;  // as during the creation step: the row just written
  ASSERT_EQ(small.WriteCurrentSpectrumSamples(out.data(), 4), 1);
  EXPECT_TRUE(SameBits(out.data(), small.TimeSpectrum + 1 * nband, nband));
  EXPECT_TRUE(SameBits(out.data() + nband, small.TimeSpectrum, nband));
  EXPECT_TRUE(SameBits(out.data() + 2 * nband, small.TimeSpectrum + 2 * nband, nband));
  EXPECT_TRUE(SameBits(out.data() + 3 * nband, small.TimeSpectrum + 1 * nband, nband));
  EXPECT_EQ(small.WriteCurrentSpectrumSamples(nullptr, 1), 0);
}

TEST(Creation, FileCreationFailure) {
  sptest::TempDir dir;
  std::string input = dir.File("missing-dir/clip.wav");
  TestEngine e;
  InitStandard(e);
  ASSERT_EQ(e.SetCreatePatternMode(0, 575, input.data(), nullptr), 1);
  sptest::LogCapture log;
  std::vector<float> x(576 * 6, 0.0f);
  for (int call = 0; call < 6; ++call) ASSERT_EQ(e.TimeSpectrumEst(576, x.data() + call * 576), 1);
  EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"CreateSignalPattern(): не создать файл для записи",
                                                       "имя файла " + dir.File("missing-dir/clip.tvs")}));
  EXPECT_EQ(e.GetFlagCreatedPattern(), 0);
  EXPECT_EQ(e.fCreatePatternMode, 0);
}

// ---- file layout and round trip

TEST(PatternFile, HeaderSectionAndNameBlockLayout) {
  sptest::TempDir dir;
  std::string input = "C:\\snd\\the source.wav";
  TestEngine e;
  InitStandard(e);
  ASSERT_EQ(e.SetCreatePatternMode(0, 3 * 576 - 1, input.data(), nullptr), 1);
  std::string out = dir.File("abcdefghijklmnop");  // 20 characters with ".tvs"
  ASSERT_EQ(e.SetOutputPatternFileName(out.data()), 1);
  ASSERT_GT(FeedUntilCreated(e, sptest::Noise(576 * 10, 0.2, 5), 20), 0);
  const std::string path = out + ".tvs";
  Bytes f = sptest::ReadAll(path);

  const std::uint32_t nband = 8, nblock = 3;
  const std::uint32_t nullSection = 56 + 4 * nband + 4 * nblock * nband;
  EXPECT_EQ(sptest::U16At(f, 0), 0u);  // protocol
  EXPECT_EQ(sptest::U16At(f, 2), 7u);  // 5 | bits 16..19 of 0x20000
  EXPECT_EQ(sptest::U32At(f, 4), 16u);
  EXPECT_EQ(sptest::U32At(f, 8), nband);
  EXPECT_EQ(sptest::U32At(f, 12), nblock);
  EXPECT_EQ(sptest::F32At(f, 16), 44100.0f);
  EXPECT_EQ(sptest::F32At(f, 20), 1.0e-10f);
  EXPECT_EQ(sptest::U32At(f, 24), e.NCurrentSample);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[28]), 16), std::string("abcdefghijklmno\0", 16));
  EXPECT_STREQ(e.CreatedTVS.FileName, "abcdefghijklmno");
  EXPECT_EQ(sptest::U32At(f, 44), nullSection);
  EXPECT_EQ(sptest::U32At(f, 48), 0u);
  EXPECT_EQ(sptest::U32At(f, 52), 0u);

  const std::uint16_t L = static_cast<std::uint16_t>(input.size() + 1);
  EXPECT_EQ(sptest::U16At(f, nullSection), L + 14);
  EXPECT_EQ(sptest::U16At(f, nullSection + 2), 1u);
  EXPECT_EQ(sptest::U16At(f, nullSection + 4), L);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[nullSection + 6]), L - 1), input);
  EXPECT_EQ(f[nullSection + 5 + L], 0);
  EXPECT_EQ(sptest::U32At(f, nullSection + 6 + L), 0u);
  EXPECT_EQ(sptest::U32At(f, nullSection + 10 + L), 0u);
  const std::size_t nameBlock = nullSection + L + 14;
  EXPECT_EQ(sptest::U32At(f, nameBlock), path.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[nameBlock + 4]), path.size()), path);
  EXPECT_EQ(f[nameBlock + 4 + path.size()], 0);
  EXPECT_EQ(f.size(), nameBlock + 5 + path.size());

  // The format version carries bits 16..19 of the mode word.
  struct Case {
    sp_ulong mode;
    unsigned version;
  };
  for (const Case& c : {Case{0u, 5}, Case{0x40000u, 5}, Case{0x80000u, 13}, Case{0x100000u, 5}}) {
    TestEngine m;
    InitStandard(m, c.mode);
    std::string in = dir.File("mode.wav");
    ASSERT_EQ(m.SetCreatePatternMode(0, 575, in.data(), nullptr), 1);
    ASSERT_GT(FeedUntilCreated(m, {}, 10), 0);
    Bytes g = sptest::ReadAll(dir.File("mode.tvs"));
    EXPECT_EQ(sptest::U16At(g, 0), 0u);
    EXPECT_EQ(sptest::U16At(g, 2), c.version) << std::hex << c.mode;
  }
}

TEST(PatternFile, WriteThenLoadRoundTrip) {
  sptest::TempDir dir;
  std::string input = dir.File("tone.wav");
  TestEngine creator;
  InitStandard(creator);
  ASSERT_EQ(creator.SetCreatePatternMode(1000, 1000 + 20 * 576 - 1, input.data(), nullptr), 1);
  std::vector<float> x = sptest::ToneSteps({700.0, 1500.0, 3000.0}, 5000, 0.5);
  ASSERT_GT(FeedUntilCreated(creator, x, 100), 0);
  const std::string path = dir.File("tone.tvs");
  Bytes f = sptest::ReadAll(path);

  TestEngine loader;
  InitStandard(loader);
  SignalTVSEx rec;
  Loaded r = Load(loader, path, rec);
  ASSERT_EQ(r.result, 1);
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(rec.Protocol, 0x70000u);
  EXPECT_EQ(rec.Ndft, 16);
  EXPECT_EQ(rec.Nband, 8);
  EXPECT_EQ(rec.Nblock, 20);
  EXPECT_EQ(rec.Fs, 44100.0f);
  EXPECT_EQ(rec.Epsilon, 1.0e-10f);
  EXPECT_EQ(static_cast<sp_ulong>(rec.NSampleCreate), sptest::U32At(f, 24));
  EXPECT_GE(static_cast<sp_long>(rec.NSampleCreate), creator.NumSampEnd);
  EXPECT_TRUE(SameBits(rec.BandRms, creator.BandLevelCur, 8));
  EXPECT_TRUE(SameBits(rec.Spectrum, creator.CreateBuf, 20 * 8));
  for (int b = 0; b < 8; ++b)
    for (int t = 0; t < 20; ++t) ASSERT_EQ(rec.SpectrumByBand[b * 20 + t], rec.Spectrum[t * 8 + b]);
  ASSERT_NE(rec.InputFileName, nullptr);
  EXPECT_STREQ(rec.InputFileName, input.c_str());
  EXPECT_STREQ(rec.FileName, path.c_str());
  EXPECT_EQ(rec.NSamplePattern, 20 * 576);
  EXPECT_EQ(rec.InvNblock, 1.0f / 20.0f);
  EXPECT_EQ(rec.InvNband, 1.0f / 8.0f);
  EXPECT_EQ(rec.InvNbandNblock, 1.0f / 160.0f);
  EXPECT_EQ(rec.fUsePattern, 1);
  EXPECT_EQ(rec.fLevelGate, 1);
  EXPECT_EQ(rec.fKnownPosition, 0);
  int best = 0;
  for (int b = 1; b < 8; ++b)
    if (rec.BandRms[b] > rec.BandRms[best]) best = b;
  EXPECT_EQ(rec.BandMaxRms, best);

  // The creation record is a plain copyable header: no arrays of its own.
  SignalTVSEx copy(creator.CreatedTVS);
  EXPECT_EQ(copy.Nblock, 20);
  EXPECT_EQ(copy.NSampleCreate, rec.NSampleCreate);
  EXPECT_STREQ(copy.FileName, "tone.tvs");
  EXPECT_EQ(copy.BandRms, nullptr);
  EXPECT_EQ(copy.Spectrum, nullptr);
  TimeSpectrumEstimation engineCopy(creator);
  EXPECT_STREQ(engineCopy.CreatedTVS.FileName, "tone.tvs");
  EXPECT_EQ(engineCopy.CreatedTVS.Nblock, 20);

  // Loading is refused silently while creating.
  std::string other = dir.File("other.wav");
  ASSERT_EQ(loader.SetCreatePatternMode(0, 575, other.data(), nullptr), 1);
  SignalTVSEx rec2;
  r = Load(loader, path, rec2);
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(rec2.BandRms, nullptr);
}

// ---- loader failures and older formats

TEST(PatternFile, LoaderCases) {
  sptest::TempDir dir;
  TestEngine e;
  InitStandard(e);
  const std::string path = dir.File("p.tvs");
  const std::size_t section1 = 56 + 16 + 48;  // 4 bands, 3 blocks
  using Check = void (*)(const SignalTVSEx&);
  struct Case {
    const char* what;
    void (*edit)(FileSpec&);
    std::size_t cut;  // file size to keep, 0 = all
    int result;
    std::vector<std::string> lines;
    Check check;
  };
  const std::vector<Case> cases = {
      {"valid", [](FileSpec&) {}, 0, 1, {},
       [](const SignalTVSEx& r) {
         EXPECT_EQ(r.BandMaxRms, 1);  // levels 1, 3, 3, 2: the first of equal maxima
         EXPECT_STREQ(r.InputFileName, "C:\\snd\\source.wav");
         EXPECT_STREQ(r.FileName, "C:\\patterns\\short.tvs");
         EXPECT_EQ(r.Spectrum[2 * 4 + 3], SpectrumValue(2, 3));
         EXPECT_EQ(r.SpectrumByBand[3 * 3 + 2], SpectrumValue(2, 3));
         EXPECT_EQ(r.NSamplePattern, 3 * 576);
       }},
      {"56 bytes", [](FileSpec&) {}, 56, 0,
       {"LoadRecognizePattern(): ReadFileTVSHeader():", "ошибка формата входного файла",
        "LoadRecognizePattern(): ошибка чтения заголовка вх. файла", "файл " + path},
       nullptr},
      {"protocol", [](FileSpec& s) { s.protocolWord = 0x50001u; }, 0, 0, {kHeaderDataError}, nullptr},
      {"Ndft 8", [](FileSpec& s) { s.ndft = 8; }, 0, 0, {kHeaderDataError}, nullptr},
      {"Nband 0", [](FileSpec& s) { s.nband = 0; }, 0, 0, {kHeaderDataError}, nullptr},
      {"Nband 17", [](FileSpec& s) { s.nband = 17; }, 0, 0, {kHeaderDataError}, nullptr},
      {"Nblock 0", [](FileSpec& s) { s.nblock = 0; }, 0, 0, {kHeaderDataError}, nullptr},
      {"Nblock -4", [](FileSpec& s) { s.nblock = -4; }, 0, 0, {kHeaderDataError}, nullptr},
      // 2^28 blocks of 4 bands: more than a 32-bit read can hold.
      {"Nblock 2^28", [](FileSpec& s) { s.nblock = 0x10000000; }, 0, 0, {kHeaderDataError}, nullptr},
      {"48000 Hz", [](FileSpec& s) { s.fs = 48000.0f; }, 0, 0, {kHeaderDataError}, nullptr},
      // A big spectrum claimed by a small file is a short read; nothing is allocated for it.
      {"Nblock 5e7", [](FileSpec& s) { s.nblock = 50000000; }, 0, 0, {kReadError},
       [](const SignalTVSEx& r) { EXPECT_EQ(r.Spectrum, nullptr); }},
      {"cut in levels", [](FileSpec&) {}, 60, 0, {kReadError}, nullptr},
      {"cut in spectrum", [](FileSpec&) {}, 56 + 16 + 20, 0, {kReadError}, nullptr},
      {"N 511", [](FileSpec& s) { s.path = std::string(511, 'n'); }, 0, 1, {},
       [](const SignalTVSEx& r) { EXPECT_EQ(std::string(r.FileName), std::string(511, 'n')); }},
      {"N 512", [](FileSpec& s) { s.path = std::string(512, 'n'); }, 0, 0,
       {"LoadRecognizePattern(): ошибка чтения вх. файла: nsym ?"}, nullptr},
      // The name ends early: only the characters read, still terminated.
      {"cut in name", [](FileSpec& s) { s.nameLength = 40; }, section1 + 14 + 18 + 4 + 10, 0, {kFullNameError},
       [](const SignalTVSEx& r) { EXPECT_STREQ(r.FileName, "C:\\pattern"); }},
      // Version 5 cut inside section 1: the name bytes read so far; then no name block.
      {"v5 cut in section 1", [](FileSpec&) {}, section1 + 6 + 5, 0, {kFullNameError},
       [](const SignalTVSEx& r) {
         EXPECT_STREQ(r.InputFileName, "C:\\sn");
         EXPECT_STREQ(r.FileName, "short.tvs");
       }},
      {"v1", [](FileSpec& s) { s.protocolWord = 0x10000u; s.shortName = "fifteen-chars-x"; }, 0, 1, {},
       [](const SignalTVSEx& r) {
         EXPECT_EQ(r.InputFileName, nullptr);
         EXPECT_STREQ(r.FileName, "fifteen-chars-x");
       }},
      {"v2 without section 1", [](FileSpec& s) { s.protocolWord = 0x20000u; s.section1 = s.nameBlock = false; }, 0,
       1, {}, [](const SignalTVSEx& r) { EXPECT_EQ(r.InputFileName, nullptr); }},
      {"v3 without section 1", [](FileSpec& s) { s.protocolWord = 0x30000u; s.section1 = s.nameBlock = false; }, 0,
       1, {}, [](const SignalTVSEx& r) { EXPECT_EQ(r.InputFileName, nullptr); }},
      {"v3 with section 1", [](FileSpec& s) { s.protocolWord = 0x30000u; s.nameBlock = false; }, 0, 1, {},
       [](const SignalTVSEx& r) {
         EXPECT_STREQ(r.InputFileName, "C:\\snd\\source.wav");
         EXPECT_STREQ(r.FileName, "short.tvs");
       }},
      {"v3 cut in section 1", [](FileSpec& s) { s.protocolWord = 0x30000u; }, section1 + 6 + 3, 1, {},
       [](const SignalTVSEx& r) { EXPECT_STREQ(r.InputFileName, "C:\\"); }},
      {"v3 cut in L", [](FileSpec& s) { s.protocolWord = 0x30000u; }, section1 + 5, 1, {},
       [](const SignalTVSEx& r) { EXPECT_STREQ(r.InputFileName, ""); }},
      {"v4 without name block", [](FileSpec& s) { s.protocolWord = 0x40000u; s.section1 = s.nameBlock = false; }, 0,
       0, {kFullNameError}, [](const SignalTVSEx& r) { EXPECT_STREQ(r.FileName, "short.tvs"); }},
  };
  for (const Case& c : cases) {
    FileSpec spec;
    c.edit(spec);
    Bytes b = Build(spec);
    if (c.cut != 0) b.resize(c.cut);
    sptest::WriteAll(path, b);
    SignalTVSEx rec;
    Loaded r = Load(e, path, rec);
    EXPECT_EQ(r.result, c.result) << c.what;
    EXPECT_EQ(r.lines, c.lines) << c.what;
    if (c.lines == std::vector<std::string>{kHeaderDataError}) {
      EXPECT_EQ(rec.BandRms, nullptr) << c.what;  // rejected before any allocation
    }
    if (c.check != nullptr) {
      SCOPED_TRACE(c.what);
      c.check(rec);
    }
  }

  // With the fixed-rate flag clear, 48000 Hz loads.
  FileSpec s48;
  s48.fs = 48000.0f;
  sptest::WriteAll(path, Build(s48));
  e.RecPar.fFixedFs = 0;
  SignalTVSEx rec;
  EXPECT_EQ(Load(e, path, rec).result, 1);
  EXPECT_EQ(rec.Fs, 48000.0f);

  const std::string missing = dir.File("none.tvs");
  SignalTVSEx rec2;
  EXPECT_EQ(Load(e, missing, rec2).lines,
            (std::vector<std::string>{"LoadRecognizePattern(), ошибка:", "не открыть файл " + missing}));
  EXPECT_EQ(e.LoadRecognizePattern(nullptr, &rec2), 0);
  EXPECT_EQ(e.LoadRecognizePattern(const_cast<char*>(path.c_str()), nullptr), 0);
}

// A pattern made from a fixed synthetic signal: its numeric content (null section and
// section 1) must not change between builds or optimisation levels.
TEST(PatternFile, GoldenPattern) {
  sptest::TempDir dir;
  std::vector<float> x = sptest::ToneSteps({440.0, 1000.0, 2500.0, 4000.0, 700.0}, 8820, 0.4);
  std::vector<float> noise = sptest::Noise(x.size(), 0.05, 12345);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] += noise[i];

  TestEngine e;
  InitStandard(e);
  char input[] = "C:\\snd\\golden.wav";
  ASSERT_EQ(e.SetCreatePatternMode(4410, 4410 + 60 * 576 - 1, input, nullptr), 1);
  std::string out = dir.File("golden");
  ASSERT_EQ(e.SetOutputPatternFileName(out.data()), 1);
  std::vector<float> block(1152);
  bool created = false;
  for (std::size_t pos = 0; pos < x.size() + 20 * 1152 && !created; pos += 1152) {
    for (std::size_t i = 0; i < 1152; ++i) block[i] = pos + i < x.size() ? x[pos + i] : 0.0f;
    ASSERT_EQ(e.TimeSpectrumEst(1152, block.data()), 1);
    created = e.GetFlagCreatedPattern() == 1;
  }
  ASSERT_TRUE(created);
  Bytes f = sptest::ReadAll(out + ".tvs");
  const std::size_t nullSection = sptest::U32At(f, 44);
  const std::size_t numericEnd = nullSection + sptest::U16At(f, nullSection);
  ASSERT_EQ(nullSection, 56u + 32u + 4u * 60u * 8u);
  ASSERT_LT(numericEnd, f.size());
  Bytes numeric(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(numericEnd));
  EXPECT_EQ(sptest::U32At(f, 24), 40896u);
  EXPECT_EQ(sptest::Fnv1a(numeric), 0x71981a699097548full) << std::hex << sptest::Fnv1a(numeric);
}
