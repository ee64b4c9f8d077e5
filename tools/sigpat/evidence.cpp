#include "evidence.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "atomic_file.h"
#include "messages.h"
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
// a spot's decoded evidence matches its pattern at a distance of 0.058 against 0.055.
constexpr OggOpusSettings kOpusEvidence{32000, 0, 120};

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
  // Opus through libopusenc directly: libsndfile's Opus path costs about four times the
  // processor time (it resamples with soxr first and encodes at the default complexity).
  if (format == "opus") return EncodeOggOpus(samples, kLibraryRate, kOpusEvidence, what);
  SF_INFO info{};
  info.channels = 1;
  info.samplerate = kLibraryRate;
  if (format == "flac") {
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  } else if (format == "mp3") {
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  } else {
    throw Error(what + ": unknown evidence format \"" + format + "\"");
  }
  MemoryFile memory;
  SF_VIRTUAL_IO io{MemLength, MemSeek, MemRead, MemWrite, MemTell};
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
  if (file == nullptr) throw Error(what + ": the " + format + " encoder refused (" + sf_strerror(nullptr) + ")");
  if (format == "mp3") {
    // LAME's variable bitrate at libsndfile's lowest quality setting (about 32 kbit/s mono, as
    // the Opus default): 0.14 s of processor time per minute of evidence against 0.23 s at the
    // default setting (550 KB per minute), 243 KB per minute (docs/evidence.md).
    int mode = SF_BITRATE_MODE_VARIABLE;
    double level = 1.0;
    sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
  }
  const sf_count_t n = static_cast<sf_count_t>(samples.size());
  const sf_count_t wrote = n > 0 ? sf_write_short(file, samples.data(), n) : 0;
  const std::string problem = wrote != n ? sf_strerror(file) : "";
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

void EvidenceWriter::Submit(const Detection& d, double reportedAt, std::int64_t first, std::vector<std::int16_t> samples) {
  (void)first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Job{d, reportedAt, std::move(samples)});
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
  const std::string relative = EvidenceRelativePath(job.detection, options_.format);
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
    if (failed_) failed_(job.detection, e.what());
    return;
  }
  if (written_) written_(job.detection, relative, path, WallClockNow() - job.reportedAt);
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

EvidenceRecorder::EvidenceRecorder(EvidenceWriter& writer, double longestPattern) : writer_(writer) {
  Reserve(longestPattern);
}

void EvidenceRecorder::Reserve(double longestPattern) {
  const EvidenceOptions& o = writer_.options();
  const double seconds = o.pre + o.post + 2.0 * longestPattern + kRingMarginSeconds;
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
  for (std::size_t i = 0; i < n;) {
    const std::size_t at = static_cast<std::size_t>(end_ % static_cast<std::int64_t>(cap));
    const std::size_t piece = std::min(n - i, cap - at);
    std::memcpy(ring_.data() + at, samples + i, piece * sizeof(std::int16_t));
    i += piece;
    end_ += static_cast<std::int64_t>(piece);
  }
  if (!waiting_.empty()) Flush(false);
}

void EvidenceRecorder::Detected(const Detection& d) { waiting_.push_back(Waiting{d, WallClockNow()}); }

void EvidenceRecorder::Finish() { Flush(true); }

void EvidenceRecorder::Flush(bool all) {
  const EvidenceOptions& o = writer_.options();
  const auto pre = static_cast<std::int64_t>(std::llround(o.pre * kLibraryRate));
  const auto post = static_cast<std::int64_t>(std::llround(o.post * kLibraryRate));
  const auto cap = static_cast<std::int64_t>(ring_.size());
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    const Detection& d = it->detection;
    if (!all && end_ < d.report.End + post) {
      ++it;
      continue;
    }
    const std::int64_t first = std::max({d.report.Begin - pre, end_ - cap, start_});
    const std::int64_t last = std::min(d.report.End + post, end_);
    if (last <= first) {
      // Reported later than the ring reaches back (or at an input without samples).
      writer_.Lost(d, "the audio of the detection at " + std::to_string(d.beginSeconds) + " s has left the evidence buffer");
      it = waiting_.erase(it);
      continue;
    }
    std::vector<std::int16_t> samples;
    samples.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, last - first)));
    for (std::int64_t p = first; p < last; ++p) samples.push_back(ring_[static_cast<std::size_t>(p % cap)]);
    writer_.Submit(d, it->reportedAt, first, std::move(samples));
    it = waiting_.erase(it);
  }
}

}  // namespace sigpat
