// sigpat under faults: full disks and closed pipes, signals at any moment, kills during writes,
// hostile sidecar files, FIFOs, and command lines that once crashed, hung or misled. Each case
// says what must hold; none may lose a result or a file silently.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SignalPattern.h"
#include "cli_audio.h"
#include "sigpat_runner.h"
#include "synth.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;
namespace synth = sigpat::synth;

std::vector<unsigned char> RawS16(const std::vector<float>& x) {
  std::vector<unsigned char> bytes;
  for (short v : sptest::ToPcm16(x)) {
    bytes.push_back(static_cast<unsigned char>(v & 0xFF));
    bytes.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
  }
  return bytes;
}

// Every line of a scan's output is a whole JSON detection.
std::vector<json> ParseLines(const std::string& out) {
  std::vector<json> found;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    json j = json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not a whole JSON line: " << line;
    if (!j.is_discarded()) found.push_back(j);
  }
  return found;
}

// sigpat started with standard input from a pipe the test writes and standard output to a file.
struct Child {
  pid_t pid = -1;
  int input = -1;  // write end of the child's standard input
  // Waits for the end; the exit status, or -signal when a signal killed it.
  int Wait() {
    if (input >= 0) ::close(input);
    input = -1;
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  }
};

Child Start(const std::vector<std::string>& args, const std::string& outFile) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that ended early fails the write, not the test program
  int pipeFds[2];
  EXPECT_EQ(::pipe(pipeFds), 0);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(pipeFds[0], 0);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    std::vector<char*> argv{const_cast<char*>(SIGPAT_EXE)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(SIGPAT_EXE, argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[0]);
  c.input = pipeFds[1];
  return c;
}

// Waits until the child catches SIGTERM (its handlers are installed): a signal before that
// would find the process still starting.
void WaitForHandlers(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

class Faults : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    ASSERT_TRUE(synth::WriteAudioFile(File("clip.wav"), Clip(), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("stream.wav"), Stream(16, {kClipAt}, 7), 44100, 1,
                                      SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("long.wav"), Stream(60, {5, 20, 35, 50}, 7), 44100, 1,
                                      SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(synth::WriteAudioFile(File("noise.wav"), synth::WhiteNoise(20 * 44100, 0.02, 9), 44100, 1,
                                      SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    RunResult r = Run("create " + File("clip.wav"));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static std::string Sigpat() { return SIGPAT_EXE; }
};

// ---- write errors

TEST_F(Faults, AFailedWriteIsReportedWithItsReasonAndStatus1) {
  const std::string clip = File("clip.tvs"), stream = File("stream.wav");
  for (const std::string& args : {"scan --json -p " + clip + " " + stream, "create " + File("clip.wav") + " -o " +
                                                                               File("again.tvs"),
                                  "info " + clip, "calibrate -p " + clip + " " + File("noise.wav")}) {
    RunResult r = Shell(Sigpat() + " " + args + " >/dev/full");
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find("cannot write standard output: No space left on device"), std::string::npos) << r.err;
  }
  // A reader that goes away, with SIGPIPE ignored: the lost lines are an error, not success.
  RunResult piped = Shell("trap '' PIPE; " + Sigpat() + " scan -p " + clip + " " + stream + " " + stream + " " +
                          stream + " | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}");
  EXPECT_EQ(piped.status, 1);
  EXPECT_NE(piped.err.find("cannot write standard output: Broken pipe"), std::string::npos) << piped.err;

  // The file size limit stops the pattern file and the picture half-way: the old files stay,
  // no temporary file is left behind.
  sptest::TempDir dir;
  const std::string pattern = dir.File("p.tvs"), png = dir.File("p.png");
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + pattern).status, 0);
  ASSERT_EQ(Run("info " + pattern + " --png " + png).status, 0);
  const auto oldPattern = sptest::ReadAll(pattern), oldPng = sptest::ReadAll(png);
  RunResult big = Shell("ulimit -f 2; " + Sigpat() + " create " + stream + " -o " + pattern);
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.err.find("cannot write " + pattern + ": File too large"), std::string::npos) << big.err;
  RunResult pic = Shell("ulimit -f 2; " + Sigpat() + " info " + pattern + " --png " + png + " >/dev/null");
  EXPECT_EQ(pic.status, 1);
  EXPECT_NE(pic.err.find("cannot write " + png), std::string::npos) << pic.err;
  EXPECT_EQ(sptest::ReadAll(pattern), oldPattern);
  EXPECT_EQ(sptest::ReadAll(png), oldPng);
  // The pattern, its detail print and the picture.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

// ---- signals

TEST_F(Faults, AStopSignalReportsTheClipStillBeingConfirmedAndExits128PlusTheSignal) {
  // A live feed: the clip has fully played, the feed goes quiet (the pipe stays open) and the
  // service is stopped before the detector has confirmed the clip.
  const std::vector<float> fed = Stream(kClipAt + 2.7, {kClipAt}, 7);
  const std::vector<unsigned char> bytes = RawS16(fed);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    const std::string out = File("live" + std::to_string(sig));
    Child c = Start({"scan", "--json", "-p", File("clip.tvs"), "-"}, out);
    ASSERT_EQ(::write(c.input, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ::kill(c.pid, sig);
    EXPECT_EQ(c.Wait(), 128 + sig);
    const std::vector<json> found = ParseLines(ReadText(out));
    ASSERT_EQ(found.size(), 1u) << "signal " << sig;
    EXPECT_NEAR(found[0]["begin_s"].get<double>(), kClipAt, 0.05);
  }
}

TEST_F(Faults, SignalsAtRandomMomentsLeaveWholeLinesAndTheirStatus) {
  std::mt19937 random(15);
  const int signals[] = {SIGTERM, SIGINT, SIGHUP};
  for (int run = 0; run < 6; ++run) {
    const int sig = signals[run % 3];
    const std::string out = File("random" + std::to_string(run));
    const std::string input = File("long.wav");
    Child c = Start({"scan", "--json", "-j", "2", "-p", File("clip.tvs"), input, input, input, input}, out);
    WaitForHandlers(c.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1200)(random)));
    ::kill(c.pid, sig);
    const int status = c.Wait();
    EXPECT_TRUE(status == 128 + sig || status == 0) << status;
    for (const json& d : ParseLines(ReadText(out))) EXPECT_EQ(d.value("file", ""), File("clip.tvs"));
  }
}

