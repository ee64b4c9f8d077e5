#include "evidence.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "atomic_file.h"
#include "messages.h"
#include "mp3_file.h"
#include "ogg_opus.h"
#include "wall_clock.h"

namespace sigpat {

namespace fs = std::filesystem;

namespace {

// The decision layer reports a detection at most about twice the pattern's length after its
// begin; the ring keeps that and a margin for blocks queued between reading and recognition.
constexpr double kRingMarginSeconds = 10.0;
// Pruning walks the whole directory: not more often than this (seconds) while writing.
constexpr double kPruneInterval = 5.0;
// Temporary files older than this (seconds) are what a killed writer left: removed.
constexpr double kStaleTemporary = 3600.0;

// Opus evidence: 32 kbit/s keeps speech and music of a broadcast clear in one channel (a minute
// takes about 250 KB; the bitrate, not the effort, sets the size). Complexity 0 and packets of
// 120 ms (a file is listened to, not streamed with low delay) take half the encoder's processor
// time of complexity 3 in 60 ms packets: a 440 Hz tone decodes at 29.9 dB against 29.7 dB, and
// a spot's decoded evidence matches its pattern at a distance of 0.058 against 0.055. The
// encoder is given 24 kHz (sound up to about 9 kHz): a fifth less of its work than at 48 kHz,
// and resampling to it costs less than to 48 kHz (docs/evidence.md).
constexpr OggOpusSettings kOpusEvidence{32000, 0, 120, 24000};

// MP3 evidence: LAME's variable bitrate at 16 kHz (MPEG-2 layer III, sound up to about 7 kHz),
// target 6 (about 28 kbit/s mono), effort 7. LAME's cost goes with the samples it encodes (at
// 44.1 kHz it was 8 % of a broadcast scan), and its effort 7 skips the noise-shaping search that
// was half of its instructions; the evidence of bench/evidence_bench.sh still matches its spots
// as closely as before (docs/evidence.md).
constexpr Mp3Settings kMp3Evidence{16000, 6, 7};

// libsndfile writing into memory.
struct MemoryFile {
  std::vector<unsigned char> data;
  sf_count_t at = 0;
};
sf_count_t MemLength(void* p) { return static_cast<sf_count_t>(static_cast<MemoryFile*>(p)->data.size()); }
sf_count_t MemSeek(sf_count_t offset, int whence, void* p) {
  auto* m = static_cast<MemoryFile*>(p);
  const sf_count_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? MemLength(p) : 0;
  if (base + offset < 0) return -1;
  m->at = base + offset;
  return m->at;
}
sf_count_t MemRead(void* out, sf_count_t n, void* p) {
  auto* m = static_cast<MemoryFile*>(p);
  const sf_count_t have = std::max<sf_count_t>(0, std::min(n, MemLength(p) - m->at));
  if (have > 0) std::memcpy(out, m->data.data() + m->at, static_cast<std::size_t>(have));
  m->at += have;
  return have;
}
sf_count_t MemWrite(const void* in, sf_count_t n, void* p) {
  auto* m = static_cast<MemoryFile*>(p);
  if (static_cast<std::size_t>(m->at + n) > m->data.size()) m->data.resize(static_cast<std::size_t>(m->at + n));
  std::memcpy(m->data.data() + m->at, in, static_cast<std::size_t>(n));
  m->at += n;
  return n;
}
sf_count_t MemTell(void* p) { return static_cast<MemoryFile*>(p)->at; }

bool IsEvidenceFile(const fs::path& p) {
  const std::string ext = p.extension().string();
  return ext == ".opus" || ext == ".mp3" || ext == ".flac";
}

}  // namespace

std::vector<std::string> EvidenceFormats() { return {"opus", "mp3", "flac"}; }

std::vector<unsigned char> EncodeEvidence(const std::vector<std::int16_t>& samples, const std::string& format,
                                          const std::string& what) {
  // Opus through libopus and libogg directly: libsndfile's Opus path costs about four times the
  // processor time (it resamples with soxr first and encodes at the default complexity).
  if (format == "opus") return EncodeOggOpus(samples, kLibraryRate, kOpusEvidence, what);
  if (format == "mp3") return EncodeMp3(samples, kLibraryRate, kMp3Evidence, what);
  if (format != "flac") throw Error(what + ": unknown evidence format \"" + format + "\"");
  SF_INFO info{};
  info.channels = 1;
  info.samplerate = kLibraryRate;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  MemoryFile memory;
  SF_VIRTUAL_IO io{MemLength, MemSeek, MemRead, MemWrite, MemTell};
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
  if (file == nullptr) throw Error(what + ": the " + format + " encoder refused (" + sf_strerror(nullptr) + ")");
  const auto count = static_cast<sf_count_t>(samples.size());
  const bool whole = count == 0 || sf_write_short(file, samples.data(), count) == count;
  const std::string problem = whole ? "" : sf_strerror(file);
  sf_close(file);
  if (!problem.empty()) throw Error(what + ": the " + format + " encoder failed (" + problem + ")");
  return std::move(memory.data);
}

std::string SafeNamePart(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    const bool plain = c >= 0x80 || std::isalnum(c) != 0 || c == '-' || c == '.';
    out += plain ? static_cast<char>(c) : '_';
  }
  if (out.empty()) out = "_";
  if (out[0] == '.') out[0] = '_';
  if (out.size() > 80) {
    std::size_t cut = 80;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // not inside a UTF-8 character
    out.resize(cut);
  }
  return out;
}

