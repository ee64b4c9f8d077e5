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

// Opens the protected test-data operations to the tests, as a client's derived class would.
class Probe : public SignalPattern {
 public:
  using TimeSpectrumEstimation::CloseTestDataFile;
  using TimeSpectrumEstimation::OpenForWriteTestDataFile;
  using TimeSpectrumEstimation::OutCurrentSpectrumData;
  using TimeSpectrumEstimation::SaveCurrentSpectrumData;
  using TimeSpectrumEstimation::WriteTestDataFile;
};

std::vector<std::int16_t> Clip(std::size_t n) {
  // Four tone steps that fill exactly n samples (n a multiple of 4).
  return sptest::ToPcm16(sptest::ToneSteps({689.0625, 2067.1875, 1378.125, 3445.3125}, n / 4, 0.5));
}

std::vector<float> Ring(const TimeSpectrumEstimation& e) {
  return std::vector<float>(e.TimeSpectrum, e.TimeSpectrum + e.NTimeSpectrum);
}

// Writes a pattern of a generated clip with CreatePattern; returns the pattern file's path.
std::string MakePatternFile(const TempDir& dir, const std::string& name, const std::vector<double>& freqs) {
  auto pcm = sptest::ToPcm16(sptest::ToneSteps(freqs, 4000, 0.5));
  std::string input = dir.File(name + ".wav");
  SignalPattern creator;
  creator.CreatePattern(static_cast<sp_ulong>(pcm.size()), 0, static_cast<sp_ulong>(pcm.size() - 1), pcm.data(),
                        SP_SAMPLE_S16, input.data(), 44100.0f, 0x20000);
  return dir.File(name + ".tvs");
}

TEST(FacadeVersion, VersionAndSampleScale) {
  SignalPattern sp;
  EXPECT_STREQ(sp.GetVersionName(), "2.5");
  EXPECT_EQ(sp.GetLinearVersionNumber(), 5);
  EXPECT_EQ(sp.SampleScale, 1.0f / 32767.0f);
  EXPECT_EQ(sp.SampleScale, static_cast<float>(1.0 / 32767.0));
  EXPECT_FALSE(sp.GeneralStatistics.IsNotEmpty());
}

TEST(FacadeIntake, RefusalsAndPipelineFailure) {
  std::vector<std::int16_t> pcm(2304, 100);
  SignalPattern sp;
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), -1);  // not initialised

  ASSERT_EQ(sp.InitSignalPattern(0x20000, 1152, 0), 1);
  EXPECT_EQ(sp.Pattern(1152, nullptr, SP_SAMPLE_S16, nullptr), -1);
  EXPECT_EQ(sp.Pattern(1151, pcm.data(), SP_SAMPLE_S16, nullptr), -1);
  EXPECT_EQ(sp.Pattern(1728, pcm.data(), SP_SAMPLE_S16, nullptr), -1);  // above NsampleMax
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), 3, nullptr), -1);
  EXPECT_EQ(sp.NCurrentSample, 0u);
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(sp.NCurrentSample, 1152u);

  SignalPattern wide;
  ASSERT_EQ(wide.InitSignalPattern(0x20000, 2304, 0), 1);
  EXPECT_EQ(wide.Pattern(576, pcm.data(), SP_SAMPLE_S16, nullptr), -1);   // the lower bound is fixed
  EXPECT_EQ(wide.Pattern(1153, pcm.data(), SP_SAMPLE_S16, nullptr), -2);  // not a multiple of 576
  EXPECT_EQ(wide.NCurrentSample, 0u);
  EXPECT_EQ(wide.Pattern(2304, pcm.data(), SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(wide.NCurrentSample, 2304u);

  wide.UnloadSignalPatternObj(1, 1);
  EXPECT_EQ(wide.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), -1);
}

