#include "hls_clock.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

namespace sigpat {

namespace {

// Playlists are small; anything beyond this is not one.
constexpr std::size_t kMaxPlaylistBytes = 4u << 20;

std::string Trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b])) != 0) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])) != 0) --e;
  return s.substr(b, e - b);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The URL with the "." and ".." steps of its path taken, as libavformat takes them before it
// opens a segment.
std::string WithoutDotSteps(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t root = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
  if (root == std::string::npos) return url;
  const std::size_t query = std::min(url.find('?'), url.size());
  if (query < root) return url;
  std::vector<std::string> steps;
  std::size_t at = root;
  while (at < query) {
    const std::size_t next = std::min(url.find('/', at + 1), query);
    const std::string step = url.substr(at + 1, next - at - 1);
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
    } else if (step != ".") {
      steps.push_back(step);
    }
    at = next;
  }
  std::string out = url.substr(0, root);
  for (const auto& step : steps) out += "/" + step;
  return out + url.substr(query);
}

// A URI of a playlist line, made absolute against the playlist's URL.
std::string Resolve(const std::string& base, const std::string& uri) {
  if (uri.find("://") != std::string::npos) return uri;
  const std::size_t scheme = base.find("://");
  if (StartsWith(uri, "//")) return scheme == std::string::npos ? uri : base.substr(0, scheme + 1) + uri;
  if (StartsWith(uri, "/")) {
    if (scheme == std::string::npos) return uri;
    const std::size_t path = base.find('/', scheme + 3);
    return WithoutDotSteps((path == std::string::npos ? base : base.substr(0, path)) + uri);
  }
  const std::string plain = base.substr(0, base.find('?'));
  const std::size_t slash = plain.rfind('/');
  return slash == std::string::npos ? uri : WithoutDotSteps(plain.substr(0, slash + 1) + uri);
}

// True for URLs whose path names a playlist.
bool LooksLikePlaylist(const std::string& url) {
  std::string path = url.substr(0, url.find('?'));
  std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return std::tolower(c); });
  auto endsWith = [&](const char* ext) {
    const std::size_t n = std::strlen(ext);
    return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
  };
  return endsWith(".m3u8") || endsWith(".m3u");
}

}  // namespace

double HlsClock::ParseDate(const std::string& text) {
  std::tm tm{};
  double seconds = 0.0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &seconds, &used) != 6 ||
      tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      !(seconds >= 0.0 && seconds < 61.0))
    return -1.0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  double zone = 0.0;
  const std::string rest = text.substr(static_cast<std::size_t>(used));
  if (!rest.empty() && rest != "Z" && rest != "z") {
    int h = 0, m = 0;
    char sign = 0;
    if (std::sscanf(rest.c_str(), "%c%2d:%2d", &sign, &h, &m) != 3 &&
        std::sscanf(rest.c_str(), "%c%2d%2d", &sign, &h, &m) != 3 && std::sscanf(rest.c_str(), "%c%2d", &sign, &h) != 2)
      return -1.0;
    if ((sign != '+' && sign != '-') || h > 23 || m > 59) return -1.0;
    zone = (sign == '+' ? 1.0 : -1.0) * (h * 3600.0 + m * 60.0);
  }
  const double wall = static_cast<double>(timegm(&tm)) + seconds - zone;
  return wall >= 0.0 ? wall : -1.0;
}

void HlsClock::Watch(AVFormatContext* format) {
  open_ = format->io_open;
  format->opaque = this;
  format->io_open = &HlsClock::Open;
}

int HlsClock::Open(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
  auto* self = static_cast<HlsClock*>(s->opaque);
  const int err = self->open_(s, pb, url, flags, options);
  // The demuxer's own opening of playlists, segments and keys; the opening of the URL itself
  // comes before the format is known.
  if (err >= 0 && url != nullptr && s->iformat != nullptr && std::strcmp(s->iformat->name, "hls") == 0)
    self->Opened(s, url);
  return err;
}

void HlsClock::Opened(AVFormatContext* s, const std::string& url) {
  if (LooksLikePlaylist(url)) {
    Fetch(s, url);
    return;
  }
  if (others_.count(url) != 0 || NoteSegment(url)) return;
  // A segment not listed yet: the playlists again (the top one too: its URL may not look like one).
  if (playlists_.empty() && s->url != nullptr) Fetch(s, s->url);
  std::vector<std::string> urls;
  for (const auto& p : playlists_) urls.push_back(p.url);
  for (const auto& u : urls) Fetch(s, u);
  if (NoteSegment(url)) return;
  if (others_.size() >= 256) others_.clear();  // a stream whose segments never match stays bounded
  others_.insert(url);
}

bool HlsClock::NoteSegment(const std::string& url) {
  for (auto& p : playlists_)
    for (const auto& [seq, segment] : p.segments)
      if (segment.uri == url) {
        if (p.first < 0) p.first = seq;
        return true;
      }
  return false;
}

