// The decision layer's shape distance and partial occurrences: clips through a station's
// processing and speed changes, the pre-selection, clips cut short, the report store, and the
// shape matcher under a gate that opens and shuts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "../detector/report_store.h"
#include "../detector/shape_match.h"
#include "detector_test_clips.h"
#include "test_support.h"

using sptest::TempDir;

namespace {

// What a station's processing does to a clip: its levels flattened (loud parts pulled down,
// quiet parts up, as a compressor does), its treble cut, its speed changed.
std::vector<float> Broadcast(const std::vector<float>& x, double speed) {
  std::vector<float> y(static_cast<std::size_t>(static_cast<double>(x.size()) / speed));
  for (std::size_t i = 0; i < y.size(); ++i) {  // speed change by linear interpolation
    const double at = static_cast<double>(i) * speed;
    const std::size_t k = static_cast<std::size_t>(at);
    const double f = at - static_cast<double>(k);
    y[i] = static_cast<float>((1.0 - f) * x[k] + f * x[std::min(k + 1, x.size() - 1)]);
  }
  double env = 1e-3, lp = 0.0;
  for (float& v : y) {  // compressor (gain ~ level^-0.7) and a one-pole low-pass
    env = std::max(std::fabs(static_cast<double>(v)), env * 0.9995);
    lp += 0.35 * (static_cast<double>(v) / std::pow(env + 1e-3, 0.7) * 0.1 - lp);
    v = static_cast<float>(lp);
  }
  return y;
}

// A spot of tone steps of 0.1-0.4 s at 200-4500 Hz (as on the proof-of-airing day), `seconds`
// long; `seed` carries on from one call to the next.
std::vector<float> SpotSteps(double seconds, std::uint32_t& seed) {
  const auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return static_cast<double>(seed) / 4294967296.0;
  };
  const auto length = static_cast<std::size_t>(seconds * 44100);
  std::vector<float> spot;
  while (spot.size() < length) {
    const std::vector<float> step = sptest::ToneSteps({200 + 4300 * next()}, static_cast<std::size_t>((0.1 + 0.3 * next()) * 44100),
                                                      0.18 + 0.18 * next());
    spot.insert(spot.end(), step.begin(), step.end());
  }
  spot.resize(length);
  return spot;
}

// A 4 s clip of tone steps with an envelope of its own for the compressor to flatten.
std::vector<float> LongClip() {
  std::vector<double> steps;
  for (int k = 0; k < 3; ++k) steps.insert(steps.end(), kJingle.begin(), kJingle.end());
  std::vector<float> clip = sptest::ToneSteps(steps, 4410, 0.4);
  for (std::size_t i = 0; i < clip.size(); ++i)
    clip[i] *= static_cast<float>(0.25 + 0.75 * (0.5 + 0.5 * std::sin(static_cast<double>(i) * 2e-4)));
  return clip;
}

}  // namespace

// The level distance loses a processed clip; the shape of its bands over time is still there.
TEST(PatternDetector, ShapeFindsTheClipThroughCompressionEqualisationAndSpeed) {
  TempDir dir;
  const std::vector<float> clip = LongClip();
  Scanner s({MakePattern(dir, "clip", clip), MakePattern(dir, "other", Clip(kOther))});
  ASSERT_TRUE(s.Start());
  ASSERT_GT(s.det.Pattern(0).ShapeThreshold, 0.0f);
  std::vector<float> stream = sptest::Noise(38 * 44100, 0.003, 7);
  const std::size_t at = 5 * 44100 + 300;
  AddAt(stream, Broadcast(clip, 1.02), at);
  // Then twice back to back over a crossfade of 0.1 s, the first under more noise, and again
  // with the second under it.
  const std::size_t apart = clip.size() - 4410;
  for (std::size_t noisy : {std::size_t{0}, apart + 4410}) {
    std::vector<float> twice(2 * clip.size() - 4410);
    AddAt(twice, clip, 0);
    AddAt(twice, clip, apart);
    AddAt(twice, sptest::Noise(apart, 0.06, 8), noisy);
    AddAt(stream, Broadcast(twice, 1.02), noisy == 0 ? 12 * 44100 : 23 * 44100);
  }
  s.Feed(stream);
  std::vector<DetectorReport> r = s.Reports();
  ASSERT_EQ(r.size(), 5u);
  const double begins[5] = {static_cast<double>(at), 12 * 44100, 12 * 44100 + apart / 1.02, 23 * 44100,
                            23 * 44100 + apart / 1.02};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(r[k].Pattern, 0);
    EXPECT_EQ(r[k].Method, 1);
    EXPECT_NEAR(r[k].Stretch, 2.0, 0.7);
    EXPECT_NEAR(static_cast<double>(r[k].Begin), begins[k], 576.0);
    EXPECT_LT(r[k].Score, r[k].Threshold);
  }
}

