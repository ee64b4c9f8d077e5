#include "pipe_stream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "messages.h"
#include "signals.h"

namespace sigpat {

namespace {

// Bytes kept behind the read position: enough for any header a decoder goes back to.
constexpr std::int64_t kKeepBehind = 4 << 20;
constexpr std::size_t kChunk = 65536;

sf_count_t VioLength(void*) { return static_cast<sf_count_t>(INT64_MAX / 4); }  // unknown: as long as it goes on
sf_count_t VioSeek(sf_count_t offset, int whence, void* user) {
  auto* s = static_cast<PipeStream*>(user);
  const sf_count_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? s->Tell() + offset : -1;
  if (target < 0 || !s->Seek(target)) return -1;
  return s->Tell();
}
sf_count_t VioRead(void* out, sf_count_t n, void* user) {
  auto* s = static_cast<PipeStream*>(user);
  sf_count_t done = 0;
  try {
    while (done < n) {
      const std::size_t got = s->Read(static_cast<unsigned char*>(out) + done, static_cast<std::size_t>(n - done));
      if (got == 0) break;
      done += static_cast<sf_count_t>(got);
    }
  } catch (const Error&) {
  }
  return done;
}
sf_count_t VioWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t VioTell(void* user) { return static_cast<PipeStream*>(user)->Tell(); }

}  // namespace

PipeStream::PipeStream(int fd, std::string name, bool ownsFd) : fd_(fd), ownsFd_(ownsFd), name_(std::move(name)) {}

PipeStream::~PipeStream() {
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

bool PipeStream::Fill(std::int64_t upTo) {
  unsigned char buf[kChunk];
  while (keptBase_ + static_cast<std::int64_t>(kept_.size()) < upTo && !ended_) {
    if (StopRequested()) {
      ended_ = true;
      break;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 200);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw Error(name_ + ": read error (" + std::strerror(errno) + ")");
    }
    if (n == 0) ended_ = true;
    kept_.insert(kept_.end(), buf, buf + n);
    if (n > 0) break;  // deliver what arrived: a live feed must not wait for a full buffer
  }
  // Forget what lies far behind the read position.
  const std::int64_t behind = pos_ - keptBase_;
  if (behind > 2 * kKeepBehind) {
    const std::int64_t drop = behind - kKeepBehind;
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
    keptBase_ += drop;
  }
  return keptBase_ + static_cast<std::int64_t>(kept_.size()) >= upTo;
}

std::size_t PipeStream::Read(void* out, std::size_t n) {
  if (n == 0) return 0;
  if (pos_ >= keptBase_ + static_cast<std::int64_t>(kept_.size())) Fill(pos_ + 1);
  const std::int64_t available = keptBase_ + static_cast<std::int64_t>(kept_.size()) - pos_;
  const std::size_t k = static_cast<std::size_t>(std::min<std::int64_t>(available, static_cast<std::int64_t>(n)));
  if (k == 0) return 0;
  std::memcpy(out, kept_.data() + (pos_ - keptBase_), k);
  pos_ += static_cast<std::int64_t>(k);
  return k;
}

bool PipeStream::Seek(std::int64_t position) {
  if (position < keptBase_) return false;
  while (true) {
    const std::int64_t end = keptBase_ + static_cast<std::int64_t>(kept_.size());
    if (position <= end) {
      pos_ = position;
      return true;
    }
    // Skipping ahead passes over what arrives, so that only the recent past stays kept.
    pos_ = end;
    if (ended_) return false;
    Fill(end + 1);
  }
}

namespace {

// Length in bytes of the MPEG audio Layer III frame whose header starts at h, 0 when h is not
// such a header; version and rate receive the header's version and sample-rate bits.
std::size_t Mp3FrameLength(const unsigned char* h, int& version, int& rate) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
  version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = (h[1] >> 1) & 3;
  const int bitrateIndex = h[2] >> 4;
  rate = (h[2] >> 2) & 3;
  if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rate == 3) return 0;
  static const int kBitrate1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static const int kBitrate2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  static const int kRate[] = {44100, 48000, 32000};
  const int divisor = version == 3 ? 1 : (version == 2 ? 2 : 4);
  const int bitrate = (version == 3 ? kBitrate1 : kBitrate2)[bitrateIndex] * 1000;
  const int sampleRate = kRate[rate] / divisor;
  const int perFrame = version == 3 ? 144 : 72;
  return static_cast<std::size_t>(perFrame * bitrate / sampleRate + ((h[2] >> 1) & 1));
}

// An MP3 stream without a tag: three MPEG Layer III frame headers in a row, each where the one
// before says the next begins, all of one version and rate (raw samples hardly ever do that).
bool StartsWithMp3Frames(const unsigned char* p, std::size_t n) {
  std::size_t at = 0;
  int version0 = -1, rate0 = -1;
  for (int frame = 0; frame < 3; ++frame) {
    if (at + 4 > n) return false;
    int version = 0, rate = 0;
    const std::size_t length = Mp3FrameLength(p + at, version, rate);
    if (length < 4 || (frame > 0 && (version != version0 || rate != rate0))) return false;
    version0 = version;
    rate0 = rate;
    at += length;
  }
  return true;
}

}  // namespace

const char* PipeStream::Container() {
  const std::int64_t start = pos_;
  unsigned char p[4096] = {};
  std::size_t n = 0;
  while (n < sizeof p) {
    const std::size_t got = Read(p + n, sizeof p - n);
    if (got == 0) break;
    n += got;
  }
  Seek(start);
  auto starts = [&](const char* magic) { return n >= std::strlen(magic) && std::memcmp(p, magic, std::strlen(magic)) == 0; };
  if (starts("RIFF") || starts("RIFX") || starts("RF64")) return "a WAV file";
  if (starts("fLaC")) return "a FLAC file";
  if (starts("OggS")) return "an Ogg file";
  if (starts("ID3") || StartsWithMp3Frames(p, n)) return "an MP3 file";
  if (starts("FORM") && n >= 12 && (std::memcmp(p + 8, "AIFF", 4) == 0 || std::memcmp(p + 8, "AIFC", 4) == 0))
    return "an AIFF file";
  return nullptr;
}

SF_VIRTUAL_IO* PipeStream::VirtualIo() {
  static SF_VIRTUAL_IO io{&VioLength, &VioSeek, &VioRead, &VioWrite, &VioTell};
  return &io;
}

}  // namespace sigpat
