#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "messages.h"

namespace sigpat {

namespace fs = std::filesystem;

void CheckWritableDestination(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Error(path + (S_ISDIR(st.st_mode) ? ": is a directory" : ": is not a regular file") +
                "; it would not be replaced");
}

AtomicFile::AtomicFile(std::string path, const std::string& suffix) : path_(std::move(path)) {
  CheckWritableDestination(path_);
  const fs::path p(path_);
  const std::string dir = p.has_parent_path() ? p.parent_path().string() + "/" : "";
  temp_ = dir + "." + p.filename().string() + ".XXXXXX" + suffix;
  fd_ = ::mkstemps(temp_.data(), static_cast<int>(suffix.size()));
  if (fd_ < 0) {
    temp_.clear();
    throw Error("cannot write " + path_ + ": " + std::strerror(errno));
  }
  // The mode a new file gets (mkstemp makes it private).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, 0666 & ~mask);
}

AtomicFile::~AtomicFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  else if (fd_ >= 0) ::close(fd_);
  if (!done_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void AtomicFile::Fail(int err) { throw Error("cannot write " + path_ + ": " + std::strerror(err != 0 ? err : EIO)); }

std::FILE* AtomicFile::stream() {
  if (stream_ == nullptr) {
    stream_ = ::fdopen(fd_, "wb");
    if (stream_ == nullptr) Fail(errno);
  }
  return stream_;
}

void AtomicFile::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(n < 0 ? errno : EIO);
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void AtomicFile::Commit() {
  if (stream_ != nullptr) {
    const bool bad = std::fflush(stream_) != 0 || std::ferror(stream_) != 0;
    const int err = errno;
    if (bad) Fail(err);
  }
  if (::fsync(fd_) != 0) Fail(errno);
  const int closed = stream_ != nullptr ? std::fclose(stream_) : ::close(fd_);
  stream_ = nullptr;
  fd_ = -1;
  if (closed != 0) Fail(errno);
  CheckWritableDestination(path_);
  if (::rename(temp_.c_str(), path_.c_str()) != 0) Fail(errno);
  done_ = true;
  // The rename itself reaches the disk with the directory.
  const fs::path p(path_);
  const int dir = ::open(p.has_parent_path() ? p.parent_path().c_str() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error("cannot read " + path + ": " + std::strerror(errno));
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw Error("cannot read " + path + ": " + std::strerror(err));
    }
    if (n == 0) break;
    data.insert(data.end(), buf, buf + n);
  }
  ::close(fd);
  return data;
}

}  // namespace sigpat
