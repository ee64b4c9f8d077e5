// Golden values: the exact outputs of pattern creation and recognition, pinned bit for bit.
//
// Pattern files and recognition results depend on every single-precision rounding step of the
// pre-filter, the filter bank, the time-block averages and the matcher. These tests pin the
// bytes of pattern files made from fixed generated audio, and for a fixed stream the band
// powers of every time block, the per-block RelDev / RelDevMPB of every pattern and every
// recognition, so that any change to the arithmetic (vectorisation, reordering, a different
// compiler or optimisation level) that alters a single bit shows up here. The same constants
// must hold in Debug and Release builds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

using sptest::TempDir;

namespace {

constexpr int kBlock = 1152;
constexpr std::size_t kFs = 44100;

// Runs the scope inside a directory, so that pattern files are written under short relative
// names: the files record the names they were made with, and the hashes must not depend on
// where the temporary directory happens to be.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf) != nullptr) previous_ = buf;
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~ScopedWorkingDirectory() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) std::perror("chdir");
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  std::string previous_;
};

// FNV-1a over 32-bit words, fed little-endian byte by byte.
struct Hash {
  std::uint64_t h = 1469598103934665603ull;
  void Word(std::uint32_t w) {
    for (int i = 0; i < 4; ++i) {
      h ^= (w >> (8 * i)) & 0xFFu;
      h *= 1099511628211ull;
    }
  }
  void Float(float f) {
    std::uint32_t w;
    std::memcpy(&w, &f, 4);
    Word(w);
  }
};

std::string Hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(v));
  return buf;
}

// The filter bank frame by frame, written straight from its definition, to compare the
// library's (vectorised) implementation with. Geometry and tables are taken from an
// initialised filter; the rings start empty.
struct ReferenceBank {
  int N, nband, ndec, nseg, perDft, nhist, fPower;
  std::vector<float> win, inRing, hist, sinTab, cosTab, fold;
  int inRingPos = 0, histPos = 0;

  explicit ReferenceBank(const DFTFilter& f)
      : N(f.Ndft),
        nband(f.Nband),
        ndec(f.Ndec),
        nseg(f.Nseg),
        perDft(f.NframePerDft),
        nhist(f.NHist),
        fPower(f.fPower),
        win(f.Win, f.Win + f.NwinExt),
        inRing(N, 0.0f),
        hist(static_cast<std::size_t>(nhist) * N),
        sinTab(f.SinTab, f.SinTab + N * N),
        cosTab(f.CosTab, f.CosTab + N * N),
        fold(N, 0.0f) {}

  void Process(const float* in, long n, float* out, int first, int last, int fSqrt) {
    for (long fr = 0; fr < n / ndec; ++fr) {
      const float* x = in + fr * ndec;
      float* y = out + fr * nband;
      inRing[inRingPos] = x[0];
      int t = inRingPos;
      inRingPos = (inRingPos + 1) % N;
      for (int k = 0; k < N; ++k) {
        hist[static_cast<std::size_t>(k) * nhist + histPos] = inRing[t];
        t = t == 0 ? N - 1 : t - 1;
        int j = histPos - (perDft - 1);
        if (j < 0) j += nhist;
        float sum = 0.0f;
        for (int m = 0; m < nseg; ++m) {
          sum = sum + hist[static_cast<std::size_t>(k) * nhist + j] * win[m * N + k];
          j -= perDft;
          if (j < 0) j += nhist;
        }
        fold[k] = sum;
      }
      histPos = (histPos + 1) % nhist;
      for (int b = first; b <= last; ++b) {
        float re = 0.0f, im = 0.0f;
        for (int k = 0; k < N; ++k) re = re + fold[k] * cosTab[b * N + k];
        for (int k = 0; k < N; ++k) im = im + fold[k] * sinTab[b * N + k];
        float p = re * re + im * im;
        if (fSqrt) p = static_cast<float>(std::pow(static_cast<double>(p), 0.5));
        y[b] = fPower ? p : re;
      }
      for (int i = 1; i < ndec; ++i) {
        inRing[inRingPos] = x[i];
        inRingPos = (inRingPos + 1) % N;
      }
    }
  }

