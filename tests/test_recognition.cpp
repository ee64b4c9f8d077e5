// Recognition end to end through SignalPattern: pattern creation from generated clips,
// set-up from the files, matching of a stream fed block by block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using sptest::LogCapture;
using sptest::TempDir;

namespace {

constexpr int kBlock = 1152;

// Exposes the engine's protected state to the tests.
struct Recognizer : SignalPattern {
  using TimeSpectrumEstimation::BuiltReOrderPatternNumbers;
};

using sptest::MakePattern;

// A clip of tone steps, 150 ms each.
std::vector<float> Clip(const std::vector<double>& freqs) { return sptest::ToneSteps(freqs, 6615, 0.5); }

struct Detection {
  int pattern;
  sp_long begin;
  sp_long end;
  std::string name;
};

// Feeds the stream in 1152-sample blocks (the tail that does not fill a block is dropped) and
// collects every recognition.
std::vector<Detection> Feed(Recognizer& rec, const std::vector<float>& stream) {
  std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
  std::vector<Detection> found;
  for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock) {
    int n = rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr);
    EXPECT_GE(n, 0);
    if (n > 0)
      found.push_back({rec.GetLastRecognizedPatternNumber(), rec.RecognizedBegin, rec.RecognizedEnd,
                       rec.GetLastRecognizedPatternFileName()});
  }
  return found;
}

using sptest::AddAt;

int StartRecognition(Recognizer& rec, std::vector<std::string>& files, SigRecognitionPar& par) {
  static std::vector<char*> names;
  names.clear();
  for (auto& f : files) names.push_back(const_cast<char*>(f.c_str()));
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  return rec.InitSignalPattern(&par);
}

const std::vector<double> kJingle = {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794, 698, 1760,
                                     587, 2349, 988};
const std::vector<double> kOther = {300, 3500, 1200, 2500, 600, 1800, 2900, 400, 1000, 2200, 3300, 500, 1400, 2700,
                                    350, 1600, 3000};

}  // namespace

// The jingle twice and another clip in noise: each occurrence once, at its place, and nothing
// in the other clip (the golden stream pins the exact positions; this one names the file).
TEST(RecognitionEndToEnd, EachOccurrenceOnceAtItsPositionAndNothingElse) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);  // 2.55 s
  std::vector<std::string> files = {MakePattern(dir, "jingle", jingle)};

  std::vector<float> stream = sptest::Noise(26 * 44100, 0.05, 7);
  const std::size_t first = 5 * 44100 + 123, second = 13 * 44100 + 4567;
  AddAt(stream, jingle, first);
  AddAt(stream, jingle, second);
  AddAt(stream, Clip(kOther), 20 * 44100);

  Recognizer rec;
  SigRecognitionPar par;
  ASSERT_EQ(StartRecognition(rec, files, par), 1);
  EXPECT_EQ(rec.GetLastRecognizedPatternNumber(), -1);
  EXPECT_STREQ(rec.GetLastRecognizedPatternFileName(), "");

  std::vector<Detection> found = Feed(rec, stream);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(rec.GetNRecognize(), 2);
  const int nblock = rec.GetTVS()[0]->Nblock;
  const std::size_t truth[2] = {first, second};
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(found[k].pattern, 0);
    EXPECT_EQ(found[k].name, "jingle.tvs");
    EXPECT_EQ(found[k].end - found[k].begin, nblock * 576);
    EXPECT_NEAR(static_cast<double>(found[k].begin), static_cast<double>(truth[k]), 576.0) << "occurrence " << k;
  }
}

TEST(RecognitionEndToEnd, HoldOffRefusesRepeatsButNotOneBlockPatterns) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  std::vector<std::string> files = {MakePattern(dir, "jingle", jingle)};
  std::vector<float> stream = sptest::Noise(10 * 44100, 0.02, 3);
  AddAt(stream, jingle, 3 * 44100);

  Recognizer rec;
  SigRecognitionPar par;
  par.TresholdRelDeviation = 1.5f;  // wide enough that neighbouring blocks are candidates too
  par.TresholdRelDeviationMPB = 3.0f;
  ASSERT_EQ(StartRecognition(rec, files, par), 1);
  std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
  int accepted = 0, refused = 0;
  for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock) {
    int before = rec.GetNRecognize();
    rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr);
    if (rec.GetNRecognize() > before) ++accepted;
    else if (accepted > 0 && rec.GetTVS()[0]->RelDev < par.TresholdRelDeviation &&
             rec.GetRecognizeParam()->fRecognized == 0)
      ++refused;
  }
  EXPECT_EQ(accepted, 1);
  EXPECT_GT(refused, 0);

  // A one-block pattern has no counted samples: its deviation is 0, and its hold-off (288
  // samples) is shorter than a block, so it is accepted in every block its level gate opens.
  SignalPattern maker;
  std::vector<std::int16_t> src = sptest::ToPcm16(sptest::Sine(44100, 1000.0, 0.5));
  std::string name = dir.File("blip.wav");
  ASSERT_EQ(maker.CreatePattern(44100, 10000, 10574, src.data(), SP_SAMPLE_S16, const_cast<char*>(name.c_str()),
                                44100.0f, 0x20000),
            1);
  std::vector<std::string> one = {dir.File("blip.tvs")};
  Recognizer rec1;
  SigRecognitionPar par1;
  ASSERT_EQ(StartRecognition(rec1, one, par1), 1);
  ASSERT_EQ(rec1.GetTVS()[0]->Nblock, 1);
  EXPECT_EQ(rec1.GetTVS()[0]->NSampleHoldOff, 288);
  std::vector<float> steady = sptest::Sine(20 * kBlock, 1000.0, 0.5);
  std::vector<std::int16_t> steadyPcm = sptest::ToPcm16(steady);
  int consecutive = 0;
  for (int b = 0; b < 20; ++b) {
    int n = rec1.Pattern(kBlock, steadyPcm.data() + b * kBlock, SP_SAMPLE_S16, nullptr);
    if (b >= 4) {
      EXPECT_EQ(n, 2) << "block " << b;  // both time blocks of the call
      consecutive += n;
    }
  }
  EXPECT_EQ(consecutive, 32);
}