// ---- atomic files

TEST_F(Faults, PatternFilesAreReplacedWholeOrNotAtAll) {
  sptest::TempDir dir;
  const std::string target = dir.File("p.tvs");
  // The bytes are the library's own for that path: the same clip made into a pattern by the
  // library, fed the way create feeds it.
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + target).status, 0);
  {
    SignalPattern maker;
    SF_INFO info{};
    SNDFILE* f = sf_open(File("clip.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> pcm(static_cast<std::size_t>(info.frames));
    ASSERT_EQ(sf_read_short(f, pcm.data(), info.frames), info.frames);
    sf_close(f);
    maker.DefineMaxCreatedPatternDuration(static_cast<float>(pcm.size()) / 44100.0f + 1.0f);
    ASSERT_TRUE(maker.InitSignalPattern(SP_MODE_ALL_BANDS, 1152, 0));
    std::string input = File("clip.wav"), stem = dir.File("lib");
    ASSERT_TRUE(maker.SetCreatePatternMode(0, static_cast<sp_long>(pcm.size() - 1), input.data(), nullptr));
    ASSERT_TRUE(maker.SetOutputPatternFileName(stem.data()));
    std::vector<short> block(1152);
    for (std::size_t pos = 0; maker.fCreatePatternMode && !maker.GetFlagCreatedPattern(); pos += 1152) {
      for (std::size_t i = 0; i < 1152; ++i) block[i] = pos + i < pcm.size() ? pcm[pos + i] : 0;
      ASSERT_GE(maker.Pattern(1152, block.data(), SP_SAMPLE_S16, nullptr), 0);
    }
    ASSERT_TRUE(maker.GetFlagCreatedPattern());
    ASSERT_EQ(std::rename((stem + ".tvs").c_str(), target.c_str()), 0);  // written under "lib.tvs"
    EXPECT_EQ(Run("create " + File("clip.wav") + " -o " + dir.File("lib.tvs")).status, 0);
    EXPECT_EQ(sptest::ReadAll(dir.File("lib.tvs")), sptest::ReadAll(target));
  }
  // Killed at any moment, or racing another create: the path holds one complete pattern.
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + target).status, 0);
  const auto a = sptest::ReadAll(target);
  ASSERT_EQ(Run("create " + File("stream.wav") + " -o " + target).status, 0);
  const auto b = sptest::ReadAll(target);
  std::mt19937 random(7);
  for (int run = 0; run < 8; ++run) {
    sptest::WriteAll(target, a);
    const std::string args = "create " + File("stream.wav") + " -o " + target;
    RunResult r = Shell(Sigpat() + " " + args + " & pid=$!; sleep " +
                        std::to_string(std::uniform_int_distribution<int>(0, 600)(random) / 1000.0) +
                        "; kill -9 $pid; wait");
    const auto now = sptest::ReadAll(target);
    EXPECT_TRUE(now == a || now == b) << "run " << run;
    RunResult race = Shell(Sigpat() + " create " + File("clip.wav") + " -o " + target + " & " + Sigpat() + " " + args +
                           "; wait");
    const auto raced = sptest::ReadAll(target);
    EXPECT_TRUE(raced == a || raced == b) << race.err;
  }
}

