#include "hls_playlist.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace sigpat {

namespace {

// Dates from the last second of the year 9999 on are none: the ISO form has four digits of
// year, and a clock that runs past them (an absurd #EXTINF) is no clock.
constexpr double kDateEnd = 253402300799.0;
// A decoded time more than this before the one asked last has gone back.
constexpr double kBackStep = 0.01;
// Media sequence numbers are taken up to here, so that counting segments on never overflows.
constexpr std::int64_t kMaxSequence = std::int64_t{1} << 53;

std::string Trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b])) != 0) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])) != 0) --e;
  return s.substr(b, e - b);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The length of "scheme://authority" at the start of an absolute URL; 0 for a path.
std::size_t OriginLength(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return 0;
  return std::min(url.find_first_of("/?#", scheme + 3), url.size());
}

// A path (with its query) with the "." and ".." steps taken; ".." steps that climb above the
// start of a relative path are kept, above the root of an absolute one dropped.
std::string WithoutDotSteps(const std::string& path) {
  const std::size_t query = std::min(path.find_first_of("?#"), path.size());
  const bool rooted = !path.empty() && path[0] == '/';
  std::vector<std::string> steps;
  for (std::size_t at = rooted ? 1 : 0;;) {
    const std::size_t next = std::min(path.find('/', at), query);
    const std::string step = path.substr(at, next - at);
    if (step == "..") {
      if (!steps.empty() && steps.back() != "..") steps.pop_back();
      else if (!rooted) steps.push_back(step);
    } else if (step != ".") {
      steps.push_back(step);
    }
    if (next >= query) break;
    at = next + 1;
  }
  std::string out = rooted ? "/" : "";
  for (std::size_t i = 0; i < steps.size(); ++i) out += (i > 0 ? "/" : "") + steps[i];
  return out + path.substr(query);
}

}  // namespace

std::string ResolveHlsUri(const std::string& base, const std::string& uri) {
  if (uri.find("://") != std::string::npos) return uri;
  const std::size_t origin = OriginLength(base);
  if (StartsWith(uri, "//")) return origin == 0 ? uri : base.substr(0, base.find("://") + 1) + uri;
  if (StartsWith(uri, "/")) return base.substr(0, origin) + WithoutDotSteps(uri);
  // Relative to the base's directory: a URL without a path has the root.
  const std::size_t query = std::min(base.find_first_of("?#", origin), base.size());
  const std::string path = base.substr(origin, query - origin);
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash != std::string::npos ? path.substr(0, slash + 1) : origin > 0 ? "/" : "";
  return base.substr(0, origin) + WithoutDotSteps(dir + uri);
}

bool LooksLikeHlsPlaylist(const std::string& url) {
  std::string path = url.substr(0, url.find('?'));
  std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return std::tolower(c); });
  auto endsWith = [&](const char* ext) {
    const std::size_t n = std::strlen(ext);
    return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
  };
  return endsWith(".m3u8") || endsWith(".m3u");
}

double ParseHlsDate(const std::string& text) {
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
  return wall >= 0.0 && wall < kDateEnd ? wall : -1.0;
}

