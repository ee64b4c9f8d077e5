// Where create writes a pattern, and how: the library writes the pattern file under a temporary
// name beside the destination; the file is then checked, given the names it would hold had the
// library written it at the destination (the short name in the header and the path in the name
// block: the bytes are exactly the library's), and moved into place whole (see atomic_file.h).
#ifndef SIGPAT_PATTERN_OUTPUT_H
#define SIGPAT_PATTERN_OUTPUT_H

#include <functional>
#include <string>
#include <vector>

namespace sigpat {

// The pattern file for INPUT and -o OUTPUT: without OUTPUT, INPUT with its extension replaced by
// ".tvs"; an existing directory gets "DIR/<input name>.tvs"; a name without an extension gets
// ".tvs"; any other name is taken as it is. A destination that exists and is neither a regular
// file nor a directory is refused (Error).
std::string PatternOutputPath(const std::string& input, const std::string& output);

// The library's file written as if at `destination`: short name and name block replaced.
// Throws Error when `bytes` do not end with the name block of `writtenAs`.
std::vector<unsigned char> RenamedPattern(const std::vector<unsigned char>& bytes, const std::string& writtenAs,
                                          const std::string& destination);

class PatternFileOutput {
 public:
  explicit PatternFileOutput(std::string destination);
  ~PatternFileOutput();
  PatternFileOutput(const PatternFileOutput&) = delete;
  PatternFileOutput& operator=(const PatternFileOutput&) = delete;
  // The name to give SetOutputPatternFileName (the library appends ".tvs").
  std::string LibraryStem() const;
  // After the library has written its file: renames it as above, writes it beside the
  // destination, lets check refuse it (check gets the complete temporary file; it throws) and
  // moves it into place. Throws Error naming the destination.
  void Commit(const std::function<void(const std::string& file)>& check);

 private:
  std::string destination_, libraryFile_;
};

}  // namespace sigpat

#endif
