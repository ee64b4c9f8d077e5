// The detector on harder capture and playback: clips played up to 6 % fast or slow, and the
// tentative shape candidates of patterns a finer check confirms (what a room does to a clip).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "../detector/cut_find.h"
#include "test_support.h"

namespace {

constexpr int kBlock = 1152;
const std::vector<double> kSteps = {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794, 698};

// A 4 s clip of tone steps with an envelope of its own, at a tempo `tempo` times as fast (its
// pitch kept).
std::vector<float> LongClip(double tempo = 1.0) {
  std::vector<double> steps;
  for (int k = 0; k < 3; ++k) steps.insert(steps.end(), kSteps.begin(), kSteps.end());
  std::vector<float> clip = sptest::ToneSteps(steps, static_cast<std::size_t>(std::lround(4410 / tempo)), 0.4);
  for (std::size_t i = 0; i < clip.size(); ++i)
    clip[i] *= static_cast<float>(0.25 + 0.75 * (0.5 + 0.5 * std::sin(static_cast<double>(i) * tempo * 2e-4)));
  return clip;
}

// Played `speed` times as fast (resampled: pitch and tempo), levels flattened as a compressor
// does and the treble cut: what the level distance cannot follow.
std::vector<float> Played(const std::vector<float>& x, double speed) {
  std::vector<float> y(static_cast<std::size_t>(static_cast<double>(x.size()) / speed));
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double at = static_cast<double>(i) * speed;
    const std::size_t k = static_cast<std::size_t>(at);
    const double f = at - static_cast<double>(k);
    y[i] = static_cast<float>((1.0 - f) * x[k] + f * x[std::min(k + 1, x.size() - 1)]);
  }
  double env = 1e-3, lp = 0.0;
  for (float& v : y) {
    env = std::max(std::fabs(static_cast<double>(v)), env * 0.9995);
    lp += 0.35 * (static_cast<double>(v) / std::pow(env + 1e-3, 0.7) * 0.1 - lp);
    v = static_cast<float>(lp);
  }
  return y;
}

// Reports of one pattern file over a stream, the detector tuned and the pattern checked or not.
std::vector<DetectorReport> Scan(const std::string& file, const std::vector<float>& stream, const DetectorTuning& tuning,
                                 bool checked, float* threshold = nullptr) {
  SignalPattern rec;
  PatternDetector det;
  std::string name = file;
  char* names[] = {name.data()};
  SigRecognitionPar par;
  par.NPattern = 1;
  par.PatternFileNames = names;
  EXPECT_EQ(rec.InitSignalPattern(&par), 1);
  det.SetTuning(tuning);
  const char* cnames[] = {name.c_str()};
  EXPECT_EQ(det.Attach(&rec, cnames), 1);
  if (checked) EXPECT_EQ(det.SetChecked(0, 1), 1);
  if (threshold != nullptr) *threshold = det.Pattern(0).ShapeThreshold;
  std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
  for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock)
    EXPECT_GE(rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr), 0);
  det.Finish();
  std::vector<DetectorReport> r;
  for (int i = 0; i < det.ReportCount(); ++i) r.push_back(*det.GetReport(i));
  return r;
}

}  // namespace

// Radio time compression and slow playback: 6 % off either way is found by the shape distance,
// at its place, with the speed change it found. At a tempo 1.5 % off (pitch kept, nothing else
// done to it) either path finds the clip with its speed and the airing's end within 50 ms; the
// level distance alone (the shape distance off) measures the speed when it reports.
TEST(DetectorCapture, ClipsPlayedSixPercentOffAreFoundWithTheirSpeed) {
  sptest::TempDir dir;
  const std::vector<float> clip = LongClip();
  const std::string file = sptest::MakePattern(dir, "clip", clip);
  std::vector<float> stream = sptest::Noise(38 * 44100, 0.003, 5);
  const std::size_t at[4] = {3 * 44100 + 111, 12 * 44100 + 2222, 21 * 44100 + 333, 30 * 44100 + 4444};
  const double speed[4] = {1.06, 0.94, 1.015, 0.985};
  for (int k = 0; k < 4; ++k) sptest::AddAt(stream, k < 2 ? Played(clip, speed[k]) : LongClip(speed[k]), at[k]);
  DetectorTuning levelOnly;
  levelOnly.ShapeMinBlocks = 0;
  const std::vector<DetectorReport> shape = Scan(file, stream, DetectorTuning(), false),
                                    level = Scan(file, stream, levelOnly, false);
  ASSERT_EQ(shape.size(), 4u);
  ASSERT_EQ(level.size(), 2u);
  for (int k = 0; k < 6; ++k) {
    const DetectorReport& r = k < 4 ? shape[k] : level[k - 4];
    const int j = k < 4 ? k : k - 2;  // the airing
    if (k < 2) EXPECT_EQ(r.Method, 1);
    if (k >= 4) EXPECT_EQ(r.Method, 0);
    EXPECT_NEAR(r.Stretch, 100.0 * (speed[j] - 1.0), k < 2 ? 1.0 : 0.5);
    EXPECT_NEAR(static_cast<double>(r.Begin), static_cast<double>(at[j]), 1152.0);
    if (k >= 2) EXPECT_NEAR(static_cast<double>(r.End), at[j] + clip.size() / speed[j], 0.05 * 44100);
    EXPECT_EQ(r.Tentative, 0);
  }
}

