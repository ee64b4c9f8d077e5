#include "pattern_snapshot.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "messages.h"

namespace sigpat {

namespace {

std::string Problem(const std::string& file, const std::string& what) {
  return file + ": " + what + " (" + std::strerror(errno) + ")";
}

// Copies everything readable from `from` to `to`; false on a failure (errno tells).
bool Copy(int from, int to, std::size_t& bytes) {
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = ::read(from, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return false;
      done += w;
    }
    bytes += static_cast<std::size_t>(n);
  }
}

}  // namespace

PatternSnapshot::PatternSnapshot(const std::vector<std::string>& files) {
  for (const auto& file : files) {
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) {
      const std::string problem = file + ": " + std::strerror(errno);
      Close();
      throw Error(problem);
    }
    struct stat st;
    std::string problem;
    if (::fstat(in, &st) != 0) problem = Problem(file, "cannot be read");
    else if (S_ISDIR(st.st_mode)) problem = file + ": is a directory, not a pattern file";
    // A FIFO or a device would block or read for ever: patterns are regular files.
    else if (!S_ISREG(st.st_mode)) problem = file + ": is not a regular file, not a pattern file";
    int copy = -1;
    if (problem.empty()) {
      copy = ::memfd_create("sigpat-pattern", MFD_CLOEXEC | MFD_ALLOW_SEALING);
      if (copy < 0) problem = Problem(file, "cannot be held in memory (raise the open-file limit, ulimit -n)");
    }
    if (problem.empty() && !Copy(in, copy, bytes_)) problem = Problem(file, "cannot be read into memory");
    ::close(in);
    if (copy >= 0) {
      descriptors_.push_back(copy);
      // Nothing changes the copy from here on.
      ::fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    }
    if (!problem.empty()) {
      Close();
      throw Error(problem);
    }
    names_.push_back("/proc/self/fd/" + std::to_string(copy));
  }
}

PatternSnapshot::~PatternSnapshot() { Close(); }

void PatternSnapshot::Close() {
  for (int d : descriptors_) ::close(d);
  descriptors_.clear();
}

}  // namespace sigpat