std::string EvidenceRelativePath(const Detection& d, const std::string& format) {
  const std::string station = SafeNamePart(d.input);
  std::string pattern = fs::path(d.file).stem().string();
  if (pattern.empty()) pattern = d.name;
  const std::string tail = "_" + station + "_" + SafeNamePart(pattern) + "." + format;
  char stamp[64];
  if (d.beginWall >= 0.0) {
    const long long ms = std::llround(d.beginWall * 1000.0);
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &tm);
    return station + "/" + day + "/" + stamp + "." + std::to_string(1000 + ms % 1000).substr(1) + "Z" + tail;
  }
  std::snprintf(stamp, sizeof stamp, "%013.3fs", std::max(0.0, d.beginSeconds));
  return station + "/offset/" + stamp + tail;
}

std::string EvidenceReference(const std::string& relative, double offset) {
  if (offset <= 0.0) return relative;
  char fragment[40];
  std::snprintf(fragment, sizeof fragment, "#t=%.3f", offset);
  return relative + fragment;
}

double LongestOf(const std::vector<double>& seconds) {
  return seconds.empty() ? 0.0 : *std::max_element(seconds.begin(), seconds.end());
}

// ---- the writer

EvidenceWriter::EvidenceWriter(EvidenceOptions options, EvidenceWritten written, EvidenceFailed failed)
    : options_(std::move(options)), written_(std::move(written)), failed_(std::move(failed)) {
  std::error_code ec;
  fs::create_directories(options_.dir, ec);
  if (!fs::is_directory(options_.dir, ec))
    throw Error(options_.dir + ": cannot make the evidence directory" + (ec ? " (" + ec.message() + ")" : ""));
  Prune();
  thread_ = std::thread([this] { Work(); });
}

EvidenceWriter::~EvidenceWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
  Prune();
}

void EvidenceWriter::Submit(std::vector<Share> shares, std::vector<std::int16_t> samples) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Job{std::move(shares), std::move(samples)});
  }
  changed_.notify_all();
}

void EvidenceWriter::Lost(const Detection& d, const std::string& why) {
  if (failed_) failed_(d, options_.dir + ": " + why);
}

void EvidenceWriter::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void EvidenceWriter::Work() {
  while (true) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      busy_ = false;
      changed_.notify_all();
      changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    Write(job);
    if (WallClockNow() - lastPrune_ >= kPruneInterval) Prune();
  }
}

void EvidenceWriter::Write(const Job& job) {
  const std::string relative = EvidenceRelativePath(job.shares.front().detection, options_.format);
  const std::string path = (fs::path(options_.dir) / relative).string();
  try {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) throw Error("cannot write " + path + ": " + ec.message());
    const std::vector<unsigned char> bytes = EncodeEvidence(job.samples, options_.format, path);
    AtomicFile file(path, "." + options_.format + ".part");
    file.Write(bytes.data(), bytes.size());
    file.Commit();
  } catch (const std::exception& e) {
    if (failed_)
      for (const Share& s : job.shares) failed_(s.detection, e.what());
    return;
  }
  if (!written_) return;
  const double now = WallClockNow();
  for (const Share& s : job.shares)
    written_(s.detection, relative, path, static_cast<double>(s.offset) / kLibraryRate, now - s.reportedAt);
}