TEST(RecognitionSetUp, OrderRingAndSharedLevels) {
  TempDir dir;
  std::vector<std::string> files;
  const int lengths[] = {40, 25, 40, 10};
  for (int i = 0; i < 4; ++i) {
    std::vector<float> clip = sptest::ToneSteps({400.0 + 300 * i, 1500.0 + 200 * i}, lengths[i] * 288, 0.3);
    clip.resize(static_cast<std::size_t>(lengths[i]) * 576);
    files.push_back(MakePattern(dir, std::string("p").append(std::to_string(i)), clip));
  }
  Recognizer rec;
  SigRecognitionPar par;
  ASSERT_EQ(StartRecognition(rec, files, par), 1);
  ASSERT_EQ(rec.GetTVSCount(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rec.GetTVS()[i]->Nblock, lengths[i]);
  EXPECT_EQ(std::vector<int>(rec.ReOrderPatternNumbers, rec.ReOrderPatternNumbers + 4),
            (std::vector<int>{3, 1, 0, 2}));
  EXPECT_EQ(rec.Nblock, 40);
  EXPECT_EQ(rec.NblockMin, 10);
  EXPECT_EQ(rec.TVS[4], nullptr);
  EXPECT_EQ(rec.GetTVS()[1]->NSampleHoldOff, 576 * 25 - 288);

  std::vector<std::int16_t> pcm = sptest::ToPcm16(sptest::Noise(30 * kBlock, 0.1, 5));
  for (int b = 0; b < 30; ++b) rec.Pattern(kBlock, pcm.data() + b * kBlock, SP_SAMPLE_S16, nullptr);
  EXPECT_EQ(rec.GetTVS()[0]->CurMeanRms, rec.GetTVS()[2]->CurMeanRms);
  EXPECT_NE(rec.GetTVS()[0]->CurMeanRms, rec.GetTVS()[3]->CurMeanRms);
}

TEST(RecognitionSetUp, LevelGateWithAndWithoutStatistics) {
  TempDir dir;
  std::vector<float> jingle = Clip(kJingle);
  std::vector<std::string> files = {MakePattern(dir, "jingle", jingle)};
  for (int stats = 0; stats < 2; ++stats) {
    Recognizer rec;
    SigRecognitionPar par;
    par.fStatistics = stats;
    ASSERT_EQ(StartRecognition(rec, files, par), 1);
    EXPECT_EQ(rec.RecPar.fUseRelDevMPB, stats ? 0 : 1);
    EXPECT_EQ(rec.GetTVS()[0]->PatternStat != nullptr, stats == 1);
    // The same clip 30 dB quieter is outside the ±20 dB level window.
    std::vector<float> quiet(jingle);
    for (float& v : quiet) v *= 0.0316f;
    std::vector<float> stream = sptest::Noise(6 * 44100, 0.0005, 11);
    AddAt(stream, quiet, 44100);
    std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
    bool closedSeen = false;
    for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock) {
      rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr);
      SignalTVSEx* p = rec.GetTVS()[0];
      if (!p->fLevelGate) {
        closedSeen = true;
        EXPECT_EQ(p->RelDev, 2.0f);
        if (stats) EXPECT_NE(p->RelDevMPB, 2.0f);  // computed all the same
        else EXPECT_EQ(p->RelDevMPB, 2.0f);
      }
    }
    EXPECT_TRUE(closedSeen);
    EXPECT_EQ(rec.GetNRecognize(), 0);
  }
}

