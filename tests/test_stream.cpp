// The library's streaming layer: RecognitionStream (feeds of any size, 64-bit positions, the
// rebase across the engine's 32-bit counter wrap, the recognitions of each feed, copies sharing
// their model's pattern arrays), PatternMaker (the same pattern bytes whatever the pieces) and
// the speed variants' names.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>

#include "SharingScope.h"
#include "SignalPattern.h"
#include "test_support.h"

namespace {

using sptest::TempDir;

constexpr std::size_t kRate = 44100;

bool Same(const StreamRecognition& a, const StreamRecognition& b) {
  return a.pattern == b.pattern && a.begin == b.begin && a.end == b.end &&
         std::memcmp(&a.relDev, &b.relDev, sizeof a.relDev) == 0 &&
         std::memcmp(&a.relDevMpb, &b.relDevMpb, sizeof a.relDevMpb) == 0;
}

::testing::AssertionResult SameList(const std::vector<StreamRecognition>& a, const std::vector<StreamRecognition>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " vs " << b.size() << " recognitions";
  for (std::size_t k = 0; k < a.size(); ++k)
    if (!Same(a[k], b[k]))
      return ::testing::AssertionFailure() << "recognition " << k << ": pattern " << a[k].pattern << " at " << a[k].begin
                                           << " vs pattern " << b[k].pattern << " at " << b[k].begin;
  return ::testing::AssertionSuccess();
}

// Two clips in a minute of noise at known places; patterns of both.
class Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<float> chime =
        sptest::ToneSteps({523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794}, 6615, 0.5);
    const std::vector<float> steps = sptest::ToneSteps({300, 3500, 1200, 2500, 600, 1800, 2900, 400}, 8820, 0.5);
    std::vector<float> mix = sptest::Noise(60 * kRate, 0.02, 77);
    for (double t : {3.1, 11.7, 20.05, 33.3, 47.9}) Place(mix, chime, t, 0);
    for (double t : {7.0, 25.5, 40.2, 52.0}) Place(mix, steps, t, 1);
    std::sort(truth_.begin(), truth_.end());
    pcm_ = sptest::ToPcm16(mix);
    files_ = {sptest::MakePattern(dir_, "chime", chime), sptest::MakePattern(dir_, "steps", steps)};
  }

  void Place(std::vector<float>& mix, const std::vector<float>& clip, double seconds, int pattern) {
    const std::size_t at = static_cast<std::size_t>(seconds * kRate);
    for (std::size_t i = 0; i < clip.size(); ++i) mix[at + i] += clip[i];
    truth_.push_back({seconds, pattern});
  }

  // Every recognition of the stream fed in pieces of the given sizes (taken in turn).
  // With a model, the stream is set up as a copy of it (InitLike) instead.
  std::vector<StreamRecognition> Run(const std::vector<std::size_t>& pieces, std::uint32_t rebaseThreshold,
                                     std::uint32_t startSample = 0, int* rebases = nullptr,
                                     const RecognitionStream* model = nullptr) {
    RecognitionStream stream;
    if (model != nullptr) EXPECT_EQ(stream.InitLike(*model), 1);
    else InitStream(stream, startSample);
    stream.SetRebaseThreshold(rebaseThreshold);
    std::vector<StreamRecognition> all = FeedAll(stream, pieces);
    if (rebases != nullptr) *rebases = stream.Rebases();
    return all;
  }

  // Feeds the whole stream in pieces of the given sizes (taken in turn), then finishes it.
  std::vector<StreamRecognition> FeedAll(RecognitionStream& stream, const std::vector<std::size_t>& pieces) {
    std::vector<StreamRecognition> all;
    std::size_t pos = 0;
    for (std::size_t k = 0; pos < pcm_.size(); ++k) {
      const std::size_t n = std::min(pieces[k % pieces.size()], pcm_.size() - pos);
      const int r = stream.Feed(pcm_.data() + pos, n);
      EXPECT_EQ(r, static_cast<int>(stream.Recognitions().size()));
      all.insert(all.end(), stream.Recognitions().begin(), stream.Recognitions().end());
      pos += n;
    }
    EXPECT_GE(stream.Finish(), 0);
    all.insert(all.end(), stream.Recognitions().begin(), stream.Recognitions().end());
    EXPECT_EQ(stream.Samples(), static_cast<std::int64_t>(pcm_.size()));
    return all;
  }

  void InitStream(RecognitionStream& stream, std::uint32_t startSample) {
    std::vector<char*> names;
    for (auto& f : files_) names.push_back(f.data());
    SigRecognitionPar par;
    par.NPattern = static_cast<int>(names.size());
    par.PatternFileNames = names.data();
    EXPECT_EQ(stream.Init(&par, startSample), 1);
  }

  TempDir dir_;
  std::vector<std::pair<double, int>> truth_;  // seconds, pattern
  std::vector<std::int16_t> pcm_;
  std::vector<std::string> files_;
};