void EvidenceWriter::Prune() {
  lastPrune_ = WallClockNow();
  if (options_.maxGb <= 0.0 && options_.days <= 0.0) return;
  struct Found {
    fs::path path;
    fs::file_time_type time;
    std::uintmax_t size;
  };
  std::vector<Found> files;
  const auto now = fs::file_time_type::clock::now();
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(options_.dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::error_code fe;
    if (!it->is_regular_file(fe)) continue;
    const fs::path& p = it->path();
    const auto time = it->last_write_time(fe);
    if (fe) continue;
    const bool hidden = p.filename().string().rfind('.', 0) == 0;
    if (hidden && p.filename().string().find(".part") != std::string::npos &&
        now - time > std::chrono::seconds(static_cast<long>(kStaleTemporary))) {
      fs::remove(p, fe);
      continue;
    }
    if (hidden || !IsEvidenceFile(p)) continue;
    files.push_back(Found{p, time, it->file_size(fe)});
  }
  std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) {
    return a.time != b.time ? a.time < b.time : a.path < b.path;
  });
  std::uintmax_t total = 0;
  for (const auto& f : files) total += f.size;
  const double limit = options_.maxGb * 1e9;
  for (const auto& f : files) {
    const bool old = options_.days > 0.0 && now - f.time > std::chrono::duration<double>(options_.days * 86400.0);
    const bool over = options_.maxGb > 0.0 && static_cast<double>(total) > limit;
    if (!old && !over) continue;
    std::error_code re;
    if (!fs::remove(f.path, re)) continue;
    total -= f.size;
    // Day and station directories left empty go too (never the evidence directory itself).
    for (fs::path dir = f.path.parent_path(); dir != fs::path(options_.dir) && dir.has_relative_path();
         dir = dir.parent_path())
      if (!fs::is_empty(dir, re) || re || !fs::remove(dir, re)) break;
  }
}

// ---- the recorder

EvidenceRecorder::EvidenceRecorder(EvidenceWriter& writer, double longestPattern, bool realTime)
    : writer_(writer), realTime_(realTime) {
  Reserve(longestPattern);
}

void EvidenceRecorder::Reserve(double longestPattern) {
  const EvidenceOptions& o = writer_.options();
  longest_ = std::max(longest_, longestPattern);
  // `post` twice: a detection's window may wait up to `post` after its report for others to share
  // its file.
  const double seconds = o.pre + 2.0 * o.post + 2.0 * longestPattern + kRingMarginSeconds;
  const auto cap = static_cast<std::int64_t>(std::ceil(seconds * kLibraryRate));
  const auto old = static_cast<std::int64_t>(ring_.size());
  if (cap <= old) return;
  start_ = std::max(start_, end_ - old);  // what had left the old ring is not in the new one
  std::vector<std::int16_t> ring(static_cast<std::size_t>(cap));
  for (std::int64_t p = std::max<std::int64_t>(0, end_ - old); p < end_; ++p)
    ring[static_cast<std::size_t>(p % cap)] = ring_[static_cast<std::size_t>(p % old)];
  ring_.swap(ring);
}

void EvidenceRecorder::Append(const std::int16_t* samples, std::size_t n) {
  const std::size_t cap = ring_.size();
  // Groups whose audio these samples would overwrite are written first.
  if (!waiting_.empty() && end_ + static_cast<std::int64_t>(n) > static_cast<std::int64_t>(cap))
    Flush(false, end_ + static_cast<std::int64_t>(n) - static_cast<std::int64_t>(cap));
  for (std::size_t i = 0; i < n;) {
    const std::size_t at = static_cast<std::size_t>(end_ % static_cast<std::int64_t>(cap));
    const std::size_t piece = std::min(n - i, cap - at);
    std::memcpy(ring_.data() + at, samples + i, piece * sizeof(std::int16_t));
    i += piece;
    end_ += static_cast<std::int64_t>(piece);
  }
  if (!waiting_.empty()) Flush(false);
}

void EvidenceRecorder::Detected(const Detection& d) { waiting_.push_back(Waiting{d, WallClockNow(), end_}); }

void EvidenceRecorder::Finish() { Flush(true); }

namespace {

// Groups of windows that overlap or touch (indices into `from`, each group in order of start).
std::vector<std::vector<std::size_t>> Overlapping(const std::vector<std::pair<std::int64_t, std::int64_t>>& windows,
                                                  std::vector<std::size_t> from) {
  std::sort(from.begin(), from.end(), [&](std::size_t a, std::size_t b) {
    return windows[a].first != windows[b].first ? windows[a].first < windows[b].first : a < b;
  });
  std::vector<std::vector<std::size_t>> groups;
  std::int64_t reach = 0;
  for (std::size_t i : from) {
    if (groups.empty() || windows[i].first > reach) {
      groups.emplace_back();
      reach = windows[i].second;
    }
    groups.back().push_back(i);
    reach = std::max(reach, windows[i].second);
  }
  return groups;
}

}  // namespace

