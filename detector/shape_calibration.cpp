// The shape distance's self-calibration values, kept (shape_calibration.h).
#include "shape_calibration.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "calibration_file.h"
#include "float_bits.h"
#include "fnv1a.h"
#include "recent_table.h"
#include "tuning_key.h"

namespace spdet {

namespace {

constexpr char kMagic[] = "signalpattern-shapecal 1";
constexpr std::uint64_t kVersion = 1;
constexpr std::size_t kMaxParts = 256;  // (an entry stays under the 4 KB a cache file may hold)
constexpr std::size_t kTableLimit = std::size_t{1} << 18;

// The values this process found or read, the most recently used kept (recent_table.h).
RecentTable<ShapeSelfValues>& Table() {
  static RecentTable<ShapeSelfValues> table(kTableLimit);
  return table;
}

std::uint64_t Check(std::uint64_t key, const ShapeSelfValues& v) {
  Fnv1a f;
  f.Value(key);
  f.Value(Bits(v.negative));
  f.Value(Bits(v.reverb));
  for (float p : v.parts) f.Value(Bits(p));
  return f.h;
}

// A distance a calibration gives: finite and not negative (the reverberant one may be -1: none).
bool Plausible(const ShapeSelfValues& v) {
  if (!std::isfinite(v.negative) || v.negative < 0.0f || !std::isfinite(v.reverb) || (v.reverb < 0.0f && v.reverb != -1.0f))
    return false;
  for (float p : v.parts)
    if (!std::isfinite(p) || p < 0.0f) return false;
  return true;
}

std::string EntryName(const std::string& directory, std::uint64_t key) {
  if (directory.empty()) return std::string();
  char leaf[48];
  std::snprintf(leaf, sizeof leaf, "shapecal/%016" PRIx64, key);
  std::string name = directory;
  name += '/';
  name += leaf;
  return name;
}

// An entry's text: the values as bits, and a check over them.
std::string FormatShapeSelf(std::uint64_t key, const ShapeSelfValues& v) {
  std::string text = kMagic;
  char line[128];
  std::snprintf(line, sizeof line, "\nkey %016" PRIx64 "\nnegative %08" PRIx32 "\nreverb %08" PRIx32 "\nparts %zu\n", key,
                Bits(v.negative), Bits(v.reverb), v.parts.size());
  text += line;
  for (float p : v.parts) {
    std::snprintf(line, sizeof line, "part %08" PRIx32 "\n", Bits(p));
    text += line;
  }
  std::snprintf(line, sizeof line, "check %016" PRIx64 "\n", Check(key, v));
  text += line;
  return text;
}

// The values of an entry of this key that is exactly what FormatShapeSelf writes.
bool ParseShapeSelf(const std::string& text, std::uint64_t key, ShapeSelfValues& out) {
  std::uint64_t k = 0;
  std::uint32_t negative = 0, reverb = 0;
  std::size_t parts = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "signalpattern-shapecal 1\nkey %16" SCNx64 "\nnegative %8" SCNx32 "\nreverb %8" SCNx32
                  "\nparts %zu\n%n", &k, &negative, &reverb, &parts, &used) != 4 || used == 0 || k != key || parts > kMaxParts)
    return false;
  ShapeSelfValues v;
  v.negative = FromBits(negative);
  v.reverb = FromBits(reverb);
  std::size_t at = static_cast<std::size_t>(used);
  for (std::size_t i = 0; i < parts; ++i) {
    std::uint32_t p = 0;
    int n = 0;
    if (std::sscanf(text.c_str() + at, "part %8" SCNx32 "\n%n", &p, &n) != 1 || n == 0) return false;
    v.parts.push_back(FromBits(p));
    at += static_cast<std::size_t>(n);
  }
  // Exactly what would be written for these values: no other spelling, nothing more.
  if (!Plausible(v) || FormatShapeSelf(key, v) != text) return false;
  out = std::move(v);
  return true;
}

}  // namespace

std::uint64_t ShapeSelfKey(const ShapeSelfInputs& in) {
  Fnv1a f;
  f.Value(kVersion);
  static const unsigned long long build = BuildIdentity();
  f.Value(build);
  f.Value(in.nblock);
  f.Value(in.nband);
  f.Value(in.bandFirst);
  f.Value(in.bandLast);
  f.Value(in.blockSamples);
  f.Value(in.fs);
  f.Value(in.tuning != nullptr ? TuningKey(*in.tuning) : 0);
  if (in.spectrumByBand != nullptr && in.nblock > 0 && in.nband > 0)
    f.Value(WordHashOf(in.spectrumByBand, sizeof(float) * static_cast<std::size_t>(in.nblock) * static_cast<std::size_t>(in.nband)));
  return f.h;
}

bool FindShapeSelf(std::uint64_t key, const std::string& directory, ShapeSelfValues& out) {
  try {
    if (Table().Find(key, out)) return true;
    const std::string name = EntryName(directory, key);
    std::string text;
    if (name.empty() || ReadSmallFile(name, text) != nullptr || !ParseShapeSelf(text, key, out)) return false;
    Table().Keep(key, out);
    return true;
  } catch (...) {
    return false;  // no memory or no lock: found anew
  }
}

void KeepShapeSelf(std::uint64_t key, const std::string& directory, const ShapeSelfValues& values) {
  try {
    Table().Keep(key, values);
    const std::string name = EntryName(directory, key);
    if (name.empty() || values.parts.size() > kMaxParts || !Plausible(values)) return;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(name).parent_path(), ec);
    if (ec) return;
    const std::string text = FormatShapeSelf(key, values);
    WriteFileWhole(name, text.data(), text.size(), false);
  } catch (...) {
    // Kept nowhere: the next set-up finds the values anew.
  }
}

}  // namespace spdet