TEST_F(Stream, RecognitionsInPlaceWhateverThePiecesAndTheRebasing) {
  const std::vector<StreamRecognition> reference = Run({1152}, std::numeric_limits<std::uint32_t>::max());
  ASSERT_EQ(reference.size(), truth_.size());
  for (std::size_t k = 0; k < reference.size(); ++k) {
    EXPECT_EQ(reference[k].pattern, truth_[k].second) << k;
    EXPECT_NEAR(static_cast<double>(reference[k].begin) / kRate, truth_[k].first, 0.05) << k;
  }
  // Odd pieces and a rebase after nearly every block: the same recognitions to the last bit.
  int rebases = 0;
  EXPECT_TRUE(SameList(Run({1, 777, 5000, 1152, 64}, 1, 0, &rebases), reference));
  EXPECT_GT(rebases, 2000);
  // Streams set up as copies of one that was set up and never fed: the same, one after the
  // other; a stream that was fed is no model.
  RecognitionStream model;
  InitStream(model, 0);
  EXPECT_TRUE(SameList(Run({1152}, 1, 0, nullptr, &model), reference));
  EXPECT_TRUE(SameList(Run({5000}, std::numeric_limits<std::uint32_t>::max(), 0, nullptr, &model), reference));
  RecognitionStream fed, copy;
  InitStream(fed, 0);
  EXPECT_GE(fed.Feed(pcm_.data(), 1152), 0);
  EXPECT_EQ(copy.InitLike(fed), 0);
  EXPECT_EQ(copy.Feed(pcm_.data(), 1152), -1);
}

// The arrays a copy made in a SharingScope shares with its model, and those it must not.
std::vector<const void*> SharedArraysOf(const SignalTVSEx* p) {
  return {p->BandRms, p->Spectrum, p->SpectrumByBand, p->Range, p->NSamplePerRange, p->BackNSampleNoTransientRange,
          p->AmpRanges, p->RelDevScalingFactor, p->AbsDevScalingFactor, p->InputFileName};
}