  // True when the filter's rings and fold are exactly the reference's.
  bool SameState(const DFTFilter& f) const {
    return f.InRingPos == inRingPos && f.HistPos == histPos &&
           std::memcmp(f.InRing, inRing.data(), sizeof(float) * inRing.size()) == 0 &&
           std::memcmp(f.Hist, hist.data(), sizeof(float) * hist.size()) == 0 &&
           std::memcmp(f.Fold, fold.data(), sizeof(float) * fold.size()) == 0;
  }
};

// The biquad cascade sample by sample, section by section, from its definition.
void ReferenceBiquads(int nbiq, const float* coef, int n, const float* in, float* out, float* state) {
  for (int i = 0; i < n; ++i) {
    float v = in[i];
    for (int s = 0; s < nbiq; ++s) {
      const float* c = coef + 5 * s;
      float* st = state + 2 * s;
      const float w = v - c[0] * st[0] - c[1] * st[1];
      const float y = c[2] * w + c[3] * st[0] + c[4] * st[1];
      st[1] = st[0];
      st[0] = w;
      v = y;
    }
    out[i] = v;
  }
}

using sptest::AddAt;

// The clips: tone sequences of different lengths, one with noise mixed in, one a tone over a
// noise bed, one that never occurs in the stream.
std::vector<float> ClipJingle() {  // 2.55 s
  return sptest::ToneSteps(
      {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794, 698, 1760, 587, 2349, 988}, 6615, 0.5);
}
std::vector<float> ClipShort() {  // 0.5 s, tones with noise
  std::vector<float> x = sptest::ToneSteps({700, 2900, 1300, 3700, 500}, 4410, 0.4);
  AddAt(x, sptest::Noise(x.size(), 0.05, 11), 0, 1.0f);
  return x;
}
std::vector<float> ClipMedium() {  // 1.6 s
  return sptest::ToneSteps({1900, 350, 3300, 1100, 2500, 620, 4100, 1500}, 8820, 0.3);
}
std::vector<float> ClipSameLength() {  // as long as ClipMedium: equal lengths share the level sum
  std::vector<float> x = sptest::Sine(8 * 8820, 1234.0, 0.25);
  AddAt(x, sptest::Noise(x.size(), 0.1, 5), 0, 1.0f);
  return x;
}
std::vector<float> ClipAbsent() {  // 4 s, never inserted
  return sptest::ToneSteps({300, 3500, 1200, 2500, 600, 1800, 2900, 400, 1000, 2200}, 17640, 0.5);
}
std::vector<float> ClipBlip() {  // 0.1 s: a pattern of a few blocks
  return sptest::Sine(4410, 2000.0, 0.5);
}

// Creates a pattern from samples [begin, end] of the buffer; the pattern file is named after
// the source with the extension "tvs".
std::string MakePattern(const std::string& source, const std::vector<float>& buffer, sp_ulong begin, sp_ulong end,
                        unsigned int mode = 0x20000) {
  std::vector<std::int16_t> pcm = sptest::ToPcm16(buffer);
  SignalPattern maker;
  EXPECT_EQ(maker.CreatePattern(static_cast<sp_ulong>(pcm.size()), begin, end, pcm.data(), SP_SAMPLE_S16,
                                const_cast<char*>(source.c_str()), 44100.0f, mode),
            1)
      << source;
  EXPECT_EQ(maker.GetFlagCreatedPattern(), 1) << source;
  return source.substr(0, source.rfind('.')) + ".tvs";
}

std::string MakeWholePattern(const std::string& source, const std::vector<float>& clip) {
  return MakePattern(source, clip, 0, static_cast<sp_ulong>(clip.size() - 1));
}

// The fixed stream: a noise bed with level changes (a quieter stretch, a loud one, a stretch
// of digital silence) and the clips inserted at various levels, one pair overlapping.
std::vector<float> Stream() {
  std::vector<float> s = sptest::Noise(20 * kFs, 0.02, 2024);
  for (std::size_t i = 7 * kFs + kFs / 2; i < 10 * kFs + kFs / 2; ++i) s[i] *= 0.25f;
  for (std::size_t i = 13 * kFs; i < 14 * kFs; ++i) s[i] *= 4.0f;
  for (std::size_t i = 11 * kFs; i < 11 * kFs + kFs / 2; ++i) s[i] = 0.0f;
  AddAt(s, ClipJingle(), 1 * kFs + 321, 1.0f);
  AddAt(s, ClipShort(), 4 * kFs + kFs / 2, 1.0f);
  AddAt(s, ClipMedium(), 6 * kFs, 0.5f);
  AddAt(s, ClipJingle(), 8 * kFs + 1000, 0.1f);
  AddAt(s, ClipShort(), 12 * kFs, 2.0f);  // clipped in places by the 16-bit conversion
  AddAt(s, ClipSameLength(), 13 * kFs + 5000, 1.0f);
  AddAt(s, ClipBlip(), 15 * kFs, 1.0f);
  AddAt(s, ClipJingle(), 16 * kFs + 777, 0.7f);
  AddAt(s, ClipShort(), 17 * kFs, 0.5f);  // over the jingle
  return s;
}