// A shape candidate past the threshold but within ShapeCheckedScale times it is reported
// tentative for a checked pattern (the check decides), and not at all for another.
TEST(DetectorCapture, ShapeCandidatesPastTheThresholdAreTentativeForCheckedPatternsOnly) {
  sptest::TempDir dir;
  const std::vector<float> clip = LongClip();
  const std::string file = sptest::MakePattern(dir, "clip", clip);
  std::vector<float> stream = sptest::Noise(14 * 44100, 0.003, 9);
  const std::size_t at = 4 * 44100 + 555;
  sptest::AddAt(stream, Played(clip, 1.02), at);
  // (other tone steps over it: a shape of their own that pulls the distance up)
  sptest::AddAt(stream, sptest::ToneSteps({300, 3500, 1200, 2500, 600, 1800, 2900, 400, 1000, 2200}, 17640, 0.4), at,
                0.3f);
  // First with a lenient threshold, for the distance this occurrence comes at.
  DetectorTuning tuning;
  tuning.CheckedScale = 1.0f;  // (the level distance's tentative candidates are not what is tested)
  tuning.ShapeThreshold = 0.9f;
  tuning.ShapeNegativeScale = 10.0f;
  float lenient = 0.0f;
  const std::vector<DetectorReport> found = Scan(file, stream, tuning, false, &lenient);
  ASSERT_EQ(found.size(), 1u);
  ASSERT_EQ(found[0].Method, 1);
  const float d = found[0].Score;
  ASSERT_GT(d, 0.25f);
  // Then with the threshold at d / 1.5: past it, within twice it.
  tuning.ShapeThreshold = 0.9f * (d / 1.5f) / lenient;
  float strict = 0.0f;
  EXPECT_TRUE(Scan(file, stream, tuning, false, &strict).empty());
  EXPECT_NEAR(strict, d / 1.5f, 0.01f);
  const std::vector<DetectorReport> checked = Scan(file, stream, tuning, true);
  ASSERT_EQ(checked.size(), 1u);
  EXPECT_EQ(checked[0].Tentative, 1);
  EXPECT_EQ(checked[0].Method, 1);
  EXPECT_GT(checked[0].Score, checked[0].Threshold);
  EXPECT_NEAR(static_cast<double>(checked[0].Begin), static_cast<double>(at), 1152.0);
  // ShapeCheckedScale 1: nothing beyond the threshold, checked or not.
  tuning.ShapeCheckedScale = 1.0f;
  EXPECT_TRUE(Scan(file, stream, tuning, true).empty());
}

