// sigpat demo: the main job on built-in data. Three distinct clips and 90 s of background
// (white noise, speech-like sound, level changes) with the clips inserted at known times are
// written as WAV files to a temporary directory; patterns are made from the clips and the
// stream is scanned, exactly as `sigpat create` and `sigpat scan` do. Each detection is printed
// beside the time the clip was inserted; the demo succeeds when every insertion is found once
// and nothing else is.
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "commands.h"
#include "messages.h"
#include "output.h"
#include "synth.h"

namespace sigpat {

namespace {

using synth::kRate;

struct Clip {
  std::string name;
  std::vector<float> samples;
};

struct Insertion {
  int clip;
  double seconds;
  double gain;
  bool found = false;
};

std::vector<Clip> MakeClips() {
  std::vector<Clip> clips;
  // Tone steps of 150 ms, one band at a time.
  clips.push_back({"chime", synth::ToneSteps({{523}, {1568}, {784}, {2637}, {659}, {3136}, {1047}, {440}, {2093},
                                              {880}, {1319}, {2794}, {698}, {1760}, {587}, {2349}, {988}},
                                             0.15, 0.5)});
  // Three rising sweeps, then three tones.
  std::vector<float> rise = synth::Sweeps(250.0, 4500.0, 0.45, 3, 0.5);
  synth::Append(rise, synth::ToneSteps({{3700}, {620}, {2400}}, 0.25, 0.5));
  clips.push_back({"rise", rise});
  // Two falling sweeps, then alternating tones.
  std::vector<float> fall = synth::Sweeps(4200.0, 300.0, 0.6, 2, 0.5);
  synth::Append(fall, synth::ToneSteps({{900}, {2700}, {900}, {2700}}, 0.2, 0.5));
  clips.push_back({"fall", fall});
  return clips;
}

// A minute and a half of background: white noise, speech-like sound, a level rise of 6 dB, a
// quiet stretch 14 dB down, speech over noise.
std::vector<float> MakeBackground() {
  auto n = [](double seconds) { return static_cast<std::size_t>(seconds * kRate); };
  std::vector<float> s;
  synth::Append(s, synth::WhiteNoise(n(15), 0.03, 11));
  synth::Append(s, synth::SpeechLike(n(20), 0.05, 12));
  synth::Append(s, synth::SpeechLike(n(15), 0.1, 13));
  synth::Append(s, synth::WhiteNoise(n(15), 0.006, 14));
  std::vector<float> mixed = synth::SpeechLike(n(15), 0.03, 15);
  synth::MixInto(mixed, synth::WhiteNoise(n(15), 0.01, 16), 0);
  synth::Append(s, mixed);
  synth::Append(s, synth::WhiteNoise(n(10), 0.03, 17));
  return s;
}

std::string MakeTempDir() {
  char pattern[] = "/tmp/sigpat-demo-XXXXXX";
  char* p = ::mkdtemp(pattern);
  if (p == nullptr) throw Error(std::string("cannot create a temporary directory (") + std::strerror(errno) + ")");
  return p;
}

}  // namespace

int RunDemo(const std::string& keepDirectory) {
  const auto started = std::chrono::steady_clock::now();
  const bool keep = !keepDirectory.empty();
  std::string dir = keep ? keepDirectory : MakeTempDir();
  if (keep) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw Error(dir + ": cannot create the directory (" + ec.message() + ")");
  }
  struct Cleanup {
    std::string dir;
    bool keep;
    ~Cleanup() {
      std::error_code ec;
      if (!keep) std::filesystem::remove_all(dir, ec);
    }
  } cleanup{dir, keep};

  const std::vector<Clip> clips = MakeClips();
  // Clip, time in the stream, gain. Times fall anywhere on the library's grid of 576 samples.
  std::vector<Insertion> insertions = {{0, 4.0, 1.0},  {1, 9.5, 1.0},  {2, 18.25, 1.0},
                                       {0, 27.7, 1.0}, {1, 38.1, 1.0}, {2, 44.0, 1.0},
                                       {0, 55.3, 0.25}, {1, 68.9, 0.5}, {2, 83.3, 0.5}};
  std::vector<float> stream = MakeBackground();
  for (const auto& ins : insertions)
    synth::MixInto(stream, clips[ins.clip].samples, static_cast<std::size_t>(std::llround(ins.seconds * kRate)), ins.gain);

