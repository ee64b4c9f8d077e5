// Relatives found again (detector/relatives.h): a detector set up on the catalogue the process
// last swept (another station) or on one a reload changed takes the pairs of the patterns it knows
// from the table and looks only at the new ones' pairs; a new process does the same with the
// catalogues' records on disk (relatives_cache.h). The relations must be exactly those a first set-up
// finds, in the same order, whatever state the cache is in. And the calibrations' process-wide
// tables, bounded by recent use, keep the catalogue set up last.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <vector>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "../detector/relatives.h"
#include "../detector/recent_table.h"
#include "../detector/relatives_cache.h"
#include "../detector/sketch_screen.h"

namespace {

constexpr int kBands = 8;
constexpr double kRate = 44100.0 / 576.0;

std::vector<float> Random(int n, std::mt19937& rng) {
  std::uniform_real_distribution<float> level(-40.0f, -5.0f);
  std::vector<float> v(static_cast<std::size_t>(n) * kBands);
  for (float& x : v) x = level(rng);
  return v;
}

// A quiet lead-in and tail of 0.3 s, as clips cut from programmes have.
void QuietEdges(std::vector<float>& v) {
  const std::size_t n = v.size() / kBands, edge = static_cast<std::size_t>(0.3 * kRate);
  for (std::size_t k = 0; k < n; ++k)
    if (k < edge || k + edge >= n)
      for (std::size_t b = 0; b < kBands; ++b) v[k * kBands + b] = -60.0f + static_cast<float>(b);
}

// `count` patterns of 4-20 s, `related` of them in groups of 2-4 (versions with another end tag,
// cut-downs to the opening), the rest unrelated.
std::vector<std::vector<float>> Catalogue(int count, int related, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<float>> c;
  for (int made = 0; made < related;) {
    const int group = std::min(2 + made % 3, related - made);
    const int n = static_cast<int>(std::uniform_real_distribution<double>(8.0, 20.0)(rng) * kRate);
    const std::vector<float> body = Random(n, rng);
    for (int g = 0; g < group; ++g) {
      std::vector<float> v = body;
      const int tag = n * 4 / 5;
      if (g == 2) {
        v.resize(static_cast<std::size_t>(n / 2) * kBands);
      } else if (g > 0) {
        const std::vector<float> other = Random(n - tag, rng);
        std::copy(other.begin(), other.end(), v.begin() + static_cast<std::ptrdiff_t>(tag) * kBands);
      }
      QuietEdges(v);
      c.push_back(std::move(v));
    }
    made += group;
  }
  while (static_cast<int>(c.size()) < count) {
    std::vector<float> v = Random(static_cast<int>(std::uniform_real_distribution<double>(4.0, 20.0)(rng) * kRate), rng);
    QuietEdges(v);
    c.push_back(std::move(v));
  }
  return c;
}

// fresh: as a new process (with the cache directory `cache`, "" for none).
std::vector<std::vector<spdet::Relation>> Relations(const std::vector<std::vector<float>>& c, bool fresh,
                                                   const std::string& cache = std::string()) {
  if (fresh) spdet::Relatives::ForgetComparisons();
  std::vector<spdet::PatternLevels> views;
  for (const auto& v : c) views.push_back({static_cast<int>(v.size() / kBands), v.data(), true});
  spdet::Relatives kin;
  kin.Find(views, kBands, kRate, cache);
  std::vector<std::vector<spdet::Relation>> out;
  for (std::size_t i = 0; i < c.size(); ++i) out.push_back(kin.Of(static_cast<int>(i)));
  return out;
}

void ExpectSame(const std::vector<std::vector<spdet::Relation>>& got, const std::vector<std::vector<spdet::Relation>>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].size(), want[i].size()) << "pattern " << i;
    for (std::size_t r = 0; r < got[i].size(); ++r) {
      const spdet::Relation &x = got[i][r], &y = want[i][r];
      EXPECT_EQ(x.other, y.other) << i;
      EXPECT_EQ(x.offset, y.offset) << i;
      EXPECT_EQ(x.differBegin, y.differBegin) << i;
      EXPECT_EQ(x.differEnd, y.differEnd) << i;
      EXPECT_EQ(x.shared, y.shared) << i;
      EXPECT_EQ(x.apart, y.apart) << i;
    }
  }
}

