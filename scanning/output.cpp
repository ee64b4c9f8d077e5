#include "output.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "messages.h"

namespace sigpat {

namespace {

std::atomic<bool> g_outFailed{false};
std::atomic<bool> g_errFailed{false};

}  // namespace

int WriteAll(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, text, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

bool WriteOut(const std::string& text) {
  std::lock_guard<std::mutex> lock(OutputLock());
  if (g_outFailed) return false;
  ClearProgressLine();
  const int err = WriteAll(STDOUT_FILENO, text.data(), text.size());
  if (err != 0) {
    g_outFailed = true;
    WriteErrLocked(std::string("sigpat: error: cannot write standard output: ") + std::strerror(err) + "\n");
    return false;
  }
  RedrawProgressLine();
  return true;
}

bool PrintOut(const char* format, ...) {
  std::va_list args, copy;
  va_start(args, format);
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> buf(n > 0 ? static_cast<std::size_t>(n) + 1 : 1, '\0');
  if (n > 0) std::vsnprintf(buf.data(), buf.size(), format, args);
  va_end(args);
  return WriteOut(std::string(buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0));
}

void WriteErrLocked(const std::string& text) {
  if (WriteAll(STDERR_FILENO, text.data(), text.size()) != 0) g_errFailed = true;
}

bool OutputFailed() { return g_outFailed || g_errFailed; }

int FinishOutput(int status) {
  std::fflush(stdout);  // what other code (CLI11's help) wrote through stdio
  if (std::ferror(stdout) && !g_outFailed) {
    g_outFailed = true;
    WriteErrLocked("sigpat: error: cannot write standard output\n");
  }
  if (::close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR && !g_outFailed) {
    g_outFailed = true;
    WriteErrLocked(std::string("sigpat: error: cannot write standard output: ") + std::strerror(errno) + "\n");
  }
  return status == 0 && OutputFailed() ? kExitFailure : status;
}

std::string EscapeControl(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // C1 controls as UTF-8: 0xC2 0x80..0x9F.
    const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      const unsigned char v = c1 ? static_cast<unsigned char>(text[++i]) : c;
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", v);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace sigpat