HlsPlaylistText ParseHlsPlaylist(const std::string& text, const std::string& url) {
  HlsPlaylistText out;
  if (!StartsWith(text, "#EXTM3U")) return out;
  std::istringstream in(text);
  std::int64_t seq = 0;
  double duration = 0.0, date = -1.0;
  bool variantNext = false;
  const HlsSegment* last = nullptr;
  for (std::string line; std::getline(in, line);) {
    line = Trimmed(line);
    if (line.empty()) continue;
    if (StartsWith(line, "#EXT-X-STREAM-INF")) {
      variantNext = true;
    } else if (StartsWith(line, "#EXT-X-MEDIA-SEQUENCE:")) {
      seq = std::clamp<std::int64_t>(std::strtoll(line.c_str() + 22, nullptr, 10), 0, kMaxSequence);
    } else if (StartsWith(line, "#EXTINF:")) {
      duration = std::strtod(line.c_str() + 8, nullptr);
    } else if (StartsWith(line, "#EXT-X-PROGRAM-DATE-TIME:")) {
      date = ParseHlsDate(line.substr(25));
    } else if (line[0] != '#') {
      if (variantNext) {
        out.variants.push_back(ResolveHlsUri(url, line));
        variantNext = false;
        continue;
      }
      // A segment without a date of its own follows on from the one before.
      if (date < 0.0 && last != nullptr && last->date >= 0.0 && last->date + last->duration < kDateEnd)
        date = last->date + last->duration;
      HlsSegment& s = out.segments[seq++];
      s.duration = std::isfinite(duration) && duration > 0.0 ? duration : 0.0;
      s.date = date;
      s.uri = ResolveHlsUri(url, line);
      last = &s;
      duration = 0.0;
      date = -1.0;
    }
  }
  return out;
}

HlsTimeline::Playlist& HlsTimeline::PlaylistOf(const std::string& url) {
  for (auto& p : playlists_)
    if (p.url == url) return p;
  playlists_.push_back(Playlist{url, {}, -1, -1});
  return playlists_.back();
}

void HlsTimeline::Learn(const std::string& text, const std::string& url) {
  if (!StartsWith(text, "#EXTM3U")) return;
  HlsPlaylistText parsed = ParseHlsPlaylist(text, url);
  if (!parsed.variants.empty()) {
    variants_ = std::move(parsed.variants);
    for (const auto& v : variants_) PlaylistOf(v);
    return;
  }
  Playlist& p = PlaylistOf(url);
  for (auto& [n, s] : parsed.segments) p.segments[n] = std::move(s);
  // What lies well behind the stream time asked last is no longer needed.
  if (p.first >= 0)
    p.segments.erase(p.segments.begin(), p.segments.lower_bound((&p == active_ && started_ ? at_ : p.first) - 2));
}

bool HlsTimeline::NoteSegment(const std::string& url) {
  for (auto& p : playlists_)
    for (const auto& [seq, segment] : p.segments)
      if (segment.uri == url) {
        if (p.first < 0) p.first = seq;
        p.opened = std::max(p.opened, seq);
        return true;
      }
  return false;
}

std::vector<std::string> HlsTimeline::PlaylistUrls() const {
  std::vector<std::string> urls;
  for (const auto& p : playlists_) urls.push_back(p.url);
  return urls;
}

bool HlsTimeline::Select(const std::string& variant) {
  active_ = nullptr;
  for (auto& p : playlists_)
    if (p.first >= 0 && (variant.empty() || p.url == variant)) {
      active_ = &p;
      break;
    }
  if (active_ == nullptr) return false;
  return std::any_of(active_->segments.begin(), active_->segments.end(),
                     [](const auto& s) { return s.second.date >= 0.0; });
}

double HlsTimeline::WallAt(double seconds) {
  if (active_ == nullptr || !std::isfinite(seconds)) return -1.0;
  if (!started_) {
    started_ = true;
    start_ = seconds;
    at_ = origin_ = active_->first;
    atStart_ = last_ = 0.0;
  }
  double t = seconds - start_;
  if (t < last_ - kBackStep && active_->opened > origin_) {
    // Timestamps went back after the demuxer opened a later segment: they restart at its start.
    start_ = seconds;
    at_ = origin_ = active_->opened;
    t = atStart_ = last_ = 0.0;
  } else if (t < atStart_ - 1.0) {
    active_ = nullptr;  // timestamps went back inside a segment: a discontinuity
    return -1.0;
  }
  last_ = std::max(last_, t);
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
  const double wall = it->second.date + (t - atStart_);
  return wall >= 0.0 && wall < kDateEnd ? wall : -1.0;
}

}  // namespace sigpat
