// Discovery of repeated clips: the index of coarse spectral shapes (keys, voting), the search on
// time-spectra, and `sigpat discover` on generated audio (occurrences and boundaries, known
// patterns left out, proposed patterns and evidence, bad command lines, new_repeated_clip
// events raised once per clip by runs over a station's recent recordings).
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "discover_clips.h"
#include "shape_index.h"
#include "sigpat_runner.h"
#include "store.h"
#include "utc.h"
#include "synth.h"
#include "time_spectrum.h"

namespace {

using spindex::kNoKey;

// Levels that wander like sound: every band a random walk around -30 dB.
std::vector<float> Wander(std::size_t blocks, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> step(0.0f, 2.0f);
  std::vector<float> v(blocks * 8);
  float level[8];
  for (float& l : level) l = -30.0f;
  for (std::size_t t = 0; t < blocks; ++t)
    for (int b = 0; b < 8; ++b) {
      level[b] = std::clamp(level[b] + step(rng), -45.0f, -15.0f);
      v[t * 8 + b] = level[b];
    }
  return v;
}

TEST(ShapeIndex, KeysFollowChangesNotLevelsAndSilenceHasNone) {
  const std::vector<float> a = Wander(400, 1);
  std::vector<float> b = a;
  for (std::size_t i = 0; i < b.size(); ++i) b[i] += -6.0f + static_cast<float>(i % 8);  // gain and equalisation
  const auto ka = spindex::MakeKeys(a.data(), 400), kb = spindex::MakeKeys(b.data(), 400);
  EXPECT_EQ(ka, kb);
  const int span = spindex::KeySpan();
  EXPECT_NE(ka[400 - span], kNoKey);
  EXPECT_EQ(ka[400 - span + 1], kNoKey);  // the last blocks have no stretch of their own
  std::vector<float> quiet(400 * 8, -100.0f);
  for (std::uint32_t k : spindex::MakeKeys(quiet.data(), 400)) EXPECT_EQ(k, kNoKey);
}

TEST(ShapeIndex, PairsAndProbesVoteForTheOffsetOfACopy) {
  // Stream 1 holds blocks 100..299 of stream 0 from its block 500 on; stream 0 holds its own
  // blocks 600..699 again at 1000.
  std::vector<float> s0 = Wander(1200, 2), s1 = Wander(900, 3);
  std::copy(s0.begin() + 100 * 8, s0.begin() + 300 * 8, s1.begin() + 500 * 8);
  std::copy(s0.begin() + 600 * 8, s0.begin() + 700 * 8, s0.begin() + 1000 * 8);
  spindex::ShapeIndex index;
  const auto k0 = spindex::MakeKeys(s0.data(), 1200), k1 = spindex::MakeKeys(s1.data(), 900);
  index.Add(k0);
  index.Add(k1);
  index.Build();
  const spindex::VoteTuning tuning;
  const auto found = spindex::Candidates(index.Pairs(tuning, 77), tuning);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].query, 0u);
  EXPECT_EQ(found[0].stream, 0u);
  EXPECT_EQ(found[0].offset, 400);
  EXPECT_NEAR(found[0].first, 600, 5);
  EXPECT_EQ(found[1].stream, 1u);
  EXPECT_EQ(found[1].offset, 400);
  EXPECT_NEAR(found[1].last, 300 - spindex::KeySpan(), 5);
  // A query made of stream 1's copy finds it in both streams.
  const std::vector<std::uint32_t> query(k1.begin() + 500, k1.begin() + 700);
  const auto probed = spindex::Candidates(index.Probe(query, 7, tuning), tuning);
  ASSERT_EQ(probed.size(), 2u);
  EXPECT_EQ(probed[0].offset, 100);
  EXPECT_EQ(probed[1].offset, 500);
  // Keys found too often are not voted on: with one posting allowed, only the keys that the
  // copy's edges made (found in stream 1 alone) still vote.
  spindex::VoteTuning strict = tuning;
  strict.MaxPostings = 1;
  for (const spindex::Vote& v : index.Probe(query, 7, strict)) EXPECT_EQ(v.stream, 1u);
}

// A programme: speech-like sound of wandering loudness, a tone clip three times, a sweep clip
// twice, a chord clip once. Positions in samples.
struct Programme {
  std::vector<float> audio;
  std::vector<std::size_t> tones{441000, 1543500, 2425500}, sweeps{882000, 2028600};
  std::size_t chords = 1234800;
  std::vector<float> tone, sweep, chord;
};

