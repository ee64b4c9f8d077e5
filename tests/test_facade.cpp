// The client facade: version, audio intake in the three sample formats, pattern creation from
// a buffer, copying, and the test-data recording of the engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using sptest::F32At;
using sptest::LogCapture;
using sptest::ReadAll;
using sptest::TempDir;
using sptest::U32At;
using Pcm = std::vector<std::int16_t>;

// Opens the protected test-data operations, as a client's derived class would.
class Probe : public SignalPattern {
 public:
  using TimeSpectrumEstimation::CloseTestDataFile;
  using TimeSpectrumEstimation::OpenForWriteTestDataFile;
  using TimeSpectrumEstimation::OutCurrentSpectrumData;
  using TimeSpectrumEstimation::SaveCurrentSpectrumData;
  using TimeSpectrumEstimation::WriteTestDataFile;
};

const std::vector<double> kTones = {689.0625, 2067.1875, 1378.125, 3445.3125};

// Four tone steps that fill exactly n samples (n a multiple of 4).
Pcm Clip(std::size_t n) { return sptest::ToPcm16(sptest::ToneSteps(kTones, n / 4, 0.5)); }

void Feed(SignalPattern& sp, const Pcm& pcm, int from, int to) {
  for (int k = from; k < to; ++k)
    ASSERT_GE(sp.Pattern(1152, const_cast<std::int16_t*>(pcm.data()) + 1152 * k, SP_SAMPLE_S16, nullptr), 0);
}

int Create(SignalPattern& sp, sp_ulong n, void* data, unsigned format, std::string& name, float fs = 44100.0f) {
  return sp.CreatePattern(n, 0, n - 1, data, format, name.data(), fs, 0x20000);
}

// Writes a pattern of a generated clip; returns the pattern file's path.
std::string MakePatternFile(const TempDir& dir) {
  Pcm pcm = sptest::ToPcm16(sptest::ToneSteps({689.0625, 2067.1875, 1378.125}, 4000, 0.5));
  std::string input = dir.File("tones.wav");
  SignalPattern creator;
  EXPECT_EQ(Create(creator, pcm.size(), pcm.data(), SP_SAMPLE_S16, input), 1);
  return dir.File("tones.tvs");
}

}  // namespace