void HlsClock::Fetch(AVFormatContext* s, const std::string& url) {
  AVIOContext* pb = nullptr;
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "rw_timeout", 15000000, 0);
  const int err = avio_open2(&pb, url.c_str(), AVIO_FLAG_READ, &s->interrupt_callback, &options);
  av_dict_free(&options);
  if (err < 0) return;  // the demuxer reports what it cannot read; the clock does without
  std::string text;
  unsigned char buffer[4096];
  for (int n; text.size() < kMaxPlaylistBytes && (n = avio_read(pb, buffer, sizeof(buffer))) > 0;)
    text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  avio_closep(&pb);
  if (StartsWith(text, "#EXTM3U")) Parse(text, url);
}

HlsClock::Playlist& HlsClock::PlaylistOf(const std::string& url) {
  for (auto& p : playlists_)
    if (p.url == url) return p;
  playlists_.push_back(Playlist{url, {}, -1});
  return playlists_.back();
}

void HlsClock::Parse(const std::string& text, const std::string& url) {
  std::istringstream in(text);
  std::vector<std::string> variants;
  std::map<std::int64_t, Segment> segments;
  std::int64_t seq = 0;
  double duration = 0.0, date = -1.0;
  bool variantNext = false;
  const Segment* last = nullptr;
  for (std::string line; std::getline(in, line);) {
    line = Trimmed(line);
    if (line.empty()) continue;
    if (StartsWith(line, "#EXT-X-STREAM-INF")) {
      variantNext = true;
    } else if (StartsWith(line, "#EXT-X-MEDIA-SEQUENCE:")) {
      seq = std::strtoll(line.c_str() + 22, nullptr, 10);
    } else if (StartsWith(line, "#EXTINF:")) {
      duration = std::strtod(line.c_str() + 8, nullptr);
    } else if (StartsWith(line, "#EXT-X-PROGRAM-DATE-TIME:")) {
      date = ParseDate(line.substr(25));
    } else if (line[0] != '#') {
      if (variantNext) {
        variants.push_back(Resolve(url, line));
        variantNext = false;
        continue;
      }
      // A segment without a date of its own follows on from the one before.
      if (date < 0.0 && last != nullptr && last->date >= 0.0) date = last->date + last->duration;
      Segment& s = segments[seq++];
      s.duration = std::isfinite(duration) && duration > 0.0 ? duration : 0.0;
      s.date = date;
      s.uri = Resolve(url, line);
      last = &s;
      duration = 0.0;
      date = -1.0;
    }
  }
  if (!variants.empty()) {
    variants_ = variants;
    for (const auto& v : variants_) PlaylistOf(v);
    return;
  }
  Playlist& p = PlaylistOf(url);
  for (auto& [n, s] : segments) p.segments[n] = std::move(s);
  // What lies well behind the stream time asked last is no longer needed.
  if (p.first >= 0)
    p.segments.erase(p.segments.begin(), p.segments.lower_bound((&p == active_ && started_ ? at_ : p.first) - 2));
}

bool HlsClock::Select(AVFormatContext* format, int stream) {
  active_ = nullptr;
  std::string url;
  if (!variants_.empty()) {
    // The demuxer makes a program per variant, numbered in the master playlist's order.
    for (unsigned i = 0; i < format->nb_programs && url.empty(); ++i) {
      const AVProgram* program = format->programs[i];
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k)
        if (static_cast<int>(program->stream_index[k]) == stream && program->id >= 0 &&
            program->id < static_cast<int>(variants_.size()))
          url = variants_[static_cast<std::size_t>(program->id)];
    }
  }
  for (auto& p : playlists_)
    if (p.first >= 0 && (url.empty() || p.url == url)) {
      active_ = &p;
      break;
    }
  if (active_ == nullptr) return false;
  return std::any_of(active_->segments.begin(), active_->segments.end(),
                     [](const auto& s) { return s.second.date >= 0.0; });
}

double HlsClock::WallAt(double seconds) {
  if (active_ == nullptr || !std::isfinite(seconds)) return -1.0;
  if (!started_) {
    started_ = true;
    start_ = seconds;
    at_ = active_->first;
    atStart_ = 0.0;
  }
  const double t = seconds - start_;
  if (t < atStart_ - 1.0) active_ = nullptr;  // timestamps went back: a discontinuity
  if (active_ == nullptr) return -1.0;
  const auto& segments = active_->segments;
  for (auto it = segments.find(at_); it != segments.end() && t >= atStart_ + it->second.duration;) {
    auto next = segments.find(at_ + 1);
    if (next == segments.end()) break;  // not listed yet: the date runs on from this one
    atStart_ += it->second.duration;
    ++at_;
    it = next;
  }
  const auto it = segments.find(at_);
  if (it == segments.end() || it->second.date < 0.0) return -1.0;
  return it->second.date + (t - atStart_);
}

}  // namespace sigpat
