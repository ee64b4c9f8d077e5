// The Win32-style file layer over POSIX file descriptors (not built on Windows, where the
// real API is used).
#if !defined(_WIN32)

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sp_platform.h"

namespace {

// Handles carry the descriptor plus one, so that descriptor 0 never maps to a null handle.
HANDLE ToHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1); }

int ToFd(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return -1;
  return static_cast<int>(reinterpret_cast<std::intptr_t>(h) - 1);
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD access, DWORD /*share*/, void* /*security*/,
                   DWORD creation, DWORD /*flags*/, HANDLE /*templateFile*/) {
  if (name == nullptr || name[0] == 0) return INVALID_HANDLE_VALUE;
  int mode;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) mode = O_RDWR;
  else if (access & GENERIC_WRITE) mode = O_WRONLY;
  else mode = O_RDONLY;
  switch (creation) {
    case CREATE_NEW: mode |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: mode |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: mode |= O_CREAT; break;
    case TRUNCATE_EXISTING: mode |= O_TRUNC; break;
    default: return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = ::open(name, mode | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  return ToHandle(fd);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* /*overlapped*/) {
  if (read != nullptr) *read = 0;
  int fd = ToFd(file);
  if (fd < 0 || (buffer == nullptr && toRead > 0)) return 0;
  DWORD done = 0;
  char* p = static_cast<char*>(buffer);
  while (done < toRead) {
    ssize_t n = ::read(fd, p + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (read != nullptr) *read = done;
      return 0;
    }
    if (n == 0) break;  // end of file: a short read, not an error
    done += static_cast<DWORD>(n);
  }
  if (read != nullptr) *read = done;
  return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* /*overlapped*/) {
  if (written != nullptr) *written = 0;
  int fd = ToFd(file);
  if (fd < 0 || (buffer == nullptr && toWrite > 0)) return 0;
  DWORD done = 0;
  const char* p = static_cast<const char*>(buffer);
  while (done < toWrite) {
    ssize_t n = ::write(fd, p + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = done;
      return 0;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return done == toWrite ? 1 : 0;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  int fd = ToFd(file);
  if (fd < 0) return INVALID_SET_FILE_POINTER;
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: return INVALID_SET_FILE_POINTER;
  }
  std::int64_t offset;
  if (distanceHigh != nullptr)
    offset = (static_cast<std::int64_t>(*distanceHigh) << 32) |
             static_cast<std::int64_t>(static_cast<std::uint32_t>(distance));
  else
    offset = distance;  // a signed 32-bit move
  off_t position = ::lseek(fd, static_cast<off_t>(offset), whence);
  if (position < 0) return INVALID_SET_FILE_POINTER;
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<std::int64_t>(position) >> 32);
  return static_cast<DWORD>(static_cast<std::uint64_t>(position) & 0xFFFFFFFFu);
}

DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) {
  int fd = ToFd(file);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (sizeHigh != nullptr) *sizeHigh = 0;
    return INVALID_FILE_SIZE;
  }
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
  return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

BOOL CloseHandle(HANDLE file) {
  int fd = ToFd(file);
  if (fd < 0) return 0;
  return ::close(fd) == 0 ? 1 : 0;
}

#endif