TEST(FacadeIntake, VersionRefusalsAndSampleFormats) {
  SignalPattern sp;
  EXPECT_STREQ(sp.GetVersionName(), "2.5");
  EXPECT_EQ(sp.GetLinearVersionNumber(), 5);
  EXPECT_EQ(sp.SampleScale, static_cast<float>(1.0 / 32767.0));

  Pcm pcm(2304, 100);
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), -1);  // not initialised
  ASSERT_EQ(sp.InitSignalPattern(0x20000, 1152, 0), 1);
  EXPECT_EQ(sp.Pattern(1152, nullptr, SP_SAMPLE_S16, nullptr), -1);
  EXPECT_EQ(sp.Pattern(1151, pcm.data(), SP_SAMPLE_S16, nullptr), -1);
  EXPECT_EQ(sp.Pattern(1728, pcm.data(), SP_SAMPLE_S16, nullptr), -1);  // above NsampleMax
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), 3, nullptr), -1);
  EXPECT_EQ(sp.NCurrentSample, 0u);
  SignalPattern wide;
  ASSERT_EQ(wide.InitSignalPattern(0x20000, 2304, 0), 1);
  EXPECT_EQ(wide.Pattern(576, pcm.data(), SP_SAMPLE_S16, nullptr), -1);   // the lower bound is fixed
  EXPECT_EQ(wide.Pattern(1153, pcm.data(), SP_SAMPLE_S16, nullptr), -2);  // not a multiple of 576
  EXPECT_EQ(wide.NCurrentSample, 0u);
  EXPECT_EQ(wide.Pattern(2304, pcm.data(), SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(wide.NCurrentSample, 2304u);
  wide.UnloadSignalPatternObj(1, 1);
  EXPECT_EQ(wide.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), -1);

  // 32-bit words one byte off alignment: word 0 has high half 0x8000 and low half 0x0001,
  // word 1 high 0x7FFF and low 0x8000.
  std::vector<unsigned char> storage(4 * 1152 + 1);
  unsigned char* words = storage.data() + 1;
  auto putWord = [&](std::size_t i, std::uint16_t low, std::uint16_t high) {
    const unsigned char b[4] = {static_cast<unsigned char>(low), static_cast<unsigned char>(low >> 8),
                                static_cast<unsigned char>(high), static_cast<unsigned char>(high >> 8)};
    std::memcpy(words + 4 * i, b, 4);
  };
  putWord(0, 0x0001, 0x8000);
  putWord(1, 0x8000, 0x7FFF);
  for (std::size_t i = 2; i < 1152; ++i)
    putWord(i, static_cast<std::uint16_t>(i * 37), static_cast<std::uint16_t>(i * 91));
  // The 16-bit format reads the same bytes as consecutive samples: low, high, low, high...
  const float s = sp.SampleScale;
  auto at = [s](int v) { return static_cast<float>(static_cast<std::int16_t>(v)) * s; };
  struct Case { unsigned format; std::vector<float> head; float sixth; } cases[] = {
      {SP_SAMPLE_S32_HIGH, {-32768.0f * s, 32767.0f * s}, at(5 * 91)},
      {SP_SAMPLE_S32_LOW, {1.0f * s, -32768.0f * s}, at(5 * 37)},
      {SP_SAMPLE_S16, {1.0f * s, -32768.0f * s, -32768.0f * s, 32767.0f * s}, at(2 * 91)}};
  for (const Case& c : cases) {
    ASSERT_EQ(sp.Pattern(1152, words, c.format, nullptr), 0);
    EXPECT_EQ(std::vector<float>(sp.SampleBuf, sp.SampleBuf + c.head.size()), c.head) << c.format;
    EXPECT_EQ(sp.SampleBuf[5], c.sixth) << c.format;
  }
}