namespace {

// A drum phrase: 3 s of short struck tones (a hit every 0.19-0.31 s, each decaying in 40 ms)
// with silence between them, the kind of clip whose pauses a room fills.
std::vector<float> DrumPhrase() {
  std::vector<float> clip(3 * 44100, 0.0f);
  const double freqs[] = {180, 2400, 700, 3900, 260, 1500, 5200, 420, 3100, 900, 2000, 330, 4400, 1200};
  std::size_t at = 0;
  for (int k = 0; at + 4410 < clip.size(); ++k) {
    const double f = freqs[k % 14];
    for (std::size_t i = 0; i < 4410; ++i) {
      const double t = static_cast<double>(i) / 44100.0;
      clip[at + i] += static_cast<float>(0.5 * std::exp(-t / 0.04) * std::sin(2 * M_PI * f * t));
    }
    at += static_cast<std::size_t>(44100 * (0.19 + 0.04 * (k % 4)));
  }
  return clip;
}

// Heard in a room of RT60 `rt60` (a Schroeder reverberator: four feedback combs of 29-44 ms and
// two all-passes), the reverberant sound `wet` times the direct one, through a small speaker
// (first-order high-pass at 250 Hz). The test room is a hall heard from its back: the
// reverberant sound ten times the direct one.
std::vector<float> InRoom(const std::vector<float>& x, double rt60, double wet) {
  std::vector<float> y(x.size() + static_cast<std::size_t>(rt60 * 44100), 0.0f);
  const int delays[] = {1283, 1451, 1699, 1931};
  std::vector<double> tail(y.size(), 0.0);
  for (const int d : delays) {
    const double g = std::pow(10.0, -3.0 * d / 44100.0 / rt60);
    std::vector<double> line(y.size(), 0.0);
    for (std::size_t i = 0; i < y.size(); ++i) {
      const double in = i < x.size() ? x[i] : 0.0;
      line[i] = in + (i >= static_cast<std::size_t>(d) ? g * line[i - static_cast<std::size_t>(d)] : 0.0);
      tail[i] += 0.25 * line[i];
    }
  }
  for (const int d : {225, 556}) {
    std::vector<double> out(y.size(), 0.0);
    for (std::size_t i = 0; i < y.size(); ++i) {
      const std::size_t k = static_cast<std::size_t>(d);
      out[i] = -0.5 * tail[i] + (i >= k ? tail[i - k] + 0.5 * out[i - k] : 0.0);
    }
    tail.swap(out);
  }
  double prevIn = 0.0, prevOut = 0.0;
  const double r = 1.0 / (1.0 + 2 * M_PI * 250.0 / 44100.0);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double in = (i < x.size() ? x[i] : 0.0) + wet * tail[i];
    prevOut = r * (prevOut + in - prevIn);
    prevIn = in;
    y[i] = static_cast<float>(prevOut);
  }
  return y;
}

}  // namespace

// A drum phrase heard in a room: the plain view of the pattern comes past its threshold; the
// reverberant view (its levels smeared as a room would) comes less than half as far, finds it
// at its place, firm; other struck sounds in the same room are not taken for it.
TEST(DetectorCapture, TheReverberantViewFindsAClipWhosePausesARoomFilled) {
  sptest::TempDir dir;
  const std::vector<float> clip = DrumPhrase();
  const std::string file = sptest::MakePattern(dir, "drums", clip);
  std::vector<float> stream = sptest::Noise(14 * 44100, 0.002, 3);
  const std::size_t at = 5 * 44100 + 777;
  sptest::AddAt(stream, InRoom(clip, 0.7, 10.0), at);
  // The shape distance alone (the level distance's thresholds held at a hundredth of a dB).
  // First the plain view's distance, with a threshold that lets it through: past the default.
  DetectorTuning shapeOnly;
  shapeOnly.ThresholdMin = shapeOnly.ThresholdMax = 0.01f;
  DetectorTuning lenient = shapeOnly;
  lenient.CheckedScale = 1.0f;
  lenient.ShapeThreshold = 0.9f;
  lenient.ShapeNegativeScale = 10.0f;
  lenient.ReverbRt60 = 0.0f;
  const std::vector<DetectorReport> plain = Scan(file, stream, lenient, false);
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(plain[0].Method, 1);
  EXPECT_NEAR(static_cast<double>(plain[0].Begin), static_cast<double>(at), 1152.0);
  float threshold = 0.0f;
  Scan(file, stream, shapeOnly, false, &threshold);
  EXPECT_GT(plain[0].Score, threshold);
  // With the default shape tuning: found with the view only, at its place, firm.
  DetectorTuning tuning = shapeOnly;
  tuning.ReverbRt60 = 0.0f;
  EXPECT_TRUE(Scan(file, stream, tuning, false).empty());
  tuning.ReverbRt60 = DetectorTuning().ReverbRt60;
  const std::vector<DetectorReport> found = Scan(file, stream, tuning, false);
  ASSERT_EQ(found.size(), 1u) << "plain " << plain[0].Score << " threshold " << threshold;
  EXPECT_NEAR(static_cast<double>(found[0].Begin), static_cast<double>(at), 1152.0);
  EXPECT_LT(found[0].Score, 0.5f * plain[0].Score);
  EXPECT_EQ(found[0].Tentative, 0);
  // Other struck tones in the same room, and the phrase played backwards: nothing.
  std::vector<float> other = sptest::Noise(14 * 44100, 0.002, 4);
  std::vector<float> backwards(clip.rbegin(), clip.rend());
  sptest::AddAt(other, InRoom(backwards, 0.7, 10.0), at);
  sptest::AddAt(other, InRoom(sptest::ToneSteps({300, 3500, 1200, 2500, 600, 1800}, 8820, 0.4), 0.7, 10.0), 10 * 44100);
  EXPECT_TRUE(Scan(file, other, tuning, false).empty());
  EXPECT_TRUE(Scan(file, other, DetectorTuning(), false).empty());
}