// The pre-selection only saves work: the reports are those of comparing every pattern at every
// block, while a pattern that is not playing is compared at few blocks. Without the library's
// own comparisons the reports stay the same (less its deviations), and Detach hands the
// library's comparisons back. With the deviations worked out for the reports alone, the library
// compares nothing and the reports carry the very deviations it would have given them.
TEST(PatternDetector, PreselectionAndTakingOverTheLibraryChangeOnlyTheWork) {
  TempDir dir;
  const std::vector<float> clip = LongClip();
  const std::vector<std::string> files = {MakePattern(dir, "clip", clip), MakePattern(dir, "jingle", Clip(kJingle)),
                                          MakePattern(dir, "other", Clip(kOther))};
  std::vector<float> stream = sptest::Noise(40 * 44100, 0.003, 11);
  AddAt(stream, Broadcast(clip, 0.98), 3 * 44100 + 77);
  AddAt(stream, Clip(kJingle), 14 * 44100 + 500);
  AddAt(stream, clip, 22 * 44100 + 1000);
  struct Run {
    std::vector<DetectorReport> reports;
    int compared = 0, blocks = 0;  // blocks at which "other" was compared, of all
    int libraryOn = 0;             // blocks at which the library compared "clip"
    const SignalPattern* engine = nullptr;
  };
  auto run = [&](float gate, int library) {
    Run out;
    Scanner s(files);
    out.engine = &s.rec;
    DetectorTuning tuning;
    tuning.PreselectGate = gate;
    tuning.LibraryDeviations = library;
    s.det.SetTuning(tuning);
    EXPECT_TRUE(s.Start());
    s.det.SetBlockCallback(
        [](void* context, PatternDetector* d) {
          Run* r = static_cast<Run*>(context);
          ++r->blocks;
          r->compared += d->Pattern(2).Score < 1e9f ? 1 : 0;
          r->libraryOn += r->engine->TVS[0]->fUsePattern;
        },
        &out);
    s.Feed(stream);
    out.reports = s.Reports();
    s.det.Detach();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.rec.TVS[i]->fUsePattern, 1);
    return out;
  };
  const Run all = run(-1.0f, 1), selected = run(0.3f, 1), alone = run(0.3f, 0), onDemand = run(0.3f, 2);
  ASSERT_EQ(all.reports.size(), 3u);
  for (const Run* r : {&selected, &alone, &onDemand}) {
    ASSERT_EQ(r->reports.size(), all.reports.size());
    for (std::size_t k = 0; k < all.reports.size(); ++k) {
      EXPECT_EQ(r->reports[k].Pattern, all.reports[k].Pattern);
      EXPECT_EQ(r->reports[k].Begin, all.reports[k].Begin);
      EXPECT_EQ(r->reports[k].Score, all.reports[k].Score);
      EXPECT_EQ(r->reports[k].Method, all.reports[k].Method);
    }
  }
  EXPECT_EQ(alone.reports[2].RelDev, 2.0f);
  EXPECT_NE(selected.reports[2].RelDev, 2.0f);
  for (std::size_t k = 0; k < all.reports.size(); ++k) {
    EXPECT_EQ(onDemand.reports[k].RelDev, selected.reports[k].RelDev) << k;
    EXPECT_EQ(onDemand.reports[k].RelDevMpb, selected.reports[k].RelDevMpb) << k;
  }
  EXPECT_EQ(selected.libraryOn, selected.blocks);
  EXPECT_EQ(onDemand.libraryOn + alone.libraryOn, 0);
  EXPECT_GT(all.compared, all.blocks / 3);
  EXPECT_LT(selected.compared * 4, all.compared) << selected.compared;
}