// ---- sidecars

TEST_F(Faults, HostileSidecarsAreRefusedByNameAndThePatternKeepsItsThreshold) {
  sptest::TempDir dir;
  const std::string pattern = dir.File("p.tvs"), side = pattern + ".cal";
  ASSERT_EQ(Run("create " + File("clip.wav") + " -o " + pattern).status, 0);
  const std::string scan = "timeout 20 " + Sigpat() + " scan --json -p " + pattern + " " + File("stream.wav");
  const double own = ParseLines(Shell(scan).out).at(0)["threshold"];
  ASSERT_EQ(Run("calibrate -p " + pattern + " " + File("noise.wav")).status, 0);
  const std::string good = ReadText(side);
  const std::string threshold = good.substr(good.find("threshold "));
  const std::string head = good.substr(0, good.find("threshold "));
  auto withThreshold = [&](const std::string& line) { return head + line + "\n"; };
  struct Case {
    std::string what, setup;
  };
  const std::vector<Case> cases = {
      {"huge", withThreshold("threshold 1e300")},
      {"tiny", withThreshold("threshold 1e-300")},
      {"nan", withThreshold("threshold nan")},
      {"hidden in a long line", head + std::string(300, 'x') + " threshold 0.1\n"},
      {"twice", good + threshold},
      {"trailing text", withThreshold("threshold 0.5 dB")},
      {"fifo", "mkfifo"},
      {"/dev/zero", "/dev/zero"},
      {"/dev/urandom", "/dev/urandom"},
  };
  for (const auto& c : cases) {
    fs::remove(side);
    if (c.setup == "mkfifo") ASSERT_EQ(::mkfifo(side.c_str(), 0644), 0);
    else if (c.setup[0] == '/') fs::create_symlink(c.setup, side);
    else sptest::WriteAll(side, std::vector<unsigned char>(c.setup.begin(), c.setup.end()));
    RunResult r = Shell(scan);
    EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find("warning: " + side + ": ignored ("), std::string::npos) << c.what << "\n" << r.err;
    const std::vector<json> found = ParseLines(r.out);
    ASSERT_EQ(found.size(), 1u) << c.what;
    EXPECT_EQ(found[0]["threshold"].get<double>(), own) << c.what;
  }
  // Writing replaces a link by a file and leaves what it pointed to alone.
  fs::remove(side);
  sptest::WriteAll(dir.File("elsewhere"), {'k', 'e', 'e', 'p'});
  fs::create_symlink(dir.File("elsewhere"), side);
  ASSERT_EQ(Run("calibrate -p " + pattern + " " + File("noise.wav")).status, 0);
  EXPECT_FALSE(fs::is_symlink(side));
  EXPECT_EQ(ReadText(dir.File("elsewhere")), "keep");
  EXPECT_EQ(ReadText(side).substr(0, head.size()), head);

  // A path longer than any fixed buffer: the sidecar goes beside the pattern, never over it.
  std::string deep = dir.path();
  while (deep.size() < 900) deep += "/" + std::string(100, 'd');
  fs::create_directories(deep);
  const std::string longPattern = deep + "/" + std::string(1099 - deep.size() - 5, 'n') + ".tvs";
  ASSERT_EQ(longPattern.size(), 1099u);
  fs::copy_file(pattern, longPattern);
  EXPECT_EQ(Run("calibrate -p " + longPattern + " " + File("noise.wav")).status, 0);
  EXPECT_EQ(sptest::ReadAll(longPattern), sptest::ReadAll(pattern));
  EXPECT_TRUE(fs::exists(longPattern + ".cal"));
}