// A clip whose second half is 40 dB under its first, heard whole in a room (reverberation, a
// small speaker, noise about 15 dB under its loud half) and found by the shape distance: the
// noise covers the quiet half, which then matches block by block no better than what follows a
// cut (it was reported seen 0.50). The airing is reported whole (seen 1.0, ending where it
// ended). The clip at one level throughout, cut after 65 % in the same room with another sound
// at once, still says where it was cut.
TEST(DetectorCapture, AWholeAiringInARoomIsNotReportedCutShort) {
  sptest::TempDir dir;
  std::vector<double> steps = kSteps;  // (no step sequence repeats: a part matches nowhere else)
  for (double f : kSteps) steps.push_back(f * 1.12);
  steps.insert(steps.end(), kSteps.rbegin(), kSteps.rend());
  const std::vector<float> even = sptest::ToneSteps(steps, 4410, 0.4);
  std::vector<float> quietEnd = even;
  for (std::size_t i = quietEnd.size() / 2; i < quietEnd.size(); ++i) quietEnd[i] *= 0.01f;
  DetectorTuning shapeOnly;  // (the level distance's thresholds held at a hundredth of a dB)
  shapeOnly.ThresholdMin = shapeOnly.ThresholdMax = 0.01f;
  const std::size_t at = 3 * 44100 + 333;
  const auto aired = [&](const std::vector<float>& clip, double played) {
    std::vector<float> stream = sptest::Noise(12 * 44100, 0.05, 9);
    const std::vector<float> part(clip.begin(), clip.begin() + static_cast<long>(played * static_cast<double>(clip.size())));
    sptest::AddAt(stream, InRoom(part, 0.5, 1.0), at);
    sptest::AddAt(stream, InRoom(sptest::ToneSteps({300, 3500, 1200, 2500, 600, 1800}, 8820, 0.4), 0.5, 1.0),
                  at + part.size() + 4410);
    return Scan(sptest::MakePattern(dir, "clip", clip), stream, shapeOnly, false);
  };
  const std::vector<DetectorReport> whole = aired(quietEnd, 1.0);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_NEAR(static_cast<double>(whole[0].Begin), static_cast<double>(at), 1152.0);
  EXPECT_EQ(whole[0].Seen, 1.0f);
  EXPECT_NEAR(static_cast<double>(whole[0].End), static_cast<double>(at + quietEnd.size()), 2205.0);
  const std::vector<DetectorReport> cut = aired(even, 0.65);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_NEAR(static_cast<double>(cut[0].Begin), static_cast<double>(at), 1152.0);
  EXPECT_LE(cut[0].Seen, 0.66f);
  EXPECT_GE(cut[0].Seen, 0.55f);
}

// Where a part was found, blocks the input's floor covers are not judged, and a tail of them is
// no cut (the clip is taken for whole). A tail the floor could carry is a cut however short: the
// blocks of a sweeper followed at once by another like it matched to near its end, and its
// one-block tail, too short to hold 5 % of the clip audible, was taken for covered.
TEST(DetectorCapture, OnlyATailTheFloorCoversIsTakenForCovered) {
  constexpr int kBands = 8, kBlocks = 40, kFrom = 20;
  std::vector<float> clip(kBlocks * kBands), input(clip.size());
  std::uint32_t seed = 5;
  for (float& v : clip) v = -60.0f + static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 26);
  std::vector<const float*> rows(kBlocks);
  const auto cut = [&](int heard, bool quietTail) {
    std::vector<float> c = clip;
    for (int k = 0; k < kBlocks; ++k)
      for (int b = 0; b < kBands; ++b) {
        const std::size_t at = static_cast<std::size_t>(k * kBands + b);
        if (quietTail && k >= heard) c[at] -= 80.0f;  // under the input's floor
        input[at] = k < heard ? c[at] + 3.0f : quietTail ? -57.0f : -c[at];
      }
    for (int k = 0; k < kBlocks; ++k) rows[static_cast<std::size_t>(k)] = input.data() + k * kBands;
    return spdet::FindCut(c.data(), rows.data(), kBlocks, 0, kFrom, kBands, 0, kBands - 1, -0.7, true, true);
  };
  const spdet::Cut covered = cut(30, true);
  EXPECT_LE(covered.heard, 30);
  EXPECT_TRUE(covered.covered);
  const spdet::Cut shortTail = cut(kBlocks - 1, false);
  EXPECT_EQ(shortTail.heard, kBlocks - 1);
  EXPECT_FALSE(shortTail.covered);
}

