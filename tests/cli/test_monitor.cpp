// Compressed files, URLs and live monitoring end to end: the test makes its audio (a clip in
// noise), encodes it with the ffmpeg program (MP3, AAC, M4A, Opus, HLS, a video file), serves it
// on 127.0.0.1 with stream_server.py (an endless radio stream under /live/) and runs sigpat.
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>

#include "cli_audio.h"
#include "sigpat_runner.h"
#include "stream_support.h"
#include "synth.h"

namespace {

using nlohmann::json;
namespace synth = sigpat::synth;

void WriteText(const std::string& path, const std::string& text) {
  sptest::WriteAll(path, std::vector<unsigned char>(text.begin(), text.end()));
}

using namespace streamtest;

class Monitor : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    std::filesystem::create_directories(File("www/hls"));
    ASSERT_TRUE(synth::WriteAudioFile(File("clip.wav"), Clip(), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("stream.wav"), Stream(16, {kClipAt}, 3), 44100, 1,
                                      SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("short.wav"), Stream(6, {1.0}, 4), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    // Patterns: the clip, and another sound (in pats/, where a reload finds it).
    std::filesystem::create_directories(File("pats"));
    ASSERT_TRUE(synth::WriteAudioFile(File("other.wav"), synth::ToneSteps({{330}, {2960}, {1175}, {370}}, 0.2, 0.5),
                                      44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    for (const std::string& args : {"create " + File("clip.wav"), "create " + File("clip.wav") + " -o " + File("pats/clip"),
                                   "create " + File("other.wav")}) {
      RunResult r = Run(args);
      ASSERT_EQ(r.status, 0) << r.err;
    }
  }
  // Encodes stream.wav (or another WAV of the suite) with the codec options.
  static void Encode(const std::string& options, const std::string& out, const std::string& wav = "stream.wav") {
    Ffmpeg(" -i " + File(wav) + " " + options + " " + File(out));
  }
  static constexpr const char* kMp3 = "-c:a libmp3lame -b:a 128k -id3v2_version 0 -write_xing 0";
  static void Ffmpeg(const std::string& args) {
    const std::string cmd = std::string(FFMPEG_EXE) + " -nostdin -loglevel error -y" + args;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  static void ExpectClipAt(const std::vector<json>& found, double at, const std::string& what) {
    ASSERT_EQ(found.size(), 1u) << what;
    // MP3 and ADTS streams keep the encoder's delay (about 25 ms); containers trim it.
    EXPECT_NEAR(found[0]["begin_s"].get<double>(), at, 0.04) << what;
  }
};

TEST_F(Monitor, CompressedFilesVideoAndCorruptFramesAreScannedAndCreatedFrom) {
  Encode(kMp3, "stream.mp3");
  Encode("-c:a aac -b:a 128k", "stream.m4a");
  Encode("-c:a libopus", "stream.opus");
  Encode("-c:a aac -b:a 128k -f adts", "stream.aac");
  Encode("-c:a aac -b:a 128k", "clip.m4a", "clip.wav");
  Ffmpeg(" -f lavfi -i color=c=blue:s=64x48:r=10 -i " + File("stream.wav") + " -shortest -c:v mpeg4 -c:a aac " +
         File("video.mp4"));
  const std::string p = "-p " + File("clip.tvs") + " ";
  for (const char* name : {"stream.mp3", "stream.m4a", "stream.opus", "stream.aac", "video.mp4"})
    ExpectClipAt(ScanJson(p + File(name)), kClipAt, name);
  // An MP3 stream without a tag on standard input is recognised by its frames, not taken for raw PCM.
  ExpectClipAt(ScanJson(p + "-", File("stream.mp3")), kClipAt, "untagged MP3 on standard input");

  // A pattern made from an M4A file finds the clip in the WAV.
  RunResult r = Run("create " + File("clip.m4a") + " -o " + File("fromm4a.tvs"));
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectClipAt(ScanJson("-p " + File("fromm4a.tvs") + " " + File("stream.wav")), kClipAt, "pattern from M4A");

  // Garbage over two seconds of an AAC stream (away from the clip): skipped with a count.
  std::string bytes = ReadText(File("stream.aac"));
  for (std::size_t i = bytes.size() * 3 / 4; i < bytes.size() * 3 / 4 + 32000; i += 7) bytes[i] ^= 0x5a;
  WriteText(File("corrupt.aac"), bytes);
  r = Run("scan --json " + p + File("corrupt.aac"));
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectClipAt(JsonLines(r.out), kClipAt, "corrupt AAC");
  EXPECT_NE(r.err.find("corrupt frames could not be decoded and were skipped"), std::string::npos) << r.err;

  // What neither library reads, and a URL nobody serves: one line naming it.
  sptest::WriteAll(File("text.mp3"), std::vector<unsigned char>(300, 'x'));
  for (const std::string& bad : {File("text.mp3"), std::string("http://127.0.0.1:1/none.mp3")}) {
    r = Run("scan " + p + bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err.rfind("sigpat: error: " + bad + ": ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.find("))"), std::string::npos) << r.err;  // FFmpeg's reason, not nested in ours
  }
}

TEST_F(Monitor, ScanReadsUrlsAndHlsAndLabelsAndTimestampsLiveInput) {
  Encode("-c:a aac -f hls -hls_time 2 -hls_playlist_type vod", "www/hls/s.m3u8");
  Server server(File("www"), File("port-hls"), 1e9);
  std::vector<json> found = ScanJson("--label R -p " + File("clip.tvs") + " " + server.Url("hls/s.m3u8"));
  ExpectClipAt(found, kClipAt, "HLS");
  EXPECT_EQ(found.at(0)["input"], "R");
  EXPECT_FALSE(found.at(0).contains("begin_utc"));

  // Raw PCM on stdin with --timestamps: the time its samples arrived (here: all at once).
  Ffmpeg(" -i " + File("stream.wav") + " -f s16le " + File("stream.raw"));
  const double before = Now();
  found = ScanJson("--timestamps -p " + File("clip.tvs") + " -", File("stream.raw"));
  ASSERT_EQ(found.size(), 1u);
  const double begin = ParseUtc(found[0]["begin_utc"]), end = ParseUtc(found[0]["end_utc"]);
  EXPECT_GT(begin, before - 16.1);
  EXPECT_LT(begin, Now());
  EXPECT_NEAR(end - begin, found[0]["end_s"].get<double>() - found[0]["begin_s"].get<double>(), 0.002);
}

// URLs that give no audio say why. An MP4 whose index (moov) follows its samples, from a server
// that takes no Range requests: the demuxer cannot seek back to the samples, and scan and monitor
// say so, naming the URL and the way out; the faststart copy of the same file is read from the
// same server. A web page where audio was expected is named as what the server sent.
TEST_F(Monitor, UrlsThatGiveNoAudioSayWhy) {
  Encode("-c:a aac -b:a 128k", "www/late.m4a");
  Ffmpeg(" -i " + File("www/late.m4a") + " -c copy -movflags +faststart " + File("www/fast.m4a"));
  Server server(File("www"), File("port-moov"), 1e9);
  const std::string p = "-p " + File("clip.tvs") + " ";
  ExpectClipAt(ScanJson(p + server.Url("fast.m4a")), kClipAt, "faststart M4A over HTTP");
  const std::string url = server.Url("late.m4a");
  RunResult r = Run("scan " + p + url);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sigpat: error: " + url +
                       ": cannot be read: the file's index (moov) lies at its end and the server does not allow "
                       "seeking (no Range requests); a \"faststart\" copy (ffmpeg -i IN -c copy -movflags +faststart "
                       "OUT), or a server that takes Range requests, can be read\n");
  Background monitor(std::string(SIGPAT_EXE) + " monitor " + p + "--retry 30 --station m=" + url, File("moov.out"),
                     File("moov.err"));
  ASSERT_TRUE(WaitFor([&] { return !Events(JsonLines(monitor.err()), "disconnected", "m").empty(); }, 20)) << monitor.err();
  EXPECT_EQ(monitor.Kill(SIGTERM), 143);
  const json dropped = Events(JsonLines(monitor.err()), "disconnected", "m").at(0);
  EXPECT_EQ(dropped["error"], r.err.substr(15, r.err.size() - 16)) << dropped;

  WriteText(File("www/page.html"), "<html><body>Not here</body></html>\n");
  r = Run("scan " + p + server.Url("page.html"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("sigpat: error: " + server.Url("page.html") + ": what the server sent is not audio", 0), 0u)
      << r.err;
}

// Two live stations at 8 times real time, a file and a station that is never up; the server dies
// after the first detection and comes back: the stream resumes after a gap, positions continue,
// the dead station does not hold the others up, SIGTERM ends everything with status 143.
TEST_F(Monitor, ReconnectsAfterTheServerDiesAndStopsCleanly) {
  Encode(kMp3, "www/radio.mp3");
  Encode("-c:a aac -b:a 128k -f adts", "www/radio.aac");
  Server server(File("www"), File("port-live"), 8 * 16000.0);
  Background monitor(std::string(SIGPAT_EXE) + " monitor --json --retry 0.2 --retry-max 0.4 -p " + File("clip.tvs") +
                         " --station mp3=" + server.Url("live/radio.mp3") + " --station aac=" +
                         server.Url("live/radio.aac") + " --station file=" + File("stream.wav") +
                         " --station dead=http://127.0.0.1:1/x.mp3",
                     File("mon1.out"), File("mon1.err"));
  auto detections = [&](const std::string& station) {
    std::vector<json> d;
    for (const auto& j : JsonLines(monitor.out()))
      if (j["input"] == station) d.push_back(j);
    return d;
  };
  ASSERT_TRUE(WaitFor([&] { return !detections("mp3").empty(); }, 20)) << monitor.err();
  server.Kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  server.Restart();
  ASSERT_TRUE(WaitFor([&] { return detections("mp3").size() >= 2 && detections("aac").size() >= 2; }, 20))
      << monitor.err();
  EXPECT_EQ(monitor.Kill(SIGTERM), 143);

  const std::vector<json> status = JsonLines(monitor.err());
  const std::vector<json> gaps = Events(status, "gap", "mp3");
  ASSERT_EQ(gaps.size(), 1u) << monitor.err();
  EXPECT_GT(gaps[0]["gap_s"].get<double>(), 0.4);
  EXPECT_GE(Events(status, "disconnected", "dead").size(), 3u);
  EXPECT_EQ(Events(status, "finished").size(), 4u) << monitor.err();
  ExpectClipAt(detections("file"), kClipAt, "file station");
  // Every occurrence at its place: in each pass of the 16 s loop, the second counted from the
  // reconnection.
  for (const std::string station : {"mp3", "aac"}) {
    const std::vector<json> d = detections(station);
    const double resumed = Events(status, "gap", station).at(0)["position_s"];
    for (const auto& j : d) {
      const double at = j["begin_s"].get<double>();
      const double pass = at < resumed ? std::fmod(at, 16.0) : std::fmod(at - resumed, 16.0);
      EXPECT_NEAR(pass, kClipAt, 0.04) << station << " " << j;
      EXPECT_GT(j["confidence"].get<double>(), 0.5) << j;
    }
  }
}

// A stream at real time: the wall clock of a detection is when its clip went out; heartbeats;
// a SIGHUP that changes no pattern file reads none again; SIGHUP adds a station of the stations
// file and a pattern, and keeps the running station (which goes on with the new patterns at its
// position); SIGINT right after the clip, before the decision layer confirmed it, still reports it.
TEST_F(Monitor, WallClockHeartbeatReloadAndPendingDetections) {
  Encode(kMp3, "www/short.mp3", "short.wav");
  Server server(File("www"), File("port-rt"), 16000.0);
  WriteText(File("stations.txt"), "# label  source\nlive " + server.Url("live/short.mp3") + "\n");
  Background monitor(std::string(SIGPAT_EXE) + " monitor --json --heartbeat 0.5 -p " + File("pats") +
                         " --stations " + File("stations.txt") + " --status " + File("status.jsonl"),
                     File("mon2.out"), File("mon2.err"));
  ASSERT_TRUE(WaitFor([&] { return server.StreamStarts().size() == 1; }, 10));
  const double started = server.StreamStarts()[0];
  // A SIGHUP with no pattern file changed (names, sizes, times) reads none of them again: one
  // overwritten with as many other bytes at its old time is not noticed.
  const std::string clip = ReadText(File("pats/clip.tvs"));
  const auto when = std::filesystem::last_write_time(File("pats/clip.tvs"));
  const auto overwrite = [&](const std::string& bytes) {
    WriteText(File("pats/clip.tvs"), bytes);
    std::filesystem::last_write_time(File("pats/clip.tvs"), when);
  };
  overwrite(std::string(clip.size(), 'x'));
  monitor.Signal(SIGHUP);
  const auto reloads = [&] { return Events(JsonLines(ReadText(File("status.jsonl"))), "reloaded").size(); };
  ASSERT_TRUE(WaitFor([&] { return reloads() == 1; }, 5)) << ReadText(File("status.jsonl"));
  overwrite(clip);
  WriteText(File("stations.txt"), ReadText(File("stations.txt")) + "file " + File("stream.wav") + "\n");
  std::filesystem::copy_file(File("other.tvs"), File("pats/other.tvs"));
  monitor.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return reloads() == 2; }, 5)) << ReadText(File("status.jsonl"));
  // The clip goes out from 1.0 s to 3.4 s; the decision layer would confirm it about 2.4 s later.
  ASSERT_TRUE(WaitFor([&] { return Now() > started + 4.4; }, 10));
  EXPECT_EQ(monitor.Kill(SIGINT), 130);

  const std::vector<json> found = JsonLines(monitor.out());
  ASSERT_EQ(found.size(), 2u) << monitor.out() << ReadText(File("status.jsonl"));
  for (const auto& d : found) {
    if (d["input"] == "file") {
      EXPECT_NEAR(d["begin_s"].get<double>(), kClipAt, 0.04);
      continue;
    }
    EXPECT_NEAR(d["begin_s"].get<double>(), 1.0, 0.04);
    EXPECT_NEAR(ParseUtc(d["begin_utc"]), started + 1.0, 0.5) << d;
    EXPECT_EQ(d["clock"], "arrival");  // an Icecast stream carries no clock
  }
  const std::vector<json> status = JsonLines(ReadText(File("status.jsonl")));
  EXPECT_EQ(Events(status, "connected", "live").size(), 1u);
  ASSERT_EQ(Events(status, "reloaded").size(), 2u);
  EXPECT_EQ(Events(status, "reloaded")[0]["added"], 0);
  EXPECT_EQ(Events(status, "reloaded")[0]["patterns_changed"], false);
  EXPECT_EQ(Events(status, "reloaded")[1]["added"], 1);
  EXPECT_EQ(Events(status, "reloaded")[1]["patterns"], 2);
  EXPECT_EQ(Events(status, "reloaded")[1]["patterns_changed"], true);
  const std::vector<json> beats = Events(status, "heartbeat", "live");
  ASSERT_GE(beats.size(), 4u);
  EXPECT_NEAR(beats.back()["realtime"].get<double>(), 1.0, 0.3);
  EXPECT_EQ(monitor.err(), "");
}

// An HLS station with program dates, served far faster than real time as a live playlist (the
// demuxer starts three segments before its end, at the third): a detection's wall clock is the
// date stamped on the segment that holds the clip (a jump of the station's clock there) plus the
// offset into it, not the time it arrived.
TEST_F(Monitor, HlsDetectionsCarryTheStationsProgramDateTime) {
  std::filesystem::create_directories(File("www/pdt"));
  Encode("-c:a aac -b:a 128k -f hls -hls_time 2 -hls_playlist_type vod", "www/pdt/s.m3u8");
  std::vector<double> durations;
  std::vector<std::string> names;
  std::istringstream in(ReadText(File("www/pdt/s.m3u8")));
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("#EXTINF:", 0) == 0) durations.push_back(std::stod(l.substr(8)));
    if (!l.empty() && l[0] != '#') names.push_back(l);
  }
  ASSERT_GE(names.size(), 5u);
  const double date = ParseUtc("2021-03-04T05:06:07.250Z");
  std::string live = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:100\n";
  for (std::size_t k = 0; k < 5; ++k) {
    if (k == 0) live += "#EXT-X-PROGRAM-DATE-TIME:2021-03-04T05:06:07.250Z\n";
    if (k == 3) live += "#EXT-X-PROGRAM-DATE-TIME:2021-03-04T05:22:47.250+00:00\n";  // 1000 s on
    live += "#EXTINF:" + std::to_string(durations[k]) + ",\n" + names[k] + "\n";
  }
  WriteText(File("www/pdt/live.m3u8"), live);
  Server server(File("www"), File("port-pdt"), 1e9);
  Background monitor(std::string(SIGPAT_EXE) + " monitor --json --heartbeat 0.2 -p " + File("clip.tvs") +
                         " --station tv=" + server.Url("pdt/live.m3u8"),
                     File("mon3.out"), File("mon3.err"));
  // Three segments (about 6 s) read, then the playlist grows no more: stop, the clip is pending.
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<json> beats = Events(JsonLines(monitor.err()), "heartbeat");
    return !beats.empty() && beats.back()["audio_s"].get<double>() > 5.9;
  }, 20)) << monitor.err();
  EXPECT_EQ(monitor.Kill(SIGTERM), 143);
  const std::vector<json> found = JsonLines(monitor.out());
  ExpectClipAt(found, kClipAt - durations[0] - durations[1], "HLS from its third segment");
  EXPECT_EQ(found.at(0)["clock"], "stream");
  const double intoSegment = found[0]["begin_s"].get<double>() - durations[2];
  EXPECT_NEAR(ParseUtc(found[0]["begin_utc"]), date + 1000.0 + intoSegment, 0.0015) << found[0];
  EXPECT_NEAR(ParseUtc(found[0]["end_utc"]) - ParseUtc(found[0]["begin_utc"]),
              found[0]["end_s"].get<double>() - found[0]["begin_s"].get<double>(), 0.0015);
}

