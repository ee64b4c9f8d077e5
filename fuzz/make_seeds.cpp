// Writes the generated seed corpus of the fuzz targets: valid files made by the library and
// malformed variants of them, and operation lists that drive a recognizer through typical
// sessions. Usage: fuzz_make_seeds CORPUS_DIR (normally fuzz/corpus of the source tree).
// The output is deterministic, so regenerating it changes nothing unless the formats change.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "fuzz_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Save(const fs::path& dir, const std::string& name, const Bytes& b) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutU16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutF32(Bytes& b, std::size_t at, float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  PutU32(b, at, u);
}
std::uint32_t U32At(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
Bytes Cut(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

// ---- pattern files

void PatternSeeds(const fs::path& dir) {
  // A short clip made into a pattern in the current directory, so that the stored paths are
  // plain relative names.
  std::vector<std::int16_t> clip(44100 * 3 / 20);
  spfuzz::FillSignal(clip.data(), clip.size(), 11, 0.7f);
  SignalPattern maker;
  char source[] = "seed.wav";
  if (maker.CreatePattern(static_cast<sp_ulong>(clip.size()), 0, static_cast<sp_ulong>(clip.size() - 1), clip.data(),
                          SP_SAMPLE_S16, source, 44100.0f, 0x20000) != 1) {
    std::fprintf(stderr, "pattern creation failed\n");
    return;
  }
  const Bytes valid = ReadFile("seed.tvs");
  const std::uint32_t nband = U32At(valid, 8), nblock = U32At(valid, 12);
  const std::size_t levels = 56, spectrum = 56 + 4 * nband, section1 = U32At(valid, 44);
  const std::size_t nameBlock = section1 + (valid[section1] | (valid[section1 + 1] << 8));
  std::printf("pattern seed: %u bands, %u blocks, %zu bytes\n", nband, nblock, valid.size());

  Save(dir, "valid", valid);
  for (std::uint8_t options : {1, 2, 3, 8, 15}) {
    Bytes b = valid;
    b[48] = options;
    Save(dir, "valid-options-" + std::to_string(options), b);
  }
  // Cut at every section boundary and inside each part.
  const std::pair<const char*, std::size_t> cuts[] = {
      {"cut-header", 40},           {"cut-56", 56},
      {"cut-levels", levels + 6},   {"cut-after-levels", spectrum},
      {"cut-band-powers", spectrum + 4 * nband + 3}, {"cut-section1-size", section1 + 1},
      {"cut-section1-L", section1 + 5},           {"cut-section1-name", section1 + 8},
      {"cut-section1-reserved", nameBlock - 3},   {"cut-name-length", nameBlock + 2},
      {"cut-name", nameBlock + 6},                {"cut-name-terminator", valid.size() - 1}};
  for (const auto& c : cuts) Save(dir, c.first, Cut(valid, c.second));

  auto edited = [&](const char* name, auto edit) {
    Bytes b = valid;
    edit(b);
    Save(dir, name, b);
  };
  edited("nblock-0", [](Bytes& b) { PutU32(b, 12, 0); });
  edited("nblock-negative", [](Bytes& b) { PutU32(b, 12, 0xFFFFFFFEu); });
  edited("nblock-huge", [](Bytes& b) { PutU32(b, 12, 0x3FFFFFFFu); });
  edited("nblock-large", [](Bytes& b) { PutU32(b, 12, 40000000u); });
  edited("nblock-one-more", [&](Bytes& b) { PutU32(b, 12, nblock + 1); });
  edited("nblock-one-less", [&](Bytes& b) { PutU32(b, 12, nblock - 1); });
  edited("nband-4", [](Bytes& b) { PutU32(b, 8, 4); });
  edited("nband-16", [](Bytes& b) { PutU32(b, 8, 16); });
  edited("nband-0", [](Bytes& b) { PutU32(b, 8, 0); });
  edited("nband-17", [](Bytes& b) { PutU32(b, 8, 17); });
  edited("ndft-8", [](Bytes& b) { PutU32(b, 4, 8); });
  edited("protocol-1", [](Bytes& b) { PutU16(b, 0, 1); });
  edited("version-1", [](Bytes& b) { PutU16(b, 2, 1); });
  edited("version-3", [](Bytes& b) { PutU16(b, 2, 3); });
  edited("version-ffff", [](Bytes& b) { PutU16(b, 2, 0xFFFF); });
  edited("fs-48000", [](Bytes& b) { PutF32(b, 16, 48000.0f); });
  edited("fs-48000-unchecked", [](Bytes& b) {
    PutF32(b, 16, 48000.0f);
    b[48] = 4;
  });
  edited("fs-nan", [](Bytes& b) { PutF32(b, 16, std::nanf("")); });
  edited("short-name-unterminated", [](Bytes& b) { std::memset(&b[28], 'x', 16); });
  edited("section1-L-beyond-file", [&](Bytes& b) { PutU16(b, section1 + 4, 0xFFFF); });
  edited("section1-size-wrong", [&](Bytes& b) { PutU16(b, section1, 3); });
  edited("name-length-beyond-file", [&](Bytes& b) { PutU32(b, nameBlock, 400); });
  edited("name-length-512", [&](Bytes& b) { PutU32(b, nameBlock, 512); });
  edited("name-length-huge", [&](Bytes& b) { PutU32(b, nameBlock, 0xFFFFFFFFu); });
  edited("levels-zero", [&](Bytes& b) {
    for (std::size_t i = 0; i < nband; ++i) PutF32(b, levels + 4 * i, 0.0f);
  });
  const std::pair<const char*, float> values[] = {{"band-power-nan", std::nanf("")},
                                                  {"band-power-inf", INFINITY},
                                                  {"band-power-negative", -1.0f},
                                                  {"band-power-huge", 3.0e38f},
                                                  {"band-power-zero", 0.0f},
                                                  {"band-power-denormal", 1.0e-42f}};
  for (const auto& v : values)
    edited(v.first, [&](Bytes& b) {
      for (std::size_t i = 0; i < static_cast<std::size_t>(nband) * nblock; i += 3) PutF32(b, spectrum + 4 * i, v.second);
      for (std::size_t i = 0; i < nband; i += 2) PutF32(b, levels + 4 * i, v.second);
    });
  // A one-block, one-band pattern that loads (and is then refused by the set-up).
  Bytes tiny(valid.begin(), valid.begin() + 56);
  PutU32(tiny, 8, 1);
  PutU32(tiny, 12, 1);
  PutU16(tiny, 2, 1);
  tiny.resize(64);
  PutF32(tiny, 56, 0.5f);
  PutF32(tiny, 60, 0.5f);
  Save(dir, "tiny-v1", tiny);
  Save(dir, "empty", {});
}

// ---- test-data files

struct Recorder : SignalPattern {
  using TimeSpectrumEstimation::OpenForWriteTestDataFile;
};

void TestDataSeeds(const fs::path& dir) {
  std::vector<std::int16_t> clip(44100 / 5);
  spfuzz::FillSignal(clip.data(), clip.size(), 5, 0.5f);
  SignalPattern maker;
  char source[] = "td.wav";
  if (maker.CreatePattern(static_cast<sp_ulong>(clip.size()), 0, static_cast<sp_ulong>(clip.size() - 1), clip.data(),
                          SP_SAMPLE_S16, source, 44100.0f, 0x20000) != 1)
    return;
  Recorder rec;
  char* names[] = {const_cast<char*>("td.tvs")};
  SigRecognitionPar par;
  par.fStatistics = 1;
  par.PatternFileNames = names;
  if (rec.InitSignalPattern(&par) != 1) return;
  char name[] = "record";
  if (rec.OpenForWriteTestDataFile(name) != 1) return;
  std::vector<std::int16_t> stream(1152 * 6);
  spfuzz::FillSignal(stream.data(), stream.size(), 6, 0.5f);
  for (std::size_t i = 0; i + 1152 <= stream.size(); i += 1152) rec.Pattern(1152, stream.data() + i, SP_SAMPLE_S16, nullptr);
  rec.OpenForReadTestData();  // closes the written file
  rec.CloseReadTestData();
  const Bytes file = ReadFile("record.tvd");
  std::printf("test-data seed: %zu bytes\n", file.size());

  auto withPositions = [](std::uint32_t a, std::uint32_t b, const Bytes& body) {
    Bytes out(8 + body.size());
    PutU32(out, 0, a);
    PutU32(out, 4, b);
    for (std::size_t i = 0; i < body.size(); ++i) out[8 + i] = body[i];
    return out;
  };
  Save(dir, "valid", withPositions(0, 575, file));
  Save(dir, "valid-late", withPositions(576 * 5 + 3, 0xFFFFFFFFu, file));
  Save(dir, "partial-record", withPositions(576, 1152, Cut(file, 36 + 17)));
  Save(dir, "one-record", withPositions(0, 576, Cut(file, 36)));
  Save(dir, "empty-file", withPositions(100, 7000, {}));
  Save(dir, "positions-only", Bytes{0x40, 0x02, 0, 0});
}

// ---- recognizer sessions

struct Ops {
  Bytes b;
  Ops& Feed(int sizeCode, int format, int source, int gain = 127) {
    b.insert(b.end(), {0, static_cast<std::uint8_t>(sizeCode), static_cast<std::uint8_t>(format),
                       static_cast<std::uint8_t>(source), static_cast<std::uint8_t>(gain)});
    return *this;
  }
  Ops& Repeat(int n, int sizeCode, int format, int source, int gain = 127) {
    for (int i = 0; i < n; ++i) Feed(sizeCode, format, source, gain);
    return *this;
  }
  Ops& Raw(std::initializer_list<std::uint8_t> bytes) {
    b.insert(b.end(), bytes);
    return *this;
  }
  Ops& Float(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    return *this;
  }
};

void RecognizerSeeds(const fs::path& dir) {
  // Options: bit 0 statistics, bit 1 both patterns, bits 2-3 largest block, bits 4-6 mode.
  // Operations: 0 feed (size code, format code, source, gain), 4 parameters, 5 thresholds,
  // 6 pattern switch, 7 misc, 8 new set-up, 9 copy.
  {
    Ops o;
    o.Raw({0x00}).Repeat(24, 2, 0, 0);
    Save(dir, "clip-a", o.b);
  }
  {
    Ops o;
    o.Raw({0x03}).Repeat(20, 2, 0, 0).Repeat(4, 2, 0, 3).Repeat(16, 2, 1, 0x10).Raw({7, 4}).Raw({7, 5, 0});
    Save(dir, "clip-ab-statistics", o.b);
  }
  {
    Ops o;
    o.Raw({0x0B}).Repeat(8, 8, 2, 0).Repeat(4, 4, 4, 1).Repeat(3, 6, 0, 0x40 | 4);
    Save(dir, "big-blocks-formats", o.b);
  }
  {
    Ops o;
    o.Raw({0x02}).Repeat(6, 2, 0, 0);
    o.Raw({5}).Float(0.5f).Float(1.0f);
    o.Raw({6, 1, 0}).Repeat(6, 2, 0, 0);
    o.Raw({4, 0x01, 20, 236, 10, 50, 80, 80, 0x04, 0x80, 0x04, 2});
    o.Repeat(10, 2, 0, 0).Raw({7, 1, 0xFF}).Raw({7, 0});
    Save(dir, "parameter-changes", o.b);
  }
  {
    Ops o;
    o.Raw({0x00}).Repeat(4, 2, 0, 0).Raw({7, 2 | 8}).Repeat(14, 2, 0, 0).Raw({7, 4});
    Save(dir, "statistics-switched-on", o.b);
  }
  {
    Ops o;
    o.Raw({0x01}).Repeat(8, 2, 0, 0).Raw({9 | 0x10}).Repeat(12, 2, 0, 0).Raw({9}).Repeat(4, 2, 0, 1);
    Save(dir, "copies", o.b);
  }
  {
    Ops o;
    o.Raw({0x00}).Raw({0, 0x92, 0, 0, 100}).Raw({0, 1, 0, 0, 100}).Raw({0, 2, 4, 0, 100}).Raw({0, 2, 5, 0, 100});
    o.Raw({8, 0x33}).Repeat(6, 2, 0, 4, 255).Raw({8, 0x02}).Repeat(12, 2, 0, 2);
    for (int i = 0; i < 64; ++i) o.b.push_back(static_cast<std::uint8_t>(i * 37));
    Save(dir, "refusals-and-setups", o.b);
  }
  {
    Ops o;
    o.Raw({0x01}).Repeat(6, 2, 0, 0);
    o.Raw({4, 0x11}).Float(NAN).Float(INFINITY).Float(-INFINITY).Float(1e30f).Float(NAN).Float(-1.0f).Float(1e38f);
    o.Float(44100.0f).Raw({0, 0x20, 0x20, 2});
    o.Raw({5}).Float(NAN).Float(INFINITY);
    o.Repeat(12, 2, 0, 0);
    Save(dir, "non-finite-parameters", o.b);
  }
}

// ---- audio input of the command-line tool

// A WAV file: format tag 1 (integer PCM) or 3 (float), the given sample bytes.
Bytes Wav(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, const Bytes& data,
          std::uint32_t claimedDataSize = 0xFFFFFFFFu) {
  Bytes b(44);
  std::memcpy(&b[0], "RIFF", 4);
  PutU32(b, 4, static_cast<std::uint32_t>(36 + data.size()));
  std::memcpy(&b[8], "WAVEfmt ", 8);
  PutU32(b, 16, 16);
  PutU16(b, 20, tag);
  PutU16(b, 22, channels);
  PutU32(b, 24, rate);
  PutU32(b, 28, rate * channels * (bits / 8));
  PutU16(b, 32, static_cast<std::uint16_t>(channels * (bits / 8)));
  PutU16(b, 34, bits);
  std::memcpy(&b[36], "data", 4);
  PutU32(b, 40, claimedDataSize != 0xFFFFFFFFu ? claimedDataSize : static_cast<std::uint32_t>(data.size()));
  for (std::uint8_t c : data) b.push_back(c);
  return b;
}

// n values of a tone as little-endian samples of the given byte width (or floats).
Bytes ToneBytes(std::size_t n, int width, bool isFloat) {
  Bytes b;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = 0.6 * std::sin(2.0 * M_PI * 997.0 * static_cast<double>(i) / 44100.0);
    std::uint32_t u;
    if (isFloat) {
      float f = static_cast<float>(v);
      std::memcpy(&u, &f, 4);
    } else if (width == 1) {
      u = static_cast<std::uint32_t>(128 + static_cast<int>(v * 127.0));  // 8-bit WAV is unsigned
    } else {
      u = static_cast<std::uint32_t>(static_cast<std::int32_t>(v * static_cast<double>((1u << (8 * width - 1)) - 1)));
    }
    for (int k = 0; k < width; ++k) b.push_back(static_cast<std::uint8_t>(u >> (8 * k)));
  }
  return b;
}

Bytes Prefixed(std::initializer_list<std::uint8_t> head, const Bytes& body) {
  Bytes b(head);
  for (std::uint8_t c : body) b.push_back(c);
  return b;
}

void AudioSeeds(const fs::path& dir) {
  // Files: byte 0 even (bits 1.. choose the read sizes), byte 1 the channel to pick.
  Save(dir, "wav-s16-mono", Prefixed({0, 0}, Wav(1, 1, 44100, 16, ToneBytes(600, 2, false))));
  Save(dir, "wav-s16-stereo-48k", Prefixed({2, 2}, Wav(1, 2, 48000, 16, ToneBytes(600, 2, false))));
  Save(dir, "wav-s24-stereo-mix", Prefixed({4, 0}, Wav(1, 2, 44100, 24, ToneBytes(400, 3, false))));
  Save(dir, "wav-f32-22k", Prefixed({6, 1}, Wav(3, 1, 22050, 32, ToneBytes(300, 4, true))));
  Save(dir, "wav-u8", Prefixed({0, 0}, Wav(1, 1, 8000, 8, ToneBytes(500, 1, false))));
  Save(dir, "wav-channel-missing", Prefixed({0, 3}, Wav(1, 2, 44100, 16, ToneBytes(100, 2, false))));
  Save(dir, "wav-data-cut", Prefixed({0, 0}, Wav(1, 1, 44100, 16, ToneBytes(200, 2, false), 100000)));
  Save(dir, "wav-rate-1", Prefixed({0, 0}, Wav(1, 1, 1, 16, ToneBytes(50, 2, false))));
  Save(dir, "wav-no-samples", Prefixed({0, 0}, Wav(1, 1, 44100, 16, {})));
  Save(dir, "wav-header-only", Prefixed({0, 0}, Cut(Wav(1, 1, 44100, 16, {}), 30)));
  Save(dir, "not-audio", Prefixed({0, 0}, Bytes{'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'}));
  // Raw standard input: byte 0 odd, then format (s16le s16be s24le s32le f32le), rate index
  // (44100 48000 22050 8000 96000 11025 32000 44101), channels - 1, channel.
  Save(dir, "raw-s16le", Prefixed({1, 0, 0, 0, 0}, ToneBytes(700, 2, false)));
  Save(dir, "raw-s16be-stereo-48k", Prefixed({3, 1, 1, 1, 0}, ToneBytes(600, 2, false)));
  Save(dir, "raw-s24le-pick-2", Prefixed({5, 2, 0, 1, 2}, ToneBytes(601, 3, false)));
  Save(dir, "raw-s32le-8k", Prefixed({7, 3, 3, 0, 0}, ToneBytes(300, 4, false)));
  Bytes floats = ToneBytes(400, 4, true);
  const float specials[] = {NAN, INFINITY, -INFINITY, 1e30f, -2.0f};
  for (std::size_t i = 0; i < 5; ++i) std::memcpy(&floats[40 * i], &specials[i], 4);
  Save(dir, "raw-f32le-non-finite", Prefixed({1, 4, 2, 0, 0}, floats));
  Save(dir, "raw-odd-tail", Prefixed({1, 2, 0, 2, 0}, Cut(ToneBytes(100, 3, false), 299)));
  // Also the input that found a memcpy from a null pointer in the standard-input reader.
  Save(dir, "raw-empty", Bytes{1, 0, 0, 0, 0});
  // Audio files on standard input are decoded as streams, also when cut short.
  Save(dir, "stdin-wav", Prefixed({1, 0, 0, 0, 0}, Wav(1, 2, 48000, 16, ToneBytes(600, 2, false))));
  Save(dir, "stdin-wav-data-cut", Prefixed({3, 0, 0, 0, 0}, Wav(1, 1, 44100, 16, ToneBytes(200, 2, false), 100000)));
  Save(dir, "stdin-header-only", Prefixed({1, 0, 0, 0, 0}, Bytes{'f', 'L', 'a', 'C', 0, 0, 0, 34}));
}

}  // namespace

