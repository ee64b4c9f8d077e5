// The clock of an HLS stream: #EXT-X-PROGRAM-DATE-TIME stamps the first sample of a segment
// with the date and time the station gave it. libavformat's HLS demuxer skips the tag, so the
// clock reads the playlists itself (through libavformat's I/O, with the demuxer's interrupt
// callback) each time the demuxer opens one, and learns from the demuxer's own opening of
// segments where it started.
//
// Stream time maps to segments by their durations: the first decoded timestamp is the start of
// the first segment the demuxer opened, each later segment starts where the one before ends
// (#EXTINF), and a time inside a segment is its stamped date plus the offset into it. A
// segment without a date of its own continues the one before. Timestamps that go backwards (a
// discontinuity) end the clock for the rest of the connection.
#ifndef SIGPAT_HLS_CLOCK_H
#define SIGPAT_HLS_CLOCK_H

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

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
  double WallAt(double seconds);

  // "2021-03-04T05:06:07.250Z", "...+01:00", "...+0100": UTC seconds since 1970; < 0 when it is
  // not such a date.
  static double ParseDate(const std::string& text);

 private:
  struct Segment {
    double duration = 0.0;
    double date = -1.0;  // < 0: none
    std::string uri;     // absolute
  };
  struct Playlist {
    std::string url;
    std::map<std::int64_t, Segment> segments;  // by media sequence number
    std::int64_t first = -1;                   // the first segment the demuxer opened
  };
  static int Open(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options);
  void Opened(AVFormatContext* s, const std::string& url);
  void Fetch(AVFormatContext* s, const std::string& url);
  void Parse(const std::string& text, const std::string& url);
  Playlist& PlaylistOf(const std::string& url);
  bool NoteSegment(const std::string& url);

  int (*open_)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
  std::deque<Playlist> playlists_;  // a deque: active_ stays valid as it grows
  std::vector<std::string> variants_;  // a master playlist's variants, in its order
  std::set<std::string> others_;       // URLs opened that are no segment (keys, init sections)
  Playlist* active_ = nullptr;
  bool started_ = false;
  double start_ = 0.0;        // stream time of the first segment's start
  std::int64_t at_ = 0;       // the segment of the last time asked
  double atStart_ = 0.0;      // its start, from start_
};

}  // namespace sigpat

#endif