// A clip cut short (the next sound at once, or the input's end) is reported as a partial
// occurrence with the fraction found, from where it began to where the part found ends, whether
// the part or the whole clip passed; the same clip whole is reported whole, and a part shorter
// than the tuning asks for is not reported at all.
TEST(PatternDetector, ClipsCutShortAreReportedAsPartWithTheFractionFound) {
  TempDir dir;
  std::vector<double> steps = kJingle;
  steps.insert(steps.end(), kOther.begin(), kOther.end());
  for (double f : kJingle) steps.push_back(f * 1.12);
  std::vector<float> clip = sptest::ToneSteps(steps, 4410, 0.4);
  for (std::size_t i = 0; i < clip.size(); ++i)
    clip[i] *= static_cast<float>(0.25 + 0.75 * (0.5 + 0.5 * std::sin(static_cast<double>(i) * 2e-4)));
  const std::string file = MakePattern(dir, "clip", clip);
  auto cut = [&clip](double seen) {
    return std::vector<float>(clip.begin(), clip.begin() + static_cast<long>(seen * static_cast<double>(clip.size())));
  };
  std::vector<float> stream = sptest::Noise(42 * 44100, 0.01, 5);
  const std::size_t whole = 3 * 44100 + 100, cutAt = 12 * 44100 + 700, shortAt = 24 * 44100, lateAt = 33 * 44100;
  AddAt(stream, clip, whole);
  AddAt(stream, cut(0.68), cutAt);
  AddAt(stream, Clip(kOther, 1.3), cutAt + cut(0.68).size());
  AddAt(stream, cut(0.3), shortAt);
  AddAt(stream, Clip(kOther, 1.3), shortAt + cut(0.3).size());
  AddAt(stream, cut(0.8), lateAt);
  AddAt(stream, Clip(kOther, 1.3), lateAt + cut(0.8).size());
  const std::size_t endAt = stream.size() - cut(0.7).size();
  AddAt(stream, cut(0.7), endAt);
  auto scan = [&](float minSeen) {
    Scanner s({file});
    DetectorTuning tuning;
    tuning.PartialMinSeen = minSeen;
    s.det.SetTuning(tuning);
    EXPECT_TRUE(s.Start());
    s.Feed(stream);
    return s.Reports();
  };
  const std::vector<DetectorReport> r = scan(0.5f);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_NEAR(static_cast<double>(r[0].Begin), static_cast<double>(whole), 576.0);
  EXPECT_EQ(r[0].Seen, 1.0f);
  // The part found is counted in whole pieces of the shape comparison (0.84 s): never more
  // than what played (the check after the detector compares what the report says played).
  EXPECT_NEAR(static_cast<double>(r[1].Begin), static_cast<double>(cutAt), 1200.0);
  EXPECT_EQ(r[1].Method, 1);
  EXPECT_GT(r[1].Seen, 0.5f);
  EXPECT_LE(r[1].Seen, 0.68f);
  EXPECT_LE(r[1].End, static_cast<std::int64_t>(cutAt + cut(0.68).size() + 1200));
  EXPECT_LT(r[1].Score, r[1].Threshold);
  // Cut late, the clip passes as a whole; its newest pieces, which did not play, say it was cut,
  // and the blocks where: never past the cut (by pieces alone it came out up to a piece late;
  // a little short costs the check after the detector nothing).
  EXPECT_NEAR(static_cast<double>(r[2].Begin), static_cast<double>(lateAt), 1200.0);
  EXPECT_GE(r[2].Seen, 0.74f);
  EXPECT_LE(r[2].Seen, 0.8f);
  // Cut off by the input's end: judged where the whole clip would have ended.
  EXPECT_NEAR(static_cast<double>(r[3].Begin), static_cast<double>(endAt), 1200.0);
  EXPECT_GT(r[3].Seen, 0.5f);
  EXPECT_LE(r[3].Seen, 0.7f);
  // Whole occurrences only: the clip cut short early is not reported, the one cut late is, whole.
  const std::vector<DetectorReport> wholeOnly = scan(1.0f);
  ASSERT_EQ(wholeOnly.size(), 2u);
  EXPECT_EQ(wholeOnly[0].Begin, r[0].Begin);
  EXPECT_EQ(wholeOnly[1].Seen, 1.0f);
}