Bytes Text(const std::string& t) { return Bytes(t.begin(), t.end()); }

// Sidecars of the sidecar target's pattern: one a calibration really wrote, then hostile ones.
void SidecarSeeds(const fs::path& dir) {
  const spfuzz::LibraryPattern good = spfuzz::MakeLibraryPattern("sidecar", {900.0, 2500.0, 1400.0}, 100);
  if (good.path.empty()) return;
  SignalPattern engine;
  if (!spfuzz::SetUpRecognition(engine, good.path)) return;
  PatternDetector detector;
  if (!detector.Attach(&engine, nullptr)) return;
  detector.BeginBackgroundCalibration();
  std::vector<std::int16_t> block(1152);
  for (int i = 0; i < 400; ++i) {
    spfuzz::FillSignal(block.data(), block.size(), static_cast<std::uint32_t>(i + 1), 0.3f);
    engine.Pattern(1152, block.data(), SP_SAMPLE_S16, nullptr);
  }
  detector.EndBackgroundCalibration();
  if (!detector.SaveCalibration(0, good.path.c_str())) return;
  const Bytes written = ReadFile(good.path + ".cal");
  const std::string valid(written.begin(), written.end());
  Save(dir, "valid", Text(valid));
  const std::string head = valid.substr(0, valid.find("threshold "));
  Save(dir, "threshold-huge", Text(head + "threshold 1e300\n"));
  Save(dir, "threshold-tiny", Text(head + "threshold 1e-300\n"));
  Save(dir, "threshold-nan", Text(head + "threshold nan\n"));
  Save(dir, "threshold-inf", Text(head + "threshold inf\n"));
  Save(dir, "key-inside-long-line", Text(head + std::string(300, 'x') + " threshold 0.1\n"));
  Save(dir, "key-twice", Text(valid + "threshold 0.1\n"));
  Save(dir, "key-missing", Text(head));
  Save(dir, "trailing-text", Text(head + "threshold 0.5 dB\n"));
  Save(dir, "crlf", Text(std::string("signalpattern-calibration 1\r\n") + valid.substr(valid.find('\n') + 1)));
  Save(dir, "no-newline-at-end", Text(valid.substr(0, valid.size() - 1)));
  Save(dir, "stale-spectrum", Text(head.substr(0, head.find("spectrum ")) + "spectrum 0123456789abcdef\n" +
                                   head.substr(head.find("background_seconds")) + valid.substr(head.size())));
  Save(dir, "empty", {});
  Save(dir, "binary", Bytes{0, 1, 2, 0xFF, 0xFE, '\n', 0x7F});
}

