// The clock of an HLS stream: #EXT-X-PROGRAM-DATE-TIME stamps the first sample of a segment
// with the date and time the station gave it. libavformat's HLS demuxer skips the tag, so the
// clock reads the playlists itself (through libavformat's I/O, with the demuxer's interrupt
// callback) each time the demuxer opens one, and learns from the demuxer's own opening of
// segments where it started. The playlists and the times they give are hls_playlist.h's.
#ifndef SIGPAT_HLS_CLOCK_H
#define SIGPAT_HLS_CLOCK_H

#include <set>
#include <string>

#include "hls_playlist.h"

struct AVFormatContext;
struct AVIOContext;
struct AVDictionary;

namespace sigpat {

class HlsClock {
 public:
  // Watches what the demuxer of `format` opens: call before avformat_open_input (it takes
  // format->opaque and format->io_open). The clock must outlive the format context.
  void Watch(AVFormatContext* format);
  // After the streams are known: the playlist that carries `stream` (its variant, when the URL
  // is a master playlist). False when no playlist with dates was found: the stream has no clock.
  bool Select(AVFormatContext* format, int stream);
  // UTC seconds since 1970 of the stream time `seconds` (the decoded stream's timestamps, in
  // the order decoded); < 0 when not known.
  double WallAt(double seconds) { return timeline_.WallAt(seconds); }

 private:
  static int Open(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options);
  void Opened(AVFormatContext* s, const std::string& url);
  void Fetch(AVFormatContext* s, const std::string& url);

  int (*open_)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
  HlsTimeline timeline_;
  std::set<std::string> others_;  // URLs opened that are no segment (keys, init sections)
};

}  // namespace sigpat

#endif
