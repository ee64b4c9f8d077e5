// sigpat discover: repeated clips found in recordings without patterns (discover_clips.h), the
// clips that known patterns match left out, each with a proposed pattern and an evidence clip.
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "discover_clips.h"
#include "discover_events.h"
#include "messages.h"
#include "output.h"
#include "signals.h"
#include "time_spectrum.h"
#include "utc.h"

namespace sigpat {

namespace fs = std::filesystem;

namespace {

constexpr double kLeadSeconds = 2.0;       // audio kept before a proposed pattern (the engine settles)
constexpr double kEvidenceMargin = 0.5;    // seconds of context either side of an evidence clip
constexpr double kEvidenceMaxSeconds = 20.0;  // an evidence clip shows at most the clip's first 20 s

// Samples in memory as an input (the stretch a pattern is made from).
class MemorySource : public FrameSource {
 public:
  explicit MemorySource(const std::vector<std::int16_t>& s) : s_(s) {}
  std::size_t Read(double* out, std::size_t n) override {
    std::size_t k = 0;
    for (; k < n && at_ < s_.size(); ++k) out[k] = static_cast<double>(s_[at_++]) / 32768.0;
    return k;
  }

 private:
  const std::vector<std::int16_t>& s_;
  std::size_t at_ = 0;
};

struct Extract {
  std::size_t clip = 0;
  std::int64_t from = 0, to = 0;  // samples of the input, to excluded
  std::vector<std::int16_t> samples;
};

double Seconds(std::int64_t samples) { return static_cast<double>(samples) / kLibraryRate; }

void WriteWav(const std::string& path, const std::int16_t* s, std::size_t n) {
  SF_INFO info{};
  info.samplerate = kLibraryRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) throw Error("cannot write " + path + ": " + sf_strerror(nullptr));
  const sf_count_t written = sf_write_short(f, s, static_cast<sf_count_t>(n));
  const int closed = sf_close(f);
  if (written != static_cast<sf_count_t>(n) || closed != 0) throw Error("cannot write " + path + ": the disk refused the data");
}

}  // namespace