// The command-line pieces: byte 0 picks numbers (0), names (1) or a pattern renamed (2).
void CliSeeds(const fs::path& dir) {
  const char* numbers[] = {"0.5", "1e300", "nan", "-inf", "0x1p3", " 1", "1e", "00:01:01.195", "1:60", "99:59:59.999",
                           "12345678901234567890123456789012345678901234567890"};
  for (std::size_t i = 0; i < std::size(numbers); ++i) {
    Bytes seed{0};
    for (const char* c = numbers[i]; *c != 0; ++c) seed.push_back(static_cast<std::uint8_t>(*c));
    Save(dir, "number-" + std::to_string(i), seed);
  }
  Save(dir, "name-escapes", Text(std::string("\x01") + "bell\a esc\x1b[2J del\x7f c1\xc2\x9b end"));
  // A pattern the library wrote under a relative name (the working directory is the scratch
  // directory), then that name and a destination a third as long as the file.
  const spfuzz::LibraryPattern clip = spfuzz::MakeLibraryPattern("renamed-clip", {700.0, 1400.0}, 80);
  SignalPattern maker;
  char source[] = "renamed.wav";
  if (maker.CreatePattern(static_cast<sp_ulong>(clip.clip.size()), 0, static_cast<sp_ulong>(clip.clip.size() - 1),
                          const_cast<std::int16_t*>(clip.clip.data()), SP_SAMPLE_S16, source, 44100.0f, 0x20000) == 1) {
    const Bytes file = ReadFile("renamed.tvs");
    const std::string head = std::string(1, '\2') + "renamed.tvs" + std::string(1, '\0') +
                             std::string((file.size() + 3) / 3, 'd');
    Bytes seed(head.begin(), head.end());
    seed.insert(seed.end(), file.begin(), file.end());
    Save(dir, "renamed-pattern", seed);
  }
}

