// Fuzz target: the command-line tool's audio input (an audio file read through libsndfile, or
// raw PCM on standard input), resampling and mixing included.
//
// Byte 0 chooses the path: bit 0 set for raw standard input, then byte 1 the raw sample format,
// byte 2 the rate, byte 3 the channel count and byte 4 the channel to pick; for a file, byte 1
// the channel to pick. The rest is the file or the standard-input stream. Every sample read
// must arrive in chunks no larger than asked for; failures must be reported as the tool's
// errors, never as crashes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio_input.h"
#include "fuzz_support.h"
#include "messages.h"

namespace {

// Output is capped: a header may claim a rate of 1 Hz, which resamples to 44100 times as many
// samples as the file holds.
constexpr std::size_t kMaxSamples = 1 << 19;

void ReadAll(sigpat::AudioInput& in, std::size_t chunkCode) {
  static const std::size_t kChunks[4] = {1152, 1, 4096, 44100};
  std::vector<std::int16_t> buf(44100);
  std::size_t total = 0;
  for (int i = 0; total < kMaxSamples; ++i) {
    const std::size_t n = kChunks[(chunkCode + static_cast<std::size_t>(i)) % 4];
    const std::size_t got = in.Read(buf.data(), n);
    if (got > n) std::abort();
    if (got == 0) break;
    total += got;
  }
  // The end stays the end.
  if (total < kMaxSamples && in.Read(buf.data(), 1152) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  spfuzz::ByteReader head(data, size);
  const std::uint8_t mode = head.U8();
  sigpat::AudioOptions options;
  std::size_t skip = 2;
  const bool raw = mode & 1;
  if (raw) {
    static const int kRates[8] = {44100, 48000, 22050, 8000, 96000, 11025, 32000, 44101};
    const std::vector<std::string>& formats = sigpat::RawFormats();
    options.rawFormat = formats[head.U8() % formats.size()];
    options.rawRate = kRates[head.U8() % 8];
    options.rawChannels = 1 + head.U8() % 8;
    options.channel = head.U8() % (options.rawChannels + 2);  // one past the last is refused
    skip = 5;
  } else {
    options.channel = head.U8() % 4;
  }
  const std::uint8_t* body = data + (size < skip ? size : skip);
  const std::size_t bodySize = size < skip ? 0 : size - skip;

  // Standard input is file descriptor 0, read directly: the stream goes there through a file.
  int savedStdin = -1;
  std::string name = "-";
  if (raw) {
    const std::string fed = spfuzz::ScratchDir() + "/stdin.raw";
    if (!spfuzz::WriteBytes(fed, body, bodySize)) return 0;
    const int fd = ::open(fed.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    savedStdin = ::dup(0);
    ::dup2(fd, 0);
    ::close(fd);
  } else {
    name = spfuzz::ScratchDir() + "/input.wav";
    if (!spfuzz::WriteBytes(name, body, bodySize)) return 0;
  }

  try {
    std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(name, options);
    if (in == nullptr) std::abort();
    ReadAll(*in, mode >> 1);
  } catch (const sigpat::Error&) {
    // Unreadable input is reported to the user; that is the expected outcome for most inputs.
  }

  if (savedStdin >= 0) {
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
  }
  return 0;
}
