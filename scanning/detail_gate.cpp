#include "detail_gate.h"
#include "reverberant_print.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>

#include "atomic_file.h"
#include "audio_input.h"
#include "messages.h"
#include "scanner.h"
#include "speed_change.h"

namespace sigpat {

namespace {

// The input around a detection: from this long before its begin to this long after its end.
constexpr int kLeadSamples = 8820;    // 0.2 s
constexpr int kTrailSamples = 13230;  // 0.3 s
// A detection that fails as it is is compared again at the speed change its shape comparison
// found and at these (percent), nearest first: the level comparison reports clips played up to
// about 6 % off (and finds them before the shape comparison does), without saying how far off.
constexpr double kRetrySpeeds[] = {2.0, -2.0, 4.0, -4.0, 6.0, -6.0};
constexpr double kSpeedStep = 0.5;
// ... and, failing still, with the clip as a room of this RT60 (s) and direct-to-reverberant
// ratio (dB) would smear it: a living room's, the decision layer's reverberant view's too.
constexpr float kRoomRt60 = 0.55f;
constexpr float kRoomDrr_dB = 0.0f;
// Detections come after a confirmation delay: samples are held this long beyond the longest print.
constexpr double kHoldSeconds = 30.0;
// The input's print begins this many frames before the clip's expected begin.
constexpr int kExpected = kLeadSamples / spdetail::kHop;
// Frames of the input's print on the grid kept for later reports: 20 s.
constexpr int kKeptFrames = 2000;
// A tentative detection whose print on the grid correlates under the retries' least by this
// much fails there.
constexpr float kGridMargin = 0.1f;

// A whole file into bytes, read straight into a string of its size (a set-up of 1000 patterns
// reads each pattern and print file here; through a string stream that was two more copies).
bool ReadBytes(const std::string& file, std::string& bytes) {
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && st.st_size > 0) bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
  // (A file that grew meanwhile, or one whose size is not known: the rest too.)
  char more[65536];
  for (std::size_t n; got == bytes.size() && (n = std::fread(more, 1, sizeof more, f)) > 0; got += n) bytes.append(more, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  bytes.resize(got);
  return ok;
}

// A value in 16-bit units clipped to -32768 .. 32767 and rounded to nearest, halves away from
// zero (as std::lround does, without its call: every sample of a retry passes here).
std::int16_t RoundedSample(float v) {
  if (!(v > -32768.0f)) return v != v ? 0 : -32768;
  if (v >= 32767.0f) return 32767;
  const auto whole = static_cast<int>(v);             // towards zero
  const float rest = v - static_cast<float>(whole);   // exact
  return static_cast<std::int16_t>(whole + (rest >= 0.5f) - (rest <= -0.5f));
}

// One warning per print and process, however many inputs or stations load it.
void WarnOnce(const std::string& message) {
  static std::mutex m;
  static std::set<std::string> said;
  std::lock_guard<std::mutex> lock(m);
  if (said.insert(message).second) PrintWarning(message);
}

}  // namespace

void WriteDetailFor(const std::string& patternFile, const std::vector<std::int16_t>& clip) {
  if (static_cast<double>(clip.size()) > kDetailMaxSeconds * kLibraryRate) return;
  std::string bytes;
  if (!ReadBytes(patternFile, bytes)) throw Error(patternFile + ": cannot be read back: " + std::strerror(errno));
  spdetail::DetailAnalyser analyser;
  const std::string encoded = spdetail::EncodeDetailPrint(analyser.Analyse(clip.data(), clip.size()), spdetail::ContentHash(bytes));
  AtomicFile out(spdetail::DetailFileName(patternFile));
  out.Write(encoded.data(), encoded.size());
  out.Commit();
}

namespace {

// Reads the print file `name` of the pattern whose bytes hash to patternHash; false with the
// problem said.
bool ReadPrint(const std::string& name, std::uint64_t patternHash, spdetail::DetailPrint& print, std::string& problem) {
  std::string bytes;
  if (!ReadBytes(name, bytes)) {
    problem = std::string("cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  return spdetail::DecodeDetailPrint(bytes, patternHash, print, problem);
}

}  // namespace

std::string DetailFileOf(const std::string& patternFile) { return spdetail::DetailFileName(patternFile); }

std::string DescribeDetail(const std::string& patternFile, double clipSeconds) {
  const std::string name = spdetail::DetailFileName(patternFile);
  struct stat st {};
  if (stat(name.c_str(), &st) != 0)
    return clipSeconds <= kDetailMaxSeconds ? "none (sigpat create makes one: near relatives of the clip are then told apart)" : "";
  std::string bytes, problem;
  if (!ReadBytes(patternFile, bytes)) return patternFile + ": cannot be read";
  spdetail::DetailPrint print;
  if (!ReadPrint(name, spdetail::ContentHash(bytes), print, problem)) return name + ": " + problem + "; ignored";
  char what[96];
  std::snprintf(what, sizeof what, " (%d bands every %.0f ms, %.2f s)", spdetail::kBands, 1000.0 * spdetail::kHop / kLibraryRate,
                static_cast<double>(print.frames) * spdetail::kHop / kLibraryRate);
  return name + what;
}

// Prints are shared by every scan of the process that uses them (the stations of a monitor, the
// inputs of a scan): keyed by the print file, its size and time, and the hash of the pattern it
// must belong to; kept while a scan holds them. Load reads a print's header only (what it must
// know: whether the print is usable, and its length); its levels, twice the file's size in
// memory, are read when a detection of its pattern is first judged, which most patterns of a
// large catalogue never are (1000 patterns: about 100 MB and a fifth of the set-up).
struct DetailGate::PrintFile {
  std::string name;
  std::uint64_t patternHash = 0;
  int frames = 0;
  std::once_flag read;
  std::unique_ptr<const spdetail::DetailPrint> levels;  // null until read, or when that failed
};

namespace {

std::shared_ptr<DetailGate::PrintFile> SharedPrint(const std::string& name, const struct stat& st, std::uint64_t patternHash) {
  static std::mutex m;
  static std::map<std::string, std::weak_ptr<DetailGate::PrintFile>> held;
  const std::string key = name + '\0' + std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
                          std::to_string(st.st_mtim.tv_nsec) + ':' + std::to_string(patternHash);
  std::lock_guard<std::mutex> lock(m);
  if (auto p = held[key].lock()) return p;
  unsigned char head[spdetail::kDetailHeaderBytes] = {};
  std::size_t have = 0;
  std::string problem;
  if (std::FILE* f = std::fopen(name.c_str(), "rb")) {
    have = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
  } else {
    problem = std::string("cannot be read (") + std::strerror(errno) + ")";
  }
  auto print = std::make_shared<DetailGate::PrintFile>();
  if (!problem.empty() ||
      !spdetail::CheckDetailHeader(head, have, static_cast<std::uint64_t>(st.st_size), patternHash, print->frames, problem)) {
    WarnOnce(name + ": " + problem + "; ignored (sigpat create makes it again)");
    return nullptr;
  }
  print->name = name;
  print->patternHash = patternHash;
  // The entries of prints no scan holds any more are swept when the table has doubled since the
  // last sweep: sweeping at every print made a 10,000-pattern set-up walk the table 10,000 times.
  static std::size_t sweptAt = 0;
  if (held.size() >= 2 * sweptAt + 64) {
    for (auto it = held.begin(); it != held.end();) it = it->second.expired() ? held.erase(it) : std::next(it);
    sweptAt = held.size();
  }
  held[key] = print;
  return print;
}

}  // namespace

std::unique_ptr<DetailGate> DetailGate::Load(const std::vector<std::string>& files, const std::vector<std::string>& openAs) {
  std::unique_ptr<DetailGate> gate(new DetailGate);
  gate->prints_.resize(files.size());
  int longest = 0, loaded = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string name = spdetail::DetailFileName(files[i]);
    struct stat st {};
    if (stat(name.c_str(), &st) != 0) continue;
    std::string bytes;
    if (!ReadBytes(i < openAs.size() && !openAs[i].empty() ? openAs[i] : files[i], bytes)) continue;
    gate->prints_[i] = SharedPrint(name, st, spdetail::ContentHash(bytes));
    if (!gate->prints_[i]) continue;
    longest = std::max(longest, gate->prints_[i]->frames);
    ++loaded;
  }
  if (loaded == 0) return nullptr;
  const std::size_t hold = static_cast<std::size_t>(longest) * spdetail::kHop + spdetail::kFftSize + kLeadSamples +
                           kTrailSamples + static_cast<std::size_t>(kHoldSeconds * kLibraryRate);
  gate->ring_.assign(hold, 0);
  return gate;
}

void DetailGate::Append(const std::int16_t* samples, std::size_t n) {
  const std::size_t size = ring_.size();
  if (n > size) {  // only the newest fit
    samples += n - size;
    fed_ += static_cast<std::int64_t>(n - size);
    n = size;
  }
  const auto at = static_cast<std::size_t>(fed_ % static_cast<std::int64_t>(size));
  const std::size_t first = std::min(n, size - at);
  std::memcpy(ring_.data() + at, samples, first * sizeof *samples);
  std::memcpy(ring_.data(), samples + first, (n - first) * sizeof *samples);
  fed_ += static_cast<std::int64_t>(n);
}

DetailGate::PrintFile* DetailGate::FileOf(int pattern) const {
  return pattern >= 0 && pattern < static_cast<int>(prints_.size()) ? prints_[static_cast<std::size_t>(pattern)].get() : nullptr;
}

const spdetail::DetailPrint* DetailGate::PrintOf(int pattern) const {
  PrintFile* found = FileOf(pattern);
  if (found == nullptr) return nullptr;
  PrintFile& file = *found;
  std::call_once(file.read, [&file] {
    auto print = std::make_unique<spdetail::DetailPrint>();
    std::string problem;
    if (!ReadPrint(file.name, file.patternHash, *print, problem)) {
      WarnOnce(file.name + ": " + problem + "; ignored (sigpat create makes it again)");
    } else if (print->frames == file.frames) {
      file.levels = std::move(print);
    } else {
      WarnOnce(file.name + ": changed while in use; ignored");
    }
  });
  return file.levels.get();
}

bool DetailGate::ConfirmsTentative(int pattern) const {
  const PrintFile* file = FileOf(pattern);
  return file != nullptr && file->frames >= tuning_.tentativeMinFrames;
}

DetailGate::Verdict DetailGate::Judge(const DetectorReport& d) {
  const bool tentative = d.Tentative != 0;
  const spdetail::DetailPrint* print = PrintOf(d.Pattern);
  if (print == nullptr) return tentative ? Verdict::Unconfirmed : Verdict::Stands;
  if (tentative && !ConfirmsTentative(d.Pattern)) return Verdict::Unconfirmed;
  if (!tentative && std::any_of(confirmed_.begin(), confirmed_.end(), [&d](const Span& s) {
        return s.group == d.Group && d.SameOccurrence(s.begin, s.end);
      }))
    return Verdict::Repeat;
  const Verdict fails = tentative ? Verdict::Unconfirmed : Verdict::NearRelative;
  // A partial occurrence is compared over the part of the clip found.
  spdetail::DetailPrint part;
  if (d.Seen < 1.0f) {
    part.frames = static_cast<int>(static_cast<float>(print->frames) * std::max(0.0f, d.Seen));
    part.levels.assign(print->levels.begin(), print->levels.begin() + static_cast<std::ptrdiff_t>(part.frames) * spdetail::kBands);
  }
  const spdetail::DetailPrint& clip = d.Seen < 1.0f ? part : *print;
  const std::int64_t from = d.Begin - kLeadSamples;
  const std::int64_t to = d.Begin + static_cast<std::int64_t>(clip.frames) * spdetail::kHop + spdetail::kFftSize + kTrailSamples;
  const auto size = static_cast<std::int64_t>(ring_.size());
  if (std::max<std::int64_t>(from, 0) < fed_ - size) return tentative ? Verdict::Unconfirmed : Verdict::Stands;
  // The samples from a whole number of hops before `from` (the input's frames on that grid are
  // shared by the reports of the same seconds) to `to`: before the input and after what was
  // fed (its end), the silence the recognizer is fed.
  const std::int64_t gridFrom = (from >= 0 ? from / spdetail::kHop : -((-from + spdetail::kHop - 1) / spdetail::kHop)) * spdetail::kHop;
  const bool gridHeld = std::max<std::int64_t>(gridFrom, 0) >= fed_ - size;
  const std::int64_t first = gridHeld ? gridFrom : from;
  std::vector<std::int16_t> samples(static_cast<std::size_t>(to - first), 0);
  // (In at most two runs: where the ring wraps, the rest continues from its start.)
  for (std::int64_t p = std::max<std::int64_t>(first, 0), end = std::min(to, fed_); p < end;) {
    const std::int64_t at = p % size, run = std::min(end - p, size - at);
    std::memcpy(samples.data() + (p - first), ring_.data() + at, static_cast<std::size_t>(run) * sizeof(std::int16_t));
    p += run;
  }
  // Most tentative detections are other sound that correlates with the clip far under what even
  // a retry asks. Those fail on the grid's print: its correlation lies within 0.04 of the one at
  // the report's own samples (measured on the broadcast sets), and the margin is over twice that.
  if (tentative && gridHeld) {
    const int expectedOnGrid = static_cast<int>((d.Begin - gridFrom + spdetail::kHop / 2) / spdetail::kHop);
    const spdetail::DetailResult onGrid = Compare(clip, GridPrint(gridFrom, samples), expectedOnGrid, true);
    if (onGrid.correlation < tuning_.tentativeRetryCorrelation - kGridMargin) return Verdict::Unconfirmed;
  }
  const std::vector<std::int16_t> around(samples.begin() + (from - first), samples.end());
  const spdetail::DetailPrint input = analyser_.Analyse(around.data(), around.size());
  const spdetail::DetailResult asIs = Compare(clip, input, kExpected, tentative);
  bool passes = Passes(asIs, tentative);
  // Played a little faster or slower, the voice moves up or down: compared again as it was, at
  // the speed change the shape comparison found, and at the changes the level comparison
  // tolerates. Only detections that failed pay for this (tentative ones only when they came
  // near).
  if (!passes && (!tentative || asIs.correlation >= tuning_.tentativeRetryCorrelation)) {
    std::vector<double> speeds;
    if (std::fabs(d.Stretch) >= kSpeedStep) speeds.push_back(d.Stretch);
    for (double s : kRetrySpeeds)
      if (std::fabs(s - d.Stretch) >= kSpeedStep) speeds.push_back(s);
    for (std::size_t k = 0; k < speeds.size() && !passes; ++k)
      passes = Passes(Compare(clip, SlowedPrint(around, speeds[k]), kExpected, tentative), tentative);
  }
  // Heard in a room, the clip's pauses fill with the decay of what came before: a tentative
  // detection is compared once more with the clip as a room would smear it (reverberant_print.h).
  // (Not a firm one: the near relative of a clip, the same sting with another voice, then
  // misses less of the smeared voice and would stand. Nor one that correlates under
  // tentativeRetryCorrelation as it is: most are other sound, and each retry analyses again.)
  if (!passes && tentative && asIs.correlation >= tuning_.tentativeRetryCorrelation)
    passes = Passes(Compare(spdetail::Reverberant(clip, kRoomRt60, kRoomDrr_dB), input, kExpected, tentative), tentative);
  if (!passes) return fails;
  if (tentative) {
    // Spans older than the samples held cannot meet a report that is still checked.
    const std::int64_t oldest = fed_ - size;
    confirmed_.erase(std::remove_if(confirmed_.begin(), confirmed_.end(), [oldest](const Span& s) { return s.end < oldest; }),
                     confirmed_.end());
    confirmed_.push_back(Span{d.Group, d.Begin, d.End});
  }
  return Verdict::Stands;
}

bool DetailGate::Passes(const spdetail::DetailResult& r, bool tentative) const {
  return r.missing <= tuning_.threshold && (!tentative || r.correlation >= tuning_.tentativeCorrelation);
}

spdetail::DetailResult DetailGate::Compare(const spdetail::DetailPrint& clip, const spdetail::DetailPrint& input, int expected,
                                           bool tentative) const {
  // A tentative detection that does not correlate well enough fails whatever its windows say.
  return spdetail::CompareDetail(clip, input, expected, tuning_, tentative ? tuning_.tentativeCorrelation : -2.0f);
}

spdetail::DetailPrint DetailGate::GridPrint(std::int64_t from, const std::vector<std::int16_t>& samples) {
  using spdetail::kBands;
  using spdetail::kHop;
  spdetail::DetailPrint print;
  if (samples.size() < static_cast<std::size_t>(spdetail::kFftSize)) return print;
  if (frames_.empty()) {
    frames_.resize(static_cast<std::size_t>(kKeptFrames) * kBands);
    frameAt_.assign(kKeptFrames, -1);
  }
  print.frames = static_cast<int>(1 + (samples.size() - spdetail::kFftSize) / kHop);
  print.levels.resize(static_cast<std::size_t>(print.frames) * kBands);
  for (int f = 0; f < print.frames; ++f) {
    const std::int64_t begin = from + static_cast<std::int64_t>(f) * kHop;
    float* out = print.levels.data() + static_cast<std::size_t>(f) * kBands;
    // Frames that reach before the input or past what was fed hold the silence put there, not
    // the input: made for this report alone.
    if (begin < 0 || begin + spdetail::kFftSize > fed_) {
      analyser_.AnalyseFrame(samples.data() + static_cast<std::size_t>(f) * kHop, out);
      continue;
    }
    const std::int64_t g = begin / kHop;
    const auto slot = static_cast<std::size_t>(g % kKeptFrames);
    float* kept = frames_.data() + slot * kBands;
    if (frameAt_[slot] != g) {
      analyser_.AnalyseFrame(samples.data() + static_cast<std::size_t>(f) * kHop, kept);
      frameAt_[slot] = g;
    }
    std::copy(kept, kept + kBands, out);
  }
  return print;
}

spdetail::DetailPrint DetailGate::SlowedPrint(const std::vector<std::int16_t>& around, double percent) {
  std::vector<float> input(around.size());
  for (std::size_t i = 0; i < around.size(); ++i) input[i] = static_cast<float>(around[i]) / 32768.0f;
  // The input `percent` faster is played back at the clip's own speed.
  const std::vector<float> undone = ChangeSpeed(input, 100.0 / (1.0 + percent / 100.0) - 100.0);
  std::vector<std::int16_t> samples(undone.size());
  for (std::size_t i = 0; i < undone.size(); ++i) samples[i] = RoundedSample(undone[i] * 32768.0f);
  return analyser_.Analyse(samples.data(), samples.size());
}

}  // namespace sigpat