// Cut after 80-90 % under a bed, a clip passes whole on the level distance (the bed hides what
// did not play) before the shape path's report of it, which is then a repeat: the report kept
// must say how much was heard, to the block and never past the cut, or the check after the
// detector compares the missing tail and drops the airing. Cut after 60-65 %, a part passes and
// the bed right after the cut still correlates with the clip for a while: the fraction must still
// stop at the cut. The clip heard whole still says 1.0 and ends where it ended.
TEST(PatternDetector, ClipsCutLateUnderABedAreReportedWithTheFractionHeard) {
  TempDir dir;
  std::vector<double> steps = kJingle;
  steps.insert(steps.end(), kOther.begin(), kOther.end());
  for (double f : kJingle) steps.push_back(f * 1.12);
  const std::vector<float> clip = sptest::ToneSteps(steps, 4410, 0.3);
  std::uint32_t seed = 12345;
  const std::vector<float> spot = SpotSteps(4.0, seed);
  const std::vector<const std::vector<float>*> clips = {&clip, &clip, &clip, &clip, &spot, &spot};
  const std::vector<double> cuts = {1.0, 0.8, 0.85, 0.9, 0.6, 0.65};
  std::vector<float> stream = sptest::Noise(10 * 44100 * cuts.size() + 44100, 0.05, 11);
  for (std::size_t k = 0; k < cuts.size(); ++k)
    AddAt(stream, std::vector<float>(clips[k]->begin(), clips[k]->begin() + static_cast<long>(cuts[k] * static_cast<double>(clips[k]->size()))),
          (10 * k + 2) * 44100);
  Scanner s({MakePattern(dir, "clip", clip), MakePattern(dir, "spot", spot)});
  ASSERT_TRUE(s.Start());
  s.Feed(stream);
  const std::vector<DetectorReport> r = s.Reports();
  ASSERT_EQ(r.size(), cuts.size());
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    const auto at = static_cast<double>((10 * k + 2) * 44100);
    const auto length = static_cast<double>(clips[k]->size());
    EXPECT_EQ(r[k].Pattern, clips[k] == &clip ? 0 : 1) << cuts[k];
    EXPECT_NEAR(static_cast<double>(r[k].Begin), at, 1200.0) << cuts[k];
    if (cuts[k] == 1.0) {
      EXPECT_EQ(r[k].Seen, 1.0f);
      EXPECT_NEAR(static_cast<double>(r[k].End), at + length, 2205.0);
    } else {
      EXPECT_LE(r[k].Seen, cuts[k] + 0.01) << cuts[k];
      EXPECT_GE(r[k].Seen, cuts[k] - 0.06) << cuts[k];
      EXPECT_LE(static_cast<double>(r[k].End), at + (cuts[k] + 0.01) * length) << cuts[k];
    }
  }
}

// A clip of 2 s (a sweeper) is compared whole by shape, but its only part, its first piece of
// 1.2 s, is shorter than a whole clip must be for that: cut after 55-60 % with another sound at
// once, it is still reported as a part, never past the cut; heard whole, whole. (A part's begin
// comes from one piece's alignment: within 50 ms.)
TEST(PatternDetector, AShortClipCutShortIsReportedByItsFirstPiece) {
  TempDir dir;
  std::vector<double> steps = kJingle;
  for (double f : kOther) steps.push_back(f * 0.9);
  std::vector<float> clip = sptest::ToneSteps(steps, 4410, 0.4);
  clip.resize(2 * 44100u);
  const std::vector<double> cuts = {1.0, 0.55, 0.6};
  std::vector<float> stream = sptest::Noise(6 * 44100 * cuts.size() + 44100, 0.003, 3);
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    const std::vector<float> part(clip.begin(), clip.begin() + static_cast<long>(cuts[k] * static_cast<double>(clip.size())));
    AddAt(stream, part, (6 * k + 2) * 44100);
    AddAt(stream, Clip(kOther, 1.3), (6 * k + 2) * 44100 + part.size());
  }
  Scanner s({MakePattern(dir, "sweeper", clip), MakePattern(dir, "other", Clip(kOther, 1.3))});
  ASSERT_TRUE(s.Start());
  ASSERT_GT(s.det.Pattern(0).ShapeThreshold, 0.0f);
  s.Feed(stream);
  std::vector<DetectorReport> r;
  for (const DetectorReport& d : s.Reports())
    if (d.Pattern == 0) r.push_back(d);
  ASSERT_EQ(r.size(), cuts.size());
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    EXPECT_NEAR(static_cast<double>(r[k].Begin), static_cast<double>((6 * k + 2) * 44100), 2205.0) << cuts[k];
    if (cuts[k] == 1.0) {
      EXPECT_EQ(r[k].Seen, 1.0f);
    } else {
      EXPECT_LE(r[k].Seen, cuts[k] + 0.01) << cuts[k];
      EXPECT_GE(r[k].Seen, cuts[k] - 0.06) << cuts[k];
    }
  }
}