// CreatePattern is PatternMaker fed the whole buffer; pieces of other sizes: test_stream.cpp.
TEST(FacadeCreatePattern, RefusalsChunksAndSampleRate) {
  TempDir dir;
  std::string name = dir.File("clip.wav"), tvs = dir.File("clip.tvs");
  Pcm pcm = Clip(3556);
  SignalPattern refused;
  EXPECT_EQ(refused.CreatePattern(3556, 0, 3556, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(refused.CreatePattern(3556, 10, 9, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(refused.CreatePattern(3556, 0, 3555, nullptr, SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(refused.CreatePattern(3556, 0, 3555, pcm.data(), SP_SAMPLE_S16, nullptr, 44100.0f, 0x20000), 0);
  EXPECT_EQ(refused.fInitialized, 0);  // refused before anything was set up
  EXPECT_EQ(refused.CreatePattern(3556, 0, 3555, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20001), 0);
  // An unknown format is found after creation mode was entered; the mode stays set.
  EXPECT_EQ(refused.CreatePattern(3556, 0, 3555, pcm.data(), 3, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(refused.fCreatePatternMode, 1);
  EXPECT_FALSE(std::filesystem::exists(tvs));

  // Samples beyond Nsample must never be fed: they are full scale here.
  const sp_ulong n = 1152 * 3 + 100;
  pcm = Clip(n);
  Pcm buffer(pcm);
  buffer.resize(1152 * 4, 32767);
  SignalPattern sp;
  ASSERT_EQ(Create(sp, n, buffer.data(), SP_SAMPLE_S16, name), 1);
  EXPECT_EQ(sp.GetFlagCreatedPattern(), 1);
  EXPECT_STREQ(sp.GetPatternFileName(), tvs.c_str());
  // 6 blocks complete at NCurrentSample 1404 + 6 * 576 = 4860, in the 9th time block: 3 data
  // chunks, the partial chunk and one silent chunk were fed. The filter bank is released.
  EXPECT_EQ(sp.NCurrentSample, 5u * 1152u);
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), -2);
  const auto created = ReadAll(tvs);
  ASSERT_GT(created.size(), 56u);
  EXPECT_EQ(U32At(created, 12), 6u);

  // The same samples, zero padded, fed block by block through the engine's creation mode.
  std::filesystem::remove(tvs);
  Pcm padded(pcm);
  padded.resize(1152 * 14, 0);
  SignalPattern direct;
  ASSERT_EQ(direct.InitSignalPattern(0x20000, 1152, 0), 1);
  ASSERT_EQ(direct.SetCreatePatternMode(0, static_cast<sp_long>(n - 1), name.data(), nullptr), 1);
  int fed = 0;
  for (; !direct.GetFlagCreatedPattern() && fed < 14; ++fed)
    ASSERT_EQ(direct.Pattern(1152, padded.data() + 1152 * fed, SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(fed, 5);
  EXPECT_EQ(ReadAll(tvs), created);

  // The second stereo channel (4608-byte chunks and a 400-byte remainder) gives the same file,
  // and so does creating again on the same object.
  std::filesystem::remove(tvs);
  std::vector<std::uint32_t> stereo(n);
  for (sp_ulong i = 0; i < n; ++i)
    stereo[i] = 0x1234u | (static_cast<std::uint32_t>(static_cast<std::uint16_t>(pcm[i])) << 16);
  SignalPattern fromStereo;
  ASSERT_EQ(Create(fromStereo, n, stereo.data(), SP_SAMPLE_S32_HIGH, name), 1);
  EXPECT_EQ(ReadAll(tvs), created);
  ASSERT_EQ(Create(fromStereo, n, pcm.data(), SP_SAMPLE_S16, name), 1);
  EXPECT_EQ(fromStereo.NCurrentSample, 5u * 1152u);
  EXPECT_EQ(ReadAll(tvs), created);

  // Another sample rate changes only the parameters in force: the file still says 44100.
  pcm = Clip(4000);
  ASSERT_EQ(Create(sp, 4000, pcm.data(), SP_SAMPLE_S16, name, 48000.0f), 1);
  EXPECT_EQ(sp.RecPar.Fs, 48000.0f);
  EXPECT_EQ(sp.RecPar.fFixedFs, 0);
  EXPECT_EQ(sp.NsampleBlock, 576);
  EXPECT_EQ(F32At(ReadAll(tvs), 16), 44100.0f);
  SignalPattern plain;
  ASSERT_EQ(Create(plain, 4000, pcm.data(), SP_SAMPLE_S16, name), 1);
  EXPECT_EQ(plain.RecPar.fFixedFs, 1);
}

// (Copies of the engine mid-stream: EngineCopy.DeepCopyMidStream.)
TEST(FacadeCopy, CopiesAreIndependentAndRebuildTheirSummary) {
  // In recognition mode with statistics each copy links its patterns to its own summary.
  TempDir dir;
  std::string file = MakePatternFile(dir);
  char* names[] = {file.data()};
  SigRecognitionPar par;
  par.PatternFileNames = names;
  par.fStatistics = 1;
  SignalPattern r;
  ASSERT_EQ(r.InitSignalPattern(&par), 1);
  Pcm stream = sptest::ToPcm16(sptest::ToneSteps({689.0625, 2067.1875, 1378.125}, 4000, 0.5));
  stream.resize(1152 * 20, 0);
  Feed(r, stream, 0, 4);
  SignalPattern r1(r), r2;
  r2 = r;
  for (SignalPattern* e : {&r1, &r2}) {
    EXPECT_EQ(e->GeneralStatistics.N, 1);
    ASSERT_NE(e->TVS[0]->PatternStat, nullptr);
    EXPECT_NE(e->TVS[0]->PatternStat, r.TVS[0]->PatternStat);
    EXPECT_EQ(e->TVS[0]->PatternStat->Linked, &e->GeneralStatistics);
  }
  EXPECT_EQ(r.TVS[0]->PatternStat->Linked, &r.GeneralStatistics);
  for (SignalPattern* e : {&r, &r1, &r2}) Feed(*e, stream, 4, 20);
  EXPECT_GT(r.GetNRecognize(), 0);
  EXPECT_EQ(r1.GetNRecognize(), r.GetNRecognize());
  EXPECT_EQ(r2.GetNRecognize(), r.GetNRecognize());
  EXPECT_EQ(r1.TVS[0]->RelDev, r.TVS[0]->RelDev);
  EXPECT_EQ(r2.MonitorParam.RelDev, r.MonitorParam.RelDev);
}

TEST(FacadeTestData, WrittenRecordsAndReadingBackBySample) {
  TempDir dir;
  LogCapture log;
  Probe p;
  EXPECT_EQ(p.OpenForReadTestData(), 0);
  std::string base = dir.File("run");
  EXPECT_EQ(p.OpenForWriteTestDataFile(base.data()), 0);  // filter bank not initialised
  ASSERT_EQ(p.InitSignalPattern(0x20000, 1152, 0), 1);
  char empty[] = "";
  EXPECT_EQ(p.OpenForWriteTestDataFile(nullptr) + p.OpenForWriteTestDataFile(empty), 0);
  ASSERT_EQ(p.OpenForWriteTestDataFile(base.data()), 1);
  EXPECT_STREQ(p.TestDataFileName, (base + ".tvd").c_str());

  ASSERT_EQ(p.MonitorParam.Init(3), 1);
  RecognizeParam& m = p.MonitorParam;
  for (int k = 0; k < 10; ++k) {
    m.Reserved1 = 100 + k;
    m.RelDev = 0.125f * k;
    m.ValueC = -k;
    m.ValueB = 2.5f * k;
    m.Reserved2 = -k;
    m.Reserved3 = 1000 * k;
    m.fRecognized = k % 2;
    EXPECT_EQ(p.WriteTestDataFile(), 1);
  }
  p.CloseTestDataFile();
  EXPECT_EQ(p.WriteTestDataFile(), 0);

  // 36-byte records: Nvalue, 0 in place of the pointer, then the fields in order.
  const auto bytes = ReadAll(base + ".tvd");
  ASSERT_EQ(bytes.size(), 360u);
  for (int k = 0; k < 10; ++k) {
    const std::size_t o = 36u * k;
    EXPECT_EQ(std::vector<std::uint32_t>({U32At(bytes, o), U32At(bytes, o + 4), U32At(bytes, o + 8),
                                          U32At(bytes, o + 24), U32At(bytes, o + 28), U32At(bytes, o + 32)}),
              std::vector<std::uint32_t>({3u, 0u, 100u + k, static_cast<std::uint32_t>(-k), 1000u * k, k % 2u}))
        << k;
    EXPECT_EQ(F32At(bytes, o + 12), 0.125f * k);
    EXPECT_EQ(F32At(bytes, o + 16), -k);
    EXPECT_EQ(F32At(bytes, o + 20), 2.5f * k);
  }

  // Record k covers samples 576k .. 576k+575.
  ASSERT_EQ(p.OpenForReadTestData(), 1);
  auto read = [&](sp_ulong sample) { return static_cast<RecognizeParam*>(p.ReadTestData(sample)); };
  ASSERT_EQ(read(0), &m);
  EXPECT_EQ(m.Value, nullptr);
  EXPECT_EQ(m.Nvalue, 3);
  ASSERT_NE(read(575), nullptr);
  EXPECT_EQ(m.Reserved1, 100);
  ASSERT_NE(read(576), nullptr);
  EXPECT_EQ(m.Reserved1, 101);
  EXPECT_EQ(m.fRecognized, 1);
  ASSERT_NE(read(576 * 9 + 575), nullptr);
  EXPECT_EQ(std::vector<int>({m.Reserved1, m.Reserved2, m.Reserved3, m.fRecognized}),
            std::vector<int>({109, -9, 9000, 1}));
  EXPECT_EQ(std::vector<float>({m.RelDev, m.ValueC, m.ValueB}), std::vector<float>({1.125f, -9.0f, 22.5f}));
  EXPECT_EQ(read(576 * 50), &m);  // past the end: the record keeps its fields
  EXPECT_EQ(m.Reserved1, 109);
  ASSERT_NE(read(576 * 4), nullptr);
  EXPECT_EQ(m.Reserved1, 104);
  // Writes go to the read-only handle and store nothing.
  EXPECT_EQ(p.WriteTestDataFile(), 1);
  EXPECT_EQ(ReadAll(base + ".tvd").size(), 360u);
  p.CloseReadTestData();
  EXPECT_EQ(read(0), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(FacadeTestData, OpenFailuresAndUnload) {
  TempDir dir;
  LogCapture log;
  Probe p;
  ASSERT_EQ(p.InitSignalPattern(0x20000, 1152, 0), 1);
  std::string missingDir = dir.File("no/such/run");
  EXPECT_EQ(p.OpenForWriteTestDataFile(missingDir.data()), 0);
  EXPECT_TRUE(log.Contains("OpenForWriteTestDataFile(): не создать файл для записи"));
  EXPECT_STREQ(p.TestDataFileName, (missingDir + ".tvd").c_str());
  log.Clear();
  EXPECT_EQ(p.OpenForReadTestData(), 0);
  EXPECT_TRUE(log.Contains("OpenForReadTestData(): не открыть файл для чтения"));

  std::string base = dir.File("kept");
  ASSERT_EQ(p.OpenForWriteTestDataFile(base.data()), 1);
  for (int k = 0; k < 3; ++k) {
    p.MonitorParam.Reserved1 = k;
    p.WriteTestDataFile();
  }
  // A release that keeps the name lets the file be read back.
  p.UnloadSignalPatternObj(0, 0);
  EXPECT_EQ(p.hTestDataFile, INVALID_HANDLE_VALUE);
  ASSERT_EQ(p.OpenForReadTestData(), 1);
  auto* r = static_cast<RecognizeParam*>(p.ReadTestData(1152));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Reserved1, 2);
  p.UnloadSignalPatternObj(1, 0);
  EXPECT_EQ(p.TestDataFileName, nullptr);
  EXPECT_EQ(p.ReadTestData(0), nullptr);
  EXPECT_EQ(p.OpenForReadTestData(), 0);
}

TEST(FacadeTestData, SpectrumSnapshotsAndDump) {
  Probe p;
  ASSERT_EQ(p.InitSignalPattern(0x20000, 1152, 0), 1);
  Feed(p, Clip(4608), 0, 4);
  p.NblockCur = 7;  // the newest block, as while a block is being matched
  auto ringBlock = [&](int k) { return p.TimeSpectrum + ((7 - k + p.Nblock) % p.Nblock) * p.Nband; };

  SignalTVSEx rec;
  rec.Nband = 8;
  rec.Nblock = 3;
  p.SaveCurrentSpectrumData(&rec, 1);
  EXPECT_EQ(rec.SpectrumKnown, nullptr);  // recognition is not set up
  p.fRecognitionMode = 1;
  p.LevelGain = 0.5f;
  p.SaveCurrentSpectrumData(&rec, 1);
  ASSERT_NE(rec.SpectrumKnown, nullptr);
  EXPECT_EQ(rec.SpectrumFound, nullptr);
  EXPECT_EQ(rec.LevelKnown, 0.5f);
  for (int k = 0; k < 3; ++k)
    for (int b = 0; b < 8; ++b) EXPECT_EQ(rec.SpectrumKnown[k * 8 + b], ringBlock(k)[b]) << k << "," << b;
  EXPECT_GT(rec.SpectrumKnown[8], 0.0f);
  p.LevelGain = 2.0f;
  p.SaveCurrentSpectrumData(&rec, 0);
  ASSERT_NE(rec.SpectrumFound, nullptr);
  EXPECT_EQ(rec.LevelFound, 2.0f);
  EXPECT_EQ(rec.LevelKnown, 0.5f);
  EXPECT_EQ(std::memcmp(rec.SpectrumFound, rec.SpectrumKnown, sizeof(float) * 24), 0);
  SignalTVSEx none;
  p.SaveCurrentSpectrumData(&none, 1);
  EXPECT_EQ(none.SpectrumKnown, nullptr);
  p.SaveCurrentSpectrumData(nullptr, 1);

  // The dump: pattern block k against ring block NblockCur - k, band by band.
  p.fRecognitionMode = 0;
  p.NblockCur = 3;
  auto* P = new SignalTVSEx();
  P->Nband = 8;
  P->Nblock = 2;
  P->NSampleCreate = 1000;
  P->Spectrum = new float[16];
  for (int i = 0; i < 16; ++i) P->Spectrum[i] = 1e-3f * static_cast<float>(i);  // element 0 is 0
  p.TVS = new SignalTVSEx*[2]{P, nullptr};
  p.NPattern = 1;
  LogCapture log;
  p.OutCurrentSpectrumData(1, 5);
  EXPECT_TRUE(log.lines().empty());
  p.OutCurrentSpectrumData(0, 5);
  const auto lines = log.Utf8Lines();
  ASSERT_EQ(lines.size(), 22u);
  EXPECT_EQ(log.lines()[4].channel, 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
            (std::vector<std::string>{"", "OutCurrentSpectrumData", "NCurrentSample=4608, NSampleCreate=1000",
                                      "Time block nblock=0"}));
  EXPECT_EQ(lines[12], "Time block nblock=1");
  EXPECT_EQ(lines[21], "");
  for (int k = 0; k < 2; ++k)
    for (int b = 0; b < 8; ++b) {
      const float d = P->Spectrum[k * 8 + b], cur = p.TimeSpectrum[(3 - k) * 8 + b], diff = std::fabs(d - cur);
      char expected[200];
      std::snprintf(expected, sizeof(expected), " %d) d %12.5e p %12.5e d %12.5e rel=%12.5e", b, d, cur, diff,
                    d != 0.0f ? diff / d : 0.0f);
      EXPECT_EQ(lines[4 + 9 * k + b], expected);
    }
  EXPECT_NE(lines[4].find("rel= 0.00000e+00"), std::string::npos);
}

TEST(FacadeTestData, RecognitionWithStatisticsRecordsEveryTimeBlock) {
  TempDir dir;
  std::string file = MakePatternFile(dir);
  char* names[] = {file.data()};
  Pcm pcm = sptest::ToPcm16(sptest::ToneSteps({1378.125, 689.0625}, 2880, 0.4));
  for (int statistics = 0; statistics < 2; ++statistics) {
    SigRecognitionPar par;
    par.PatternFileNames = names;
    par.fStatistics = statistics;
    Probe p;
    ASSERT_EQ(p.InitSignalPattern(&par), 1);
    std::string base = dir.File("rec" + std::to_string(statistics));
    ASSERT_EQ(p.OpenForWriteTestDataFile(base.data()), 1);
    std::vector<float> relDev;
    for (int k = 0; k < 5; ++k) {
      Feed(p, pcm, k, k + 1);
      relDev.push_back(p.MonitorParam.RelDev);
    }
    p.CloseTestDataFile();
    const auto bytes = ReadAll(base + ".tvd");
    if (!statistics) {
      EXPECT_TRUE(bytes.empty());  // recording needs statistics
      continue;
    }
    ASSERT_EQ(bytes.size(), 360u);  // one record per time block
    ASSERT_EQ(p.OpenForReadTestData(), 1);
    for (int k = 0; k < 5; ++k) {
      auto* r = static_cast<RecognizeParam*>(p.ReadTestData(static_cast<sp_ulong>(1152 * k + 576)));
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->RelDev, relDev[k]) << k;
      EXPECT_EQ(r->Nvalue, 1);
    }
  }
}
