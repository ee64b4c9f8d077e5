// A pattern file from an interval of an audio file (sigpat create, the Python module, discover).
//
// The input is fed to the library's PatternMaker from its start (or from ten seconds before a
// late interval) until the library has written the file. The interval is in samples at 44100 Hz
// (the positions that scan reports) or in seconds.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "PatternDetector.h"
#include "PatternMaker.h"
#include "SignalPattern.h"
#include "detail_files.h"
#include "messages.h"
#include "output.h"
#include "pattern_making.h"
#include "pattern_output.h"
#include "scanner.h"
#include "signals.h"

namespace sigpat {

namespace {

constexpr int kBlockSamples = PatternMaker::kBlockSamples;
// Fewer time blocks give a pattern with no compared samples (it would match anything).
constexpr std::int64_t kMinPatternSamples = 3 * 576;
// The engine counts positions in signed 32-bit values; an interval that starts later than this
// is reached by skipping whole blocks of the input first (the pre-filter has long settled
// within the ten seconds fed before the interval).
constexpr std::int64_t kSkipAfter = std::int64_t{1} << 30;
constexpr std::int64_t kLeadIn = 10 * kLibraryRate;

std::string Seconds(std::int64_t samples) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.3f s", static_cast<double>(samples) / kLibraryRate);
  return buf;
}

}  // namespace

void CreateInterval(const CreateArgs& args, std::int64_t total, std::int64_t& begin, std::int64_t& end) {
  begin = 0;
  end = total - 1;
  if (args.begin) begin = *args.begin;
  if (args.beginSeconds) begin = std::llround(*args.beginSeconds * kLibraryRate);
  if (args.end) end = *args.end;
  if (args.endSeconds) end = std::llround(*args.endSeconds * kLibraryRate) - 1;
}

std::string CreatePatternFile(const CreateArgs& args) {
  if (args.input == "-") throw UsageError("create needs an audio file, not standard input");
  std::unique_ptr<AudioInput> in = AudioInput::Open(args.input, args.audio);
  if (!in->exactLength()) {
    // A compressed file's container gives an estimate at most: count the samples once.
    std::int64_t total = 0;
    std::vector<std::int16_t> buf(65536);
    for (std::size_t n; (n = in->Read(buf.data(), buf.size())) > 0;) total += static_cast<std::int64_t>(n);
    if (total == 0) throw Error(args.input + ": holds no audio samples");
    in = AudioInput::Open(args.input, args.audio);
    return CreatePatternFile(args, *in, total);
  }
  return CreatePatternFile(args, *in);
}