// Spectra for the picture: byte 0 the band count, then float32 values.
void PatternPngSeeds(const fs::path& dir) {
  auto spectrum = [](std::uint8_t bands, const std::vector<float>& values) {
    Bytes b{bands};
    for (float v : values) {
      std::uint32_t u;
      std::memcpy(&u, &v, 4);
      for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(u >> (8 * k)));
    }
    return b;
  };
  std::vector<float> levels;
  for (int i = 0; i < 8 * 40; ++i) levels.push_back(std::pow(10.0f, -static_cast<float>(i % 9)));
  Save(dir, "eight-bands", spectrum(7, levels));
  Save(dir, "silence", spectrum(7, std::vector<float>(8 * 20, 0.0f)));
  Save(dir, "non-finite", spectrum(7, {INFINITY, NAN, -INFINITY, -1.0f, 1e38f, 1e-45f, 0.0f, 3.0f}));
  Save(dir, "one-band-long", spectrum(0, std::vector<float>(3000, 0.01f)));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const fs::path corpus = fs::absolute(argv[1]);
  const fs::path work = spfuzz::ScratchDir();
  if (chdir(work.c_str()) != 0) return 1;
  PatternSeeds(corpus / "pattern_file");
  TestDataSeeds(corpus / "test_data");
  RecognizerSeeds(corpus / "recognizer");
  AudioSeeds(corpus / "audio_input");
  SidecarSeeds(corpus / "sidecar");
  CliSeeds(corpus / "cli");
  PatternPngSeeds(corpus / "pattern_png");
  return 0;
}