const Programme& MakeProgramme() {
  static const Programme p = [] {
    Programme q;
    namespace syn = sigpat::synth;
    q.audio = syn::SpeechLike(44100 * 64, 0.25, 11);
    for (std::size_t i = 0; i < q.audio.size(); ++i) q.audio[i] *= static_cast<float>(0.6 + 0.4 * std::sin(i / 70000.0));
    q.tone = syn::ToneSteps({{523.0}, {659.0, 1318.0}, {784.0}, {1046.0, 2093.0}, {880.0}, {698.0, 2794.0}}, 0.5, 0.5);
    q.sweep = syn::Sweeps(300.0, 4000.0, 0.7, 3, 0.5);
    q.chord = syn::ToneSteps({{440.0, 554.0}, {587.0, 740.0}, {659.0, 831.0}}, 0.8, 0.5);
    // The clips replace the programme's sound (as a station plays them), not mix into it.
    auto place = [&](const std::vector<float>& clip, std::size_t at) {
      std::copy(clip.begin(), clip.end(), q.audio.begin() + static_cast<long>(at));
    };
    for (std::size_t at : q.tones) place(q.tone, at);
    for (std::size_t at : q.sweeps) place(q.sweep, at);
    place(q.chord, q.chords);
    return q;
  }();
  return p;
}

std::vector<std::int16_t> Pcm(const std::vector<float>& x) {
  std::vector<std::int16_t> out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = static_cast<std::int16_t>(std::lround(std::clamp(x[i], -1.0f, 1.0f) * 32767.0f));
  return out;
}

TEST(DiscoverClips, FindsEveryRecurringClipWithItsBoundariesAndNothingElse) {
  const Programme& p = MakeProgramme();
  const std::vector<std::int16_t> pcm = Pcm(p.audio);
  const sigpat::TimeSpectrum spectrum = sigpat::ComputeTimeSpectrum(pcm.data(), pcm.size());
  EXPECT_EQ(spectrum.blocks(), static_cast<std::size_t>(sigpat::BlockAtSample(static_cast<std::int64_t>(pcm.size()))));
  const auto clips = sigpat::DiscoverClips({&spectrum.levels}, sigpat::DiscoverTuning{});
  ASSERT_EQ(clips.size(), 2u);
  const auto check = [](const sigpat::DiscoveredClip& c, const std::vector<std::size_t>& at, std::size_t length) {
    ASSERT_EQ(c.occurrences.size(), at.size());
    for (std::size_t k = 0; k < at.size(); ++k) {
      EXPECT_NEAR(static_cast<double>(sigpat::BlockStartSample(c.occurrences[k].first)) / 44100.0, at[k] / 44100.0, 0.1);
      EXPECT_NEAR(static_cast<double>(sigpat::BlockStartSample(c.occurrences[k].last + 1)) / 44100.0, (at[k] + length) / 44100.0, 0.1);
    }
    EXPECT_FALSE(c.longRepeat);
    EXPECT_TRUE(c.differs.empty());
  };
  check(clips[0], p.tones, p.tone.size());
  check(clips[1], p.sweeps, p.sweep.size());
  EXPECT_NE(clips[0].family, clips[1].family);
  EXPECT_EQ(clips[0].kind, "music only");
  // Three occurrences asked for: the sweep no longer counts.
  sigpat::DiscoverTuning three;
  three.minCount = 3;
  EXPECT_EQ(sigpat::DiscoverClips({&spectrum.levels}, three).size(), 1u);
  // The tone and the sweep aired back to back twice more agree there as one stretch; they are
  // still two clips (each is aired alone elsewhere), with those airings among their occurrences.
  std::vector<float> audio = p.audio;
  std::vector<std::size_t> tones = p.tones, sweeps = p.sweeps;
  for (const std::size_t at : {std::size_t{44100 * 40}, std::size_t{44100 * 3}}) {
    std::copy(p.tone.begin(), p.tone.end(), audio.begin() + static_cast<long>(at));
    std::copy(p.sweep.begin(), p.sweep.end(), audio.begin() + static_cast<long>(at + p.tone.size()));
    tones.push_back(at);
    sweeps.push_back(at + p.tone.size());
  }
  ASSERT_LE(sweeps.back() + p.sweep.size(), audio.size());
  std::sort(tones.begin(), tones.end());
  std::sort(sweeps.begin(), sweeps.end());
  const std::vector<std::int16_t> pcm2 = Pcm(audio);
  const sigpat::TimeSpectrum spectrum2 = sigpat::ComputeTimeSpectrum(pcm2.data(), pcm2.size());
  const auto split = sigpat::DiscoverClips({&spectrum2.levels}, sigpat::DiscoverTuning{});
  ASSERT_EQ(split.size(), 2u);
  check(split[0], tones, p.tone.size());
  check(split[1], sweeps, p.sweep.size());
}