// A clip cut short and followed at once by a louder sound lacks none of its loud cells after the
// cut, but its loud blocks correlate under 0 there: cut, heard to the cut (moved back 2 %). The
// same clip talked over to its end (its loud blocks under 0 where the voice is loudest, heard
// again between words) and the clip heard whole are whole.
TEST(DetectorCapture, AClipCutShortAndFollowedAtOnceIsReportedWithTheFractionHeard) {
  constexpr int kBands = 8, kBlocks = 150, kCut = 100;
  std::vector<float> clip(kBlocks * kBands), input(clip.size());
  std::uint32_t seed = 9;
  const auto next = [&seed] { return static_cast<int>((seed = seed * 1664525u + 1013904223u) >> 24); };
  for (int k = 0, loud = 0; k < kBlocks; ++k) {  // one loud band that moves every few blocks
    if (k % 5 == 0) loud = next() % kBands;
    for (int b = 0; b < kBands; ++b) clip[static_cast<std::size_t>(k * kBands + b)] = b == loud ? -20.0f : -50.0f - static_cast<float>(next() % 6);
  }
  std::vector<const float*> rows(kBlocks);
  for (int k = 0; k < kBlocks; ++k) rows[static_cast<std::size_t>(k)] = input.data() + k * kBands;
  // other(k): the input at block k is another sound, loud in every band but the clip's loudest.
  const auto heard = [&](const std::function<bool(int)>& other) {
    for (int k = 0; k < kBlocks; ++k) {
      const float* c = clip.data() + k * kBands;
      const int loud = static_cast<int>(std::max_element(c, c + kBands) - c);
      for (int b = 0; b < kBands; ++b)
        input[static_cast<std::size_t>(k * kBands + b)] = !other(k) ? c[b] + 2.0f : b == loud ? -24.0f : -12.0f - static_cast<float>(next() % 4);
    }
    return spdet::FractionHeard(clip.data(), rows.data(), kBlocks, 0, kBlocks / 2, kBands, 0, kBands - 1, false);
  };
  const float cut = heard([](int k) { return k >= kCut; });
  EXPECT_LE(cut, static_cast<float>(kCut) / kBlocks);
  EXPECT_GE(cut, static_cast<float>(kCut) / kBlocks - 0.04f);
  // Talked over: the voice covers the clip for 6 blocks in 10 from the cut on, up to its end.
  EXPECT_EQ(heard([](int k) { return k >= kCut && (k - kCut) % 10 < 6; }), 1.0f);
  EXPECT_EQ(heard([](int) { return false; }), 1.0f);
}

// Reverberation smears each block into the ones after it, so the shape distance's speed fit
// reads a clip heard in a room at its speed as played 0.7-1.7 % fast, and its end came up to
// 55 ms early. The clip's blocks, fitted one by one, find it at its speed: whole airings end
// within 50 ms, their speed 0; an airing really played 6 % fast keeps its speed.
TEST(DetectorCapture, AClipHeardInARoomEndsWhereItEnded) {
  sptest::TempDir dir;
  std::vector<double> steps = kSteps;
  for (double f : kSteps) steps.push_back(f * 1.12);
  steps.insert(steps.end(), kSteps.rbegin(), kSteps.rend());
  DetectorTuning shapeOnly;  // (the level distance's thresholds held at a hundredth of a dB)
  shapeOnly.ThresholdMin = shapeOnly.ThresholdMax = 0.01f;
  const std::size_t at = 3 * 44100 + 333;
  const std::vector<float> clips[2] = {LongClip(), sptest::ToneSteps(steps, 4410, 0.4)};
  const double rt60[2] = {0.55, 0.4};
  for (int k = 0; k < 3; ++k) {
    const std::vector<float>& clip = clips[k % 2];
    std::vector<float> stream = sptest::Noise(14 * 44100, 0.01, 9);
    const std::vector<float> aired = k < 2 ? InRoom(clip, rt60[k], 1.0) : Played(clip, 1.06);
    sptest::AddAt(stream, aired, at);
    const std::vector<DetectorReport> r = Scan(sptest::MakePattern(dir, "clip", clip), stream, shapeOnly, false);
    ASSERT_EQ(r.size(), 1u) << k;
    EXPECT_EQ(r[0].Method, 1);
    EXPECT_EQ(r[0].Seen, 1.0f);
    EXPECT_NEAR(r[0].Stretch, k < 2 ? 0.0 : 6.0, k < 2 ? 0.3 : 1.0) << k;
    const double end = static_cast<double>(at) + (k < 2 ? static_cast<double>(clip.size()) : clip.size() / 1.06);
    EXPECT_NEAR(static_cast<double>(r[0].End), end, 0.05 * 44100) << k;
  }
}