TEST(RecognitionSetUp, FailuresWriteTheirLines) {
  TempDir dir;
  std::string good = MakePattern(dir, "good", Clip(kJingle));
  Recognizer rec;
  {
    LogCapture log;
    EXPECT_EQ(rec.InitSignalPattern(nullptr), 0);
    EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"InitTimeSpectrumEst(): NULL-указатель на входную структуру"}));
  }
  {
    LogCapture log;
    SigRecognitionPar par;
    par.NPattern = 0;
    par.TresholdRelDeviation = 0.5f;
    EXPECT_EQ(rec.InitSignalPattern(&par), 0);
    EXPECT_EQ(log.Utf8Lines(),
              (std::vector<std::string>{"InitTimeSpectrumEst(): ошибка во входных данных", "NPattern = 0"}));
    EXPECT_EQ(rec.RecPar.TresholdRelDeviation, 0.9f);  // the previous parameters are kept
  }
  {
    LogCapture log;
    SigRecognitionPar par;
    par.NPattern = 1;
    EXPECT_EQ(rec.InitSignalPattern(&par), 0);
    EXPECT_EQ(log.Utf8Lines(),
              (std::vector<std::string>{"InitTimeSpectrumEst(): NULL-указатель на строки вх. файлов"}));
  }
  {
    LogCapture log;
    std::vector<std::string> files = {good, dir.File("missing.tvs")};
    SigRecognitionPar par;
    EXPECT_EQ(StartRecognition(rec, files, par), 0);
    std::vector<std::string> lines = log.Utf8Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "InitTimeSpectrumEst(): ошибка загрузки данных");
    EXPECT_EQ(lines.back(), "образец 1, файл " + files[1]);
    EXPECT_EQ(rec.fRecognitionMode, 0);
    EXPECT_EQ(rec.TVS, nullptr);
    EXPECT_EQ(rec.NPattern, 2);
  }
  {
    // A second pattern at another sample rate (loadable with the fixed-rate flag off).
    std::vector<unsigned char> bytes = sptest::ReadAll(good);
    float fs = 22050.0f;
    std::memcpy(bytes.data() + 16, &fs, 4);
    std::string other = dir.File("other.tvs");
    sptest::WriteAll(other, bytes);
    std::vector<std::string> files = {good, other};
    SigRecognitionPar par;
    par.fFixedFs = 0;
    LogCapture log;
    EXPECT_EQ(StartRecognition(rec, files, par), 0);
    EXPECT_EQ(log.Utf8Lines(),
              (std::vector<std::string>{"InitTimeSpectrumEst(): несоответствие частот дискретизации",
                                        "образец 0, файл " + good + ", Fs=4.410000e+04",
                                        "образец 1, файл " + other + ", Fs=2.205000e+04"}));
  }
  {
    // The client's rate is refused while the fixed-rate restriction is in force.
    Recognizer fresh;
    std::vector<std::string> files = {good};
    SigRecognitionPar par;
    par.Fs = 48000.0f;
    LogCapture log;
    EXPECT_EQ(StartRecognition(fresh, files, par), 0);
    EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"InitTimeSpectrumEst(): ошибка во входных данных",
                                                         "Частота дискретизации Fs =  48000.0"}));
  }
  {
    std::vector<std::string> files = {good};
    SigRecognitionPar par;
    par.Mode = 0x20001;
    LogCapture log;
    EXPECT_EQ(StartRecognition(rec, files, par), 0);
    EXPECT_EQ(log.Utf8Lines(), (std::vector<std::string>{"InitTimeSpectrumEst(Mode,file): ошибка значения Mode",
                                                         "Mode=00020001",
                                                         "InitTimeSpectrumEst(): ошибка иниц. вычисления спектра"}));
  }
  // (Another band count: Malformed.BandCountMismatch.)
  // After every failure the object can be set up again.
  std::vector<std::string> files = {good};
  SigRecognitionPar par;
  EXPECT_EQ(StartRecognition(rec, files, par), 1);
  EXPECT_EQ(rec.fRecognitionMode, 1);
}

TEST(RecognitionSetUp, SummaryLinesWithOutInfo) {
  TempDir dir;
  std::vector<float> clip = sptest::ToneSteps({700.0, 2100.0}, 50 * 576, 0.4);
  std::vector<std::string> files = {MakePattern(dir, "hundred", clip)};
  Recognizer rec;
  SigRecognitionPar par;
  par.fOutInfo = 1;
  LogCapture log;
  ASSERT_EQ(StartRecognition(rec, files, par), 1);
  EXPECT_EQ(rec.GetTVS()[0]->Nblock, 100);
  EXPECT_EQ(rec.GetTVS()[0]->NSampleHoldOff, 57312);
  EXPECT_TRUE(log.Contains("Данные об образцах"));
  EXPECT_TRUE(log.Contains("Образцов 1,  Nband=8"));
  EXPECT_TRUE(log.Contains("00) " + files[0] + "  from" + dir.File("hundred.wav")));
  EXPECT_TRUE(log.Contains(" Блоков Nblock=100  1.306 c, отсчетов 57600"));
  EXPECT_TRUE(log.Contains("Образец 0, файл " + files[0]));
}
