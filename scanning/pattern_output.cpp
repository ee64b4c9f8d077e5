#include "pattern_output.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "SignalPattern.h"
#include "atomic_file.h"
#include "messages.h"

namespace sigpat {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kShortNameOffset = 28;  // after seven 32-bit header fields
constexpr std::size_t kShortNameBytes = 16;   // 15 characters and a zero
constexpr std::size_t kMaxStoredPath = 511;   // the name block holds at most this much of the path

}  // namespace

std::string PatternOutputPath(const std::string& input, const std::string& output) {
  if (output.empty()) return fs::path(input).replace_extension(".tvs").string();
  struct stat st;
  if (::stat(output.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode))
      return (fs::path(output) / fs::path(input).filename().replace_extension(".tvs")).string();
    CheckWritableDestination(output);
    return output;
  }
  return fs::path(output).has_extension() ? output : output + ".tvs";
}

std::vector<unsigned char> RenamedPattern(const std::vector<unsigned char>& bytes, const std::string& writtenAs,
                                          const std::string& destination) {
  const std::size_t n = std::min(writtenAs.size(), kMaxStoredPath);
  const std::size_t block = 4 + n + 1;
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) | (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
  };
  const std::size_t at = bytes.size() - block;
  if (bytes.size() < kShortNameOffset + kShortNameBytes + block || u32(at) != n ||
      std::memcmp(&bytes[at + 4], writtenAs.data(), n) != 0 || bytes.back() != 0)
    throw Error(destination + ": the library wrote an incomplete pattern file");
  std::vector<unsigned char> out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  const char* shortName = FileNameOfPath(destination.c_str());
  for (std::size_t i = 0; i < kShortNameBytes; ++i) out[kShortNameOffset + i] = 0;
  for (std::size_t i = 0; i + 1 < kShortNameBytes && shortName != nullptr && shortName[i] != 0; ++i)
    out[kShortNameOffset + i] = static_cast<unsigned char>(shortName[i]);
  const std::size_t m = std::min(destination.size(), kMaxStoredPath);
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<unsigned char>(m >> (8 * k)));
  out.insert(out.end(), destination.begin(), destination.begin() + static_cast<std::ptrdiff_t>(m));
  out.push_back(0);
  return out;
}

PatternFileOutput::PatternFileOutput(std::string destination) : destination_(std::move(destination)) {
  CheckWritableDestination(destination_);
  const fs::path p(destination_);
  const std::string dir = p.has_parent_path() ? p.parent_path().string() + "/" : "";
  libraryFile_ = dir + "." + p.filename().string() + ".XXXXXX.tvs";
  const int fd = ::mkstemps(libraryFile_.data(), 4);
  if (fd < 0) {
    libraryFile_.clear();
    throw Error("cannot write " + destination_ + ": " + std::strerror(errno));
  }
  ::close(fd);
}

PatternFileOutput::~PatternFileOutput() {
  if (!libraryFile_.empty()) ::unlink(libraryFile_.c_str());
}

std::string PatternFileOutput::LibraryStem() const { return libraryFile_.substr(0, libraryFile_.size() - 4); }

void PatternFileOutput::Commit(const std::function<void(const std::string& file)>& check) {
  const std::vector<unsigned char> bytes = RenamedPattern(ReadWholeFile(libraryFile_), libraryFile_, destination_);
  AtomicFile out(destination_, ".tvs");
  out.Write(bytes.data(), bytes.size());
  if (check) check(out.tempPath());
  out.Commit();
}

}  // namespace sigpat