// A reload: patterns removed, one changed (3 dB louder), new ones (a version of an existing spot
// at 100 among them) added, the order moved.
std::vector<std::vector<float>> Reloaded(const std::vector<std::vector<float>>& first) {
  std::vector<std::vector<float>> changed(first.begin() + 3, first.end() - 40);
  for (float& x : changed[20]) x += 3.0f;
  std::mt19937 rng(11);
  std::vector<float> version = first[10];
  const std::vector<float> tag = Random(40, rng);
  std::copy(tag.begin(), tag.end(), version.end() - static_cast<std::ptrdiff_t>(tag.size()) - 30 * kBands);
  changed.insert(changed.begin() + 100, version);
  for (auto& extra : Catalogue(30, 10, 13)) changed.push_back(std::move(extra));
  std::swap(changed[5], changed[changed.size() * 3 / 5]);
  return changed;
}

TEST(Relatives, FoundAgainFromTheTableAsAFirstSetUpFindsThem) {
  const std::vector<std::vector<float>> first = Catalogue(1000, 300, 7);
  const auto want = Relations(first, true);
  std::size_t with = 0;
  for (const auto& r : want) with += r.empty() ? 0 : 1;
  EXPECT_GE(with, 290u);  // the groups (a cut-down of a version can miss its tag's sibling)
  ExpectSame(Relations(first, false), want);  // another station: every pair from the table

  const std::vector<std::vector<float>> changed = Reloaded(first);
  const auto reloaded = Relations(changed, false);
  ExpectSame(reloaded, Relations(changed, true));
  EXPECT_FALSE(reloaded[100].empty());  // the new version found with its spot
  // Back to the first catalogue after the other was swept.
  ExpectSame(Relations(first, false), want);
}

namespace fs = std::filesystem;

std::size_t Count(const std::vector<std::vector<spdet::Relation>>& r) {
  std::size_t n = 0;
  for (const auto& x : r) n += x.size();
  return n;
}

// The records in a cache directory by their member count (0: one that does not read).
std::map<std::size_t, fs::path> Records(const fs::path& dir) {
  std::map<std::size_t, fs::path> out;
  for (const auto& e : fs::directory_iterator(dir / "relatives-catalogues")) {
    spdet::CatalogueRecord r;
    out[spdet::ReadCatalogueRecord(e.path().string(), r) ? r.members.size() : 0] = e.path();
  }
  return out;
}

void Damage(const fs::path& file, bool truncate) {
  if (truncate) {
    fs::resize_file(file, fs::file_size(file) / 2);
  } else {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(fs::file_size(file) / 3));
    f.put('#');
  }
}

