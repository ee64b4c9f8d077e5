// The pattern files of one load, read once and held in memory: each file's bytes in a sealed
// anonymous in-memory file, which the library opens by its /proc/self/fd name and reads with
// the same code as the file itself (so a recognizer set up from the snapshot is the same as one
// set up from the files). Every recognizer set up from one snapshot gets the same patterns,
// whatever happens to the files meanwhile, and none reads the files again.
#ifndef SIGPAT_PATTERN_SNAPSHOT_H
#define SIGPAT_PATTERN_SNAPSHOT_H

#include <string>
#include <vector>

namespace sigpat {

class PatternSnapshot {
 public:
  // Reads every file. Throws Error naming the file when it is missing, unreadable or not a
  // regular file, or when it cannot be held (too many open files, out of memory).
  explicit PatternSnapshot(const std::vector<std::string>& files);
  ~PatternSnapshot();
  PatternSnapshot(const PatternSnapshot&) = delete;
  PatternSnapshot& operator=(const PatternSnapshot&) = delete;

  // The names under which the library opens the copies, in the order of the files.
  const std::vector<std::string>& names() const { return names_; }
  // Bytes held.
  std::size_t bytes() const { return bytes_; }

 private:
  void Close();
  std::vector<int> descriptors_;
  std::vector<std::string> names_;
  std::size_t bytes_ = 0;
};

}  // namespace sigpat

#endif