// What the observer collects over a run.
struct Trace {
  Hash spectrum;    // the newest time block's band powers
  Hash deviations;  // RelDev and RelDevMPB of every pattern, the monitoring RelDev, the band levels
  Hash working;     // the matcher's working values left after the block: LevelGain, BandMeanCur
  int blocks = 0;
  bool bandLevels = false;
  const TimeSpectrumEstimation* engine = nullptr;
};

void Observe(void* context, const TimeBlockView& block) {
  Trace* t = static_cast<Trace*>(context);
  const TimeSpectrumEstimation* engine = t->engine;
  ++t->blocks;
  for (int b = 0; b < block.Nband; ++b) t->spectrum.Float(block.Block[b]);
  for (int i = 0; i < engine->NPattern; ++i) {
    t->deviations.Float(engine->TVS[i]->RelDev);
    t->deviations.Float(engine->TVS[i]->RelDevMPB);
  }
  t->deviations.Float(engine->MonitorParam.RelDev);
  t->working.Float(engine->LevelGain);
  t->working.Float(engine->BandMeanCur);
  if (t->bandLevels)
    for (int b = 0; b < engine->Nband; ++b) t->deviations.Float(engine->BandLevelCur[b]);
}

struct Outcome {
  std::string spectrum;
  std::string deviations;
  std::string working;
  std::string recognitions;  // "pattern:begin-end" per accepted recognition, in order
  std::string counts;        // per pattern: NRecognize, then RelDevMin / RelDevMax bits
  int blocks = 0;
};

// Exposes the preparation of the many-pattern layout.
struct Recognizer : SignalPattern {
  using TimeSpectrumEstimation::DropMatchingLayout;
  using TimeSpectrumEstimation::PrepareMatching;
};

// How the patterns are matched: laid out side by side in the widest vectors the processor
// has, in four lanes, or one by one.
enum class Matching { kLaidOut, kFourLanes, kOneByOne };

// swapAt > 0: the records of patterns 2 and 4 trade places in the engine's array at that sample;
// with `paused` every pattern is out of use for the 8 blocks around it.
Outcome RunStream(const std::vector<std::string>& files, SigRecognitionPar par, const std::vector<std::int16_t>& pcm,
                  Matching matching, std::size_t swapAt = 0, bool paused = false) {
  std::vector<char*> names;
  for (const auto& f : files) names.push_back(const_cast<char*>(f.c_str()));
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();

  Outcome out;
  Recognizer rec;
  if (rec.InitSignalPattern(&par) != 1) {
    ADD_FAILURE() << "recognition set-up failed";
    return out;
  }
  if (matching != Matching::kOneByOne) {
    EXPECT_EQ(rec.PrepareMatching(matching == Matching::kFourLanes ? 4 : 0), 1);
  } else {
    rec.DropMatchingLayout();
  }
  Trace trace;
  trace.bandLevels = par.fStatistics != 0;
  trace.engine = &rec;
  EXPECT_EQ(rec.AddTimeBlockObserver(&Observe, &trace), 1);
  for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock) {
    if (swapAt > 0 && pos == swapAt) std::swap(rec.GetTVS()[2], rec.GetTVS()[4]);
    if (paused && (pos == swapAt - 4 * kBlock || pos == swapAt + 4 * kBlock))
      for (int i = 0; i < par.NPattern; ++i) rec.SetFlagUsePattern(i, pos < swapAt ? 0 : 1);
    int before = rec.GetNRecognize();
    int n = rec.Pattern(kBlock, const_cast<std::int16_t*>(pcm.data() + pos), SP_SAMPLE_S16, nullptr);
    EXPECT_GE(n, 0);
    EXPECT_EQ(rec.GetNRecognize(), before + n);
    if (n > 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, n > 1 ? "%d:%ld-%ldx%d " : "%d:%ld-%ld ", rec.GetLastRecognizedPatternNumber(),
                    static_cast<long>(rec.RecognizedBegin), static_cast<long>(rec.RecognizedEnd), n);
      out.recognitions += buf;
    }
  }
  Hash extremes;
  for (int i = 0; i < rec.NPattern; ++i) {
    out.counts += std::to_string(rec.GetTVS()[i]->NRecognize) + " ";
    extremes.Float(rec.GetTVS()[i]->RelDevMin);
    extremes.Float(rec.GetTVS()[i]->RelDevMax);
  }
  out.counts += Hex(extremes.h);
  out.spectrum = Hex(trace.spectrum.h);
  out.deviations = Hex(trace.deviations.h);
  out.working = Hex(trace.working.h);
  out.blocks = trace.blocks;
  return out;
}

}  // namespace