// New processes with the cache on disk: a record per catalogue (two catalogues on one directory,
// each found again whichever was set up last; one without a record starts from the nearest), a
// record damaged, truncated or under another catalogue's name, one of another version of the rules or another build, processes
// writing at once, more catalogues than the directory keeps: always the relations of a first set-up.
TEST(Relatives, FoundInANewProcessFromTheCataloguesOnDisk) {
  const fs::path dir = fs::path(::testing::TempDir()) / "relatives-sweep-cache";
  fs::remove_all(dir);
  const std::string cache = dir.string();
  const std::vector<std::vector<float>> first = Catalogue(600, 200, 7);
  const std::vector<std::vector<float>> changed = Reloaded(first);
  const auto want = Relations(first, true), wantChanged = Relations(changed, true);
  ExpectSame(Relations(first, true, cache), want);  // cold: the record written
  ASSERT_EQ(Records(dir).size(), 1u);
  ExpectSame(Relations(first, true, cache), want);
  ExpectSame(Relations(changed, true, cache), wantChanged);  // from the first's: 1 in 10 patterns new
  ExpectSame(Relations(first, false, cache), want);  // the first's pairs the changed one lacks read again
  ExpectSame(Relations(changed, true, cache), wantChanged);
  ExpectSame(Relations(first, true, cache), want);
  const std::map<std::size_t, fs::path> records = Records(dir);
  ASSERT_EQ(records.size(), 2u);
  const fs::path one = records.at(first.size()), two = records.at(changed.size());

  // Damaged or truncated: refused (the other catalogue's record taken instead) and written again.
  spdet::CatalogueRecord r;
  ASSERT_TRUE(spdet::ReadCatalogueRecord(one.string(), r));
  EXPECT_EQ(r.pairs.size(), Count(want) / 2);  // the related pairs only: as small as the relations
  for (const bool truncate : {false, true}) {
    Damage(one, truncate);
    ASSERT_FALSE(spdet::ReadCatalogueRecord(one.string(), r));
    ExpectSame(Relations(first, true, cache), want);
    ASSERT_TRUE(spdet::ReadCatalogueRecord(one.string(), r));
  }
  // The other catalogue's record under this one's name: not taken, written again.
  // (Removed first: MinGW's libstdc++ 12 refuses overwrite_existing with "File exists".)
  fs::remove(one);
  fs::copy_file(two, one);
  ExpectSame(Relations(first, true, cache), want);
  ASSERT_TRUE(spdet::ReadCatalogueRecord(one.string(), r));
  EXPECT_EQ(r.members.size(), first.size());

  // A record that lacks a related pair, set up after the other catalogue: taken as it is when this
  // build wrote it (its pairs are not looked at again: the point of the record), not when another
  // version of the rules or another build did (then compared anew and written again).
  ExpectSame(Relations(changed, true, cache), wantChanged);
  const auto related = std::find_if(r.pairs.begin(), r.pairs.end(), [](const spdet::CataloguePair& p) { return p.related; });
  ASSERT_NE(related, r.pairs.end());
  r.pairs.erase(related);
  ASSERT_TRUE(spdet::WriteCatalogueRecord(one.string(), r));
  EXPECT_EQ(Count(Relations(first, true, cache)), Count(want) - 2);
  for (const int other : {0, 1}) {
    spdet::CatalogueRecord elsewhere = r;
    (other == 0 ? elsewhere.rules : elsewhere.build) += 1;
    ASSERT_TRUE(spdet::WriteCatalogueRecord(one.string(), elsewhere));
    ExpectSame(Relations(first, true, cache), want);
    spdet::CatalogueRecord again;
    ASSERT_TRUE(spdet::ReadCatalogueRecord(one.string(), again));
    EXPECT_EQ(again.pairs.size(), r.pairs.size() + 1);
  }

#if !defined(_WIN32)
  // Processes on one directory at once, two on each catalogue, each setting up both in turn.
  std::vector<pid_t> children;
  for (int n = 0; n < 4; ++n) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool same = true;
      for (int k = 0; k < 3; ++k) {
        const bool firstOne = (n + k) % 2 == 0;
        const auto got = Relations(firstOne ? first : changed, true, cache);
        const auto& expected = firstOne ? want : wantChanged;
        for (std::size_t i = 0; i < got.size() && same; ++i) same = got[i].size() == expected[i].size();
      }
      _exit(same ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_TRUE(spdet::ReadCatalogueRecord(one.string(), r));
  ASSERT_TRUE(spdet::ReadCatalogueRecord(two.string(), r));
#endif

  // More catalogues than the directory keeps. Small ones (a few quick scans) go first, whatever
  // their age: the large catalogues keep their records. Among large ones the least recently used
  // (the changed one) goes. Its use is dated 10 s back: Windows keeps the times it is given to the
  // second, all alike here. The cache layouts of earlier builds beside the records are removed.
  fs::create_directories(dir / "relatives");
  fs::create_directories(dir / "relatives-swept");
  { std::ofstream(dir / "relatives" / "0123456789abcdef") << "old entry"; }
  fs::last_write_time(two, fs::last_write_time(two) - std::chrono::seconds(10));
  ExpectSame(Relations(first, true, cache), want);
  EXPECT_FALSE(fs::exists(dir / "relatives") || fs::exists(dir / "relatives-swept"));
  const int small = spdet::kMaxCatalogueRecords;
  for (int n = 0; n < small; ++n) Relations(Catalogue(40 + n, 10, 100 + n), true, cache);
  std::map<std::size_t, fs::path> kept = Records(dir);
  EXPECT_EQ(kept.size(), static_cast<std::size_t>(spdet::kMaxCatalogueRecords));
  EXPECT_EQ(kept.count(first.size()) + kept.count(changed.size()), 2u);
  std::size_t smallKept = 0;
  for (int n = 0; n < small; ++n) smallKept += kept.count(static_cast<std::size_t>(40 + n));
  EXPECT_EQ(smallKept, static_cast<std::size_t>(spdet::kMaxCatalogueRecords - 2));
  const int large = spdet::kMaxCatalogueRecords - 1;
  for (int n = 0; n < large; ++n) Relations(Catalogue(static_cast<int>(spdet::kCheapCatalogue) + n, 10, 200 + n), true, cache);
  kept = Records(dir);
  EXPECT_EQ(kept.size(), static_cast<std::size_t>(spdet::kMaxCatalogueRecords));
  EXPECT_EQ(kept.count(first.size()), 1u);
  EXPECT_EQ(kept.count(changed.size()), 0u);
  for (int n = 0; n < small; ++n) EXPECT_EQ(kept.count(static_cast<std::size_t>(40 + n)), 0u);
  ExpectSame(Relations(changed, true, cache), wantChanged);
  fs::remove_all(dir);
}

// The screen before the quick look (sketch_screen.h) keeps every pair whose sketches' comparison
// (absolute differences added in floats, in order) stays under the limit, at the limit too where
// its bound is tightest (the differences of each row of one sign), and rules out most pairs of
// unrelated sketches.
TEST(Relatives, ScreenKeepsEveryNearPairAndRulesOutUnrelatedOnes) {
  constexpr int kRows = 24;
  const float limit = 2.0f * kRows * kBands;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> cell(-20.0f, 20.0f), part(0.1f, 1.0f);
  std::vector<std::vector<float>> sketches;
  std::vector<float> compared;  // per pair (2n, 2n + 1), the comparison's sum
  const float scales[] = {0.999f, 0.99999f, 1.0f, 1.00001f};
  for (int n = 0; n < 400; ++n) {
    std::vector<float> a(kRows * kBands), b(a.size()), moves(a.size());
    for (float& x : a) x = cell(rng);
    double total = 0.0;
    for (int r = 0; r < kRows; ++r) {
      const float sign = rng() % 2 ? 1.0f : -1.0f;
      for (int c = 0; c < kBands; ++c) moves[r * kBands + c] = sign * part(rng), total += std::fabs(moves[r * kBands + c]);
    }
    const double scale = limit * scales[n % 4] / total;
    float d = 0.0f;
    for (std::size_t c = 0; c < a.size(); ++c) {
      b[c] = a[c] + static_cast<float>(moves[c] * scale);
      d += std::fabs(a[c] - b[c]);
    }
    compared.push_back(d);
    sketches.push_back(std::move(a));
    sketches.push_back(std::move(b));
  }
  spdet::SketchScreen screen(kRows, kBands, sketches.size());
  for (const auto& sk : sketches) screen.Add(sk);
  std::size_t kept = 0, ruledOut = 0, unrelated = 0;
  for (std::size_t n = 0; n < compared.size(); ++n)
    if (compared[n] < limit) {
      ++kept;
      EXPECT_TRUE(screen.MayBeNear(2 * n, 2 * n + 1, limit)) << n;
    }
  EXPECT_GE(kept, 150u);
  for (std::size_t i = 0; i < 200; i += 2)
    for (std::size_t j = i + 2; j < 200; j += 2) ++unrelated, ruledOut += screen.MayBeNear(i, j, limit) ? 0 : 1;
  EXPECT_GT(ruledOut, unrelated * 95 / 100);
}

}  // namespace

