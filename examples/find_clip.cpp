// Example client of the SignalPattern library: makes a pattern of a short synthetic clip as it
// arrives piece by piece, then finds the clip in a noisy stream fed in pieces of any size, as a
// live feed would be.
// Exit status 0 when the clip is found once, near the place it was put.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SignalPattern.h"

namespace {

constexpr double kRate = 44100.0;
constexpr std::size_t kPiece = 1000;  // samples per feed: any size will do

// A jingle: 12 tone steps of 150 ms.
std::vector<std::int16_t> Jingle() {
  const double freqs[] = {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794};
  std::vector<std::int16_t> pcm;
  for (double f : freqs)
    for (int i = 0; i < 6615; ++i) pcm.push_back(static_cast<std::int16_t>(16000.0 * std::sin(2 * M_PI * f * i / kRate)));
  return pcm;
}

int PrintLine(void*, unsigned int channel, const char* text) {
  std::printf("  [library %u] %s\n", channel, Cp1251ToUtf8(text).c_str());  // lines are Windows-1251
  return 1;
}

}  // namespace

int main() {
  SetOutLogMessageHandler(&PrintLine, nullptr);
  std::string dir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
  std::string source = dir + "/find_clip_jingle.wav";  // the name the pattern records as its source

  // 1. The pattern: the whole clip, fed as it arrives. The file name is the source name with
  // extension "tvs".
  std::vector<std::int16_t> jingle = Jingle();
  SignalPattern maker;
  PatternMaker making(maker);
  if (!making.Start(0, static_cast<sp_long>(jingle.size() - 1), source.c_str())) return 1;
  for (std::size_t pos = 0; pos < jingle.size(); pos += kPiece)
    making.Feed(&jingle[pos], std::min(kPiece, jingle.size() - pos));
  if (making.Finish() != 1) return 1;
  std::string pattern = maker.GetPatternFileName();
  std::printf("pattern %s written (library %s)\n", pattern.c_str(), maker.GetVersionName());

  // 2. A stream of 10 s of quiet noise with the clip at 4 s.
  std::vector<std::int16_t> stream(10 * 44100);
  std::uint32_t seed = 1;
  for (auto& s : stream) s = static_cast<std::int16_t>(static_cast<int>((seed = seed * 1664525u + 1013904223u) >> 23) - 256);
  const std::size_t at = 4 * 44100;
  for (std::size_t i = 0; i < jingle.size(); ++i) stream[at + i] = static_cast<std::int16_t>(stream[at + i] + jingle[i]);

  // 3. Recognition: load the pattern, feed the stream, read the recognitions of each feed.
  char* names[] = {const_cast<char*>(pattern.c_str())};
  SigRecognitionPar par;  // defaults: 44100 Hz, thresholds 0.9 / 1.2
  par.NPattern = 1;
  par.PatternFileNames = names;
  RecognitionStream rec;
  if (!rec.Init(&par)) return 1;
  int found = 0;
  bool nearTruth = false;
  const auto report = [&]() {
    for (const StreamRecognition& r : rec.Recognitions()) {
      ++found;
      const double begin = static_cast<double>(r.begin) / kRate;
      nearTruth = std::fabs(begin - at / kRate) < 0.1;
      std::printf("found %s (pattern %d) at %.3f s\n", rec.Engine().GetLastRecognizedPatternFileName(), r.pattern, begin);
    }
  };
  for (std::size_t pos = 0; pos < stream.size(); pos += kPiece) {
    if (rec.Feed(&stream[pos], std::min(kPiece, stream.size() - pos)) < 0) return 1;
    report();
  }
  if (rec.Finish() < 0) return 1;  // the end of the stream: a clip at the very end is still seen
  report();
  std::remove(pattern.c_str());
  return found == 1 && nearTruth ? 0 : 1;
}