TEST_F(Stream, CopiesInASharingScopeShareThePatternArraysAndOutliveTheModel) {
  const std::vector<StreamRecognition> reference = Run({1152}, std::numeric_limits<std::uint32_t>::max());
  const std::size_t sharedBefore = SharingScope::SharedArrays();
  auto model = std::make_unique<RecognitionStream>();
  InitStream(*model, 0);
  auto a = std::make_unique<RecognitionStream>();
  RecognitionStream b, own;
  {
    SharingScope outer;
    SharingScope inner;  // scopes nest
    ASSERT_EQ(a->InitLike(*model), 1);
  }
  {
    SharingScope sharing;
    ASSERT_EQ(b.InitLike(*model), 1);
  }
  EXPECT_FALSE(SharingScope::Active());
  ASSERT_EQ(own.InitLike(*model), 1);  // outside a scope: duplicates, as always
  std::size_t arrays = 0;
  for (int i = 0; i < model->Engine().NPattern; ++i) {
    const std::vector<const void*> m = SharedArraysOf(model->Engine().TVS[i]);
    const std::vector<const void*> x = SharedArraysOf(a->Engine().TVS[i]);
    const std::vector<const void*> y = SharedArraysOf(b.Engine().TVS[i]);
    const std::vector<const void*> z = SharedArraysOf(own.Engine().TVS[i]);
    for (std::size_t k = 0; k < m.size(); ++k) {
      ASSERT_NE(m[k], nullptr) << i << " " << k;
      EXPECT_EQ(x[k], m[k]) << i << " " << k;
      EXPECT_EQ(y[k], m[k]) << i << " " << k;
      EXPECT_NE(z[k], m[k]) << i << " " << k;
      EXPECT_EQ(SharingScope::Holders(m[k]), 3u);
      EXPECT_EQ(SharingScope::Holders(z[k]), 0u);
      ++arrays;
    }
    EXPECT_NE(a->Engine().TVS[i], model->Engine().TVS[i]);  // the records themselves are each copy's
  }
  EXPECT_EQ(SharingScope::SharedArrays(), sharedBefore + arrays);
  // The model goes first: the copies keep its arrays and recognise to the bit.
  const void* spectrum = model->Engine().TVS[0]->Spectrum;
  model.reset();
  EXPECT_EQ(SharingScope::Holders(spectrum), 2u);
  EXPECT_TRUE(SameList(FeedAll(*a, {4096}), reference));
  a.reset();  // b holds the arrays alone
  EXPECT_EQ(SharingScope::Holders(spectrum), 0u);
  EXPECT_EQ(SharingScope::SharedArrays(), sharedBefore);
  EXPECT_EQ(b.Engine().TVS[0]->Spectrum, spectrum);
  EXPECT_TRUE(SameList(FeedAll(b, {1152}), reference));
  EXPECT_TRUE(SameList(FeedAll(own, {777}), reference));
}

// Copies made, fed and released on several threads at once, the model released while they run.
TEST_F(Stream, CopiesSharingAModelOnSeveralThreads) {
  const std::vector<StreamRecognition> reference = Run({1152}, std::numeric_limits<std::uint32_t>::max());
  const std::size_t sharedBefore = SharingScope::SharedArrays();
  auto model = std::make_unique<RecognitionStream>();
  InitStream(*model, 0);
  const void* spectrum = model->Engine().TVS[1]->SpectrumByBand;
  constexpr int kThreads = 4;
  std::atomic<int> ready{0};
  std::atomic<bool> modelGone{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      RecognitionStream kept;
      {
        SharingScope sharing;
        EXPECT_EQ(kept.InitLike(*model), 1);
        // Copies made and released in a burst, while the other threads do the same.
        for (int k = 0; k < 40; ++k) {
          RecognitionStream passing;
          EXPECT_EQ(passing.InitLike(*model), 1);
          EXPECT_EQ(passing.Engine().TVS[1]->SpectrumByBand, spectrum);
        }
      }
      ++ready;
      while (!modelGone) std::this_thread::yield();
      EXPECT_EQ(kept.Engine().TVS[1]->SpectrumByBand, spectrum);
      EXPECT_TRUE(SameList(FeedAll(kept, {1152 * static_cast<std::size_t>(t + 1)}), reference)) << t;
    });
  while (ready < kThreads) std::this_thread::yield();
  EXPECT_EQ(SharingScope::Holders(spectrum), static_cast<std::size_t>(kThreads) + 1);
  model.reset();
  modelGone = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(SharingScope::SharedArrays(), sharedBefore);
}

TEST_F(Stream, CounterWrapLosesRecognitionsUnlessRebased) {
  const std::vector<StreamRecognition> reference = Run({1152}, std::numeric_limits<std::uint32_t>::max());
  // As if 27 hours had gone before: the engine's 32-bit counter wraps 30 s into the stream.
  const std::uint32_t nearWrap = static_cast<std::uint32_t>((std::uint64_t{1} << 32) - 30 * kRate);
  // Unrebased, every candidate after the wrap is taken for a repeat of the last one before it.
  std::vector<StreamRecognition> beforeWrap;
  for (const auto& r : reference)
    if (r.end < static_cast<std::int64_t>(30 * kRate)) beforeWrap.push_back(r);
  ASSERT_LT(beforeWrap.size(), reference.size());
  EXPECT_TRUE(SameList(Run({1152}, std::numeric_limits<std::uint32_t>::max(), nearWrap), beforeWrap));
  // Rebased (the default threshold), nothing is lost or moved.
  int rebases = 0;
  EXPECT_TRUE(SameList(Run({4096}, RecognitionStream::kDefaultRebaseThreshold, nearWrap, &rebases), reference));
  EXPECT_GE(rebases, 1);
}

