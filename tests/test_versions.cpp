// Versions among patterns, tested apart from the detector: which patterns are relatives and where
// they differ (detector/relatives.h), and one report per airing among them (version_arbiter.h).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <utility>
#include <vector>

#include "../detector/relatives.h"
#include "../detector/relatives_cache.h"
#include "../detector/version_arbiter.h"

namespace {

constexpr int kBands = 8;
constexpr int kBlock = 576;
constexpr double kRate = 44100.0 / kBlock;

// Levels in dB, oldest block first (the tests' order): a random spectrum moving like speech and music.
using Blocks = std::vector<std::vector<float>>;

Blocks Random(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> level(-40.0f, -5.0f);
  Blocks b(static_cast<std::size_t>(n), std::vector<float>(kBands));
  for (auto& block : b)
    for (float& v : block) v = level(rng);
  return b;
}

Blocks With(Blocks b, int first, const Blocks& part) {
  for (std::size_t k = 0; k < part.size(); ++k) b[static_cast<std::size_t>(first) + k] = part[k];
  return b;
}

// As the detector keeps them: block-major, newest first.
struct Levels {
  std::vector<float> data;
  int n = 0;
  explicit Levels(const Blocks& b, float gain = 0.0f) : n(static_cast<int>(b.size())) {
    for (int k = n - 1; k >= 0; --k)
      for (float v : b[static_cast<std::size_t>(k)]) data.push_back(v + gain);
  }
  spdet::PatternLevels View() const { return {n, data.data(), true}; }
};

const spdet::Relation* Find(const spdet::Relatives& kin, int a, int b) {
  for (const spdet::Relation& r : kin.Of(a))
    if (r.other == b) return &r;
  return nullptr;
}

TEST(Relatives, FoundFromTheLevelsWithWhereTheyDiffer) {
  const Blocks spot = Random(600, 1);
  const Levels a(spot);
  const Levels tag(With(spot, 480, Random(100, 2)), 6.0f);  // another end tag, 6 dB louder
  const Levels middle(With(spot, 200, Random(150, 3)));      // another middle section
  const Blocks cut(spot.begin(), spot.begin() + 300);        // a cut-down: the opening and a tag of its own
  const Levels cutdown(With(With(cut, 200, Random(100, 4)), 0, Blocks(spot.begin(), spot.begin() + 200)));
  const Levels other(Random(600, 5));
  const Levels copy(spot);
  spdet::Relatives kin;
  kin.Find({a.View(), tag.View(), middle.View(), cutdown.View(), other.View(), copy.View()}, kBands, kRate);

  const spdet::Relation* r = Find(kin, 0, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->offset, 0);
  EXPECT_NEAR(r->differBegin, 480, 6);
  EXPECT_NEAR(r->differEnd, 580, 6);  // up to the end the pattern compares
  EXPECT_GT(r->apart, spdet::Relatives::kApartDb);
  EXPECT_FALSE(kin.Indistinct(*r));
  r = Find(kin, 2, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_NEAR(r->differBegin, 200, 6);
  EXPECT_NEAR(r->differEnd, 350, 6);
  // The long one differs from its cut-down from the cut-down's own tag to its end.
  r = Find(kin, 0, 3);
  ASSERT_NE(r, nullptr);
  EXPECT_NEAR(r->differBegin, 200, 6);
  EXPECT_EQ(r->differEnd, 598);
  r = Find(kin, 3, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_NEAR(r->differBegin, 200, 6);
  EXPECT_EQ(r->differEnd, 298);
  // A cut-down that keeps the opening and a longer end of its long version is aligned by the
  // starts (an airing is placed from its start): it differs after the opening.
  Blocks keeps(spot.begin(), spot.begin() + 180);
  keeps.insert(keeps.end(), spot.begin() + 380, spot.end());
  const Levels both(keeps);
  spdet::Relatives cut2;
  cut2.Find({a.View(), both.View()}, kBands, kRate);
  r = Find(cut2, 1, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->offset, 0);
  EXPECT_NEAR(r->differBegin, 180, 6);
  // Unrelated content is no relative; an identical copy cannot be told apart.
  EXPECT_TRUE(kin.Of(4).empty());
  r = Find(kin, 0, 5);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(kin.Indistinct(*r));
  // Symmetric, and the same again from the process's table.
  spdet::Relatives again;
  again.Find({a.View(), tag.View(), middle.View(), cutdown.View(), other.View(), copy.View()}, kBands, kRate);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(again.Of(i).size(), kin.Of(i).size()) << i;
  // A version that changes is compared anew: its tag now matches the spot's.
  const Levels same(spot, 6.0f);
  spdet::Relatives changed;
  changed.Find({a.View(), same.View()}, kBands, kRate);
  ASSERT_EQ(changed.Of(0).size(), 1u);
  EXPECT_TRUE(changed.Indistinct(changed.Of(0)[0]));
}

// The comparisons kept on disk: read back as found, refused whole when damaged, and a pattern
// that changes is compared anew.
TEST(Relatives, KeptOnDiskBetweenRuns) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / "relatives-cache";
  fs::remove_all(dir);
  const Blocks spot = Random(600, 51);
  const Levels a(spot), tag(With(spot, 480, Random(100, 52))), other(Random(500, 53));
  auto find = [&](const Levels& second) {
    spdet::Relatives::ForgetComparisons();  // as a new process
    spdet::Relatives kin;
    kin.Find({a.View(), second.View(), other.View()}, kBands, kRate, dir.string());
    return kin;
  };
  const spdet::Relatives first = find(tag);
  ASSERT_EQ(first.Of(0).size(), 1u);
  std::vector<fs::path> records;
  for (const auto& e : fs::directory_iterator(dir / "relatives-catalogues")) records.push_back(e.path());
  ASSERT_EQ(records.size(), 1u);  // one file for the catalogue
  const fs::path record = records[0];
  auto same = [&](const spdet::Relatives& kin) {
    ASSERT_EQ(kin.Of(0).size(), 1u);
    const spdet::Relation &x = kin.Of(0)[0], &y = first.Of(0)[0];
    EXPECT_EQ(x.other, y.other);
    EXPECT_EQ(x.differBegin, y.differBegin);
    EXPECT_EQ(x.differEnd, y.differEnd);
    EXPECT_EQ(x.apart, y.apart);
    EXPECT_EQ(x.shared, y.shared);
  };
  same(find(tag));
  // The record as written reads back (three members, the related pair the only one past the quick
  // look); one with a byte more or one less is refused.
  spdet::CatalogueRecord r;
  ASSERT_TRUE(spdet::ReadCatalogueRecord(record.string(), r));
  EXPECT_EQ(r.members.size(), 3u);
  ASSERT_EQ(r.pairs.size(), 1u);
  EXPECT_TRUE(r.pairs[0].related);
  {
    std::ofstream out(record, std::ios::app);
    out << "x";
  }
  EXPECT_FALSE(spdet::ReadCatalogueRecord(record.string(), r));
  same(find(tag));  // compared anew and written again
  EXPECT_TRUE(spdet::ReadCatalogueRecord(record.string(), r));
  fs::resize_file(record, fs::file_size(record) - 1);
  EXPECT_FALSE(spdet::ReadCatalogueRecord(record.string(), r));
  // The version changes (its tag now the spot's): another catalogue, and no longer told apart.
  const spdet::Relatives changed = find(Levels(spot, 6.0f));
  ASSERT_EQ(changed.Of(0).size(), 1u);
  EXPECT_TRUE(changed.Indistinct(changed.Of(0)[0]));
  fs::remove_all(dir);
}

// The same bed under another voice: two spots of one length alike at their lead-in and tail (the bed),
// different by a few dB in every block between (no stretch shared outright).
TEST(Relatives, LookAlikesOfOneLengthDifferEverywhere) {
  auto spot = [](unsigned seed, float range, const Blocks* base) {
    Blocks b = Random(600, seed);
    std::mt19937 rng(seed + 100);
    std::uniform_real_distribution<float> voice(-4.0f, 4.0f);
    for (std::size_t k = 0; k < b.size(); ++k)
      for (std::size_t band = 0; band < kBands; ++band) {
        float& v = b[k][band];
        v = -20.0f + (v + 22.5f) * range / 35.0f;
        if (base != nullptr) v = (*base)[k][band] + voice(rng);
        if (k < 30 || k >= 570) v = -30.0f + static_cast<float>(band);  // the bed alone, 10 dB under
      }
    return b;
  };
  const Blocks one = spot(41, 10.0f, nullptr);
  const Blocks shorter(one.begin(), one.begin() + 580);
  const Levels v1(one), v2(spot(42, 10.0f, &one)), unrelated(spot(43, 20.0f, nullptr)), cut(shorter);
  spdet::Relatives kin;
  kin.Find({v1.View(), v2.View(), unrelated.View(), cut.View()}, kBands, kRate);
  const spdet::Relation* r = Find(kin, 1, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->offset, 0);
  EXPECT_EQ(r->differBegin, 0);
  EXPECT_EQ(r->differEnd, 598);
  EXPECT_GT(r->apart, spdet::Relatives::kApartDb);
  EXPECT_LT(r->apart, spdet::Relatives::kLookAlikeDb);
  EXPECT_FALSE(kin.Indistinct(*r));
  EXPECT_TRUE(kin.Of(2).empty());   // another spot of the same length and lead-in
  EXPECT_EQ(Find(kin, 3, 1), nullptr);  // 3 % shorter: no look-alike (it is v1's cut-down)

  // An airing of the second reported as the first: the second, decided on the whole.
  spdet::VersionArbiter arbiter;
  arbiter.SetUp(&kin, {v1.View(), v2.View(), unrelated.View(), cut.View()}, {"v1", "v2", "x", "cut"},
                {kBands, kBlock, 0, kRate});
  Blocks input = spot(42, 10.0f, &one);
  input.resize(700, std::vector<float>(kBands, -90.0f));
  for (std::size_t k = 0; k < input.size(); ++k) arbiter.Push(input[k].data(), static_cast<std::int64_t>(k) + 1);
  DetectorReport report;
  report.Pattern = report.Group = 0;
  report.End = 600 * kBlock;
  arbiter.Hold(report);
  std::vector<DetectorReport> out;
  arbiter.Release(true, [&out](const DetectorReport& x) { out.push_back(x); });
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Pattern, 1);
  EXPECT_EQ(out[0].Undecided, 0);
  EXPECT_EQ(out[0].RunnerUp, 0);
}

// Two versions that differ in an end tag, an arbiter over them, and the input fed to it.
struct Airing {
  Blocks spot = Random(400, 11);
  Blocks tagB = Random(60, 12);
  Levels a{spot};
  Levels b{With(spot, 320, tagB)};
  spdet::Relatives kin;
  spdet::VersionArbiter arbiter;
  std::vector<DetectorReport> out;