void EvidenceRecorder::Flush(bool all, std::int64_t overwrite) {
  const EvidenceOptions& o = writer_.options();
  const auto pre = static_cast<std::int64_t>(std::llround(o.pre * kLibraryRate));
  const auto post = static_cast<std::int64_t>(std::llround(o.post * kLibraryRate));
  std::vector<std::pair<std::int64_t, std::int64_t>> windows;
  std::vector<std::size_t> everyone;
  for (const Waiting& w : waiting_) {
    everyone.push_back(windows.size());
    windows.emplace_back(w.detection.report.Begin - pre, w.detection.report.End + post);
  }
  std::vector<bool> done(waiting_.size(), false);
  // In a scan a detection that begins before a group's end and `pre` is reported at most about
  // twice the longest pattern after its begin (and a block read ahead).
  const auto lag = static_cast<std::int64_t>(std::llround((2.0 * longest_ + 1.0) * kLibraryRate));
  // At real time a window waits at most `post` - 1 s after its report: with the encoding and the
  // blocks of a stream, its file is still there within `post` + 2 s of the report.
  const auto hold = static_cast<std::int64_t>(std::llround(std::max(0.0, o.post - 1.0) * kLibraryRate));
  for (const auto& group : Overlapping(windows, everyone)) {
    // At real time the group is written once the first of it has waited `hold` after its report;
    // those whose windows are not complete yet stay for a later file.
    std::int64_t firstReport = end_, start = end_, reach = 0;
    for (std::size_t i : group) {
      firstReport = std::min(firstReport, waiting_[i].reportedPos);
      start = std::min(start, windows[i].first);
      reach = std::max(reach, windows[i].second);
    }
    const bool due = realTime_ ? end_ >= firstReport + hold : end_ >= reach + pre + lag;
    if (!all && !due && start >= overwrite) continue;
    std::vector<std::size_t> complete;
    for (std::size_t i : group)
      if (all || windows[i].second <= end_) complete.push_back(i);
    for (const auto& part : Overlapping(windows, complete)) {
      std::vector<const Waiting*> members;
      for (std::size_t i : part) {
        members.push_back(&waiting_[i]);
        done[i] = true;
      }
      Submit(std::move(members));
    }
  }
  std::size_t i = 0;
  waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), [&](const Waiting&) { return done[i++]; }),
                 waiting_.end());
}

void EvidenceRecorder::Submit(std::vector<const Waiting*> group) {
  const EvidenceOptions& o = writer_.options();
  const auto pre = static_cast<std::int64_t>(std::llround(o.pre * kLibraryRate));
  const auto post = static_cast<std::int64_t>(std::llround(o.post * kLibraryRate));
  const auto cap = static_cast<std::int64_t>(ring_.size());
  const std::int64_t kept = std::max(end_ - cap, start_);  // the ring holds kept .. end_
  std::vector<std::pair<const Waiting*, std::int64_t>> present;  // with the first sample of its window
  std::int64_t first = end_, last = kept;
  for (const Waiting* w : group) {
    const Detection& d = w->detection;
    const std::int64_t from = std::max(d.report.Begin - pre, kept);
    const std::int64_t to = std::min(d.report.End + post, end_);
    if (to <= from) {
      // Reported later than the ring reaches back (or at an input without samples).
      writer_.Lost(d, "the audio of the detection at " + std::to_string(d.beginSeconds) + " s has left the evidence buffer");
      continue;
    }
    present.emplace_back(w, from);
    first = std::min(first, from);
    last = std::max(last, to);
  }
  if (present.empty()) return;
  std::vector<EvidenceWriter::Share> shares;
  for (const auto& [w, from] : present) shares.push_back(EvidenceWriter::Share{w->detection, w->reportedAt, from - first});
  std::stable_sort(shares.begin(), shares.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  // The window's samples in at most two pieces: up to the ring's end, and on from its start.
  std::vector<std::int16_t> samples(static_cast<std::size_t>(last - first));
  for (std::int64_t p = first; p < last;) {
    const std::int64_t at = p % cap, piece = std::min(last - p, cap - at);
    std::memcpy(samples.data() + (p - first), ring_.data() + at, static_cast<std::size_t>(piece) * sizeof(std::int16_t));
    p += piece;
  }
  writer_.Submit(std::move(shares), std::move(samples));
}

}  // namespace sigpat
