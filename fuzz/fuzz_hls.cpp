// Fuzz target: the playlists of an HLS stream and the clock they give (hls_playlist.h), as the
// decoder drives them: playlists fetched and fetched again, segments opened, a variant picked,
// then decoded timestamps turned into dates along the samples delivered (wall_clock.h).
//
// The input is a script of steps separated by zero bytes; the first character of a step says
// what it is, the rest is its argument:
//   P<d>TEXT  the playlist TEXT fetched from URL d (0-2 fixed URLs, 3-9 the variants and
//             playlists learned so far)
//   n<d>      the demuxer opens the d-th segment of the playlist parsed last
//   N URL     the demuxer opens URL (anything: a key, an unknown segment)
//   V<d>      the stream is picked: d = 0 the first playlist a segment was opened of, else variant d-1
//   T NUMBER  a decoded timestamp in seconds (strtod: "nan", "inf" and hex included)
// Contract: whatever the playlists say, a parsed segment has a finite duration >= 0 and a date
// that is none (< 0) or one ParseHlsDate can give; URIs resolved against an absolute URL are
// absolute; every time the clock gives is none or a date that prints (year 1970 to 9999)
// and parses back to itself within the printed millisecond.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "hls_playlist.h"
#include "wall_clock.h"

namespace {

constexpr double kDateEnd = 253402300799.0;  // 9999-12-31T23:59:59Z

bool IsDate(double d) { return d < 0.0 ? d == -1.0 : d < kDateEnd; }

// A date prints as ISO 8601 and reads back as itself (to the millisecond printed).
void CheckDate(double d) {
  if (!IsDate(d)) std::abort();
  if (d < 0.0) return;
  const std::string text = sigpat::FormatUtc(d);
  const double back = sigpat::ParseHlsDate(text);
  if (text.size() != 24 || !(std::fabs(back - d) <= 0.0006)) std::abort();
}

void CheckParsed(const sigpat::HlsPlaylistText& parsed, const std::string& url) {
  const bool absolute = url.find("://") != std::string::npos;
  auto checkUri = [&](const std::string& uri) {
    if (absolute && uri.find("://") == std::string::npos) std::abort();
  };
  for (const auto& v : parsed.variants) checkUri(v);
  for (const auto& [seq, s] : parsed.segments) {
    if (seq < 0 || !std::isfinite(s.duration) || s.duration < 0.0) std::abort();
    CheckDate(s.date);
    checkUri(s.uri);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::string> kUrls = {"https://radio.example/live/index.m3u8",
                                                 "http://cdn.example:8080/a/./b/../chunks.m3u8?token=1",
                                                 "playlists/local.m3u8"};
  const std::string script(reinterpret_cast<const char*>(data), size);
  sigpat::HlsTimeline timeline;
  sigpat::HlsPlaylistText last;
  sigpat::ClockTrack track(44100.0);
  std::int64_t position = 0;
  int steps = 0;
  for (std::size_t at = 0; at < script.size() && steps < 256; ++steps) {
    std::size_t end = script.find('\0', at);
    if (end == std::string::npos) end = script.size();
    const std::string step = script.substr(at, end - at);
    at = end + 1;
    if (step.empty()) continue;
    const std::string arg = step.substr(1);
    const int digit = arg.empty() ? 0 : static_cast<unsigned char>(arg[0]) % 10;
    switch (step[0]) {
      case 'P': {
        std::vector<std::string> urls = kUrls;
        for (const auto& v : timeline.variants()) urls.push_back(v);
        for (const auto& u : timeline.PlaylistUrls()) urls.push_back(u);
        const std::string& url = urls[static_cast<std::size_t>(digit) % urls.size()];
        const std::string text = arg.empty() ? arg : arg.substr(1);
        last = sigpat::ParseHlsPlaylist(text, url);
        CheckParsed(last, url);
        timeline.Learn(text, url);
        break;
      }
      case 'n': {
        if (last.segments.empty()) break;
        auto it = last.segments.begin();
        std::advance(it, static_cast<long>(static_cast<std::size_t>(digit) % last.segments.size()));
        timeline.NoteSegment(it->second.uri);
        break;
      }
      case 'N': timeline.NoteSegment(arg); break;
      case 'V': {
        const auto& variants = timeline.variants();
        timeline.Select(digit == 0 || variants.empty() ? std::string()
                                                       : variants[static_cast<std::size_t>(digit - 1) % variants.size()]);
        break;
      }
      case 'T': {
        const double wall = timeline.WallAt(std::strtod(arg.c_str(), nullptr));
        CheckDate(wall);
        track.Note(position, wall);
        position += 1152 * (1 + digit);
        const double at = track.At(static_cast<double>(position) - 0.5);
        if (at >= 0.0) sigpat::FormatUtc(at);
        track.Forget(static_cast<double>(position) - 44100.0);
        break;
      }
      default: break;
    }
  }
  return 0;
}