std::string CreatePatternFile(const CreateArgs& args, AudioInput& in, std::int64_t total) {
  if (total < 0) total = in.expectedSamples();
  if (total < 0) throw Error(args.input + ": is a stream; create needs an audio file whose length is known");

  std::int64_t begin, end;
  CreateInterval(args, total, begin, end);

  const std::string interval = std::to_string(begin) + ".." + std::to_string(end);
  // A begin past the end of the file (the end left to default) is not a reversed interval.
  if (begin >= total && !args.end && !args.endSeconds)
    throw Error(args.input + ": the interval begins at " + Seconds(begin) + ", after the end of the audio (" +
                Seconds(total) + ")");
  if (begin > end) {
    // Said in the unit it was given in: a command-line mistake.
    if (args.beginSeconds && args.endSeconds)
      throw UsageError("the interval " + Seconds(begin) + " .. " + Seconds(end + 1) +
                       " is reversed or empty (--end-sec lies before --begin-sec)");
    throw UsageError(args.input + ": the interval " + interval + " is reversed or empty (its end lies before its begin)");
  }
  if (begin < 0 || end >= total)
    throw Error(args.input + ": the interval " + interval + " lies outside the file (" + std::to_string(total) +
                " samples at 44100 Hz, " + Seconds(total) + ")");
  if (end - begin + 1 < kMinPatternSamples)
    throw Error(args.input + ": the interval " + interval + " is too short for a pattern (at least " +
                std::to_string(kMinPatternSamples) + " samples, " + Seconds(kMinPatternSamples) + ")");
  if (end - begin + 1 > (std::int64_t{1} << 30))
    throw Error(args.input + ": the interval " + interval + " is too long for a pattern");

  std::int64_t skip = 0;
  if (begin > kSkipAfter) skip = (begin - kLeadIn) / kBlockSamples * kBlockSamples;

  LibraryLineCapture capture;
  SignalPattern engine;
  engine.DefineMaxCreatedPatternDuration(static_cast<float>(end - begin + 1) / kLibraryRate + 1.0f);
  PatternMaker maker(engine);
  if (!maker.Start(static_cast<sp_long>(begin - skip), static_cast<sp_long>(end - skip), args.input.c_str()))
    throw Error(args.input + ": the library refused the interval " + interval, capture.lines());
  // The library writes under a temporary name; the file is moved into place once complete.
  const std::string destination = PatternOutputPath(args.input, args.output);
  PatternFileOutput output(destination);
  std::string stem = output.LibraryStem();
  if (!engine.SetOutputPatternFileName(stem.data()))
    throw Error(destination + ": the library refused the output name", capture.lines());

  std::vector<std::int16_t> block(kBlockSamples);
  for (std::int64_t skipped = 0; skipped < skip;) {
    std::size_t n = in.Read(block.data(), static_cast<std::size_t>(std::min<std::int64_t>(kBlockSamples, skip - skipped)));
    if (n == 0) break;
    skipped += static_cast<std::int64_t>(n);
  }
  // A short clip's own samples make its detail print too.
  const bool detailed = static_cast<double>(end - begin + 1) <= kDetailMaxSeconds * kLibraryRate;
  std::vector<std::int16_t> clip;
  std::int64_t position = skip;
  int fed = 1;  // PatternMaker: 1 more wanted, 0 done, -1 refused
  while (fed > 0) {
    if (StopRequested()) throw Error(destination + ": not written (stopped by a signal)");
    const std::size_t got = in.Read(block.data(), block.size());
    fed = got > 0 ? maker.Feed(block.data(), got) : maker.Finish();
    if (got == 0) break;
    for (std::size_t i = 0; detailed && i < got; ++i, ++position)
      if (position >= begin && position <= end) clip.push_back(block[i]);
  }
  if (fed < 0) throw Error(args.input + ": the library refused a block of the input", capture.lines());
  if (!maker.Written())
    throw Error("cannot write " + destination + ": " + std::strerror(errno != 0 ? errno : EIO), capture.lines());
  output.Commit([&](const std::string& file) { CheckNewPattern(file, args.input); });
  if (detailed)
    WriteDetailFor(destination, clip);
  else
    std::remove(DetailFileOf(destination).c_str());  // a print of an earlier pattern of that name
  return destination;
}

void CheckNewPattern(const std::string& file, const std::string& source) {
  SignalTVSEx p;
  LoadPattern(file, p);
  // Silence makes no pattern: every cell at the floor, nothing to compare.
  float loudest = -1000.0f;
  for (int i = 0; i < p.Nblock * p.Nband; ++i) loudest = std::max(loudest, PowToDB(p.Spectrum[i]));
  if (!(loudest > kSilentPatternDb))
    throw Error(source + ": the interval is silent (no band rises above " + std::to_string(static_cast<int>(kSilentPatternDb)) +
                " dB): it would make a pattern that matches any quiet stretch");
  // The decision layer compares every pattern with common sounds (tones, hits, bursts): one
  // that such a sound matches all but exactly would be reported on every one of them.
  DetectorView view;
  if (ViewThroughDetector(file, view) && view.negative < kUselessPatternDistance) {
    char closest[32];
    std::snprintf(closest, sizeof closest, "%.3f", static_cast<double>(view.negative));
    throw Error(source + ": the interval makes a pattern that common sounds match (a plain tone or hit comes within " +
                closest + " dB of it): choose a longer or richer interval");
  }
}

bool ViewThroughDetector(const std::string& file, DetectorView& view) {
  SignalPattern engine;
  try {
    SetUpRecognition(engine, {file});
  } catch (const Error&) {
    return false;
  }
  PatternDetector detector;
  const char* files[] = {file.c_str()};
  if (!detector.Attach(&engine, files) || detector.Pattern(0).Nblock < 1) return false;
  const DetectorPattern& P = detector.Pattern(0);
  view.threshold = P.Threshold;
  view.positive = P.SelfPositive;
  view.negative = P.SelfNegative;
  view.calibrated = P.Calibrated != 0;
  return true;
}

}  // namespace sigpat
