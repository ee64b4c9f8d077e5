// Speed-shifted variants of a pattern (sigpat create --speed) and finding them beside the
// patterns named for a scan. A variant (named as SpeedVariantName.h says) is the same interval
// of the input played that many percent faster or slower (resampled, pitch and tempo together),
// as broadcast chains often do. The detector groups a pattern with its variants by these names.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "PatternMaker.h"
#include "SignalPattern.h"
#include "SpeedVariantName.h"
#include "pattern_making.h"
#include "detail_files.h"
#include "messages.h"
#include "pattern_output.h"
#include "signals.h"
#include "speed_change.h"

namespace sigpat {

namespace fs = std::filesystem;

namespace {

// The interval of the input as create reads it (samples at 44100 Hz, both ends included).
std::vector<float> ReadInterval(const CreateArgs& args) {
  std::unique_ptr<AudioInput> in = AudioInput::Open(args.input, args.audio);
  std::int64_t begin, end;
  CreateInterval(args, in->expectedSamples(), begin, end);
  std::vector<float> clip;
  std::vector<std::int16_t> block(65536);
  std::int64_t pos = 0;
  while (pos <= end) {
    const std::size_t n = in->Read(block.data(), block.size());
    if (n == 0) break;
    for (std::size_t i = 0; i < n; ++i, ++pos)
      if (pos >= begin && pos <= end) clip.push_back(static_cast<float>(block[i]) / 32768.0f);
  }
  return clip;
}

// Writes the pattern of a whole clip held in memory to `destination`.
std::string WritePattern(const std::vector<float>& clip, const std::string& source, const std::string& destination) {
  LibraryLineCapture capture;
  SignalPattern engine;
  engine.DefineMaxCreatedPatternDuration(static_cast<float>(clip.size()) / kLibraryRate + 1.0f);
  PatternMaker maker(engine);
  if (!maker.Start(0, static_cast<sp_long>(clip.size() - 1), source.c_str()))
    throw Error(source + ": the library refused the speed-shifted interval", capture.lines());
  PatternFileOutput output(destination);
  std::string libraryStem = output.LibraryStem();
  if (!engine.SetOutputPatternFileName(libraryStem.data()))
    throw Error(destination + ": the library refused the output name", capture.lines());
  if (StopRequested()) throw Error(destination + ": not written (stopped by a signal)");
  std::vector<std::int16_t> pcm(clip.size());
  for (std::size_t i = 0; i < clip.size(); ++i) pcm[i] = ToSample16(clip[i]);
  if (maker.Feed(pcm.data(), pcm.size()) < 0 || maker.Finish() < 0)
    throw Error(source + ": the library refused a block of the speed-shifted clip", capture.lines());
  if (!maker.Written()) throw Error("cannot write " + destination, capture.lines());
  output.Commit([&](const std::string& file) { CheckNewPattern(file, source); });
  WriteDetailFor(destination, pcm);
  return destination;
}

}  // namespace

std::vector<std::string> CreateSpeedVariants(const CreateArgs& args, const std::string& mainPattern) {
  std::vector<std::string> written;
  if (args.speeds.empty()) return written;
  const std::vector<float> clip = ReadInterval(args);
  for (double v : args.speeds) {
    for (double percent : {v, -v}) {
      const std::vector<float> shifted = ChangeSpeed(clip, percent);
      if (shifted.size() < 3 * 576) throw Error(args.input + ": the speed-shifted interval is too short for a pattern");
      written.push_back(WritePattern(shifted, args.input, sp::SpeedVariantName(mainPattern, percent)));
    }
  }
  return written;
}

std::vector<std::string> WithSpeedVariants(const std::vector<std::string>& files) {
  std::vector<std::string> all = files;
  std::unordered_set<std::string> have(files.begin(), files.end());
  // The variant files of each folder named, read once: by the pattern file they vary, sorted.
  std::unordered_map<std::string, std::unordered_map<std::string, std::vector<std::string>>> folders;
  auto variantsIn = [&folders](const fs::path& dir) -> const std::unordered_map<std::string, std::vector<std::string>>& {
    auto [at, fresh] = folders.try_emplace(dir.string());
    if (!fresh) return at->second;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string other = entry.path().filename().string();
      std::string main;
      if (sp::ParseSpeedVariantName(other, &main, nullptr)) at->second[main].push_back(other);
    }
    for (auto& [name, variants] : at->second) std::sort(variants.begin(), variants.end());
    return at->second;
  };
  for (const auto& file : files) {
    const fs::path path(file);
    const std::string name = path.filename().string();
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".tvs") != 0 || sp::ParseSpeedVariantName(name, nullptr, nullptr))
      continue;
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const auto& variants = variantsIn(dir);
    const auto it = variants.find(name);
    if (it == variants.end()) continue;
    for (const std::string& other : it->second) {
      const std::string full = path.has_parent_path() ? (dir / other).string() : other;
      if (have.insert(full).second) all.push_back(full);
    }
  }
  return all;
}

}  // namespace sigpat
