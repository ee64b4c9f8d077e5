#include "corpus.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "SignalPattern.h"
#include "audio_io.h"
#include "detail_files.h"
#include "speed_change.h"

namespace speval {
namespace {

using sigpat::ChangeSpeed;

// Deterministic generator (splitmix64): the corpus must not depend on the C library's rand.
struct Rng {
  std::uint64_t s;
  explicit Rng(std::uint64_t seed) : s(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double Range(double a, double b) { return a + (b - a) * Uniform(); }
  double Gauss() {
    double u = Uniform(), v = Uniform();
    if (u < 1e-300) u = 1e-300;
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
  }
};

const char* const kIcons = "/usr/share/sounds/sound-icons/";
const char* const kGnome = "/usr/share/sounds/";
const char* const kBubble = "/usr/share/games/frozen-bubble/snd/";

struct Source {
  const char* name;
  std::string path;    // a sound file, or empty for synthesised speech
  const char* voice;   // espeak-ng voice of synthesised speech
  const char* text;
};

// The patterns: short system sounds, game effects and spoken station idents.
std::vector<Source> PatternSources() {
  return {
      {"xylofon", std::string(kIcons) + "xylofon.wav", nullptr, nullptr},
      {"trumpet-1", std::string(kIcons) + "trumpet-1.wav", nullptr, nullptr},
      {"violoncello-7", std::string(kIcons) + "violoncello-7.wav", nullptr, nullptr},
      {"prompt", std::string(kIcons) + "prompt.wav", nullptr, nullptr},
      {"glass-water-1", std::string(kIcons) + "glass-water-1.wav", nullptr, nullptr},
      {"cembalo-1", std::string(kIcons) + "cembalo-1.wav", nullptr, nullptr},
      {"canary-long", std::string(kIcons) + "canary-long.wav", nullptr, nullptr},
      {"phone", std::string(kGnome) + "phone.wav", nullptr, nullptr},
      {"card_shuffle", std::string(kGnome) + "card_shuffle.wav", nullptr, nullptr},
      {"login", std::string(kGnome) + "login.wav", nullptr, nullptr},
      {"applause", std::string(kBubble) + "applause.ogg", nullptr, nullptr},
      {"lose", std::string(kBubble) + "lose.ogg", nullptr, nullptr},
      {"snore", std::string(kBubble) + "snore.ogg", nullptr, nullptr},
      {"ident-aurora", "", "en-us", "You are listening to Radio Aurora, ninety eight point four."},
      {"ident-kestrel", "", "en-gb", "This is Kestrel FM. The sound of the city."},
      // Short transients (under half a second).
      {"percussion-12", std::string(kIcons) + "percussion-12.wav", nullptr, nullptr},
      {"chord-7", std::string(kIcons) + "chord-7.wav", nullptr, nullptr},
      {"cockchafer", std::string(kIcons) + "cockchafer-gentleman-1.wav", nullptr, nullptr},
      {"gummy-cat-2", std::string(kIcons) + "gummy-cat-2.wav", nullptr, nullptr},
      {"email", std::string(kGnome) + "email.wav", nullptr, nullptr},
      {"generic", std::string(kGnome) + "generic.wav", nullptr, nullptr},
      {"rebound", std::string(kBubble) + "rebound.ogg", nullptr, nullptr},
      {"menu_selected", std::string(kBubble) + "menu_selected.ogg", nullptr, nullptr},
      {"typewriter", std::string(kBubble) + "typewriter.ogg", nullptr, nullptr},
  };
}

// Near misses: sounds of the same families that are not patterns.
std::vector<Source> NearMissSources() {
  return {
      {"cembalo-2", std::string(kIcons) + "cembalo-2.wav", nullptr, nullptr},
      {"cembalo-6", std::string(kIcons) + "cembalo-6.wav", nullptr, nullptr},
      {"trumpet-12", std::string(kIcons) + "trumpet-12.wav", nullptr, nullptr},
      {"pisk-up", std::string(kIcons) + "pisk-up.wav", nullptr, nullptr},
      {"electric-piano-3", std::string(kIcons) + "electric-piano-3.wav", nullptr, nullptr},
      {"logout", std::string(kGnome) + "logout.wav", nullptr, nullptr},
      {"error", std::string(kGnome) + "error.wav", nullptr, nullptr},
      {"newroot_solo", std::string(kBubble) + "newroot_solo.ogg", nullptr, nullptr},
      {"ident-borealis", "", "en-us", "You are listening to Radio Borealis, one oh two point one."},
      {"ident-kestrel-news", "", "en-gb", "This is Kestrel FM news, on the hour."},
      {"percussion-28", std::string(kIcons) + "percussion-28.wav", nullptr, nullptr},
      {"percussion-50", std::string(kIcons) + "percussion-50.wav", nullptr, nullptr},
      {"cembalo-10", std::string(kIcons) + "cembalo-10.wav", nullptr, nullptr},
      {"toggled", std::string(kGnome) + "gtk-events/toggled.wav", nullptr, nullptr},
      {"question", std::string(kGnome) + "question.wav", nullptr, nullptr},
      {"stick", std::string(kBubble) + "stick.ogg", nullptr, nullptr},
  };
}

bool MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The held-out set: sound effects of another package, read from its sound catalogue, and
// idents in other voices. Entries are numbered as in the catalogue.
const char* const kCatalogue = "/usr/share/games/openttd/baseset/opensfx/opensfx.cat";

Source Catalogue(const char* name, int entry) {
  char path[64];
  std::snprintf(path, sizeof path, "@%d", entry);
  return {name, path, nullptr, nullptr};
}

std::vector<Source> HoldoutPatternSources() {
  return {
      Catalogue("good-year", 0),        Catalogue("bad-year", 1),        Catalogue("factory-whistle", 3),
      Catalogue("ship-horn", 6),        Catalogue("diesel-departure", 10), Catalogue("sparking", 12),
      Catalogue("level-crossing", 14),  Catalogue("cash-till", 20),      Catalogue("morse", 22),
      Catalogue("oooh", 30),            Catalogue("car-horn", 35),       Catalogue("cow", 37),
      Catalogue("horse", 38),           Catalogue("bubble-generated", 46), Catalogue("bubble-slurped", 49),
      Catalogue("bird-1", 66),          Catalogue("lion-roar", 67),      Catalogue("monkeys", 68),
      // Short transients.
      Catalogue("beep", 21),            Catalogue("wheels-touch", 23),   Catalogue("splat-rail", 32),
      Catalogue("bubble-plop", 47),
      {"ident-harbour", "", "en-us+f2", "You're tuned to Harbour Radio, the best mix of music."},
      {"ident-summit", "", "en-gb+m2", "Summit Radio. Traffic and travel, every fifteen minutes."},
  };
}

std::vector<Source> HoldoutNearMissSources() {
  return {
      Catalogue("ferry-horn", 7),         Catalogue("bird-2", 72),       Catalogue("sheep", 36),
      Catalogue("maglev-departure", 65),  Catalogue("monorail-departure", 71), Catalogue("splat-terraform", 31),
      Catalogue("splat-docks", 2),        Catalogue("toffee-quarry", 48), Catalogue("explosion", 18),
      Catalogue("vehicle-breakdown", 15), Catalogue("steam-departure", 4),
      {"ident-harbour-news", "", "en-us+f2", "You're tuned to Harbour Radio news, at the top of the hour."},
      {"ident-summit-weather", "", "en-gb+m2", "Summit Radio. Weather, every fifteen minutes."},
  };
}

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Writes entry `entry` of the sound catalogue (a table of offset/size pairs; each entry a
// length-prefixed title and a RIFF WAV file) as dir/opensfx-<entry>.wav.
bool ExtractCatalogueEntry(const std::string& dir, int entry, std::string& wav, std::string& error) {
  wav = dir + "/opensfx-" + std::to_string(entry) + ".wav";
  if (Exists(wav)) return true;
  FILE* f = std::fopen(kCatalogue, "rb");
  if (f == nullptr) {
    error = std::string("cannot open ") + kCatalogue + " (install the openttd-opensfx package)";
    return false;
  }
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  bool ok = data.size() >= 8;
  std::uint32_t count = ok ? (Le32(data.data()) & 0x7fffffffu) / 8 : 0;
  std::uint32_t off = 0, size = 0, title = 0;
  ok = ok && static_cast<std::uint32_t>(entry) < count && 8u * count <= data.size();
  if (ok) {
    off = Le32(&data[8u * static_cast<std::uint32_t>(entry)]) & 0x7fffffffu;
    size = Le32(&data[8u * static_cast<std::uint32_t>(entry) + 4]);
    ok = off < data.size();
  }
  if (ok) {
    title = data[off];
    ok = static_cast<std::uint64_t>(off) + 1 + title + size <= data.size();
  }
  if (!ok) {
    error = std::string("unexpected layout of ") + kCatalogue;
    return false;
  }
  FILE* out = std::fopen(wav.c_str(), "wb");
  if (out == nullptr || std::fwrite(&data[off + 1 + title], 1, size, out) != size) {
    if (out != nullptr) std::fclose(out);
    error = "cannot write " + wav;
    return false;
  }
  std::fclose(out);
  return true;
}

// Sentences of the speech background, each spoken by one of several voices.
const char* const kSentences[] = {
    "Good morning, here are the headlines for today.",
    "The council has approved the plan for a new bridge across the river.",
    "Traffic is heavy on the ring road, so allow extra time for your journey.",
    "Temperatures will rise slowly through the afternoon, with showers in the west.",
    "In sport, the home side won the match by two goals to one.",
    "Scientists say the new telescope will be ready by the end of next year.",
    "And now, a look at what is coming up later in the programme.",
    "Our guest this hour has been writing songs for more than thirty years.",
    "Tickets for the summer festival go on sale on Friday morning.",
    "Thank you for calling in, you are on the air.",
    "The market closed higher today, led by shares in energy companies.",
    "Stay with us, there is more music right after the news.",
};
const char* const kVoices[] = {"en-us", "en-gb", "en-us+f3", "en-gb+m3", "en-us+m5", "en-gb-x-rp+f2"};

double Rms(const std::vector<float>& x) {
  double s = 0.0;
  for (float v : x) s += static_cast<double>(v) * v;
  return x.empty() ? 0.0 : std::sqrt(s / static_cast<double>(x.size()));
}

void Scale(std::vector<float>& x, double g) {
  for (float& v : x) v = static_cast<float>(v * g);
}

// Scales to the given RMS level in dBFS.
void Normalise(std::vector<float>& x, double dbfs) {
  double r = Rms(x);
  if (r > 0.0) Scale(x, std::pow(10.0, dbfs / 20.0) / r);
}

// Cuts leading and trailing samples below -60 dBFS.
void Trim(std::vector<float>& x) {
  const float t = 0.001f;
  std::size_t a = 0, b = x.size();
  while (a < b && std::fabs(x[a]) < t) ++a;
  while (b > a && std::fabs(x[b - 1]) < t) --b;
  x = std::vector<float>(x.begin() + static_cast<long>(a), x.begin() + static_cast<long>(b));
}

bool Speak(const std::string& dir, const std::string& name, const char* voice, const char* text,
           std::vector<float>& out, std::string& error) {
  std::string wav = dir + "/" + name + ".speech.wav";
  if (!Exists(wav)) {
    std::string cmd = std::string("espeak-ng -s 165 -v '") + voice + "' -w '" + wav + "' \"" + text + "\"";
    if (std::system(cmd.c_str()) != 0 || !Exists(wav)) {
      error = "cannot synthesise speech with espeak-ng (install the espeak-ng package)";
      return false;
    }
  }
  return ReadMono(wav, out, error);
}

bool LoadSource(const std::string& dir, const Source& s, std::vector<float>& out, std::string& error) {
  if (s.path.empty()) {
    if (!Speak(dir, s.name, s.voice, s.text, out, error)) return false;
  } else {
    std::string path = s.path;
    if (path[0] == '@' && !ExtractCatalogueEntry(dir, std::atoi(path.c_str() + 1), path, error)) return false;
    if (!ReadMono(path, out, error)) return false;
  }
  Trim(out);
  if (out.size() < 2048) {
    error = std::string(s.name) + ": clip too short";
    return false;
  }
  return true;
}

// Makes a pattern file of a whole clip with the library; returns its path.
bool MakePattern(const std::string& dir, const std::string& base, const std::vector<float>& clip,
                 std::string& tvs, std::string& error) {
  const std::vector<std::int16_t> pcm = ToPcm16(clip);
  const std::string source = dir + "/" + base + ".wav";
  SignalPattern engine;
  engine.DefineMaxCreatedPatternDuration(10.0f);
  PatternMaker maker(engine);
  if (!maker.Start(0, static_cast<sp_long>(pcm.size() - 1), source.c_str()) || maker.Feed(pcm.data(), pcm.size()) < 0 ||
      maker.Finish() != 1) {
    error = "cannot create the pattern of " + base;
    return false;
  }
  tvs = engine.GetPatternFileName();
  try {
    sigpat::WriteDetailFor(tvs, pcm);  // as sigpat create does
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

// A background track of at least n samples.
struct Backgrounds {
  std::vector<float> speech;
  std::vector<float> music;
};

bool BuildBackgrounds(const std::string& dir, std::size_t speechSamples, std::size_t musicSamples, Backgrounds& bg,
                      std::string& error) {
  Rng rng(77);
  std::vector<std::vector<float>> sentences;
  const int nSent = static_cast<int>(sizeof kSentences / sizeof kSentences[0]);
  const int nVoice = static_cast<int>(sizeof kVoices / sizeof kVoices[0]);
  for (int i = 0; i < nSent; ++i) {
    std::vector<float> s;
    char name[32];
    std::snprintf(name, sizeof name, "sentence-%02d", i);
    if (!Speak(dir, name, kVoices[i % nVoice], kSentences[i], s, error)) return false;
    Trim(s);
    Normalise(s, -26.0);
    sentences.push_back(std::move(s));
  }
  while (bg.speech.size() < speechSamples) {
    const std::vector<float>& s = sentences[rng.Next() % sentences.size()];
    bg.speech.insert(bg.speech.end(), s.begin(), s.end());
    bg.speech.insert(bg.speech.end(), static_cast<std::size_t>(rng.Range(0.15, 0.7) * kRate), 0.0f);
  }
  const char* const music[] = {"introzik.ogg", "frozen-mainzik-2p.ogg", "frozen-mainzik-1p.ogg"};
  for (const char* m : music) {
    if (bg.music.size() >= musicSamples) break;
    std::vector<float> x;
    if (!ReadMono(std::string(kBubble) + m, x, error)) return false;
    Normalise(x, -26.0);
    bg.music.insert(bg.music.end(), x.begin(), x.end());
  }
  if (bg.music.size() < musicSamples) bg.music.resize(musicSamples, 0.0f);
  return true;
}

// A stretch of n samples of a background track, starting at a position taken from rng.
std::vector<float> Stretch(const std::vector<float>& track, std::size_t n, Rng& rng) {
  std::vector<float> out(n);
  std::size_t at = track.size() > n ? static_cast<std::size_t>(rng.Uniform() * (track.size() - n)) : 0;
  for (std::size_t i = 0; i < n; ++i) out[i] = track[(at + i) % track.size()];
  return out;
}

struct StreamVariant {
  const char* name;
  double gainDb;        // clip gain
  double speed;         // playback speed change, percent
  double noiseSnr;      // white noise over the stream at this SNR to the clip (0: none)
  int mix;              // 0 spliced into the background, 1 under speech, 2 under music
  double mixDb;         // background level relative to the clip when mixed
};

const StreamVariant kVariants[] = {
    {"clean", 0, 0, 0, 0, 0},      {"+6dB", 6, 0, 0, 0, 0},       {"-6dB", -6, 0, 0, 0, 0},
    {"snr20", 0, 0, 20, 0, 0},     {"snr10", 0, 0, 10, 0, 0},     {"speech", 0, 0, 0, 1, -6},
    {"music", 0, 0, 0, 2, -10},    {"speed+1.5", 0, 1.5, 0, 0, 0}, {"speed-1.5", 0, -1.5, 0, 0, 0},
    {"speed+3", 0, 3, 0, 0, 0},    {"speed-3", 0, -3, 0, 0, 0},
};

constexpr double kClipDb = -24.0;  // RMS of every clip as the pattern holds it

void AddWhiteNoise(std::vector<float>& x, double rms, Rng& rng) {
  for (float& v : x) v = static_cast<float>(v + rms * rng.Gauss());
}

// Places the clips one after the other over a background: spliced (the background pauses) or
// mixed (the background goes on under the clip).
void Place(Stream& st, std::vector<float>& out, const std::vector<const std::vector<float>*>& clips,
           const std::vector<int>& ids, const std::vector<std::string>& names, const StreamVariant& v,
           const Backgrounds& bg, Rng& rng, double lead, double gapMin, double gapMax) {
  out.clear();
  for (std::size_t k = 0; k < clips.size(); ++k) {
    const std::vector<float>& track = (v.mix == 2 || (v.mix == 0 && (k % 2) == 1)) ? bg.music : bg.speech;
    std::size_t gap = static_cast<std::size_t>((k == 0 ? lead : rng.Range(gapMin, gapMax)) * kRate);
    std::vector<float> g = Stretch(track, gap, rng);
    out.insert(out.end(), g.begin(), g.end());
    std::vector<float> c = *clips[k];
    Scale(c, std::pow(10.0, v.gainDb / 20.0));
    if (v.mix != 0) {
      std::vector<float> under = Stretch(track, c.size(), rng);
      double r = Rms(under);
      if (r > 0) Scale(under, std::pow(10.0, (kClipDb + v.mixDb) / 20.0) / r);
      for (std::size_t i = 0; i < c.size(); ++i) c[i] += under[i];
    }
    st.truth.push_back({ids[k], static_cast<std::int64_t>(out.size()), static_cast<std::int64_t>(c.size()), names[k]});
    out.insert(out.end(), c.begin(), c.end());
  }
  std::vector<float> tail = Stretch(v.mix == 2 ? bg.music : bg.speech, static_cast<std::size_t>(lead * kRate), rng);
  out.insert(out.end(), tail.begin(), tail.end());
  if (v.noiseSnr > 0) AddWhiteNoise(out, std::pow(10.0, (kClipDb - v.noiseSnr) / 20.0), rng);
}

}  // namespace

const char* CorpusPackages(bool holdout) {
  return holdout ? "openttd-opensfx frozen-bubble-data espeak-ng" : "sound-icons gnome-audio frozen-bubble-data espeak-ng";
}

// The corpus; BuildCorpus turns the resampler's exceptions into an error message.
static bool Build(const CorpusOptions& options, Corpus& corpus, std::string& error) {
  const std::string& dir = options.workDir;
  if (!MakeDir(dir)) {
    error = "cannot create " + dir;
    return false;
  }
  corpus = Corpus();

  // Patterns and their speed-shifted variants.
  std::vector<Source> sources = options.holdout ? HoldoutPatternSources() : PatternSources();
  for (const Source& s : sources) {
    CorpusPattern p;
    p.name = s.name;
    if (!LoadSource(dir, s, p.clip, error)) return false;
    Normalise(p.clip, kClipDb);
    if (!MakePattern(dir, p.name, p.clip, p.tvs, error)) return false;
    if (options.speedVariants) {
      for (double sp : {-3.0, -1.5, 1.5, 3.0}) {
        std::string tvs;
        if (!MakePattern(dir, sp::SpeedVariantName(p.name, sp), ChangeSpeed(p.clip, sp), tvs, error)) return false;
        p.variants.push_back(tvs);
        p.speeds.push_back(sp);
      }
    }
    corpus.patterns.push_back(std::move(p));
  }
  std::vector<std::vector<float>> nearMiss;
  std::vector<std::string> nearNames;
  for (const Source& s : options.holdout ? HoldoutNearMissSources() : NearMissSources()) {
    std::vector<float> c;
    if (!LoadSource(dir, s, c, error)) return false;
    Normalise(c, kClipDb);
    nearMiss.push_back(std::move(c));
    nearNames.push_back(s.name);
  }

  const double scale = options.quick ? 0.5 : 1.0;
  Backgrounds bg;
  if (!BuildBackgrounds(dir, static_cast<std::size_t>(200 * kRate), static_cast<std::size_t>(240 * kRate), bg, error))
    return false;

  Rng rng(20240611);
  const int nPat = static_cast<int>(corpus.patterns.size());
  // Streams with insertions: one per variant, each pattern once, in an order of its own. The
  // quick version takes every other pattern per variant (alternating halves).
  int vi = 0;
  for (const StreamVariant& v : kVariants) {
    if (!options.speedVariants && v.speed != 0.0) continue;
    Stream st;
    st.name = std::string("insert-") + v.name;
    st.variant = v.name;
    std::vector<int> order;
    for (int i = 0; i < nPat; ++i)
      if (!options.quick || (i % 2) == (vi % 2)) order.push_back(i);
    for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[rng.Next() % i]);
    std::vector<std::vector<float>> shifted;
    shifted.reserve(order.size());
    std::vector<const std::vector<float>*> clips;
    std::vector<std::string> names;
    for (int id : order) {
      shifted.push_back(v.speed != 0.0 ? ChangeSpeed(corpus.patterns[id].clip, v.speed) : corpus.patterns[id].clip);
      names.push_back(corpus.patterns[id].name);
    }
    for (auto& c : shifted) clips.push_back(&c);
    std::vector<float> out;
    Place(st, out, clips, order, names, v, bg, rng, 2.5, 2.0, 4.0);
    st.pcm = ToPcm16(out);
    corpus.streams.push_back(std::move(st));
    ++vi;
  }

  // Near misses, spliced clean into speech and music.
  {
    Stream st;
    st.name = "near-misses";
    st.variant = "near-miss";
    std::vector<const std::vector<float>*> clips;
    std::vector<int> ids;
    for (auto& c : nearMiss) {
      clips.push_back(&c);
      ids.push_back(-1);
    }
    std::vector<float> out;
    Place(st, out, clips, ids, nearNames, kVariants[0], bg, rng, 2.5, 2.0, 4.0);
    st.pcm = ToPcm16(out);
    corpus.streams.push_back(std::move(st));
  }

  // Streams without any clip.
  struct Free {
    const char* name;
    double seconds;
  };
  const Free frees[] = {{"free-speech", 90}, {"free-music", 90}, {"free-mix", 40}, {"free-noise", 20}, {"free-quiet", 20}};
  for (const Free& f : frees) {
    Stream st;
    st.name = f.name;
    st.variant = "clip-free";
    std::size_t n = static_cast<std::size_t>(f.seconds * scale * kRate);
    std::vector<float> out;
    std::string nm = f.name;
    if (nm == "free-speech") out = Stretch(bg.speech, n, rng);
    else if (nm == "free-music") out = Stretch(bg.music, n, rng);
    else if (nm == "free-mix") {
      out = Stretch(bg.speech, n, rng);
      std::vector<float> m = Stretch(bg.music, n, rng);
      for (std::size_t i = 0; i < n; ++i) out[i] += 0.7f * m[i];
    } else if (nm == "free-noise") {
      // Pink-ish noise: white noise through a one-pole low-pass, mixed with white.
      out.assign(n, 0.0f);
      double y = 0;
      for (std::size_t i = 0; i < n; ++i) {
        double w = rng.Gauss();
        y = 0.98 * y + 0.02 * w;
        out[i] = static_cast<float>(0.5 * y + 0.05 * w);
      }
      Normalise(out, -26.0);
    } else {
      out.assign(n, 0.0f);
      AddWhiteNoise(out, std::pow(10.0, -70.0 / 20.0), rng);
    }
    st.pcm = ToPcm16(out);
    corpus.streams.push_back(std::move(st));
  }

  corpus.seconds = 0;
  for (const Stream& st : corpus.streams) {
    corpus.seconds += static_cast<double>(st.pcm.size()) / kRate;
    if (options.writeWav) WriteWav16(dir + "/" + st.name + ".wav", st.pcm, 44100);
  }
  return true;
}

bool BuildCorpus(const CorpusOptions& options, Corpus& corpus, std::string& error) {
  try {
    return Build(options, corpus, error);
  } catch (const std::exception& e) {  // the resampler's failure
    error = e.what();
    return false;
  }
}

}  // namespace speval