TEST(Golden, PatternFileBytes) {
  TempDir dir;
  ScopedWorkingDirectory cd(dir.path());

  // A sub-interval of a longer buffer, so that the pattern starts with the filter bank's rings
  // already full of the audio before it.
  std::vector<float> bed = sptest::Noise(3 * kFs, 0.05, 77);
  AddAt(bed, ClipMedium(), kFs / 2, 1.0f);

  struct Case {
    std::string file;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {MakeWholePattern("jingle.wav", ClipJingle()), 0xc578e94a0e14a5fdull},
      {MakeWholePattern("short.wav", ClipShort()), 0x83e99346c5215cccull},
      {MakeWholePattern("absent.wav", ClipAbsent()), 0xf48e283523383955ull},
      {MakeWholePattern("blip.wav", ClipBlip()), 0xe8b3a48a6ea997caull},
      {MakePattern("inbed.wav", bed, kFs / 2 + 1000, kFs / 2 + 1000 + 8 * 8820), 0x499728134ed135f4ull},
      {MakePattern("half.wav", ClipJingle(), 0, 6615 * 17 - 1, 0x40000), 0xeddebc5371c86ffdull},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bytes = sptest::ReadAll(c.file);
    EXPECT_FALSE(bytes.empty()) << c.file;
    EXPECT_EQ(Hex(sptest::Fnv1a(bytes)), Hex(c.hash)) << c.file << " (" << bytes.size() << " bytes)";
  }
}

