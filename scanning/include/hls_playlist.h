// What the clock of an HLS stream reads from its playlists, without FFmpeg: the playlist text
// (segments with their durations and #EXT-X-PROGRAM-DATE-TIME dates, or a master playlist's
// variants), URIs made absolute against the playlist's URL, and the timeline that maps stream
// time to dates (hls_clock.h feeds it what libavformat's HLS demuxer fetches and opens).
//
// Stream time maps to segments by their durations: the first decoded timestamp is the start of
// the first segment the demuxer opened, each later segment starts where the one before ends
// (#EXTINF), and a time inside a segment is its stamped date plus the offset into it. A
// segment without a date of its own continues the one before. Timestamps that go backwards at
// a segment the demuxer has just opened are that segment's own (segments cut with their clocks
// reset each start again): the count goes on from that segment's start. Timestamps that go
// backwards anywhere else (a discontinuity) end the clock for the rest of the connection.
#ifndef SIGPAT_HLS_PLAYLIST_H
#define SIGPAT_HLS_PLAYLIST_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sigpat {

struct HlsSegment {
  double duration = 0.0;  // finite, >= 0
  double date = -1.0;     // UTC seconds since 1970; < 0: none
  std::string uri;        // absolute when the playlist's URL is
};

struct HlsPlaylistText {
  std::vector<std::string> variants;           // a master playlist's variant URLs, in its order
  std::map<std::int64_t, HlsSegment> segments;  // a media playlist's, by media sequence number
};

// The playlist `text` fetched from `url` (text that does not start with #EXTM3U gives nothing).
HlsPlaylistText ParseHlsPlaylist(const std::string& text, const std::string& url);

// "2021-03-04T05:06:07.250Z", "...+01:00", "...+0100": UTC seconds since 1970; < 0 when it is
// not such a date.
double ParseHlsDate(const std::string& text);

// A URI of a playlist line made absolute against the playlist's URL (against its directory for
// a playlist read from a file), with the "." and ".." steps of its path taken, as libavformat
// takes them before it opens a segment.
std::string ResolveHlsUri(const std::string& base, const std::string& uri);

// True for URLs whose path names a playlist (.m3u8, .m3u).
bool LooksLikeHlsPlaylist(const std::string& url);

class HlsTimeline {
 public:
  // A playlist fetched from `url`.
  void Learn(const std::string& text, const std::string& url);
  // The demuxer opened `url`: true when it is a listed segment (the first one opened of a
  // playlist is where its stream time starts).
  bool NoteSegment(const std::string& url);
  const std::vector<std::string>& variants() const { return variants_; }
  std::vector<std::string> PlaylistUrls() const;
  // The playlist that carries the stream: the one of `variant` (a master playlist's variant),
  // or with an empty `variant` the first one a segment was opened of. False when there is none
  // or it has no dates: the stream has no clock.
  bool Select(const std::string& variant);
  // UTC seconds since 1970 of the stream time `seconds` (asked in the order decoded); < 0 when
  // not known.
  double WallAt(double seconds);

 private:
  struct Playlist {
    std::string url;
    std::map<std::int64_t, HlsSegment> segments;  // by media sequence number
    std::int64_t first = -1;                      // the first segment the demuxer opened
    std::int64_t opened = -1;                     // the last one it opened
  };
  Playlist& PlaylistOf(const std::string& url);

  std::deque<Playlist> playlists_;  // a deque: active_ stays valid as it grows
  std::vector<std::string> variants_;
  Playlist* active_ = nullptr;
  bool started_ = false;
  double start_ = 0.0;     // stream time of the first segment's start
  std::int64_t at_ = 0;    // the segment of the last time asked
  double atStart_ = 0.0;   // its start, from start_
  double last_ = 0.0;      // the stream time asked last, from start_
  std::int64_t origin_ = 0;  // the segment whose start is start_
};

}  // namespace sigpat

#endif
