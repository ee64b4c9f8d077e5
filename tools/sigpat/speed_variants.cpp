// Speed-shifted variants of a pattern (sigpat create --speed) and finding them beside the
// patterns named for a scan. A variant of NAME.tvs is NAME.speed+1.5.tvs, NAME.speed-3.tvs, ...:
// the same interval of the input played that many percent faster or slower (resampled, pitch
// and tempo together), as broadcast chains often do. The detector groups a pattern with its
// variants by these names.
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "commands.h"
#include "messages.h"
#include "pattern_output.h"
#include "signals.h"

namespace sigpat {

namespace fs = std::filesystem;

namespace {

constexpr int kBlockSamples = 1152;
constexpr int kSilentBlocks = 10;

// "+1.5", "-3".
std::string SpeedLabel(double percent) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+g", percent);
  return buf;
}

// True for "NAME.speed+1.5.tvs"-like names: ".speed", a sign, digits, optionally a dot and
// digits, then ".tvs".
bool IsVariantName(const std::string& name) {
  const std::size_t mark = name.rfind(".speed");
  if (mark == std::string::npos) return false;
  std::size_t i = mark + 6;
  if (i >= name.size() || (name[i] != '+' && name[i] != '-')) return false;
  ++i;
  const std::size_t digits = i;
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
  if (i == digits) return false;
  if (i + 1 < name.size() && name[i] == '.' && std::isdigit(static_cast<unsigned char>(name[i + 1]))) {
    ++i;
    while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
  }
  return name.compare(i, std::string::npos, ".tvs") == 0;
}

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

// The clip played `percent` faster: read as if recorded at a higher rate, converted back.
std::vector<float> ChangeSpeed(const std::vector<float>& in, double percent) {
  const double from = kLibraryRate * (1.0 + percent / 100.0);
  std::vector<float> out(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * kLibraryRate / from)) + 16);
  std::size_t done = 0;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t err = soxr_oneshot(from, kLibraryRate, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done,
                                  &io, &q, nullptr);
  if (err != nullptr) throw Error(std::string("cannot resample the clip: ") + err);
  out.resize(done);
  return out;
}

// Writes the pattern of a whole clip held in memory to STEM.tvs.
std::string WritePattern(const std::vector<float>& clip, const std::string& source, const std::string& stem) {
  LibraryLineCapture capture;
  SignalPattern maker;
  maker.DefineMaxCreatedPatternDuration(static_cast<float>(clip.size()) / kLibraryRate + 1.0f);
  if (!maker.InitSignalPattern(SP_MODE_ALL_BANDS, kBlockSamples, 0))
    throw Error(source + ": the library could not start pattern creation", capture.lines());
  if (!maker.SetCreatePatternMode(0, static_cast<sp_long>(clip.size() - 1), const_cast<char*>(source.c_str()), nullptr))
    throw Error(source + ": the library refused the speed-shifted interval", capture.lines());
  const std::string destination = stem + ".tvs";
  PatternFileOutput output(destination);
  std::string libraryStem = output.LibraryStem();
  if (!maker.SetOutputPatternFileName(libraryStem.data()))
    throw Error(destination + ": the library refused the output name", capture.lines());
  std::vector<std::int16_t> block(kBlockSamples);
  std::size_t pos = 0;
  int silentLeft = kSilentBlocks;
  while (maker.fCreatePatternMode && !maker.GetFlagCreatedPattern()) {
    if (StopRequested()) throw Error(destination + ": not written (stopped by a signal)");
    std::size_t n = 0;
    for (; n < block.size() && pos < clip.size(); ++n, ++pos) block[n] = ToSample16(clip[pos]);
    if (n == 0 && silentLeft-- == 0) break;
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(n), block.end(), std::int16_t{0});
    if (maker.Pattern(kBlockSamples, block.data(), SP_SAMPLE_S16, nullptr) < 0)
      throw Error(source + ": the library refused a block of the speed-shifted clip", capture.lines());
  }
  if (!maker.GetFlagCreatedPattern()) throw Error("cannot write " + destination, capture.lines());
  output.Commit([&](const std::string& file) { CheckNewPattern(file, source); });
  return destination;
}

}  // namespace

std::vector<std::string> CreateSpeedVariants(const CreateArgs& args, const std::string& mainPattern) {
  std::vector<std::string> written;
  if (args.speeds.empty()) return written;
  std::string stem = mainPattern;
  if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".tvs") == 0) stem.resize(stem.size() - 4);
  const std::vector<float> clip = ReadInterval(args);
  for (double v : args.speeds) {
    for (double percent : {v, -v}) {
      const std::vector<float> shifted = ChangeSpeed(clip, percent);
      if (shifted.size() < 3 * 576) throw Error(args.input + ": the speed-shifted interval is too short for a pattern");
      written.push_back(WritePattern(shifted, args.input, stem + ".speed" + SpeedLabel(percent)));
    }
  }
  return written;
}

std::vector<std::string> WithSpeedVariants(const std::vector<std::string>& files) {
  std::vector<std::string> all = files;
  std::unordered_set<std::string> have(files.begin(), files.end());
  // The variant files of each folder named, read once: by the pattern name they vary, sorted.
  std::unordered_map<std::string, std::unordered_map<std::string, std::vector<std::string>>> folders;
  auto variantsIn = [&folders](const fs::path& dir) -> const std::unordered_map<std::string, std::vector<std::string>>& {
    auto [at, fresh] = folders.try_emplace(dir.string());
    if (!fresh) return at->second;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string other = entry.path().filename().string();
      const std::size_t speed = other.rfind(".speed");
      if (speed == std::string::npos || !IsVariantName(other)) continue;
      at->second[other.substr(0, speed)].push_back(other);
    }
    for (auto& [name, variants] : at->second) std::sort(variants.begin(), variants.end());
    return at->second;
  };
  for (const auto& file : files) {
    const fs::path path(file);
    const std::string name = path.filename().string();
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".tvs") != 0 || IsVariantName(name)) continue;
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const auto& variants = variantsIn(dir);
    const auto it = variants.find(name.substr(0, name.size() - 4));
    if (it == variants.end()) continue;
    for (const std::string& other : it->second) {
      const std::string full = path.has_parent_path() ? (dir / other).string() : other;
      if (have.insert(full).second) all.push_back(full);
    }
  }
  return all;
}

}  // namespace sigpat
