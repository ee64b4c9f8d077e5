// Files written whole or not at all. The data goes to a temporary file in the destination's
// directory; every write is checked, the file is flushed to disk and only then renamed over the
// destination. On any failure (or when the object is destroyed without Commit) the temporary
// file is removed and an old file at the destination stays as it was. Two writers of the same
// path each rename a complete file: the last one wins, never a mixture.
#ifndef SIGPAT_ATOMIC_FILE_H
#define SIGPAT_ATOMIC_FILE_H

#include <cstdio>
#include <string>
#include <vector>

namespace sigpat {

class AtomicFile {
 public:
  // Reserves the temporary file (".NAME.XXXXXX" + suffix beside path). Throws Error naming
  // path when the destination is not a regular file or the directory cannot take a file.
  explicit AtomicFile(std::string path, const std::string& suffix = "");
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& tempPath() const { return temp_; }
  // The temporary file as a stdio stream (for libraries that write through one).
  std::FILE* stream();
  // Writes data (throws Error "cannot write PATH: REASON").
  void Write(const void* data, std::size_t size);
  // Flushes, syncs, closes and renames into place; throws Error naming path on failure.
  void Commit();

 private:
  [[noreturn]] void Fail(int err);
  std::string path_, temp_;
  int fd_ = -1;
  std::FILE* stream_ = nullptr;
  bool done_ = false;
};

// Refuses a destination that exists and is not a regular file (a device, a FIFO, a directory):
// throws Error naming it.
void CheckWritableDestination(const std::string& path);

// Reads a whole regular file; throws Error naming it.
std::vector<unsigned char> ReadWholeFile(const std::string& path);

}  // namespace sigpat

#endif
