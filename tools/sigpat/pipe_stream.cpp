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

const char* PipeStream::Container() {
  const std::int64_t start = pos_;
  unsigned char p[12] = {};
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
  if (starts("ID3")) return "an MP3 file";
  if (starts("FORM") && n >= 12 && (std::memcmp(p + 8, "AIFF", 4) == 0 || std::memcmp(p + 8, "AIFC", 4) == 0))
    return "an AIFF file";
  return nullptr;
}

SF_VIRTUAL_IO* PipeStream::VirtualIo() {
  static SF_VIRTUAL_IO io{&VioLength, &VioSeek, &VioRead, &VioWrite, &VioTell};
  return &io;
}

}  // namespace sigpat