  Airing() {
    kin.Find({a.View(), b.View()}, kBands, kRate);
    arbiter.SetUp(&kin, {a.View(), b.View()}, {"a.tvs", "b.tvs"}, {kBands, kBlock, 0, kRate});
  }
  void Feed(const Blocks& input) {
    for (std::size_t k = 0; k < input.size(); ++k) arbiter.Push(input[k].data(), static_cast<std::int64_t>(k) + 1);
  }
  DetectorReport Report(int pattern, float confidence = 0.5f) const {
    DetectorReport r;
    r.Pattern = r.Group = pattern;
    r.Begin = 0;
    r.End = 400 * kBlock;
    r.Confidence = confidence;
    return r;
  }
  void Release(bool all = true) {
    arbiter.Release(all, [this](const DetectorReport& r) { out.push_back(r); });
  }
};

TEST(VersionArbiter, OneReportPerAiringDecidedWhereTheVersionsDiffer) {
  {  // Both versions reported over an airing of b, a the firmer on the shared part: b, over a.
    Airing t;
    ASSERT_FALSE(t.kin.Of(0).empty());
    Blocks input = With(t.spot, 320, t.tagB);
    input.resize(480, std::vector<float>(kBands, -90.0f));
    t.Feed(input);
    EXPECT_TRUE(t.arbiter.Wants(t.Report(0)));
    t.arbiter.Hold(t.Report(0, 0.9f));
    t.arbiter.Hold(t.Report(1, 0.4f));
    t.Release();
    ASSERT_EQ(t.out.size(), 1u);
    EXPECT_EQ(t.out[0].Pattern, 1);
    EXPECT_EQ(t.out[0].Undecided, 0);
    EXPECT_EQ(t.out[0].RunnerUp, 0);
    EXPECT_STREQ(t.out[0].RunnerUpName, "a.tvs");
    EXPECT_GT(t.out[0].Margin, spdet::VersionArbiter::kMinMargin);
    // A later report of the same airing by a relative is dropped.
    t.arbiter.Hold(t.Report(0));
    t.Release();
    EXPECT_EQ(t.out.size(), 1u);
  }
  {  // Only a reported over an airing of b: b is reported, placed as a was.
    Airing t;
    t.Feed(With(t.spot, 320, t.tagB));
    t.arbiter.Hold(t.Report(0));
    t.Release();
    ASSERT_EQ(t.out.size(), 1u);
    EXPECT_EQ(t.out[0].Pattern, 1);
    EXPECT_STREQ(t.out[0].Name, "b.tvs");
    EXPECT_EQ(t.out[0].Begin, 0);
  }
  // Only the long version reported over an airing of its cut-down: the cut-down, whole, its own
  // length; also where the stream ends with the cut-down, before the long version would have.
  for (const int pad : {500, 300}) {
    const Blocks spot = Random(400, 21);
    const Blocks shortOne = With(Blocks(spot.begin(), spot.begin() + 300), 200, Random(100, 22));
    const Levels longLevels(spot), shortLevels(shortOne);
    spdet::Relatives kin;
    kin.Find({shortLevels.View(), longLevels.View()}, kBands, kRate);
    spdet::VersionArbiter arbiter;
    arbiter.SetUp(&kin, {shortLevels.View(), longLevels.View()}, {"short.tvs", "long.tvs"}, {kBands, kBlock, 0, kRate});
    Blocks input = shortOne;
    input.resize(static_cast<std::size_t>(pad), std::vector<float>(kBands, -90.0f));
    for (std::size_t k = 0; k < input.size(); ++k) arbiter.Push(input[k].data(), static_cast<std::int64_t>(k) + 1);
    DetectorReport r;
    r.Pattern = r.Group = 1;
    r.End = 400 * kBlock;
    r.Seen = 0.5f;
    arbiter.Hold(r);
    std::vector<DetectorReport> out;
    arbiter.Release(true, [&out](const DetectorReport& x) { out.push_back(x); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Pattern, 0);
    EXPECT_EQ(out[0].Undecided, 0);
    EXPECT_EQ(out[0].End, 300 * kBlock);
    EXPECT_EQ(out[0].Seen, 1.0f);
  }
  {  // The other version's tag moves against the input (correlation under zero): a clear margin.
    // Tags whose spectrum moves slowly, b's the mirror of a's: b's is below zero at every shift.
    Blocks tagA(80, std::vector<float>(kBands)), tagB = tagA;
    for (int k = 0; k < 80; ++k)
      for (int b = 0; b < kBands; ++b) {
        tagA[static_cast<std::size_t>(k)][static_cast<std::size_t>(b)] = -20.0f + 10.0f * std::sin(0.08f * k + b);
        tagB[static_cast<std::size_t>(k)][static_cast<std::size_t>(b)] = -25.0f - 10.0f * std::sin(0.08f * k + b);
      }
    const Blocks spot = With(Random(400, 31), 320, tagA);
    const Levels la(spot), lb(With(spot, 320, tagB));
    spdet::Relatives kin;
    kin.Find({la.View(), lb.View()}, kBands, kRate);
    spdet::VersionArbiter arbiter;
    arbiter.SetUp(&kin, {la.View(), lb.View()}, {"a.tvs", "b.tvs"}, {kBands, kBlock, 0, kRate});
    Blocks input = spot;
    input.resize(480, std::vector<float>(kBands, -90.0f));
    for (std::size_t k = 0; k < input.size(); ++k) arbiter.Push(input[k].data(), static_cast<std::int64_t>(k) + 1);
    DetectorReport r;
    r.Pattern = r.Group = 1;
    r.End = 400 * kBlock;
    arbiter.Hold(r);
    std::vector<DetectorReport> out;
    arbiter.Release(true, [&out](const DetectorReport& x) { out.push_back(x); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Pattern, 0);
    EXPECT_EQ(out[0].Undecided, 0);
    EXPECT_GT(out[0].Margin, 1.5f);
  }
  {  // An airing of a cut after 90 %, other audio after it, reported by a part that says 0.5:
    // the fraction heard to the block (never past the cut), and the end with it; one cut after 95 %
    // reported whole: cut; b's airing whole stays whole.
    Airing t;
    Blocks input(t.spot.begin(), t.spot.begin() + 360);
    const Blocks after = Random(140, 15);
    input.insert(input.end(), after.begin(), after.end());
    t.Feed(input);
    DetectorReport part = t.Report(0);
    part.Seen = 0.5f;
    part.End = 200 * kBlock;
    t.arbiter.Hold(part);
    t.Release();
    ASSERT_EQ(t.out.size(), 1u);
    EXPECT_EQ(t.out[0].Pattern, 0);
    EXPECT_NEAR(t.out[0].Seen, 360.0 / 399.0, 0.03);
    EXPECT_LE(t.out[0].Seen, 360.0f / 399.0f);
    EXPECT_NEAR(static_cast<double>(t.out[0].End), t.out[0].Seen * 399.0 * kBlock, 1.0);
    // Cut after 75 % through a station chain: from half on, the blocks' spectra no longer follow the
    // clip (compressed quiet passages), only their levels do; the cut is still where the levels stop.
    Airing chain;
    Blocks squashed(chain.spot.begin(), chain.spot.begin() + 300);
    const Blocks noise = Random(100, 16);
    for (int k = 200; k < 300; ++k) {
      std::vector<float>& block = squashed[static_cast<std::size_t>(k)];
      const std::vector<float>& shape = noise[static_cast<std::size_t>(k - 200)];
      float level = 0.0f, other = 0.0f;
      for (int b = 0; b < kBands; ++b) level += block[static_cast<std::size_t>(b)] / kBands, other += shape[static_cast<std::size_t>(b)] / kBands;
      for (int b = 0; b < kBands; ++b) block[static_cast<std::size_t>(b)] = shape[static_cast<std::size_t>(b)] - other + level;
    }
    squashed.insert(squashed.end(), after.begin(), after.end());
    chain.Feed(squashed);
    chain.arbiter.Hold(part);
    chain.Release();
    ASSERT_EQ(chain.out.size(), 1u);
    EXPECT_NEAR(chain.out[0].Seen, 300.0 / 399.0, 0.03);
    // Cut by the end of the stream: nothing heard after it.
    Airing ended;
    ended.Feed(Blocks(ended.spot.begin(), ended.spot.begin() + 360));
    ended.arbiter.Hold(part);
    ended.Release();
    ASSERT_EQ(ended.out.size(), 1u);
    EXPECT_NEAR(ended.out[0].Seen, 360.0 / 399.0, 0.03);
    // Cut after 95 % and reported whole (the level distance's report): cut, to the block.
    Airing late;
    Blocks lateInput(late.spot.begin(), late.spot.begin() + 380);
    lateInput.insert(lateInput.end(), after.begin(), after.end());
    late.Feed(lateInput);
    late.arbiter.Hold(late.Report(0));
    late.Release();
    ASSERT_EQ(late.out.size(), 1u);
    EXPECT_NEAR(late.out[0].Seen, 380.0 / 399.0, 0.03);
    EXPECT_LE(late.out[0].Seen, 380.0f / 399.0f);
    Airing whole;
    Blocks aired = With(whole.spot, 320, whole.tagB);
    aired.insert(aired.end(), after.begin(), after.end());
    whole.Feed(aired);
    whole.arbiter.Hold(whole.Report(1));
    whole.Release();
    ASSERT_EQ(whole.out.size(), 1u);
    EXPECT_EQ(whole.out[0].Seen, 1.0f);
    EXPECT_EQ(whole.out[0].End, 400 * kBlock);
  }
  {  // The tag drowned (talked over): one undecided report naming both.
    Airing t;
    t.Feed(With(t.spot, 320, Random(80, 13)));
    t.arbiter.Hold(t.Report(0));
    t.arbiter.Hold(t.Report(1));
    t.Release();
    ASSERT_EQ(t.out.size(), 1u);
    EXPECT_EQ(t.out[0].Undecided, 1);
    ASSERT_NE(t.out[0].CandidateNames[0], nullptr);
    ASSERT_NE(t.out[0].CandidateNames[1], nullptr);
    EXPECT_EQ(t.out[0].CandidateNames[2], nullptr);
  }
  // An airing of b cut before its tag, the programme going on: what follows happens to move a
  // little like a's tag (wa of it, and wb of b's, in other audio). Undecided, naming both: naming a
  // alone would be a version that did not air. Neither tag heard well (a's under kMinHeard, ahead
  // by more than kMinMargin); or both over kMinHeard, a ahead by less than kMinMargin.
  for (const auto& [wa, wb] : {std::pair{0.2f, 0.0f}, std::pair{0.28f, 0.27f}}) {
    Airing t;
    Blocks after = Random(230, 14);
    for (int k = 0; k < 60; ++k)
      for (int b = 0; b < kBands; ++b) {
        float& v = after[static_cast<std::size_t>(70 + k)][static_cast<std::size_t>(b)];
        v = wa * t.spot[static_cast<std::size_t>(320 + k)][static_cast<std::size_t>(b)] +
            wb * t.tagB[static_cast<std::size_t>(k)][static_cast<std::size_t>(b)] + (1.0f - wa - wb) * v;
      }
    Blocks input(t.spot.begin(), t.spot.begin() + 250);
    input.insert(input.end(), after.begin(), after.end());
    t.Feed(input);
    const float ma = t.arbiter.Match(0, 320, 380, 0.0, 1.0), mb = t.arbiter.Match(1, 320, 380, 0.0, 1.0);
    EXPECT_EQ(ma < spdet::VersionArbiter::kMinHeard, wb == 0.0f);
    EXPECT_EQ(ma - mb > spdet::VersionArbiter::kMinMargin, wb == 0.0f);
    EXPECT_GT(ma - mb, 0.06f);  // far enough ahead to have left b out
    DetectorReport cut = t.Report(1);
    cut.End = 250 * kBlock;
    cut.Seen = 0.62f;
    t.arbiter.Hold(cut);
    t.Release();
    ASSERT_EQ(t.out.size(), 1u);
    EXPECT_EQ(t.out[0].Undecided, 1);
    ASSERT_NE(t.out[0].CandidateNames[0], nullptr);
    ASSERT_NE(t.out[0].CandidateNames[1], nullptr);
  }
  {  // Not decided before the longest relative could have ended (unless the stream ends).
    Airing t;
    const Blocks input = t.spot;
    t.Feed(Blocks(input.begin(), input.begin() + 300));
    t.arbiter.Hold(t.Report(0));
    t.Release(false);
    EXPECT_TRUE(t.out.empty());
    t.Feed(input);
    for (int k = 400; k < 460; ++k) t.arbiter.Push(input[0].data(), k + 1);
    t.Release(false);
    ASSERT_EQ(t.out.size(), 1u);
    EXPECT_EQ(t.out[0].Pattern, 0);
  }
  {  // Airings of the two versions one after the other: one report each.
    Airing t;
    Blocks input = t.spot;
    const Blocks second = With(t.spot, 320, t.tagB);
    input.insert(input.end(), second.begin(), second.end());
    t.Feed(input);
    DetectorReport later = t.Report(0);
    later.Begin = 400 * kBlock, later.End = 800 * kBlock;
    t.arbiter.Hold(t.Report(0));
    t.arbiter.Hold(later);
    t.Release();
    ASSERT_EQ(t.out.size(), 2u);
    EXPECT_EQ(t.out[0].Pattern + t.out[1].Pattern, 1);  // a, then b
  }
}

}  // namespace