// Two seconds of tones amid talk heard twice may be chance: they need a third airing. Twice in a
// talk-like programme they are left out; a third airing makes them a clip with all three.
TEST(DiscoverClips, ShortRepeatsOfMusicAloneNeedAThirdAiring) {
  namespace syn = sigpat::synth;
  std::vector<float> audio = syn::SpeechLike(44100 * 40, 0.25, 5);
  const std::vector<float> sting = syn::ToneSteps({{523.0}, {659.0, 1318.0}, {784.0}, {1046.0, 2093.0}}, 0.5, 0.5);
  ASSERT_LT(sting.size(), 44100u * 5 / 2);
  const auto discover = [&](const std::vector<std::size_t>& at) {
    std::vector<float> x = audio;
    for (std::size_t a : at) std::copy(sting.begin(), sting.end(), x.begin() + static_cast<long>(a));
    const std::vector<std::int16_t> pcm = Pcm(x);
    const sigpat::TimeSpectrum spectrum = sigpat::ComputeTimeSpectrum(pcm.data(), pcm.size());
    return sigpat::DiscoverClips({&spectrum.levels}, sigpat::DiscoverTuning{});
  };
  EXPECT_TRUE(discover({44100 * 5, 44100 * 20}).empty());
  const auto clips = discover({44100 * 5, 44100 * 20, 44100 * 32});
  ASSERT_EQ(clips.size(), 1u);
  EXPECT_EQ(clips[0].kind, "music only");
  EXPECT_EQ(clips[0].occurrences.size(), 3u);
}

// A song that fades in over a clip's last moments (from 0.3 s before its end, over 0.4 s) covers
// them partly, another song after each airing: the copies stop agreeing 0.25 s early, and the end
// found reaches on under the rising song.
TEST(DiscoverClips, EndsReachUnderASongFadingIn) {
  const Programme& p = MakeProgramme();
  std::vector<float> audio = p.audio;
  const long fade = 44100 * 4 / 10, under = 44100 * 3 / 10;
  for (std::size_t k = 0; k < p.tones.size(); ++k) {
    const std::vector<float> song = sigpat::synth::SpeechLike(44100 * 3, 0.5, 40 + k);
    const long end = static_cast<long>(p.tones[k] + p.tone.size());
    for (long i = 0; i < static_cast<long>(song.size()); ++i) {
      const float gain = static_cast<float>(std::min<long>(i, fade)) / static_cast<float>(fade);
      audio[static_cast<std::size_t>(end - under + i)] += gain * song[static_cast<std::size_t>(i)];
    }
  }
  const std::vector<std::int16_t> pcm = Pcm(audio);
  const sigpat::TimeSpectrum spectrum = sigpat::ComputeTimeSpectrum(pcm.data(), pcm.size());
  const auto clips = sigpat::DiscoverClips({&spectrum.levels}, sigpat::DiscoverTuning{});
  ASSERT_FALSE(clips.empty());
  const sigpat::DiscoveredClip& c = clips[0];
  ASSERT_EQ(c.occurrences.size(), p.tones.size());
  for (std::size_t k = 0; k < p.tones.size(); ++k) {
    EXPECT_NEAR(static_cast<double>(sigpat::BlockStartSample(c.occurrences[k].first)) / 44100.0, p.tones[k] / 44100.0, 0.1);
    EXPECT_NEAR(static_cast<double>(sigpat::BlockStartSample(c.occurrences[k].last + 1)) / 44100.0,
                (p.tones[k] + p.tone.size()) / 44100.0, 0.2);
  }
}