TEST(FacadeIntake, SampleFormatsConvertEachHalfOfTheWord) {
  // 32-bit words, stored one byte off alignment: word 0 has high half 0x8000 and low half
  // 0x0001, word 1 high 0x7FFF and low 0x8000.
  const std::size_t n = 1152;
  std::vector<unsigned char> storage(4 * n + 1);
  unsigned char* words = storage.data() + 1;
  auto putWord = [&](std::size_t i, std::uint16_t low, std::uint16_t high) {
    words[4 * i] = static_cast<unsigned char>(low & 0xFF);
    words[4 * i + 1] = static_cast<unsigned char>(low >> 8);
    words[4 * i + 2] = static_cast<unsigned char>(high & 0xFF);
    words[4 * i + 3] = static_cast<unsigned char>(high >> 8);
  };
  putWord(0, 0x0001, 0x8000);
  putWord(1, 0x8000, 0x7FFF);
  for (std::size_t i = 2; i < n; ++i) putWord(i, static_cast<std::uint16_t>(i * 37), static_cast<std::uint16_t>(i * 91));

  SignalPattern sp;
  ASSERT_EQ(sp.InitSignalPattern(0x20000, 1152, 0), 1);
  const float s = sp.SampleScale;

  ASSERT_EQ(sp.Pattern(1152, words, SP_SAMPLE_S32_HIGH, nullptr), 0);
  EXPECT_EQ(sp.SampleBuf[0], -32768.0f * s);
  EXPECT_NEAR(sp.SampleBuf[0], -1.0000305, 1e-7);
  EXPECT_EQ(sp.SampleBuf[1], 32767.0f * s);
  EXPECT_FLOAT_EQ(sp.SampleBuf[1], 1.0f);
  EXPECT_EQ(sp.SampleBuf[5], static_cast<float>(static_cast<std::int16_t>(5 * 91)) * s);

  ASSERT_EQ(sp.Pattern(1152, words, SP_SAMPLE_S32_LOW, nullptr), 0);
  EXPECT_EQ(sp.SampleBuf[0], 1.0f * s);
  EXPECT_EQ(sp.SampleBuf[1], -32768.0f * s);
  EXPECT_EQ(sp.SampleBuf[5], static_cast<float>(static_cast<std::int16_t>(5 * 37)) * s);

  // Format 1 reads the same bytes as consecutive 16-bit samples: low, high, low, high...
  ASSERT_EQ(sp.Pattern(1152, words, SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(sp.SampleBuf[0], 1.0f * s);
  EXPECT_EQ(sp.SampleBuf[1], -32768.0f * s);
  EXPECT_EQ(sp.SampleBuf[2], -32768.0f * s);
  EXPECT_EQ(sp.SampleBuf[3], 32767.0f * s);
}

TEST(FacadeIntake, StereoChannelsGiveTheSpectrumOfEachMonoChannel) {
  const std::size_t n = 2304;
  auto left = sptest::ToPcm16(sptest::Sine(n, 1378.125, 0.6));
  auto right = sptest::ToPcm16(sptest::Noise(n, 0.3, 7));
  std::vector<std::uint32_t> stereo(n);
  for (std::size_t i = 0; i < n; ++i)
    stereo[i] = static_cast<std::uint16_t>(left[i]) | (static_cast<std::uint32_t>(static_cast<std::uint16_t>(right[i])) << 16);

  SignalPattern fromLow, fromHigh, monoLeft, monoRight;
  for (SignalPattern* e : {&fromLow, &fromHigh, &monoLeft, &monoRight}) ASSERT_EQ(e->InitSignalPattern(0x20000, 1152, 0), 1);
  for (std::size_t b = 0; b < n; b += 1152) {
    ASSERT_EQ(fromLow.Pattern(1152, stereo.data() + b, SP_SAMPLE_S32_LOW, nullptr), 0);
    ASSERT_EQ(fromHigh.Pattern(1152, stereo.data() + b, SP_SAMPLE_S32_HIGH, nullptr), 0);
    ASSERT_EQ(monoLeft.Pattern(1152, left.data() + b, SP_SAMPLE_S16, nullptr), 0);
    ASSERT_EQ(monoRight.Pattern(1152, right.data() + b, SP_SAMPLE_S16, nullptr), 0);
  }
  EXPECT_EQ(Ring(fromLow), Ring(monoLeft));
  EXPECT_EQ(Ring(fromHigh), Ring(monoRight));
  EXPECT_NE(Ring(monoLeft), Ring(monoRight));
}

TEST(FacadeCreatePattern, Refusals) {
  TempDir dir;
  std::string name = dir.File("clip.wav");
  auto pcm = Clip(3556);
  SignalPattern sp;
  EXPECT_EQ(sp.CreatePattern(3556, 0, 3556, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(sp.CreatePattern(3556, 10, 9, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(sp.CreatePattern(3556, 0, 3555, nullptr, SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(sp.CreatePattern(3556, 0, 3555, pcm.data(), SP_SAMPLE_S16, nullptr, 44100.0f, 0x20000), 0);
  EXPECT_EQ(sp.fInitialized, 0);  // refused before anything was set up
  EXPECT_EQ(sp.CreatePattern(3556, 0, 3555, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20001), 0);

  // An unknown format is found after creation mode was entered; the mode stays set.
  EXPECT_EQ(sp.CreatePattern(3556, 0, 3555, pcm.data(), 3, name.data(), 44100.0f, 0x20000), 0);
  EXPECT_EQ(sp.fCreatePatternMode, 1);
  EXPECT_EQ(sp.GetFlagCreatedPattern(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("clip.tvs")));
}

TEST(FacadeCreatePattern, ChunksMatchDrivingTheEngineDirectly) {
  TempDir dir;
  std::string name = dir.File("clip.wav");
  std::string tvs = dir.File("clip.tvs");
  const sp_ulong n = 1152 * 3 + 100;
  // Samples beyond Nsample must never be fed: fill them with full scale.
  auto pcm = Clip(n);
  std::vector<std::int16_t> buffer(pcm);
  buffer.resize(1152 * 4, 32767);

  SignalPattern sp;
  ASSERT_EQ(sp.CreatePattern(n, 0, n - 1, buffer.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 1);
  EXPECT_EQ(sp.GetFlagCreatedPattern(), 1);
  EXPECT_STREQ(sp.GetPatternFileName(), tvs.c_str());
  // 6 blocks complete at NCurrentSample 1404 + 6 * 576 = 4860, reached in the 9th time block:
  // 3 data chunks, the partial chunk and one silent chunk were fed.
  EXPECT_EQ(sp.NCurrentSample, 5u * 1152u);
  EXPECT_EQ(sp.fInit, 0);  // filter bank released
  EXPECT_EQ(sp.fInitialized, 1);
  EXPECT_EQ(sp.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), -2);
  const auto created = ReadAll(tvs);
  ASSERT_GT(created.size(), 56u);
  EXPECT_EQ(U32At(created, 12), 6u);
  std::filesystem::remove(tvs);

  // The same samples, zero padded, fed block by block through the engine's own creation mode.
  std::vector<std::int16_t> padded(pcm);
  padded.resize(1152 * 14, 0);
  SignalPattern direct;
  ASSERT_EQ(direct.InitSignalPattern(0x20000, 1152, 0), 1);
  ASSERT_EQ(direct.SetCreatePatternMode(0, static_cast<sp_long>(n - 1), name.data(), nullptr), 1);
  int fed = 0;
  while (!direct.GetFlagCreatedPattern() && fed < 14) {
    ASSERT_EQ(direct.Pattern(1152, padded.data() + 1152 * fed, SP_SAMPLE_S16, nullptr), 0);
    ++fed;
  }
  EXPECT_EQ(fed, 5);
  EXPECT_EQ(ReadAll(tvs), created);
  std::filesystem::remove(tvs);

  // The second stereo channel (4-byte words, 4608-byte chunks and a 400-byte remainder) of a
  // buffer whose high halves hold the clip gives the same file.
  std::vector<std::uint32_t> stereo(n);
  for (sp_ulong i = 0; i < n; ++i)
    stereo[i] = 0x1234u | (static_cast<std::uint32_t>(static_cast<std::uint16_t>(pcm[i])) << 16);
  SignalPattern fromStereo;
  ASSERT_EQ(fromStereo.CreatePattern(n, 0, n - 1, stereo.data(), SP_SAMPLE_S32_HIGH, name.data(), 44100.0f, 0x20000),
            1);
  EXPECT_EQ(ReadAll(tvs), created);

  // Creating again on the same object re-initialises it.
  ASSERT_EQ(fromStereo.CreatePattern(n, 0, n - 1, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 1);
  EXPECT_EQ(fromStereo.NCurrentSample, 5u * 1152u);
  EXPECT_EQ(ReadAll(tvs), created);
}

TEST(FacadeCreatePattern, OtherSampleRateChangesOnlyTheParametersInForce) {
  TempDir dir;
  std::string name = dir.File("rate.wav");
  auto pcm = Clip(4000);
  SignalPattern sp;
  ASSERT_EQ(sp.CreatePattern(4000, 0, 3999, pcm.data(), SP_SAMPLE_S16, name.data(), 48000.0f, 0x20000), 1);
  EXPECT_EQ(sp.RecPar.Fs, 48000.0f);
  EXPECT_EQ(sp.RecPar.fFixedFs, 0);
  EXPECT_EQ(sp.NsampleBlock, 576);
  auto bytes = ReadAll(dir.File("rate.tvs"));
  ASSERT_GT(bytes.size(), 56u);
  EXPECT_EQ(F32At(bytes, 16), 44100.0f);

  SignalPattern plain;
  ASSERT_EQ(plain.CreatePattern(4000, 0, 3999, pcm.data(), SP_SAMPLE_S16, name.data(), 44100.0f, 0x20000), 1);
  EXPECT_EQ(plain.RecPar.Fs, 44100.0f);
  EXPECT_EQ(plain.RecPar.fFixedFs, 1);
  EXPECT_EQ(plain.GetFlagCreatedPattern(), 1);
}

TEST(FacadeCopy, CopiesAreIndependentEngines) {
  auto pcm = Clip(3456);
  SignalPattern a;
  ASSERT_EQ(a.InitSignalPattern(0x20000, 1152, 0), 1);
  ASSERT_EQ(a.Pattern(1152, pcm.data(), SP_SAMPLE_S16, nullptr), 0);
  SignalPattern b(a);
  SignalPattern c;
  c = a;
  EXPECT_EQ(b.SampleScale, a.SampleScale);
  EXPECT_NE(b.TimeSpectrum, a.TimeSpectrum);
  for (SignalPattern* e : {&a, &b, &c}) {
    ASSERT_EQ(e->Pattern(1152, pcm.data() + 1152, SP_SAMPLE_S16, nullptr), 0);
    ASSERT_EQ(e->Pattern(1152, pcm.data() + 2304, SP_SAMPLE_S16, nullptr), 0);
  }
  EXPECT_EQ(Ring(b), Ring(a));
  EXPECT_EQ(Ring(c), Ring(a));
  EXPECT_FALSE(b.GeneralStatistics.IsNotEmpty());
}

TEST(FacadeCopy, RecognitionCopyRebuildsItsOwnSummary) {
  TempDir dir;
  std::string file = MakePatternFile(dir, "tones", {689.0625, 2067.1875, 1378.125});
  char* names[] = {file.data()};
  SigRecognitionPar par;
  par.PatternFileNames = names;
  par.fStatistics = 1;
  SignalPattern a;
  ASSERT_EQ(a.InitSignalPattern(&par), 1);
  ASSERT_TRUE(a.GeneralStatistics.IsNotEmpty());
  auto pcm = sptest::ToPcm16(sptest::ToneSteps({689.0625, 2067.1875, 1378.125}, 4000, 0.5));
  pcm.resize(1152 * 20, 0);
  for (int k = 0; k < 4; ++k) ASSERT_GE(a.Pattern(1152, pcm.data() + 1152 * k, SP_SAMPLE_S16, nullptr), 0);

  SignalPattern b(a);
  SignalPattern c;
  c = a;
  for (SignalPattern* e : {&b, &c}) {
    ASSERT_EQ(e->fRecognitionMode, 1);
    EXPECT_EQ(e->GeneralStatistics.N, 1);
    ASSERT_NE(e->TVS[0]->PatternStat, nullptr);
    EXPECT_NE(e->TVS[0]->PatternStat, a.TVS[0]->PatternStat);
    EXPECT_EQ(e->TVS[0]->PatternStat->Linked, &e->GeneralStatistics);
  }
  EXPECT_EQ(a.TVS[0]->PatternStat->Linked, &a.GeneralStatistics);

  for (int k = 4; k < 20; ++k)
    for (SignalPattern* e : {&a, &b, &c}) ASSERT_GE(e->Pattern(1152, pcm.data() + 1152 * k, SP_SAMPLE_S16, nullptr), 0);
  EXPECT_EQ(b.GetNRecognize(), a.GetNRecognize());
  EXPECT_EQ(c.GetNRecognize(), a.GetNRecognize());
  EXPECT_EQ(b.TVS[0]->RelDev, a.TVS[0]->RelDev);
  EXPECT_EQ(c.MonitorParam.RelDev, a.MonitorParam.RelDev);
}

TEST(FacadeTestData, WrittenRecordsAndReadingBackBySample) {
  TempDir dir;
  LogCapture log;
  Probe p;
  EXPECT_EQ(p.OpenForReadTestData(), 0);
  EXPECT_TRUE(log.lines().empty());

  std::string base = dir.File("run");
  EXPECT_EQ(p.OpenForWriteTestDataFile(base.data()), 0);  // filter bank not initialised
  EXPECT_EQ(p.TestDataFileName, nullptr);
  ASSERT_EQ(p.InitSignalPattern(0x20000, 1152, 0), 1);
  char empty[] = "";
  EXPECT_EQ(p.OpenForWriteTestDataFile(nullptr), 0);
  EXPECT_EQ(p.OpenForWriteTestDataFile(empty), 0);
  ASSERT_EQ(p.OpenForWriteTestDataFile(base.data()), 1);
  EXPECT_STREQ(p.TestDataFileName, (base + ".tvd").c_str());

  ASSERT_EQ(p.MonitorParam.Init(3), 1);
  for (int k = 0; k < 10; ++k) {
    p.MonitorParam.Reserved1 = 100 + k;
    p.MonitorParam.RelDev = 0.125f * static_cast<float>(k);
    p.MonitorParam.ValueC = -static_cast<float>(k);
    p.MonitorParam.ValueB = 2.5f * static_cast<float>(k);
    p.MonitorParam.Reserved2 = -k;
    p.MonitorParam.Reserved3 = 1000 * k;
    p.MonitorParam.fRecognized = k % 2;
    EXPECT_EQ(p.WriteTestDataFile(), 1);
  }
  p.CloseTestDataFile();
  EXPECT_EQ(p.WriteTestDataFile(), 0);

  const auto bytes = ReadAll(base + ".tvd");
  ASSERT_EQ(bytes.size(), 360u);
  for (int k = 0; k < 10; ++k) {
    const std::size_t o = 36u * static_cast<std::size_t>(k);
    EXPECT_EQ(U32At(bytes, o), 3u);
    EXPECT_EQ(U32At(bytes, o + 4), 0u);  // no pointer in the file
    EXPECT_EQ(U32At(bytes, o + 8), static_cast<std::uint32_t>(100 + k));
    EXPECT_EQ(F32At(bytes, o + 12), 0.125f * static_cast<float>(k));
    EXPECT_EQ(F32At(bytes, o + 16), -static_cast<float>(k));
    EXPECT_EQ(F32At(bytes, o + 20), 2.5f * static_cast<float>(k));
    EXPECT_EQ(U32At(bytes, o + 24), static_cast<std::uint32_t>(-k));
    EXPECT_EQ(U32At(bytes, o + 28), static_cast<std::uint32_t>(1000 * k));
    EXPECT_EQ(U32At(bytes, o + 32), static_cast<std::uint32_t>(k % 2));
  }

  ASSERT_EQ(p.OpenForReadTestData(), 1);
  auto* r = static_cast<RecognizeParam*>(p.ReadTestData(0));
  ASSERT_EQ(r, &p.MonitorParam);
  EXPECT_EQ(r->Value, nullptr);
  EXPECT_EQ(r->Nvalue, 3);
  EXPECT_EQ(r->Reserved1, 100);
  ASSERT_NE(p.ReadTestData(575), nullptr);
  EXPECT_EQ(r->Reserved1, 100);
  ASSERT_NE(p.ReadTestData(576), nullptr);
  EXPECT_EQ(r->Reserved1, 101);
  EXPECT_EQ(r->fRecognized, 1);
  ASSERT_NE(p.ReadTestData(576 * 9 + 575), nullptr);
  EXPECT_EQ(r->Reserved1, 109);
  EXPECT_EQ(r->RelDev, 1.125f);
  EXPECT_EQ(r->ValueC, -9.0f);
  EXPECT_EQ(r->ValueB, 22.5f);
  EXPECT_EQ(r->Reserved2, -9);
  EXPECT_EQ(r->Reserved3, 9000);
  // Past the end: the record keeps its earlier fields.
  EXPECT_EQ(p.ReadTestData(576 * 50), r);
  EXPECT_EQ(r->Reserved1, 109);
  EXPECT_EQ(r->Value, nullptr);
  ASSERT_NE(p.ReadTestData(576 * 4), nullptr);
  EXPECT_EQ(r->Reserved1, 104);

  // Writes go to the read-only handle and store nothing.
  EXPECT_EQ(p.WriteTestDataFile(), 1);
  EXPECT_EQ(ReadAll(base + ".tvd").size(), 360u);
  p.CloseReadTestData();
  EXPECT_EQ(p.ReadTestData(0), nullptr);
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
  EXPECT_EQ(p.hTestDataFile, INVALID_HANDLE_VALUE);
  log.Clear();
  EXPECT_EQ(p.OpenForReadTestData(), 0);
  EXPECT_TRUE(log.Contains("OpenForReadTestData(): не открыть файл для чтения"));
  EXPECT_EQ(p.hTestDataFile, INVALID_HANDLE_VALUE);

  std::string base = dir.File("kept");
  ASSERT_EQ(p.OpenForWriteTestDataFile(base.data()), 1);
  for (int k = 0; k < 3; ++k) {
    p.MonitorParam.Reserved1 = k;
    p.WriteTestDataFile();
  }
  // A release that keeps the name lets the file be read back.
  p.UnloadSignalPatternObj(0, 0);
  EXPECT_EQ(p.hTestDataFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(p.MonitorParam.Nvalue, 0);
  ASSERT_EQ(p.OpenForReadTestData(), 1);
  auto* r = static_cast<RecognizeParam*>(p.ReadTestData(1152));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Reserved1, 2);
  EXPECT_EQ(r->Nvalue, 1);

  p.UnloadSignalPatternObj(1, 0);
  EXPECT_EQ(p.TestDataFileName, nullptr);
  EXPECT_EQ(p.ReadTestData(0), nullptr);
  EXPECT_EQ(p.OpenForReadTestData(), 0);
}

TEST(FacadeTestData, SpectrumSnapshots) {
  Probe p;
  ASSERT_EQ(p.InitSignalPattern(0x20000, 1152, 0), 1);
  auto pcm = Clip(4608);
  for (int k = 0; k < 4; ++k) ASSERT_EQ(p.Pattern(1152, pcm.data() + 1152 * k, SP_SAMPLE_S16, nullptr), 0);
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
  EXPECT_EQ(rec.LevelFound, 1.0f);
  for (int k = 0; k < 3; ++k)
    for (int b = 0; b < 8; ++b) EXPECT_EQ(rec.SpectrumKnown[k * 8 + b], ringBlock(k)[b]) << k << "," << b;
  float total = 0.0f;
  for (int i = 0; i < 24; ++i) total += rec.SpectrumKnown[i];
  EXPECT_GT(total, 0.0f);

  p.LevelGain = 2.0f;
  p.SaveCurrentSpectrumData(&rec, 0);
  ASSERT_NE(rec.SpectrumFound, nullptr);
  EXPECT_EQ(rec.LevelFound, 2.0f);
  EXPECT_EQ(rec.LevelKnown, 0.5f);
  EXPECT_EQ(std::memcmp(rec.SpectrumFound, rec.SpectrumKnown, sizeof(float) * 24), 0);

  // Records with another band count get the bands both have; the rest stays 0.
  SignalTVSEx narrow;
  narrow.Nband = 4;
  narrow.Nblock = 2;
  p.SaveCurrentSpectrumData(&narrow, 0);
  ASSERT_NE(narrow.SpectrumFound, nullptr);
  for (int k = 0; k < 2; ++k)
    for (int b = 0; b < 4; ++b) EXPECT_EQ(narrow.SpectrumFound[k * 4 + b], ringBlock(k)[b]);
  SignalTVSEx wide;
  wide.Nband = 12;
  wide.Nblock = 2;
  p.SaveCurrentSpectrumData(&wide, 1);
  ASSERT_NE(wide.SpectrumKnown, nullptr);
  for (int k = 0; k < 2; ++k)
    for (int b = 0; b < 12; ++b) EXPECT_EQ(wide.SpectrumKnown[k * 12 + b], b < 8 ? ringBlock(k)[b] : 0.0f);

  SignalTVSEx empty;
  p.SaveCurrentSpectrumData(&empty, 1);
  EXPECT_EQ(empty.SpectrumKnown, nullptr);
  p.SaveCurrentSpectrumData(nullptr, 1);
}

TEST(FacadeTestData, SpectrumDump) {
  Probe p;
  ASSERT_EQ(p.InitSignalPattern(0x20000, 1152, 0), 1);
  auto pcm = Clip(2304);
  for (int k = 0; k < 2; ++k) ASSERT_EQ(p.Pattern(1152, pcm.data() + 1152 * k, SP_SAMPLE_S16, nullptr), 0);
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
  for (const auto& l : log.lines()) EXPECT_EQ(l.channel, 5u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "OutCurrentSpectrumData");
  EXPECT_EQ(lines[2], "NCurrentSample=2304, NSampleCreate=1000");
  EXPECT_EQ(lines[3], "Time block nblock=0");
  EXPECT_EQ(lines[12], "Time block nblock=1");
  EXPECT_EQ(lines[21], "");
  for (int k = 0; k < 2; ++k)
    for (int b = 0; b < 8; ++b) {
      const float d = P->Spectrum[k * 8 + b];
      const float cur = p.TimeSpectrum[(3 - k) * 8 + b];
      const float diff = std::fabs(d - cur);
      const float rel = d != 0.0f ? diff / d : 0.0f;
      char expected[200];
      std::snprintf(expected, sizeof(expected), " %d) d %12.5e p %12.5e d %12.5e rel=%12.5e", b, d, cur, diff, rel);
      EXPECT_EQ(lines[4 + 9 * k + b], expected);
    }
  EXPECT_NE(lines[4].find("rel= 0.00000e+00"), std::string::npos);
}

TEST(FacadeTestData, RecognitionWithStatisticsRecordsEveryTimeBlock) {
  TempDir dir;
  std::string file = MakePatternFile(dir, "tones", {689.0625, 2067.1875, 1378.125});
  char* names[] = {file.data()};
  auto pcm = sptest::ToPcm16(sptest::ToneSteps({1378.125, 689.0625}, 2880, 0.4));

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
      ASSERT_GE(p.Pattern(1152, pcm.data() + 1152 * k, SP_SAMPLE_S16, nullptr), 0);
      relDev.push_back(p.MonitorParam.RelDev);
    }
    p.CloseTestDataFile();
    const auto bytes = ReadAll(base + ".tvd");
    if (!statistics) {
      EXPECT_TRUE(bytes.empty());
      continue;
    }
    ASSERT_EQ(bytes.size(), 360u);
    for (int k = 0; k < 10; ++k) {
      EXPECT_EQ(U32At(bytes, 36u * k), 1u);
      EXPECT_EQ(U32At(bytes, 36u * k + 4), 0u);
    }
    ASSERT_EQ(p.OpenForReadTestData(), 1);
    for (int k = 0; k < 5; ++k) {
      auto* r = static_cast<RecognizeParam*>(p.ReadTestData(static_cast<sp_ulong>(1152 * k + 576)));
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->RelDev, relDev[k]) << k;
      EXPECT_EQ(r->Nvalue, 1);
    }
  }
}

}  // namespace