// Segments cut each with its own clock (timestamps start again in every segment) and one
// program date on the first: the timestamps that restart where the demuxer opens the next
// segment carry the date on, segment by segment, whether the playlist is served or read from a
// file. A clock that took the restart for a discontinuity dated only the first segment.
TEST_F(Monitor, HlsSegmentsWithTheirOwnTimestampsKeepTheDate) {
  std::filesystem::create_directories(File("www/reset"));
  Encode("-c:a aac -b:a 128k -f segment -segment_time 2 -reset_timestamps 1 -segment_list " +
             File("www/reset/cut.m3u8"),
         "www/reset/p%d.ts");
  std::string list = ReadText(File("www/reset/cut.m3u8"));
  const std::size_t first = list.find("#EXTINF");
  ASSERT_NE(first, std::string::npos) << list;
  ASSERT_GE(std::count(list.begin(), list.end(), ','), 5) << list;  // the clip lies past the second segment
  list.insert(first, "#EXT-X-PROGRAM-DATE-TIME:2021-03-04T05:06:07.250Z\n");
  WriteText(File("www/reset/s.m3u8"), list);
  const double date = ParseUtc("2021-03-04T05:06:07.250Z");
  Server server(File("www"), File("port-reset"), 1e9);
  int run = 0;
  for (const std::string& source : {server.Url("reset/s.m3u8"), File("www/reset/s.m3u8")}) {
    // A served playlist that ended is connected to again: stop once the clip is reported. Each
    // run writes its own files: the shell truncates them only once the child runs, and the first
    // run's lines read back in the meantime would stop the second before it found anything.
    const std::string out = File("reset" + std::to_string(++run));
    Background monitor(std::string(SIGPAT_EXE) + " monitor --json -p " + File("clip.tvs") + " --station tv=" + source,
                       out + ".out", out + ".err");
    EXPECT_TRUE(WaitFor([&] { return !JsonLines(monitor.out()).empty(); }, 20)) << monitor.err();
    monitor.Kill(SIGTERM);
    const std::vector<json> found = JsonLines(monitor.out());
    ExpectClipAt(found, kClipAt, source);
    ASSERT_TRUE(found.at(0).contains("begin_utc")) << source << ": " << found[0];
    EXPECT_EQ(found[0]["clock"], "stream");
    EXPECT_NEAR(ParseUtc(found[0]["begin_utc"]), date + found[0]["begin_s"].get<double>(), 0.0015) << source;
    EXPECT_NEAR(ParseUtc(found[0]["end_utc"]), date + found[0]["end_s"].get<double>(), 0.0015) << source;
  }
}

