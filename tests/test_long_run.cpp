// Long streams through one recognizer: memory stays flat after the set-up, the block loop
// allocates nothing without statistics, detections keep their positions over hours of audio;
// and the stream recovers from non-finite and extreme samples.
//
// The stream is generated block by block (noise with clips inserted at known places), never
// stored. Its length: SP_LONG_RUN_MINUTES when set, else 120 minutes in optimised builds, 30
// with sanitizers, 12 without optimisation.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "test_support.h"

// ---- allocation counters of the whole program

// The replacements pair operator new with malloc and operator delete with free, which GCC
// cannot see through when it inlines library code.

namespace {
struct AllocationCounters {
  long long calls = 0;      // allocations made
  long long live = 0;       // allocations not yet released
  long long liveBytes = 0;  // their usable size
};
AllocationCounters gAlloc;

void* TestAllocate(std::size_t n) {
  void* p = std::malloc(n != 0 ? n : 1);
  if (p != nullptr) {
    ++gAlloc.calls;
    ++gAlloc.live;
    gAlloc.liveBytes += static_cast<long long>(malloc_usable_size(p));
  }
  return p;
}
void TestRelease(void* p) {
  if (p == nullptr) return;
  --gAlloc.live;
  gAlloc.liveBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

#include "replace_new.h"

namespace {

constexpr int kBlock = 1152;
constexpr std::uint64_t kRate = 44100;

#if defined(__SANITIZE_ADDRESS__)
#define SP_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SP_TEST_SANITIZED 1
#endif
#endif

#if !defined(__OPTIMIZE__)
constexpr int kDefaultMinutes = 12;
#elif defined(SP_TEST_SANITIZED)
constexpr int kDefaultMinutes = 30;
#else
constexpr int kDefaultMinutes = 120;
#endif

int StreamMinutes() {
  const char* s = std::getenv("SP_LONG_RUN_MINUTES");
  if (s != nullptr && std::atoi(s) > 0) return std::atoi(s);
  return kDefaultMinutes;
}

const std::vector<std::vector<double>> kClipTones = {
    {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880},
    {300, 3500, 1200, 2500, 600, 1800, 2900, 400},
    {1975, 370, 2794, 1109, 494, 3322, 740, 1661, 1245}};

// The three clips (tone steps of 100 ms) and their patterns, made once per program.
struct Clips {
  sptest::TempDir dir;
  std::vector<std::vector<std::int16_t>> pcm;
  std::vector<std::string> files;

  Clips() {
    for (std::size_t k = 0; k < kClipTones.size(); ++k) {
      pcm.push_back(sptest::ToPcm16(sptest::ToneSteps(kClipTones[k], 4410, 0.5)));
      std::string source = dir.File("clip" + std::to_string(k) + ".wav");
      SignalPattern maker;
      EXPECT_EQ(maker.CreatePattern(static_cast<sp_ulong>(pcm[k].size()), 0, static_cast<sp_ulong>(pcm[k].size() - 1),
                                    pcm[k].data(), SP_SAMPLE_S16, source.data(), 44100.0f, 0x20000),
                1);
      files.push_back(dir.File("clip" + std::to_string(k) + ".tvs"));
    }
  }
};

Clips& Library() {
  static Clips clips;
  return clips;
}

// Noise with one clip in every period: clip (n mod 3) of period n starts at a varying offset.
class Stream {
 public:
  static constexpr std::uint64_t kPeriod = 41 * kRate;

  explicit Stream(const Clips& clips) : clips_(clips) {}

  static std::uint64_t ClipStart(std::uint64_t period) { return period * kPeriod + 9 * kRate + (period * 7919) % 20000; }
  static int ClipOf(std::uint64_t period) { return static_cast<int>(period % 3); }

  // The next block of samples.
  void Next(std::int16_t* out) {
    for (int i = 0; i < kBlock; ++i, ++pos_) {
      noise_ ^= noise_ << 13;
      noise_ ^= noise_ >> 17;
      noise_ ^= noise_ << 5;
      int v = static_cast<int>(noise_ % 3001) - 1500;
      const std::uint64_t period = pos_ / kPeriod;
      const std::uint64_t start = ClipStart(period);
      const std::vector<std::int16_t>& clip = clips_.pcm[ClipOf(period)];
      if (pos_ >= start && pos_ - start < clip.size()) v += clip[pos_ - start];
      out[i] = static_cast<std::int16_t>(v);
    }
  }
  std::uint64_t position() const { return pos_; }

 private:
  const Clips& clips_;
  std::uint64_t pos_ = 0;
  std::uint32_t noise_ = 2463534242u;
};

struct Detection {
  int pattern;
  sp_long begin;
};

int StartRecognition(SignalPattern& rec, int statistics) {
  std::vector<char*> names;
  for (const std::string& f : Library().files) names.push_back(const_cast<char*>(f.c_str()));
  SigRecognitionPar par;
  par.fStatistics = statistics;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  return rec.InitSignalPattern(&par);
}

// Every clip fully inside the stream was found once, by its own pattern, at its place.
void ExpectDetectionsAtTheirPlaces(const std::vector<Detection>& found, std::uint64_t streamEnd) {
  std::vector<Detection> expected;
  for (std::uint64_t period = 0;; ++period) {
    const std::uint64_t start = Stream::ClipStart(period);
    // The clip must have entered the ring completely, with the pipeline's delay, by the end.
    if (start + Library().pcm[Stream::ClipOf(period)].size() + 1404 + 2 * kBlock > streamEnd) break;
    expected.push_back({Stream::ClipOf(period), static_cast<sp_long>(start)});
  }
  ASSERT_EQ(found.size(), expected.size());
  int misplaced = 0;
  for (std::size_t k = 0; k < found.size(); ++k) {
    if (found[k].pattern != expected[k].pattern || std::llabs(static_cast<long long>(found[k].begin) -
                                                              static_cast<long long>(expected[k].begin)) > 576) {
      if (++misplaced <= 5)
        ADD_FAILURE() << "detection " << k << ": pattern " << found[k].pattern << " at " << found[k].begin
                      << ", expected pattern " << expected[k].pattern << " at " << expected[k].begin;
    }
  }
  EXPECT_EQ(misplaced, 0);
}

// Feeds the stream up to untilSample, collecting the recognitions.
void FeedUntil(SignalPattern& rec, Stream& stream, std::uint64_t untilSample, std::vector<Detection>& found) {
  std::int16_t block[kBlock];  // on the stack: the loop under test is the only allocator
  while (stream.position() + kBlock <= untilSample) {
    stream.Next(block);
    const int n = rec.Pattern(kBlock, block, SP_SAMPLE_S16, nullptr);
    ASSERT_GE(n, 0);
    if (n > 0) found.push_back({rec.GetLastRecognizedPatternNumber(), rec.RecognizedBegin});
  }
}

}  // namespace

// Hours of audio through one recognizer with three patterns and statistics on: after the
// first recognitions (which allocate the snapshot arrays) the live allocations stay exactly
// where they were; each later recognition replaces its pattern's snapshot (one allocation, one
// release) and nothing else is allocated; every clip is found at its place.
TEST(LongRun, HoursWithStatistics) {
  const int minutes = StreamMinutes();
  SignalPattern rec;
  ASSERT_EQ(StartRecognition(rec, 1), 1);
  Stream stream(Library());
  std::vector<Detection> found;
  found.reserve(static_cast<std::size_t>(minutes) * 2 + 16);
  auto feed = [&](std::uint64_t untilSample) { FeedUntil(rec, stream, untilSample, found); };
  // Warm-up: three periods, so that every pattern has been recognized once.
  feed(3 * Stream::kPeriod);
  ASSERT_EQ(found.size(), 3u);
  for (int p = 0; p < 3; ++p) ASSERT_NE(rec.GetTVS()[p]->SpectrumFound, nullptr);

  const AllocationCounters base = gAlloc;
  const std::size_t foundBase = found.size();
  const std::uint64_t end = static_cast<std::uint64_t>(minutes) * 60 * kRate;
  for (std::uint64_t checkpoint = 3 * Stream::kPeriod; checkpoint < end;) {
    checkpoint += 10 * 60 * kRate;
    if (checkpoint > end) checkpoint = end;
    feed(checkpoint);
    // Checks that pass allocate nothing (no SCOPED_TRACE: its trace stack allocates).
    const AllocationCounters now = gAlloc;
    const std::uint64_t minute = checkpoint / kRate / 60;
    EXPECT_EQ(now.live, base.live) << "minute " << minute;
    EXPECT_EQ(now.liveBytes, base.liveBytes) << "minute " << minute;
    EXPECT_EQ(now.calls - base.calls, static_cast<long long>(found.size() - foundBase)) << "minute " << minute;
  }
  ExpectDetectionsAtTheirPlaces(found, stream.position());
  EXPECT_EQ(rec.GetNRecognize(), static_cast<int>(found.size()));
  EXPECT_EQ(rec.NCurrentSample, static_cast<sp_ulong>(stream.position()));
}

// Without statistics the block loop allocates nothing at all, recognitions included.
TEST(LongRun, NoAllocationPerBlockWithoutStatistics) {
  const int minutes = StreamMinutes() / 4 > 3 ? StreamMinutes() / 4 : 3;
  SignalPattern rec;
  ASSERT_EQ(StartRecognition(rec, 0), 1);
  Stream stream(Library());
  std::vector<Detection> found;
  found.reserve(static_cast<std::size_t>(minutes) * 2 + 16);
  const AllocationCounters base = gAlloc;
  FeedUntil(rec, stream, static_cast<std::uint64_t>(minutes) * 60 * kRate, found);
  const AllocationCounters now = gAlloc;
  EXPECT_EQ(now.calls, base.calls);
  EXPECT_EQ(now.live, base.live);
  ExpectDetectionsAtTheirPlaces(found, stream.position());
}

// ---- non-finite and extreme samples

namespace {

// Counts the non-finite values in the time-spectrum ring.
int NonFiniteInRing(const SignalPattern& rec) {
  int n = 0;
  for (int i = 0; i < rec.Nblock * rec.Nband; ++i) n += std::isfinite(rec.TimeSpectrum[i]) ? 0 : 1;
  return n;
}

// Noise of the level the stream uses, as floats in [-1, 1).
void NoiseBlock(std::vector<float>& out, std::uint32_t& state) {
  for (float& v : out) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    v = static_cast<float>(static_cast<int>(state % 3001) - 1500) / 32767.0f;
  }
}

// Feeds clip k after a second of noise; returns the recognitions with their begin positions
// relative to where the clip was put.
std::vector<Detection> FeedClip(SignalPattern& rec, int k, std::uint32_t& state) {
  const std::vector<std::int16_t>& clip = Library().pcm[k];
  std::vector<float> block(kBlock);
  std::vector<Detection> found;
  const sp_ulong at = rec.NCurrentSample + 44100 + 333;
  const std::size_t blocks = (44100 + 333 + clip.size() + 1404) / kBlock + 3;
  for (std::size_t b = 0; b < blocks; ++b) {
    NoiseBlock(block, state);
    for (int i = 0; i < kBlock; ++i) {
      const sp_ulong pos = rec.NCurrentSample + static_cast<sp_ulong>(i);
      if (pos >= at && pos - at < clip.size()) block[i] += static_cast<float>(clip[pos - at]) / 32767.0f;
    }
    const int before = rec.GetNRecognize();
    EXPECT_EQ(rec.TimeSpectrumEst(kBlock, block.data()), 1);
    if (rec.GetNRecognize() > before)
      found.push_back({rec.GetLastRecognizedPatternNumber(), static_cast<sp_long>(rec.RecognizedBegin - at)});
  }
  return found;
}

}  // namespace

// Finds each clip once, by its own pattern, at its place.
void ExpectEachClipFound(SignalPattern& rec, std::uint32_t& state) {
  for (int k = 0; k < 3; ++k) {
    std::vector<Detection> found = FeedClip(rec, k, state);
    ASSERT_EQ(found.size(), 1u) << "clip " << k;
    EXPECT_EQ(found[0].pattern, k);
    EXPECT_LE(std::abs(found[0].begin), 576) << "clip " << k;
  }
}

// Feeds blocks of noise, the last one with `value` at two samples.
void FeedBurst(SignalPattern& rec, float value, std::uint32_t& state) {
  std::vector<float> block(kBlock);
  for (int b = 0; b < 40; ++b) {
    NoiseBlock(block, state);
    ASSERT_EQ(rec.TimeSpectrumEst(kBlock, block.data()), 1);
  }
  NoiseBlock(block, state);
  block[100] = value;
  block[101] = value;
  ASSERT_EQ(rec.TimeSpectrumEst(kBlock, block.data()), 1);
}

// What a NaN or an infinity does: the pre-filter's recursion turns it into non-finite output
// for the rest of its block and a non-finite delay line. The pipeline then clears the delay
// line and replaces that output by silence, so the filtered signal is silent from the bad
// sample to the end of its block and nothing non-finite reaches the filter bank or the ring.
TEST(StreamRecovery, NonFiniteSamplesAreConfinedToTheirBlock) {
  for (float value : {NAN, INFINITY, -INFINITY}) {
    for (int statistics = 0; statistics < 2; ++statistics) {
      SCOPED_TRACE(std::to_string(value) + (statistics ? " with statistics" : ""));
      SignalPattern rec;
      ASSERT_EQ(StartRecognition(rec, statistics), 1);
      std::uint32_t state = 77;
      FeedBurst(rec, value, state);
      for (int i = 0; i < 2 * rec.Nbiq; ++i) EXPECT_EQ(rec.BiqState[i], 0.0f);
      EXPECT_EQ(NonFiniteInRing(rec), 0);
      for (int i = 0; i < rec.NframeAvg * rec.Nband; ++i) ASSERT_TRUE(std::isfinite(rec.DftPowRing[i]));
      ExpectEachClipFound(rec, state);
    }
  }
}

// A finite sample whose power overflows single precision (|x| above about 1.8e19) passes the
// pre-filter but makes infinite frame powers: the time blocks averaged over them hold
// infinities until the ring comes round (the longest pattern's length). Comparisons over them
// never pass the threshold; once the ring has flushed, recognition is back by itself.
TEST(StreamRecovery, OverflowingSamplesFlushWithTheRing) {
  for (float value : {1.0e30f, FLT_MAX, -FLT_MAX}) {
    for (int statistics = 0; statistics < 2; ++statistics) {
      SCOPED_TRACE(std::to_string(value) + (statistics ? " with statistics" : ""));
      SignalPattern rec;
      ASSERT_EQ(StartRecognition(rec, statistics), 1);
      std::uint32_t state = 78;
      const int recognized = rec.GetNRecognize();
      FeedBurst(rec, value, state);
      EXPECT_GT(NonFiniteInRing(rec), 0);
      // Two time blocks per call: the ring is clean after at most its length plus the blocks
      // that averaged the overflowing frames.
      std::vector<float> block(kBlock);
      int calls = 0;
      for (; NonFiniteInRing(rec) > 0 && calls < 1000; ++calls) {
        NoiseBlock(block, state);
        ASSERT_EQ(rec.TimeSpectrumEst(kBlock, block.data()), 1);
        EXPECT_EQ(rec.GetNRecognize(), recognized);
      }
      EXPECT_LE(2 * calls, rec.Nblock + 4);
      ExpectEachClipFound(rec, state);
    }
  }
}

// Full-scale square waves (the largest 16-bit values, in every sample format) make no
// recognition and leave every later block working.
TEST(StreamRecovery, FullScaleSquareWaves) {
  SignalPattern rec;
  ASSERT_EQ(StartRecognition(rec, 1), 1);
  const unsigned int formats[] = {SP_SAMPLE_S16, SP_SAMPLE_S32_LOW, SP_SAMPLE_S32_HIGH};
  std::vector<std::int16_t> words(2 * kBlock);
  std::uint64_t t = 0;
  for (unsigned int format : formats) {
    for (int halfPeriod : {1, 3, 25, 220, 2205}) {
      for (int b = 0; b < 80; ++b) {  // about 2 s
        for (int i = 0; i < kBlock; ++i, ++t) {
          const std::int16_t v = (t / static_cast<std::uint64_t>(halfPeriod)) % 2 ? 32767 : -32768;
          if (format == SP_SAMPLE_S16) {
            words[i] = v;
          } else {  // the other half of each 32-bit word holds an unrelated value
            words[2 * i] = format == SP_SAMPLE_S32_LOW ? v : static_cast<std::int16_t>(0x1234);
            words[2 * i + 1] = format == SP_SAMPLE_S32_HIGH ? v : static_cast<std::int16_t>(0x4321);
          }
        }
        ASSERT_EQ(rec.Pattern(kBlock, words.data(), format, nullptr), 0) << "half period " << halfPeriod;
        ASSERT_TRUE(std::isfinite(rec.MonitorParam.RelDev));
      }
    }
  }
  EXPECT_EQ(NonFiniteInRing(rec), 0);
  std::uint32_t state = 79;
  ExpectEachClipFound(rec, state);
}