// An occurrence found by both distances is reported once; a tentative report (which the check
// after the detector may drop) never keeps a firm one of the same occurrence out.
TEST(PatternDetector, TheReportStoreLetsAFirmReportPastATentativeOne) {
  spdet::ReportStore store;
  store.Reset(2);
  const auto report = [](int group, std::int64_t begin, int tentative) {
    DetectorReport r;
    r.Group = group;
    r.Begin = begin;
    r.End = begin + 1000;
    r.Tentative = tentative;
    return r;
  };
  store.Add(report(0, 0, 1));
  store.Add(report(0, 100, 0));  // firm, over the tentative one: added
  store.Add(report(0, 200, 1));  // tentative, over either: a repeat
  store.Add(report(0, 300, 0));  // firm over firm: a repeat
  store.Add(report(1, 0, 0));    // another group
  ASSERT_EQ(store.Count(), 3);
  EXPECT_EQ(store.At(1)->Begin, 100);
  EXPECT_EQ(store.At(2)->Group, 1);
}

// A pattern compared only while its gate is open (a large catalogue's pre-selection opens it now
// and then) must score exactly as one compared at every block, whole and by parts: the coarse
// values it missed while shut are made up when the gate opens again, every one that is read.
TEST(ShapeMatcherScores, AnIntermittentlyComparedPatternScoresAsOneComparedThroughout) {
  constexpr int kBands = 16, kBlocks = 2400;
  std::uint32_t seed = 99;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / 16777216.0f;
  };
  // Levels of tone-step-like blocks: a loud band or two that move every few blocks, over a floor.
  std::vector<float> levels(static_cast<std::size_t>(kBlocks) * kBands);
  int loud = 0, left = 0;
  for (int k = 0; k < kBlocks; ++k) {
    if (left-- <= 0) loud = static_cast<int>(next() * kBands) % kBands, left = 2 + static_cast<int>(next() * 8);
    for (int b = 0; b < kBands; ++b)
      levels[static_cast<std::size_t>(k) * kBands + b] = -60.0f + 6.0f * next() + (b == loud || b == (loud + 5) % kBands ? 40.0f : 0.0f);
  }
  spdet::ShapeTuning tuning;
  tuning.MaxSpeed = 0.06f;
  spdet::ShapeMatcher always, sometimes;
  for (spdet::ShapeMatcher* m : {&always, &sometimes}) {
    m->Configure(kBands, 0, kBands - 1, tuning);
    // Two patterns cut from the stream (found where they are), one of its own.
    m->Add(levels.data() + 300 * kBands, 260, 64);
    m->Add(levels.data() + 1500 * kBands, 330, 64);
    m->Add(levels.data() + 900 * kBands, 200, 64);
    m->Start();
  }
  const int n = always.Count();
  ASSERT_EQ(n, 3);
  ASSERT_TRUE(always.Pattern(1).Usable());
  ASSERT_GT(always.Pattern(1).Reach(), 5);
  const std::vector<float> open(static_cast<std::size_t>(n), 2.0f);
  const std::vector<unsigned char> openFlags(static_cast<std::size_t>(n), 1);
  std::vector<float> gate(static_cast<std::size_t>(n));
  std::vector<unsigned char> flags(static_cast<std::size_t>(n));
  std::vector<int> shutFor(static_cast<std::size_t>(n), 0);
  int compared = 0, found = 0;
  for (int k = 0; k < kBlocks; ++k) {
    for (int i = 0; i < n; ++i) {  // open for a block or a few, shut for up to a whole reach and more
      int& s = shutFor[static_cast<std::size_t>(i)];
      if (--s < -static_cast<int>(1 + next() * 4)) s = static_cast<int>(next() * 40);
      gate[static_cast<std::size_t>(i)] = s < 0 ? 2.0f : 0.0f;
      flags[static_cast<std::size_t>(i)] = s < 0 ? 1 : 0;
    }
    const float* row = levels.data() + static_cast<std::size_t>(k) * kBands;
    always.Push(row, open.data(), openFlags.data());
    sometimes.Push(row, gate.data(), flags.data());
    for (int i = 0; i < n; ++i) {
      if (!flags[static_cast<std::size_t>(i)]) continue;
      const spdet::ShapeScore& a = always.Score(i);
      const spdet::ShapeScore& b = sometimes.Score(i);
      ++compared;
      found += a.Distance < 0.2f;
      ASSERT_EQ(a.Distance, b.Distance) << i << " at " << k;
      ASSERT_EQ(a.Coarse, b.Coarse) << i << " at " << k;
      ASSERT_EQ(a.Shift, b.Shift) << i << " at " << k;
      ASSERT_EQ(a.End, b.End) << i << " at " << k;
      const std::vector<float> thresholds(always.Pattern(i).Parts().size(), 0.6f);
      int partA = -1, partB = -1;
      const spdet::ShapeScore pa = always.Partial(i, thresholds, 0.1f, 1000, &partA);
      const spdet::ShapeScore pb = sometimes.Partial(i, thresholds, 0.1f, 1000, &partB);
      ASSERT_EQ(partA, partB) << i << " at " << k;
      ASSERT_EQ(pa.Distance, pb.Distance) << i << " at " << k;
    }
  }
  EXPECT_GT(compared, kBlocks / 8);
  EXPECT_GT(found, 0);  // the patterns cut from the stream were found where they are
}