// The tone clip aired a fourth time; in two of its airings a song fades out over its opening (by
// 1.0 and 1.5 s), so those copies agree with the others only from later on. They are still
// occurrences of the clip, and the clip begins where the airings heard clean begin (not at the
// median of all four, which a covered opening would make late).
TEST(DiscoverClips, OpeningsUnderASongFadingOutJoinTheClipAndLeaveItsStartAlone) {
  const Programme& p = MakeProgramme();
  std::vector<float> audio = p.audio;
  std::vector<std::size_t> tones = p.tones;
  tones.push_back(44100 * 15);
  std::sort(tones.begin(), tones.end());
  std::copy(p.tone.begin(), p.tone.end(), audio.begin() + 44100 * 15);
  const std::size_t covered[] = {tones[1], tones[3]};
  const double fades[] = {1.0, 1.5};
  for (int k = 0; k < 2; ++k) {
    const long fade = std::lround(44100 * fades[k]), before = 44100;
    const std::vector<float> song = sigpat::synth::SpeechLike(static_cast<std::size_t>(before + fade), 0.5, 60 + k);
    for (long i = 0; i < before + fade; ++i) {
      const float gain = static_cast<float>(std::min<long>(before + fade - i, fade)) / static_cast<float>(fade);
      audio[static_cast<std::size_t>(static_cast<long>(covered[k]) - before + i)] += gain * song[static_cast<std::size_t>(i)];
    }
  }
  const std::vector<std::int16_t> pcm = Pcm(audio);
  const sigpat::TimeSpectrum spectrum = sigpat::ComputeTimeSpectrum(pcm.data(), pcm.size());
  const auto clips = sigpat::DiscoverClips({&spectrum.levels}, sigpat::DiscoverTuning{});
  ASSERT_EQ(clips.size(), 2u);  // the tone and the sweep, nothing of the tone's covered airings apart
  const sigpat::DiscoveredClip& c = clips[0];
  ASSERT_EQ(c.occurrences.size(), tones.size());
  for (std::size_t k = 0; k < tones.size(); ++k) {
    EXPECT_NEAR(static_cast<double>(sigpat::BlockStartSample(c.occurrences[k].first)) / 44100.0, tones[k] / 44100.0, 0.1);
    EXPECT_NEAR(static_cast<double>(sigpat::BlockStartSample(c.occurrences[k].last + 1)) / 44100.0,
                (tones[k] + p.tone.size()) / 44100.0, 0.1);
  }
}

// The tone clip (3 s) aired three times more with talk over its last 1.2 s: those airings agree
// with each other as a clip of the tone's opening, and with the tone's clean airings over a part
// of them. They are the tone heard under talk, not a clip of its own.
TEST(DiscoverClips, AiringsUnderTalkAreNoClipOfTheirOpening) {
  const Programme& p = MakeProgramme();
  std::vector<float> audio = p.audio;
  const std::size_t talked[] = {44100 * 2, p.chords, 44100 * 42};
  for (int k = 0; k < 3; ++k) {
    std::copy(p.tone.begin(), p.tone.end(), audio.begin() + static_cast<long>(talked[k]));
    const std::vector<float> talk = sigpat::synth::SpeechLike(44100 * 5 / 2, 0.25, 70 + k);
    const std::size_t from = talked[k] + p.tone.size() - 44100 * 6 / 5;
    for (std::size_t i = 0; i < talk.size(); ++i) audio[from + i] += talk[i];
  }
  const std::vector<std::int16_t> pcm = Pcm(audio);
  const sigpat::TimeSpectrum spectrum = sigpat::ComputeTimeSpectrum(pcm.data(), pcm.size());
  const auto clips = sigpat::DiscoverClips({&spectrum.levels}, sigpat::DiscoverTuning{});
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].occurrences.size(), p.tones.size());
  EXPECT_EQ(clips[1].occurrences.size(), p.sweeps.size());
}

// A clip's tail heard past where its copies agree: it dies away into the channel's background or
// up to the next sound starting at once; sound that holds its level or swells is no tail.
TEST(DiscoverClips, TailsDieAwayIntoTheBackgroundOrUpToTheNextSound) {
  // 200 blocks of sound at -20 dB over a background at -70 dB (every band).
  const auto make = [](const std::vector<float>& after) {
    std::vector<float> v;
    for (int t = 0; t < 200; ++t) v.insert(v.end(), 8, t < 20 ? -70.0f : -20.0f);
    for (const float l : after) v.insert(v.end(), 8, l);
    for (int t = 0; t < 100; ++t) v.insert(v.end(), 8, -70.0f);
    return v;
  };
  const auto tail = [](const std::vector<float>& v) {
    return sigpat::FadingTail(v, sigpat::BackgroundOf(v), 199, 77);
  };
  std::vector<float> fade;  // 1.5 dB a block (115 dB/s): 29 blocks before the background
  for (int t = 1; t <= 34; ++t) fade.push_back(-20.0f - 1.5f * static_cast<float>(t));
  EXPECT_EQ(tail(make(fade)), 29);
  std::vector<float> cut(fade.begin(), fade.begin() + 10);  // the next clip at full level after 10 blocks
  cut.insert(cut.end(), 40, -15.0f);
  EXPECT_EQ(tail(make(cut)), 10);
  std::vector<float> held(fade.begin(), fade.begin() + 4);  // the next song, coming in softly, then a beat
  held.insert(held.end(), 30, -26.0f);
  held.insert(held.end(), 10, -10.0f);
  EXPECT_EQ(tail(make(held)), 0);
  std::vector<float> swell(fade.begin(), fade.begin() + 10);
  for (int t = 1; t <= 20; ++t) swell.push_back(-35.0f + 0.5f * static_cast<float>(t));
  EXPECT_EQ(tail(make(swell)), 0);
}