int RunDiscover(const DiscoverArgs& args) {
  if (args.inputs.empty()) throw UsageError("discover needs at least one input");
  if (args.minLength <= 0.0 || (args.maxLength > 0.0 && args.maxLength < args.minLength))
    throw UsageError("--max-length must not be shorter than --min-length, and --min-length must be positive");
  if (args.minCount < 2) throw UsageError("--min-count must be at least 2 (a clip recurs)");
  if (std::count(args.inputs.begin(), args.inputs.end(), std::string("-")) > 0)
    throw UsageError("discover reads its inputs twice or more: give files, not standard input");
  store::UtcMicros startUtc = 0;
  if (!args.db.empty()) {
    if (args.station.empty() || args.startUtc.empty())
      throw UsageError("--db needs --station and --start-utc (the station's recordings and when they begin)");
    const auto t = store::ParseUtc(args.startUtc);
    if (!t) throw UsageError("--start-utc \"" + args.startUtc + "\" is not an ISO 8601 UTC time (like 2026-12-07T06:00:00Z)");
    startUtc = *t;
  } else if (!args.station.empty() || !args.startUtc.empty()) {
    throw UsageError("--station and --start-utc name the station of --db's events: give --db too");
  }
  if (!args.out.empty()) {
    std::error_code ec;
    fs::create_directories(args.out, ec);
    if (!fs::is_directory(args.out, ec)) throw Error(args.out + ": cannot make the output directory");
  }
  const auto started = std::chrono::steady_clock::now();
  int status = kExitOk;

  // Time-spectra of every input that can be read.
  std::vector<TimeSpectrum> spectra;
  std::vector<std::string> names;
  for (const std::string& name : args.inputs) {
    if (StopRequested()) return kExitFailure;
    try {
      std::unique_ptr<AudioInput> in = AudioInput::Open(name, args.audio);
      spectra.push_back(ComputeTimeSpectrum(*in));
      names.push_back(name);
    } catch (const Error& e) {
      PrintError(e);
      status = kExitFailure;
    }
  }
  DiscoverTuning tuning;
  tuning.minLength = args.minLength;
  tuning.maxLength = args.maxLength;
  tuning.minCount = args.minCount;
  std::vector<const std::vector<float>*> levels;
  for (const TimeSpectrum& s : spectra) levels.push_back(&s.levels);
  DiscoverStats stats;
  std::vector<DiscoveredClip> clips = DiscoverClips(levels, tuning, &stats);

  // What the known patterns find is not new: a clip most of whose occurrences they match is left out.
  if (!args.known.empty()) {
    ScanArgs scanArgs;
    scanArgs.patterns = args.known;
    std::vector<std::string> files = WithSpeedVariants(GatherPatternFiles(scanArgs));
    Scanner scanner(files, ScanOptions{});
    std::map<int, std::vector<std::pair<std::int64_t, std::int64_t>>> found;  // by input: samples
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::unique_ptr<AudioInput> in = AudioInput::Open(names[i], args.audio);
      scanner.Scan(*in, [&](const Detection& d) { found[static_cast<int>(i)].push_back({d.report.Begin, d.report.End}); });
    }
    std::erase_if(clips, [&](const DiscoveredClip& c) {
      std::size_t matched = 0;
      for (const ClipOccurrence& o : c.occurrences) {
        const std::int64_t b = BlockStartSample(o.first), e = BlockStartSample(o.last + 1);
        for (const auto& [db, de] : found[o.input])
          if (std::min(e, de) - std::max(b, db) > (e - b) / 2) {
            ++matched;
            break;
          }
      }
      return 2 * matched >= c.occurrences.size();
    });
  }

  // Proposed patterns and evidence: the cleanest occurrence of every clip, read in one pass per input.
  std::vector<std::string> patternOf(clips.size()), evidenceOf(clips.size());
  if (!args.out.empty()) {
    std::map<int, std::vector<Extract>> wanted;
    for (std::size_t c = 0; c < clips.size(); ++c) {
      const ClipOccurrence& o = clips[c].occurrences[static_cast<std::size_t>(clips[c].cleanest)];
      const std::int64_t b = BlockStartSample(o.first), e = BlockStartSample(o.last + 1);
      Extract x;
      x.clip = c;
      x.from = std::max<std::int64_t>(0, b - static_cast<std::int64_t>(kLeadSeconds * kLibraryRate));
      x.to = e + static_cast<std::int64_t>(kEvidenceMargin * kLibraryRate);
      wanted[o.input].push_back(std::move(x));
    }
    for (auto& [input, extracts] : wanted) {
      std::unique_ptr<AudioInput> in = AudioInput::Open(names[static_cast<std::size_t>(input)], args.audio);
      std::vector<std::int16_t> buf(65536);
      std::int64_t at = 0;
      for (std::size_t n; (n = in->Read(buf.data(), buf.size())) > 0; at += static_cast<std::int64_t>(n))
        for (Extract& x : extracts) {
          const std::int64_t lo = std::max(x.from, at), hi = std::min(x.to, at + static_cast<std::int64_t>(n));
          if (lo < hi) x.samples.insert(x.samples.end(), buf.begin() + (lo - at), buf.begin() + (hi - at));
        }
      for (Extract& x : extracts) {
        const DiscoveredClip& clip = clips[x.clip];
        const ClipOccurrence& o = clip.occurrences[static_cast<std::size_t>(clip.cleanest)];
        char stem[32];
        std::snprintf(stem, sizeof stem, "clip-%03zu", x.clip + 1);
        const std::string base = (fs::path(args.out) / stem).string();
        const std::int64_t b = std::max<std::int64_t>(0, BlockStartSample(o.first)) - x.from;
        const std::int64_t e = std::min<std::int64_t>(BlockStartSample(o.last + 1) - x.from, static_cast<std::int64_t>(x.samples.size()));
        // Evidence: the occurrence (its first 20 s at most) with half a second either side.
        const std::int64_t margin = static_cast<std::int64_t>(kEvidenceMargin * kLibraryRate);
        const std::int64_t eb = std::max<std::int64_t>(0, b - margin);
        const std::int64_t ee = std::min<std::int64_t>(static_cast<std::int64_t>(x.samples.size()),
                                                       std::min<std::int64_t>(e, b + static_cast<std::int64_t>(kEvidenceMaxSeconds * kLibraryRate)) + margin);
        try {
          WriteWav(base + ".wav", x.samples.data() + eb, static_cast<std::size_t>(ee - eb));
          evidenceOf[x.clip] = base + ".wav";
        } catch (const Error& err) {
          PrintError(err);
          status = kExitFailure;
        }
        if (clip.longRepeat || e - b < 3 * 576) continue;  // songs get no pattern
        CreateArgs create;
        create.input = names[static_cast<std::size_t>(input)];
        create.begin = b;
        create.end = e - 1;
        create.output = base + ".tvs";
        create.audio = args.audio;
        try {
          std::unique_ptr<AudioInput> mem = AudioInput::FromSource(create.input, std::make_unique<MemorySource>(x.samples),
                                                                   kLibraryRate, 1, static_cast<std::int64_t>(x.samples.size()));
          patternOf[x.clip] = CreatePatternFile(create, *mem, static_cast<std::int64_t>(x.samples.size()));
        } catch (const Error& err) {
          PrintWarning(EscapeControl(create.output) + ": no pattern proposed (" + err.what() + ")");
        }
      }
    }
  }

  for (std::size_t c = 0; c < clips.size(); ++c) {
    const DiscoveredClip& clip = clips[c];
    const double length = static_cast<double>(clip.blocks()) * kBlockSeconds;
    std::string text;
    if (args.json) {
      nlohmann::json j;
      j["id"] = c + 1;
      j["length_s"] = std::round(length * 1000.0) / 1000.0;
      j["kind"] = clip.kind;
      j["long_repeat"] = clip.longRepeat;
      j["family"] = clip.family;
      j["pattern"] = patternOf[c];
      j["evidence"] = evidenceOf[c];
      nlohmann::json occ = nlohmann::json::array();
      for (const ClipOccurrence& o : clip.occurrences)
        occ.push_back({{"input", names[static_cast<std::size_t>(o.input)]},
                       {"begin_s", std::round(Seconds(BlockStartSample(o.first)) * 1000.0) / 1000.0},
                       {"end_s", std::round(Seconds(BlockStartSample(o.last + 1)) * 1000.0) / 1000.0}});
      j["occurrences"] = occ;
      nlohmann::json diff = nlohmann::json::array();
      for (const auto& [lo, hi] : clip.differs)
        diff.push_back({{"begin_s", std::round(static_cast<double>(lo) * kBlockSeconds * 1000.0) / 1000.0},
                        {"end_s", std::round(static_cast<double>(hi + 1) * kBlockSeconds * 1000.0) / 1000.0}});
      j["differs"] = diff;
      j["cleanest"] = clip.cleanest;
      text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } else {
      char head[160];
      std::snprintf(head, sizeof head, "clip %zu  %.2f s  %s  family %d  %zu occurrences", c + 1, length, clip.kind.c_str(),
                    clip.family, clip.occurrences.size());
      text = head;
      if (!patternOf[c].empty()) text += "  pattern " + EscapeControl(patternOf[c]);
      text += "\n";
      for (const ClipOccurrence& o : clip.occurrences) {
        char line[64];
        std::snprintf(line, sizeof line, "  %.3f - %.3f  ", Seconds(BlockStartSample(o.first)), Seconds(BlockStartSample(o.last + 1)));
        text += line + EscapeControl(names[static_cast<std::size_t>(o.input)]) + "\n";
      }
    }
    if (!WriteOut(text)) return kExitFailure;
  }
  double audio = 0.0;
  for (const TimeSpectrum& s : spectra) audio += Seconds(s.samples);
  // Station events of the clips that are new: the inputs follow each other from --start-utc on,
  // so an input that could not be read leaves the times of the rest unknown.
  if (!args.db.empty()) {
    if (spectra.size() != args.inputs.size()) {
      PrintError(Error(args.db + ": no new_repeated_clip events written: an input could not be read, so the times of the others are not known"));
      return kExitFailure;
    }
    std::vector<store::UtcMicros> inputStart{startUtc};
    for (const TimeSpectrum& s : spectra) inputStart.push_back(inputStart.back() + std::llround(Seconds(s.samples) * 1e6));
    std::vector<RepeatedClip> repeated;
    for (std::size_t c = 0; c < clips.size(); ++c) {
      if (clips[c].longRepeat) continue;  // a song heard again is not a new clip
      RepeatedClip r;
      r.lengthSeconds = static_cast<double>(clips[c].blocks()) * kBlockSeconds;
      r.kind = clips[c].kind;
      r.pattern = patternOf[c];
      r.evidence = evidenceOf[c];
      for (const ClipOccurrence& o : clips[c].occurrences) {
        const store::UtcMicros at = inputStart[static_cast<std::size_t>(o.input)];
        r.airings.push_back({at + std::llround(Seconds(BlockStartSample(o.first)) * 1e6),
                             at + std::llround(Seconds(BlockStartSample(o.last + 1)) * 1e6)});
      }
      std::sort(r.airings.begin(), r.airings.end());
      repeated.push_back(std::move(r));
    }
    try {
      std::unique_ptr<store::Store> db = store::OpenStore(args.db);
      const int raised = RaiseNewRepeatedClips(*db, args.station, repeated, args.minCount);
      if (db->Flush() != 0) PrintWarning(db->Describe() + ": events wait in the spool until the database is back");
      PrintNote("discover: " + std::to_string(raised) + " new_repeated_clip events for " + EscapeControl(args.station));
    } catch (const store::StoreError& e) {
      PrintError(Error(e.what()));
      return kExitFailure;
    }
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char note[320];
  std::snprintf(note, sizeof note,
                "discover: %zu inputs, %.2f h of audio, %zu clips in %.1f s (%.0fx real time); index %zu keys, %.1f MB; "
                "%zu votes, %zu candidates, %zu verified pairs",
                names.size(), audio / 3600.0, clips.size(), took, took > 0 ? audio / took : 0.0, stats.postings,
                static_cast<double>(stats.indexBytes) / 1048576.0, stats.votes, stats.candidates, stats.verified);
  PrintNote(note);
  return status;
}

}  // namespace sigpat