TEST(Golden, RecognitionDeviationsAndResults) {
  TempDir dir;
  ScopedWorkingDirectory cd(dir.path());
  // Pattern numbers: 0 jingle (2.55 s), 1 short (0.5 s), 2 medium (1.6 s), 3 absent (4 s),
  // 4 same length as medium, 5 blip (0.1 s).
  const std::vector<std::string> files = {
      MakeWholePattern("jingle.wav", ClipJingle()),   MakeWholePattern("short.wav", ClipShort()),
      MakeWholePattern("medium.wav", ClipMedium()),   MakeWholePattern("absent.wav", ClipAbsent()),
      MakeWholePattern("same.wav", ClipSameLength()), MakeWholePattern("blip.wav", ClipBlip()),
  };
  const std::vector<std::int16_t> pcm = sptest::ToPcm16(Stream());

  struct Config {
    const char* name;
    int statistics;
    int earlyRejection;
    sp_ulong mode;
    const char* spectrum;
    const char* deviations;
    const char* working;
    const char* recognitions;
    const char* counts;
  };
  // Every configuration sees the same stream, so the band powers agree except where the
  // acceleration regime leaves bands uncomputed.
  const char* const kAllBands = "0x70a7db06ef956846";
  const char* const kFound =
      "5:97092-101124 5:129924-133956 5:143172-147204 0:44100-156420 1:198468-220356 5:264132-268164 "
      "5:268164-272196 2:264708-334980 5:406404-410436 0:353412-465732 1:529092-550980 4:578052-648324 "
      "5:660996-665028 5:792324-796356 5:804996-809028 0:706500-818820 ";
  const Config configs[] = {
      {"default", 0, 1, 0x20000, kAllBands, "0xa28689f5e8e421ff", "0xcdaad7e60fa0b441", kFound,
       "3 2 1 0 1 9 0x3e30ac2b1af6156f"},
      {"statistics", 1, 0, 0x20000, kAllBands, "0x2451b59772e4305e", "0x0c03205fa6a81fe0", kFound,
       "3 2 1 0 1 9 0xfd9409edc479b639"},
      {"no early rejection", 0, 0, 0x20000, kAllBands, "0x4b892546e5b7df86", "0x89e2a21306b6bc04", kFound,
       "3 2 1 0 1 9 0xfd9409edc479b639"},
      {"half bands", 0, 1, 0x40000, "0x30fe09224a894e6c", "0xdcba065b255231a8", "0x26e31c293ad98719",
       "5:97092-101124 5:129924-133956 5:143172-147204 0:44676-156996 1:198468-220356 5:264132-268164 "
       "5:268164-272196 5:406404-410436 1:529092-550980 4:578052-648324 5:660996-665028 5:761796-765828 "
       "5:792324-796356 5:804996-809028 ",
       "1 2 0 0 1 10 0x0dc86a770ad5068d"},
      {"band 0 only, statistics", 1, 0, 0x100000, "0x4f86ff222476bba0", "0xc45f2f9d9a9e6f74", "0x0a11971139f067f9", "",
       "0 0 0 0 0 0 0x62dc1751a8efba44"},
  };
  for (const Config& c : configs) {
    SigRecognitionPar par;
    par.fStatistics = c.statistics;
    par.fUseRelDevMPB = c.earlyRejection;
    par.Mode = c.mode;
    // Patterns laid out side by side, and (for the first two) matched one by one: the same bits.
    for (Matching matching : {Matching::kLaidOut, Matching::kFourLanes, Matching::kOneByOne}) {
      if (matching == Matching::kOneByOne && &c - configs >= 2) continue;
      const std::string name = std::string(c.name) + (matching == Matching::kLaidOut     ? ", laid out"
                                                      : matching == Matching::kFourLanes ? ", four lanes"
                                                                                         : ", one by one");
      Outcome got = RunStream(files, par, pcm, matching);
      EXPECT_EQ(got.blocks, 2 * static_cast<int>(pcm.size() / kBlock)) << name;
      EXPECT_EQ(got.spectrum, c.spectrum) << name;
      EXPECT_EQ(got.deviations, c.deviations) << name;
      EXPECT_EQ(got.working, c.working) << name;
      EXPECT_EQ(got.recognitions, c.recognitions) << name;
      EXPECT_EQ(got.counts, c.counts) << name;
    }
  }
  // Two patterns of one length trade places in the engine's array mid-stream, while the
  // patterns are in use or while none is: the laid-out matching notices and gives what matching
  // one by one gives.
  const std::size_t swapAt = pcm.size() / 2 / kBlock * kBlock;
  for (const bool paused : {false, true}) {
    const Outcome laidOut = RunStream(files, SigRecognitionPar(), pcm, Matching::kLaidOut, swapAt, paused);
    const Outcome oneByOne = RunStream(files, SigRecognitionPar(), pcm, Matching::kOneByOne, swapAt, paused);
    EXPECT_NE(oneByOne.deviations, configs[0].deviations) << paused;
    EXPECT_EQ(laidOut.deviations, oneByOne.deviations) << paused;
    EXPECT_EQ(laidOut.recognitions, oneByOne.recognitions) << paused;
    EXPECT_EQ(laidOut.counts, oneByOne.counts) << paused;
  }
}