// A short repeat lies within music when music of its own colour (the bands' levels against their
// mean) surrounds every occurrence; a clip aired between other sound does not.
TEST(DiscoverClips, SongBarsLieWithinMusicOfTheirColourAndClipsDoNot) {
  const float song[8] = {-20, -18, -22, -25, -28, -32, -38, -45}, talk[8] = {-30, -15, -12, -20, -35, -45, -60, -70};
  std::vector<float> levels;
  for (int t = 0; t < 2000; ++t)
    for (int b = 0; b < 8; ++b) levels.push_back(song[b] + 3.0f * static_cast<float>(std::sin(0.37 * t + b)) - 6.0f * (t / 50 % 2));
  sigpat::DiscoveredClip clip;
  clip.occurrences = {{0, 300, 500, 0.0}, {0, 1200, 1400, 0.0}};
  const std::vector<const std::vector<float>*> inputs{&levels};
  EXPECT_TRUE(sigpat::WithinMusic(clip, inputs));
  // The second airing between talk: not within music (one side of music of its colour suffices).
  for (int t = 1000; t < 1200; ++t)
    for (int b = 0; b < 8; ++b) levels[static_cast<std::size_t>(t * 8 + b)] = talk[b];
  EXPECT_TRUE(sigpat::WithinMusic(clip, inputs));
  for (int t = 1400; t < 1600; ++t)
    for (int b = 0; b < 8; ++b) levels[static_cast<std::size_t>(t * 8 + b)] = talk[b] + 5.0f;
  EXPECT_FALSE(sigpat::WithinMusic(clip, inputs));
}