// The process's calibration tables stay bounded however many catalogues a monitor is reloaded
// with, and never lose the catalogue set up last: after its set-up (each pattern looked up, then
// kept when missing) every one of its values is there, whatever came before.
TEST(RecentTable, CalibrationTablesKeepTheCatalogueSetUpLastWithinTheirBound) {
  constexpr std::size_t kLimit = 64, kCatalogue = 32;
  spdet::RecentTable<int> table(kLimit);
  std::uint64_t other = 1000;
  for (int round = 0; round < 5; ++round) {
    for (int k = 0; k < 7 + 13 * round; ++k) table.Keep(other++, -1);  // what reloads brought in between
    for (std::uint64_t key = 0; key < kCatalogue; ++key) {
      int value = 0;
      if (!table.Find(key, value)) table.Keep(key, static_cast<int>(key) * 3);
      else EXPECT_EQ(value, static_cast<int>(key) * 3);
    }
    for (std::uint64_t key = 0; key < kCatalogue; ++key) {
      int value = -5;
      EXPECT_TRUE(table.Find(key, value)) << "round " << round << " key " << key;
      EXPECT_EQ(value, static_cast<int>(key) * 3);
    }
    EXPECT_LE(table.Size(), kLimit);
  }
  table.Keep(3, 99);  // kept again: replaced, not added
  int value = 0;
  ASSERT_TRUE(table.Find(3, value));
  EXPECT_EQ(value, 99);
}