// The engine's time-block observers: each block once to each, the one added last first (a layer
// on top of the stream sees the block before the stream's own observer), the view showing the
// block the engine just made; a full list refuses, removal keeps the others in order.
TEST_F(Stream, EngineObserversSeeEachBlockInOrder) {
  std::vector<char*> names;
  for (auto& f : files_) names.push_back(f.data());
  SigRecognitionPar par;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  RecognitionStream stream;
  ASSERT_EQ(stream.Init(&par), 1);
  SignalPattern& e = stream.Engine();
  struct Log {
    std::vector<int> order;
    std::vector<float> first;  // band 0 of each block seen by observer 1
    bool sameAsRing = true;
    const TimeSpectrumEstimation* engine = nullptr;
  } log;
  log.engine = &e;
  struct Tag {
    Log* log;
    int id;
  } one{&log, 1}, two{&log, 2};
  const auto note = [](void* context, const TimeBlockView& block) {
    const Tag* tag = static_cast<const Tag*>(context);
    tag->log->order.push_back(tag->id);
    const TimeSpectrumEstimation* en = tag->log->engine;
    tag->log->sameAsRing = tag->log->sameAsRing && block.Block == en->TimeSpectrum + en->NblockCur * en->Nband &&
                           block.NewestFrame == en->DftPowRingPos && block.FramePowers == en->DftPowRing &&
                           block.Position == en->NCurrentSample && block.Nband == 8 && block.NsampleBlock == 576;
    if (tag->id == 1) tag->log->first.push_back(block.Block[0]);
  };
  int streamBlocks = 0;
  stream.SetBlockObserver([](void* c, RecognitionStream&) { ++*static_cast<int*>(c); }, &streamBlocks);
  EXPECT_EQ(e.AddTimeBlockObserver(note, &one), 1);
  EXPECT_EQ(e.AddTimeBlockObserver(note, &two), 1);
  EXPECT_EQ(e.AddTimeBlockObserver(note, &two), 1);  // already there: not twice
  EXPECT_EQ(e.AddTimeBlockObserver(nullptr, &two), 0);
  ASSERT_EQ(stream.Feed(pcm_.data(), 1152), 0);  // two time blocks
  EXPECT_EQ(log.order, (std::vector<int>{2, 1, 2, 1}));
  EXPECT_EQ(streamBlocks, 2);
  EXPECT_TRUE(log.sameAsRing);
  // Between blocks the view shows the last block made.
  EXPECT_EQ(e.CurrentTimeBlock().Block[0], log.first.back());

  Tag three{&log, 3}, four{&log, 4};
  EXPECT_EQ(e.NBlockObservers, 3);  // the stream's, 1 and 2
  EXPECT_EQ(e.AddTimeBlockObserver(note, &four), 1);
  EXPECT_EQ(e.AddTimeBlockObserver(note, &three), 0);  // the list holds four
  e.RemoveTimeBlockObserver(note, &two);
  e.RemoveTimeBlockObserver(note, &two);  // absent: no-op
  log.order.clear();
  ASSERT_EQ(stream.Feed(pcm_.data() + 1152, 1152), 0);
  EXPECT_EQ(log.order, (std::vector<int>{4, 1, 4, 1}));
  EXPECT_EQ(streamBlocks, 4);
}

