// The playlists of HLS streams as the stream clock reads them: URIs resolved the way the
// demuxer opens them, playlists with hostile numbers, and dates along the stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "hls_playlist.h"

namespace {

using namespace sigpat;

TEST(HlsPlaylist, UrisResolveToWhatTheDemuxerOpens) {
  const struct {
    const char *base, *uri, *expected;
  } cases[] = {
      {"https://r.example/live/index.m3u8", "seg-1.ts", "https://r.example/live/seg-1.ts"},
      {"http://c.example:8080/a/b/x.m3u8?t=1", "../c/./s.aac", "http://c.example:8080/a/c/s.aac"},
      {"http://c.example/a/x.m3u8", "/../../s.ts?q=../x", "http://c.example/s.ts?q=../x"},
      {"http://c.example/a/x.m3u8", "//d.example/s.ts", "http://d.example/s.ts"},
      {"http://c.example/a/x.m3u8", "https://e.example/s.ts", "https://e.example/s.ts"},
      // A stream URL without a path, and one with a query but no path: the root is the directory.
      {"http://r.example:8000", "live/s1.ts", "http://r.example:8000/live/s1.ts"},
      {"http://r.example?id=4/5", "/s.ts", "http://r.example/s.ts"},
      // A playlist read from a file: its directory, the path kept relative.
      {"playlists/local.m3u8", "seg.ts", "playlists/seg.ts"},
      {"playlists/local.m3u8", "../up/seg.ts", "up/seg.ts"},
      {"local.m3u8", "../seg.ts", "../seg.ts"},
      {"/srv/hls/a.m3u8", "b/./c.ts", "/srv/hls/b/c.ts"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveHlsUri(c.base, c.uri), c.expected) << c.base << " + " << c.uri;
}

TEST(HlsPlaylist, HostileNumbersGiveNoClockRatherThanOverflow) {
  // The largest media sequence: the segments after it are counted on without overflow.
  const HlsPlaylistText p = ParseHlsPlaylist(
      "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:9223372036854775807\n"
      "#EXT-X-PROGRAM-DATE-TIME:9999-12-31T23:59:58Z\n#EXTINF:1e308,\na.ts\n#EXTINF:nan,\nb.ts\n"
      "#EXT-X-MEDIA-SEQUENCE:-5\n#EXTINF:inf,\nc.ts\n",
      "http://h/x.m3u8");
  ASSERT_EQ(p.segments.size(), 3u);
  const auto a = p.segments.find(std::int64_t{1} << 53);
  ASSERT_NE(a, p.segments.end());
  EXPECT_EQ(a->second.duration, 1e308);
  EXPECT_GT(a->second.date, 0.0);
  EXPECT_EQ(std::next(a)->second.duration, 0.0);  // nan
  EXPECT_EQ(std::next(a)->second.date, -1.0);     // would run past the year 9999
  EXPECT_EQ(p.segments.begin()->first, 0);        // a negative sequence is 0
  EXPECT_EQ(p.segments.begin()->second.duration, 0.0);

  EXPECT_EQ(ParseHlsDate("2021-03-04T05:06:07.250Z"), 1614834367.25);
  EXPECT_EQ(ParseHlsDate("2021-03-04T06:36:07.250+0130"), 1614834367.25);
  EXPECT_EQ(ParseHlsDate("2021-03-04T05:06:07.250-00:00"), 1614834367.25);
  for (const char* bad : {"1969-12-31T23:59:59Z", "9999-12-31T23:59:59.5Z", "2021-13-04T05:06:07Z",
                          "2021-03-04T05:06:07+24:00", "2021-03-04T05:06:61Z", "2021-03-04 05:06:07Z"})
    EXPECT_EQ(ParseHlsDate(bad), -1.0) << bad;
}

TEST(HlsPlaylist, TimelineDatesTheStreamFromTheFirstSegmentOpened) {
  HlsTimeline t;
  const std::string url = "https://r.example/live/index.m3u8";
  t.Learn("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:10\n#EXT-X-PROGRAM-DATE-TIME:2021-03-04T05:06:07Z\n"
          "#EXTINF:4,\ns10.ts\n#EXTINF:4,\ns11.ts\n#EXTINF:1e308,\ns12.ts\n",
          url);
  EXPECT_FALSE(t.Select(""));  // no segment opened yet
  EXPECT_FALSE(t.NoteSegment("https://r.example/live/key.bin"));
  EXPECT_TRUE(t.NoteSegment("https://r.example/live/s11.ts"));
  ASSERT_TRUE(t.Select(""));
  const double date = ParseHlsDate("2021-03-04T05:06:07Z");
  EXPECT_EQ(t.WallAt(100.0), date + 4.0);  // s11 continues s10's date
  EXPECT_EQ(t.WallAt(105.5), date + 9.5);  // in s12
  EXPECT_EQ(t.WallAt(1e300), -1.0);        // a date past the year 9999 is none
  EXPECT_EQ(t.WallAt(std::numeric_limits<double>::quiet_NaN()), -1.0);
  EXPECT_EQ(t.WallAt(50.0), -1.0);  // back in time: a discontinuity ends the clock
  EXPECT_EQ(t.WallAt(106.0), -1.0);
}

// Segments whose timestamps start again each: a step back once the demuxer has opened the next
// segment is that segment's start; a step back of more than a second with no segment opened since is a
// discontinuity.
TEST(HlsPlaylist, TimestampsRestartingAtANewSegmentContinueTheDate) {
  HlsTimeline t;
  const std::string url = "/srv/hls/cut.m3u8";
  t.Learn("#EXTM3U\n#EXT-X-PROGRAM-DATE-TIME:2021-03-04T05:06:07Z\n"
          "#EXTINF:4,\np0.ts\n#EXTINF:4,\np1.ts\n#EXTINF:4,\np2.ts\n",
          url);
  ASSERT_TRUE(t.NoteSegment("/srv/hls/p0.ts"));
  ASSERT_TRUE(t.Select(""));
  const double date = ParseHlsDate("2021-03-04T05:06:07Z");
  EXPECT_EQ(t.WallAt(1.4), date);
  EXPECT_EQ(t.WallAt(5.25), date + 3.85);
  ASSERT_TRUE(t.NoteSegment("/srv/hls/p1.ts"));
  EXPECT_EQ(t.WallAt(5.375), date + 3.975);  // the last frames of p0, decoded after p1 opened
  EXPECT_EQ(t.WallAt(1.5), date + 4.0);      // p1's own clock
  EXPECT_EQ(t.WallAt(3.5), date + 6.0);
  ASSERT_TRUE(t.NoteSegment("/srv/hls/p2.ts"));
  EXPECT_EQ(t.WallAt(2.25), date + 8.0);
  EXPECT_EQ(t.WallAt(0.5), -1.0);  // back again inside p2: the clock ends
  EXPECT_EQ(t.WallAt(3.0), -1.0);
}

}  // namespace