class DiscoverCommand : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    const Programme& p = MakeProgramme();
    ASSERT_TRUE(sigpat::synth::WriteAudioFile(File("day.wav"), p.audio, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(sigpat::synth::WriteAudioFile(File("tone.wav"), p.tone, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    // The day as two consecutive recordings: the first 40 s, and the rest.
    const auto cut = p.audio.begin() + 40 * 44100;
    ASSERT_TRUE(sigpat::synth::WriteAudioFile(File("part1.wav"), std::vector<float>(p.audio.begin(), cut), 44100, 1,
                                              SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(sigpat::synth::WriteAudioFile(File("part2.wav"), std::vector<float>(cut, p.audio.end()), 44100, 1,
                                              SF_FORMAT_WAV | SF_FORMAT_PCM_16));
  }
};

TEST_F(DiscoverCommand, JsonRecordsPatternsAndEvidence) {
  const RunResult r = Run("discover --json -q --out " + File("found") + " " + File("day.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = r.outLines();
  ASSERT_EQ(lines.size(), 2u) << r.out;
  const nlohmann::json j = nlohmann::json::parse(lines[0]);
  for (const char* key : {"id", "length_s", "kind", "family", "pattern", "occurrences"}) EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_NEAR(j["length_s"].get<double>(), 3.0, 0.2);
  ASSERT_EQ(j["occurrences"].size(), 3u);
  EXPECT_EQ(j["occurrences"][0]["input"], File("day.wav"));
  EXPECT_NEAR(j["occurrences"][1]["begin_s"].get<double>(), 35.0, 0.1);
  const std::string pattern = j["pattern"];
  EXPECT_TRUE(std::filesystem::is_regular_file(pattern)) << pattern;
  EXPECT_TRUE(std::filesystem::is_regular_file(File("found/clip-001.wav")));
  // The proposed pattern finds its clip's occurrences.
  const auto found = ScanJson("-p " + pattern + " " + File("day.wav"));
  ASSERT_EQ(found.size(), 3u);
  EXPECT_NEAR(found[2]["begin_s"].get<double>(), 55.0, 0.05);
}

TEST_F(DiscoverCommand, KnownPatternsLeaveTheirClipsOutAndBadInputIsRefused) {
  ASSERT_EQ(Run("create -q " + File("tone.wav") + " -o " + File("tone.tvs")).status, 0);
  RunResult r = Run("discover --json -q -p " + File("tone.tvs") + " " + File("day.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.outLines().size(), 1u) << r.out;
  EXPECT_NEAR(nlohmann::json::parse(r.outLines()[0])["length_s"].get<double>(), 2.1, 0.2);
  r = Run("discover --json -q --max-length 2.5 " + File("day.wav"));
  EXPECT_EQ(r.outLines().size(), 1u);
  EXPECT_EQ(Run("discover --min-count 1 " + File("day.wav")).status, 2);
  EXPECT_EQ(Run("discover --min-length 5 --max-length 2 " + File("day.wav")).status, 2);
  r = Run("discover " + File("missing.wav") + " " + File("day.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.wav"), std::string::npos) << r.err;
  EXPECT_EQ(r.outLines().size(), 2u * 1 + 3 + 2);  // the day's two clips are still reported (lines of both)
}

TEST_F(DiscoverCommand, NewRepeatedClipEventsAreRaisedOnceWhenAClipHasAiredTwice) {
  const std::string db = File("events.db");
  const std::string station = " --db " + db + " --station kfm --out " + File("ev") + " ";
  const sigpat::store::UtcMicros t0 = *sigpat::store::ParseUtc("2026-12-07T06:00:00Z");
  const auto events = [&] {
    auto store = sigpat::store::OpenStore(db);
    return store->Events({"kfm"}, std::nullopt, std::nullopt);
  };
  // The first 40 s: the tone clip has aired twice (10 s, 35 s), the sweep once (20 s).
  RunResult r = Run("discover -q" + station + "--start-utc 2026-12-07T06:00:00Z " + File("part1.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  auto rows = events();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].event, "new_repeated_clip");
  EXPECT_NEAR(static_cast<double>(rows[0].timeUtc - t0) / 1e6, 35.0, 0.1);  // when it aired the second time
  nlohmann::json j = nlohmann::json::parse(rows[0].json);
  EXPECT_EQ(j["count"], 2);
  EXPECT_NEAR(j["length_s"].get<double>(), 3.0, 0.2);
  EXPECT_TRUE(std::filesystem::is_regular_file(j["evidence"].get<std::string>())) << j.dump();
  EXPECT_TRUE(std::filesystem::is_regular_file(j["pattern"].get<std::string>())) << j.dump();
  // The next run covers both recordings: the sweep (20 s, 46 s) is new, the tone is not raised again.
  r = Run("discover -q" + station + "--start-utc 2026-12-07T06:00:00Z " + File("part1.wav") + " " + File("part2.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  rows = events();
  ASSERT_EQ(rows.size(), 2u);
  j = nlohmann::json::parse(rows[1].json);
  EXPECT_NEAR(static_cast<double>(rows[1].timeUtc - t0) / 1e6, 46.0, 0.1);
  EXPECT_NEAR(j["length_s"].get<double>(), 2.1, 0.2);
  ASSERT_EQ(j["airings"].size(), 2u);
  EXPECT_NEAR(static_cast<double>(*sigpat::store::ParseUtc(j["airings"][0]["begin_utc"].get<std::string>()) - t0) / 1e6, 20.0, 0.1);
  // Again over the same audio: nothing new.
  ASSERT_EQ(Run("discover -q" + station + "--start-utc 2026-12-07T06:00:00Z " + File("part1.wav") + " " + File("part2.wav")).status, 0);
  EXPECT_EQ(events().size(), 2u);
  // The station and the time belong to --db; an unreadable recording writes no events.
  EXPECT_EQ(Run("discover --db " + db + " " + File("day.wav")).status, 2);
  EXPECT_EQ(Run("discover --station kfm " + File("day.wav")).status, 2);
  EXPECT_EQ(Run("discover -q" + station + "--start-utc yesterday " + File("day.wav")).status, 2);
  r = Run("discover -q" + station + "--start-utc 2026-12-07T07:00:00Z " + File("missing.wav") + " " + File("day.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no new_repeated_clip events"), std::string::npos) << r.err;
  EXPECT_EQ(events().size(), 2u);
}

}  // namespace