// A spot of 15 s cut late and followed at once by the next item passes whole by shape; its newest
// pieces (1.5-3 s each) say it was cut, but only to a piece's end (cut after 82 %: 0.777). The
// blocks place the cut to the block, and where the best-fitting step agrees, that is the
// fraction reported: never past the cut, and short of it by no more than the 2 % it is moved
// back and a block or two.
TEST(PatternDetector, ALongSpotCutLateIsReportedToTheBlockNotToAPiece) {
  TempDir dir;
  std::uint32_t seed = 777;
  const std::vector<float> spot = SpotSteps(15.0, seed);
  const std::vector<double> cuts = {0.76, 0.82, 0.88};
  std::vector<float> stream = sptest::Noise(25 * 44100 * cuts.size() + 44100, 0.04, 4);
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    std::vector<float> part(spot.begin(), spot.begin() + static_cast<long>(cuts[k] * static_cast<double>(spot.size())));
    // Through a station chain: the high bands cut, the peaks squeezed.
    for (std::size_t i = part.size() - 1; i >= 2; --i) part[i] = (part[i] + part[i - 1] + part[i - 2]) / 3.0f;
    for (float& x : part) x = std::tanh(3.0f * x) / 3.0f;
    AddAt(stream, part, (25 * k + 2) * 44100);
    AddAt(stream, SpotSteps(6.0, seed), (25 * k + 2) * 44100 + part.size());
  }
  Scanner s({MakePattern(dir, "spot", spot, 20.0f)});
  DetectorTuning tuning;  // (the level distance held to next to nothing: the shape decides)
  tuning.ThresholdMin = tuning.ThresholdMax = 0.01f;
  s.det.SetTuning(tuning);
  ASSERT_TRUE(s.Start());
  s.Feed(stream);
  const std::vector<DetectorReport> r = s.Reports();
  ASSERT_EQ(r.size(), cuts.size());
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    EXPECT_EQ(r[k].Method, 1) << cuts[k];
    EXPECT_LE(r[k].Seen, cuts[k] + 0.01) << cuts[k];
    EXPECT_GE(r[k].Seen, cuts[k] - 0.03) << cuts[k];
  }
}