// ---- FIFOs and standard input

TEST_F(Faults, FifosAreReadAsAudioStreamsAndRefusedAsPatterns) {
  sptest::TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string clip = File("clip.tvs"), stream = File("stream.wav");
  sptest::WriteAll(dir.File("list"), std::vector<unsigned char>(fifo.begin(), fifo.end()));
  for (const std::string& args : {"scan -p " + fifo + " " + stream, "scan --patterns " + dir.File("list") + " " + stream,
                                  "info " + fifo}) {
    RunResult r = Shell("timeout 20 " + Sigpat() + " " + args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find(fifo + ": is not a regular file"), std::string::npos) << r.err;
  }
  // A list of patterns may be a stream too (its relative names are then from the current directory).
  RunResult listed = Shell("cd " + fs::path(clip).parent_path().string() + " && timeout 20 " + Sigpat() +
                           " scan --json --patterns <(echo clip.tvs) stream.wav");
  EXPECT_EQ(ParseLines(listed.out).size(), 1u) << listed.err;
  // Audio from standard input, a FIFO, /dev/stdin or a process substitution is a stream: an
  // audio file there is decoded, not taken for raw samples.
  const std::string flac = dir.File("stream.flac");
  ASSERT_TRUE(synth::WriteAudioFile(flac, Stream(16, {kClipAt}, 7), 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
  for (const std::string& input : {fifo + " & cat " + flac + " >" + fifo, "/dev/stdin <" + flac,
                                   "<(cat " + stream + ")", "- <" + stream, "- <" + flac}) {
    RunResult r = Shell("timeout 20 " + Sigpat() + " scan --json -p " + clip + " " + input + "; wait");
    EXPECT_EQ(r.status, 0) << input << "\n" << r.err;
    const std::vector<json> found = ParseLines(r.out);
    ASSERT_EQ(found.size(), 1u) << input;
    EXPECT_NEAR(found[0]["begin_s"].get<double>(), kClipAt, 0.05);
  }
}

// ---- command lines and what the tool prints

TEST_F(Faults, NumbersAndNamesOnTheCommandLineAreCheckedStrictly) {
  const std::string wav = File("stream.wav"), clip = File("clip.tvs");
  sptest::TempDir dir;
  struct Case {
    std::string args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"create " + wav + " --end-sec 1e300", 2, "\"1e300\" is out of range"},
      {"create " + wav + " --end-sec nan", 2, "\"nan\" is not a time"},
      {"create " + wav + " --begin-sec 00:00:09 --end-sec 8.5", 2, "the interval 9.000 s .. 8.500 s is reversed"},
      {"scan --decision library --threshold nan -p " + clip + " " + wav, 2, "\"nan\" is not a number"},
      {"scan --threshold 0.5 -p " + clip + " " + wav, 2, "--threshold sets the library's own rule"},
      {"create " + wav + " -o /dev/full", 1, "/dev/full: is not a regular file"},
      {"scna -p " + clip + " " + wav, 2, "unknown command \"scna\""},
      {"--frobnicate", 2, "unknown option \"--frobnicate\""},
      {"scan --patterns " + clip + " " + wav, 1, clip + ": is not a list of pattern files"},
      {"scan --patterns " + dir.path() + " " + wav, 1, dir.path() + ": is a directory, not a list"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_LT(r.err.size(), 400u) << r.err;
  }
  EXPECT_FALSE(fs::exists("/dev/full.tvs"));

  // Clock times are the seconds they say; -o DIR writes DIR/INPUT.tvs.
  ASSERT_EQ(Run("create " + wav + " --begin-sec 00:00:07.300 --end-sec 0:09.7 -o " + dir.File("clock.tvs")).status, 0);
  ASSERT_EQ(Run("create " + wav + " --begin-sec 7.3 --end-sec 9.7 -o " + dir.File("secs.tvs")).status, 0);
  RunResult d = Run("create " + wav + " --begin-sec 7.3 --end-sec 9.7 -o " + dir.path());
  EXPECT_EQ(d.out, dir.File("stream.tvs") + "\n");
  // The same levels and spectrum (the names differ): header, 8 band levels, 8 bands a block.
  auto spectrum = [](const std::vector<unsigned char>& p) {
    return std::vector<unsigned char>(p.begin() + 56, p.begin() + 88 + 32 * sptest::U32At(p, 12));
  };
  EXPECT_EQ(spectrum(sptest::ReadAll(dir.File("clock.tvs"))), spectrum(sptest::ReadAll(dir.File("secs.tvs"))));
  EXPECT_EQ(spectrum(sptest::ReadAll(dir.File("stream.tvs"))), spectrum(sptest::ReadAll(dir.File("secs.tvs"))));

  // A pattern named twice (by name and through its directory) is loaded once.
  fs::copy_file(clip, dir.File("only.tvs"));
  const std::string only = dir.File("only.tvs");
  RunResult twice = Run("scan --json -p " + only + " -p " + dir.path() + "/./only.tvs " + wav);
  EXPECT_EQ(ParseLines(twice.out).size(), 1u);

  // Names from files reach a terminal with their control characters escaped.
  const std::string odd = dir.File("bell\x1b[2J\a.wav");
  fs::copy_file(File("clip.wav"), odd);
  RunResult made = Run("create '" + odd + "' -o " + dir.File("odd.tvs"));
  ASSERT_EQ(made.status, 0) << made.err;
  RunResult info = Run("info " + dir.File("odd.tvs"));
  EXPECT_EQ(info.out.find('\x1b'), std::string::npos);
  EXPECT_NE(info.out.find("bell\\x1B[2J\\x07.wav"), std::string::npos) << info.out;
}

TEST_F(Faults, PatternsThatCannotWorkAreRefusedAndOddSpectraStillDraw) {
  sptest::TempDir dir;
  ASSERT_TRUE(synth::WriteAudioFile(dir.File("silence.wav"), std::vector<float>(44100, 0.0f), 44100, 1,
                                    SF_FORMAT_WAV | SF_FORMAT_PCM_16));
  RunResult silent = Run("create " + dir.File("silence.wav"));
  EXPECT_EQ(silent.status, 1);
  EXPECT_NE(silent.err.find("the interval is silent"), std::string::npos) << silent.err;
  EXPECT_FALSE(fs::exists(dir.File("silence.tvs")));
  // 0.09 s of one tone: every tone of that pitch would match it.
  RunResult tone = Run("create " + File("clip.wav") + " --begin-sec 0 --end-sec 0.09 -o " + dir.File("tone.tvs"));
  EXPECT_EQ(tone.status, 1);
  EXPECT_NE(tone.err.find(File("clip.wav") + ": the interval makes a pattern that common sounds match"),
            std::string::npos) << tone.err;
  EXPECT_FALSE(fs::exists(dir.File("tone.tvs")));

  // Infinite and NaN band powers (a damaged or hostile file) are drawn, clamped to the scale.
  std::vector<unsigned char> p = sptest::ReadAll(File("clip.tvs"));
  const float odd[] = {INFINITY, NAN, -INFINITY, 1e38f};
  for (int k = 0; k < 4; ++k) std::memcpy(&p[88 + 32 * 10 + 4 * k], &odd[k], 4);
  sptest::WriteAll(dir.File("odd.tvs"), p);
  RunResult r = Run("info " + dir.File("odd.tvs") + " --png " + dir.File("odd.png"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(sptest::ReadAll(dir.File("odd.png")).size(), 100u);
}

}  // namespace