// The filter bank against its frame-by-frame definition: outputs and rings bit for bit, over
// several geometries, band ranges, piece sizes, a copy taken mid-stream, and inputs ranging
// from tiny to huge values.
TEST(Golden, FilterBankMatchesDefinition) {
  struct Geometry {
    int ndft, nwin, ndec, fPower, nband, fSqrt;
  };
  const Geometry geometries[] = {{16, 128, 1, 1, -1, 0}, {16, 100, 1, 1, 16, 1}, {12, 40, 1, 0, 5, 0},
                                 {5, 23, 1, 1, -1, 0},   {1, 3, 1, 1, -1, 0},    {16, 128, 2, 1, -1, 0},
                                 {8, 64, 4, 1, 3, 1},    {64, 256, 1, 1, 20, 0}};
  const long pieces[] = {1, 3, 16, 7, 144, 300, 2, 1000, 255, 257};
  std::vector<float> input = sptest::Noise(6000, 0.5, 31);
  for (std::size_t i = 0; i < input.size(); i += 97) input[i] *= (i % 2 ? 1e-20f : 1e15f);
  for (const Geometry& g : geometries) {
    std::vector<float> window = sptest::Noise(static_cast<std::size_t>(g.nwin), 0.1, 3 + g.nwin);
    DFTFilter f;
    ASSERT_EQ(f.InitDFTFilter(g.ndft, g.nwin, window.data(), g.ndec, g.fPower, g.nband), 1);
    ReferenceBank ref(f);
    std::unique_ptr<DFTFilter> copy;
    std::size_t pos = 0;
    int step = 0;
    for (long piece : pieces) {
      const long n = piece * g.ndec;
      if (pos + static_cast<std::size_t>(n) > input.size()) break;
      // Vary the computed bands between calls, as the acceleration regimes do.
      f.BandFirst = step % 3 == 2 ? 1 : 0;
      f.BandLast = step % 4 == 3 ? f.Nband / 2 : f.Nband - 1;
      std::vector<float> got(static_cast<std::size_t>(piece) * f.Nband, -1.0f), want(got);
      ASSERT_EQ(f.ProcDFTFilterPow(n, input.data() + pos, got.data(), g.fSqrt), 1);
      ref.Process(input.data() + pos, n, want.data(), f.BandFirst, f.BandLast, g.fSqrt);
      EXPECT_EQ(std::memcmp(got.data(), want.data(), sizeof(float) * got.size()), 0)
          << "Ndft " << g.ndft << " Ndec " << g.ndec << " piece " << piece;
      EXPECT_TRUE(ref.SameState(f)) << "Ndft " << g.ndft << " Ndec " << g.ndec << " piece " << piece;
      if (step == 4) copy = std::make_unique<DFTFilter>(f);
      pos += static_cast<std::size_t>(n);
      ++step;
    }
    if (copy) {
      // The copy continues from the state it was taken in, like the original did.
      DFTFilter again;
      ASSERT_EQ(again.InitDFTFilter(g.ndft, g.nwin, window.data(), g.ndec, g.fPower, g.nband), 1);
      std::vector<float> a(static_cast<std::size_t>(1000) * f.Nband), b(a);
      ASSERT_EQ(copy->ProcDFTFilterPow(1000L * g.ndec, input.data(), a.data(), 0), 1);
      *copy = again;
      ASSERT_EQ(copy->ProcDFTFilterPow(1000L * g.ndec, input.data(), b.data(), 0), 1);
      ASSERT_EQ(again.ProcDFTFilterPow(1000L * g.ndec, input.data(), a.data(), 0), 1);
      EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * a.size()), 0);
    }
  }
}

// The biquad cascade against its sample-by-sample definition, for one to five sections, in
// place and split into blocks.
TEST(Golden, BiquadCascadeMatchesDefinition) {
  std::vector<float> coef = {-1.73526096f,  0.791907489f, 0.0241256207f, -0.00102735299f,
                             0.0240287408f, -1.71247995f, 0.932301819f,  0.344159514f,
                             -0.464873105f, 0.34401229f,  -0.5f,         0.25f,
                             1.0f,          -2.0f,        1.0f,          0.3f,
                             0.1f,          0.7f,         0.2f,          -0.1f,
                             -1.9f,         0.95f,        0.01f,         0.02f,
                             0.01f};
  std::vector<float> input = sptest::Noise(5000, 0.9, 8);
  for (int nbiq = 1; nbiq <= 5; ++nbiq) {
    std::vector<float> state(2 * nbiq, 0.0f), refState(state);
    std::vector<float> got(input), want(input.size());
    const int splits[] = {0, 1, 1152, 1153, 4000, 5000};
    for (int s = 0; s + 1 < 6; ++s) {
      const int from = splits[s], n = splits[s + 1] - splits[s];
      ASSERT_EQ(IirBiq(nbiq, coef.data(), n, got.data() + from, got.data() + from, state.data(), 0), n);
      ReferenceBiquads(nbiq, coef.data(), n, input.data() + from, want.data() + from, refState.data());
    }
    EXPECT_EQ(std::memcmp(got.data(), want.data(), sizeof(float) * got.size()), 0) << nbiq << " sections";
    EXPECT_EQ(std::memcmp(state.data(), refState.data(), sizeof(float) * state.size()), 0) << nbiq << " sections";
  }
}