// Stations served far faster than one recognition thread follows them: each says it is behind real time and by how much, the audio that
// waited longer than --max-behind is dropped, oldest first, and told (coalesced, with where it
// was); the queue stays bounded. A station at real time beside them drops next to nothing and
// reports its clip. With --max-behind 0 nothing is dropped: the reader waits, the queue bounded.
TEST_F(Monitor, StationsBehindRealTimeAreToldAndDropTheirOldestAudio) {
  // Five two-minute patterns under the library's rule, which compares every pattern at every
  // block (the detector alone follows these stations about as fast as their readers decode
  // them), make the recognition slow enough that the fast stations' full queues (about 52 s each,
  // followed at about 40x real time each on one thread of this machine: 1.3 s) wait well over the
  // limit, while the real-time station, whose audio arrives in bursts of about a quarter of a
  // second and waits at most three short turns, stays under it on a busy machine.
  std::string patterns = " -p " + File("clip.tvs");
  for (int seed : {9, 10, 11, 12, 13}) {
    const std::string name = "long" + std::to_string(seed);
    ASSERT_TRUE(synth::WriteAudioFile(File(name + ".wav"), Stream(120, {}, seed), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    RunResult r = Run("create " + File(name + ".wav") + " -o " + File(name + ".tvs"));
    ASSERT_EQ(r.status, 0) << r.err;
    patterns += " -p " + File(name + ".tvs");
  }
  Encode(kMp3, "www/radio.mp3");
  Server fast(File("www"), File("port-fast"), 1e8);
  Server realtime(File("www"), File("port-rt1"), 16000.0);
  const std::string common = std::string(SIGPAT_EXE) + " monitor --json --decision library --threads 1 --heartbeat 0.5" + patterns +
                             " --station rt=" + realtime.Url("live/radio.mp3");
  std::string stations;
  for (const char* f : {"f1", "f2", "f3"}) stations += std::string(" --station ") + f + "=" + fast.Url("live/radio.mp3");
  const double limit = 0.5;
  Background monitor(common + " --max-behind " + std::to_string(limit) + stations, File("behind.out"), File("behind.err"));
  auto told = [&](const std::string& event) {
    const std::vector<json> status = JsonLines(monitor.err());
    return !Events(status, event, "f1").empty() && !Events(status, event, "f2").empty() &&
           !Events(status, event, "f3").empty();
  };
  auto rtFound = [&] {
    for (const auto& j : JsonLines(monitor.out()))
      if (j["input"] == "rt") return true;
    return false;
  };
  ASSERT_TRUE(WaitFor([&] { return told("dropped") && rtFound(); }, 40)) << monitor.err();
  EXPECT_EQ(monitor.Kill(SIGTERM), 143);
  std::vector<json> status = JsonLines(monitor.err());
  for (const std::string f : {"f1", "f2", "f3"}) {
    const json behind = Events(status, "behind", f).at(0);
    EXPECT_GE(behind["behind_s"].get<double>(), limit / 2) << behind;
    double dropped = 0.0;
    for (const json& d : Events(status, "dropped", f)) {
      EXPECT_GT(d["dropped_s"].get<double>(), 0.0) << d;
      EXPECT_GE(d["behind_s"].get<double>(), limit) << d;
      EXPECT_LE(ParseUtc(d["from"]), ParseUtc(d["to"])) << d;
      EXPECT_GE(d["position"].get<std::int64_t>(), 0) << d;
      dropped += d["dropped_s"].get<double>();
    }
    // Every drop told by the end; the queue never beyond its bound (2000 blocks, about 52 s).
    const json finished = Events(status, "finished", f).at(0);
    EXPECT_NEAR(finished["dropped_s"].get<double>(), dropped, 0.01 * Events(status, "dropped", f).size()) << f;
    for (const json& b : Events(status, "heartbeat", f)) EXPECT_LE(b["queued_s"].get<double>(), 52.3) << b;
  }
  // The real-time station shares the one thread: it may lag at times on a busy machine, but it
  // drops next to nothing of what the stations far ahead drop.
  const json rtEnd = Events(status, "finished", "rt").at(0);
  EXPECT_LT(rtEnd.value("dropped_s", 0.0), Events(status, "finished", "f1").at(0)["dropped_s"].get<double>() / 10.0)
      << monitor.err();
  // Positions count the samples recognized, a dropped stretch is a gap: the clip's place in the
  // looped programme holds up to the first drop.
  std::int64_t firstGap = std::numeric_limits<std::int64_t>::max();
  for (const json& d : Events(status, "dropped", "rt")) firstGap = std::min(firstGap, d["position"].get<std::int64_t>());
  for (const auto& j : JsonLines(monitor.out()))
    if (j["input"] == "rt" && j["begin"].get<std::int64_t>() < firstGap) {
      EXPECT_NEAR(std::fmod(j["begin_s"].get<double>(), 16.0), kClipAt, 0.04) << j;
    }

  Background waiting(common + " --max-behind 0" + stations, File("wait.out"), File("wait.err"));
  // The queue of f1 filled (the reader waits), its oldest audio waiting for the recognition.
  ASSERT_TRUE(WaitFor([&] {
    for (const json& b : Events(JsonLines(waiting.err()), "heartbeat", "f1"))
      if (b["queued_s"].get<double>() > 40.0 && b["behind_s"].get<double>() > 0.5) return true;
    return false;
  }, 40)) << waiting.err();
  EXPECT_EQ(waiting.Kill(SIGTERM), 143);
  status = JsonLines(waiting.err());
  EXPECT_TRUE(Events(status, "dropped").empty()) << waiting.err();
  EXPECT_EQ(Events(status, "finished", "f1").at(0).count("dropped_s"), 0u);
  for (const json& b : Events(status, "heartbeat", "f1")) EXPECT_LE(b["queued_s"].get<double>(), 52.3) << b;
}

TEST_F(Monitor, BadStationsAreUsageErrors) {
  WriteText(File("nosource.txt"), "a http://127.0.0.1:1/a\nlonely\n");
  WriteText(File("nostations.txt"), "# none yet\n\n");
  const std::string p = "monitor -p " + File("clip.tvs") + " ";
  for (const auto& [args, message] : std::vector<std::pair<std::string, std::string>>{
           {p, "no stations given"},
           {p + "--station nolabel", "--station wants LABEL=URL"},
           {p + "--station a=x --station a=y", "the station label \"a\" is used twice"},
           {p + "--stations " + File("nosource.txt"), "line 2 names no URL or file"},
           {p + "--stations " + File("pats"), File("pats") + ": is a directory, not a stations file"},
           {p + "--stations " + File("clip.tvs"), File("clip.tvs") + ": is not a stations file but binary data"},
           {p + "--stations " + File("nostations.txt"), File("nostations.txt") + ": lists no stations"},
           {"monitor --station a=x", "no patterns given"},
           {p + "--station a=x --heartbeat -1", "--heartbeat: \"-1\" is out of range (expected 0.01 to 86400)"},
           {p + "--station a=x --threads 1.5", "--threads: \"1.5\" is not a whole number (expected 1 to 256)"},
           {p + "--station a=x --threshold 0.5", "--threshold sets the library's own rule"}}) {
    RunResult r = Run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
  }
  // Detections that cannot be written stop the monitor with an error.
  const std::string err = File("full.err");
  const std::string cmd = std::string(SIGPAT_EXE) + " " + p + "--station f=" + File("stream.wav") + " >/dev/full 2>" + err;
  const int raw = std::system(cmd.c_str());
  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
  EXPECT_NE(ReadText(err).find("standard output: write error"), std::string::npos) << ReadText(err);
}

}  // namespace