TEST(StreamRefusals, NoFeedBeforeInitAndRefusedSets) {
  RecognitionStream stream;
  std::int16_t block[1152] = {};
  EXPECT_EQ(stream.Feed(block, 1152), -1);
  EXPECT_EQ(stream.Finish(), -1);
  char missing[] = "/nonexistent/none.tvs";
  char* names[] = {missing};
  SigRecognitionPar par;
  par.NPattern = 1;
  par.PatternFileNames = names;
  EXPECT_EQ(stream.Init(&par), 0);
  EXPECT_EQ(stream.Init(nullptr), 0);
  EXPECT_EQ(stream.Feed(block, 1152), -1);
}

TEST(PatternMaker, SameBytesAsCreatePatternInAnyPieces) {
  TempDir dir;
  const std::vector<std::int16_t> pcm =
      sptest::ToPcm16(sptest::ToneSteps({523, 1568, 784, 2637, 659, 3136, 1047, 440}, 6615, 0.5));
  const sp_ulong n = static_cast<sp_ulong>(pcm.size());
  std::string source = dir.File("clip.wav");
  const std::string tvs = dir.File("clip.tvs");
  SignalPattern whole;
  ASSERT_EQ(whole.CreatePattern(n, 1000, n - 20000, const_cast<std::int16_t*>(pcm.data()), SP_SAMPLE_S16, source.data(),
                                44100.0f, SP_MODE_ALL_BANDS),
            1);
  const std::vector<unsigned char> expected = sptest::ReadAll(tvs);
  ASSERT_GT(expected.size(), 56u);

  // The same interval fed in uneven pieces (whole buffers and other formats: test_facade.cpp).
  std::remove(tvs.c_str());
  {
    SignalPattern engine;
    PatternMaker maker(engine);
    ASSERT_EQ(maker.Start(1000, static_cast<sp_long>(n - 20000), source.c_str()), 1);
    int wanting = 1;
    for (std::size_t pos = 0, k = 0; pos < pcm.size() && wanting == 1; ++k) {
      const std::size_t take = std::min<std::size_t>(k % 2 ? 3001 : 7, pcm.size() - pos);
      wanting = maker.Feed(pcm.data() + pos, take);
      pos += take;
    }
    // The interval ends 20000 samples before the clip: the maker is done before the input is.
    EXPECT_EQ(wanting, 0);
    EXPECT_TRUE(maker.Written());
    EXPECT_EQ(maker.Feed(pcm.data(), 10), 0);
    EXPECT_EQ(maker.Finish(), 1);
    EXPECT_EQ(sptest::ReadAll(tvs), expected);
  }

  // An interval that ends with the input is completed by the closing silence of Finish.
  SignalPattern engine;
  PatternMaker maker(engine);
  ASSERT_EQ(maker.Start(0, static_cast<sp_long>(n - 1), source.c_str()), 1);
  EXPECT_EQ(maker.Feed(pcm.data(), pcm.size()), 1);
  EXPECT_FALSE(maker.Written());
  EXPECT_EQ(maker.Finish(), 1);
  EXPECT_EQ(maker.Feed(pcm.data(), 1, 3), -1);  // an unknown sample format
}

TEST(SpeedVariantName, FormatAndParse) {
  EXPECT_EQ(sp::SpeedVariantName("dir/jingle.tvs", 1.5), "dir/jingle.speed+1.5.tvs");
  EXPECT_EQ(sp::SpeedVariantName("jingle", -3), "jingle.speed-3");
  std::string main;
  double percent = 0;
  ASSERT_TRUE(sp::ParseSpeedVariantName("a.speed/jingle.speed-1.5.tvs", &main, &percent));
  EXPECT_EQ(main, "a.speed/jingle.tvs");
  EXPECT_EQ(percent, -1.5);
  ASSERT_TRUE(sp::ParseSpeedVariantName("jingle.speed+3", &main, &percent));
  EXPECT_EQ(main, "jingle");
  EXPECT_EQ(percent, 3.0);
  for (const char* other : {"jingle.tvs", "jingle.speed3.tvs", "jingle.speed+.tvs", "jingle.speed+1.5x",
                            "jingle.speed+1x.tvs", "jingle.speed-"})
    EXPECT_FALSE(sp::ParseSpeedVariantName(other, nullptr, nullptr)) << other;
}

}  // namespace