  const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::vector<std::string> patterns;
  PrintOut("sigpat demo: %zu clips, a %.0f s stream (white noise, speech-like sound, level changes), %zu insertions\n",
              clips.size(), static_cast<double>(stream.size()) / kRate, insertions.size());
  PrintOut("files in %s%s\n", dir.c_str(), keep ? "" : " (removed at the end)");
  for (const auto& c : clips) {
    const std::string wav = dir + "/" + c.name + ".wav";
    if (!synth::WriteAudioFile(wav, c.samples, static_cast<int>(kRate), 1, wav16))
      throw Error(wav + ": cannot write the clip");
    CreateArgs args;
    args.input = wav;
    patterns.push_back(CreatePatternFile(args));
    PrintOut("  pattern %-8s %s  (%.2f s)\n", c.name.c_str(), patterns.back().c_str(),
                static_cast<double>(c.samples.size()) / kRate);
  }
  const std::string streamWav = dir + "/stream.wav";
  if (!synth::WriteAudioFile(streamWav, stream, static_cast<int>(kRate), 1, wav16))
    throw Error(streamWav + ": cannot write the stream");

  PrintOut("scanning %s with the %s rule:\n", streamWav.c_str(), ScanOptions{}.rule.c_str());
  std::fflush(stdout);
  int falseDetections = 0, repeated = 0;
  auto onDetection = [&](const Detection& d) {
    // The insertion of this clip closest to the detection, within 0.1 s.
    Insertion* match = nullptr;
    for (auto& ins : insertions)
      if (ins.clip == d.report.Pattern && std::fabs(ins.seconds - d.beginSeconds) <= 0.1 &&
          (match == nullptr || std::fabs(ins.seconds - d.beginSeconds) < std::fabs(match->seconds - d.beginSeconds)))
        match = &ins;
    const char* name = d.report.Pattern >= 0 && d.report.Pattern < static_cast<int>(clips.size()) ? clips[d.report.Pattern].name.c_str() : "?";
    if (match == nullptr) {
      ++falseDetections;
      PrintOut("  found  %-8s at %7.3f s   no insertion there        FALSE DETECTION\n", name, d.beginSeconds);
    } else if (match->found) {
      ++repeated;
      PrintOut("  found  %-8s at %7.3f s   inserted at %7.3f s   REPEATED\n", name, d.beginSeconds, match->seconds);
    } else {
      match->found = true;
      PrintOut("  found  %-8s at %7.3f s   inserted at %7.3f s   ok (%+.0f ms, level %+.0f dB, rel_dev %.3f)\n", name,
                  d.beginSeconds, match->seconds, (d.beginSeconds - match->seconds) * 1000.0,
                  20.0 * std::log10(match->gain), static_cast<double>(d.report.RelDev));
    }
    std::fflush(stdout);
  };
  std::unique_ptr<AudioInput> in = AudioInput::Open(streamWav, AudioOptions{});
  Scanner scanner(patterns, ScanOptions{});
  scanner.Scan(*in, onDetection);

  int missed = 0;
  for (const auto& ins : insertions)
    if (!ins.found) {
      ++missed;
      PrintOut("  MISSED %-8s               inserted at %7.3f s\n", clips[ins.clip].name.c_str(), ins.seconds);
    }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const bool ok = missed == 0 && falseDetections == 0 && repeated == 0;
  PrintOut("%zu of %zu insertions found, %d false, %d repeated detections (%.1f s): %s\n",
              insertions.size() - static_cast<std::size_t>(missed), insertions.size(), falseDetections, repeated,
              elapsed, ok ? "OK" : "FAILED");
  std::fflush(stdout);
  return ok ? kExitOk : kExitFailure;
}

}  // namespace sigpat
