// Messages of sigpat: errors, the library's diagnostic lines and the progress bar on stderr.
//
// Everything sigpat writes to stderr or stdout goes through one lock, so that lines written by
// several scanning threads never interleave in the middle of a line and the progress bar can be
// cleared before a line is printed and redrawn afterwards.
#ifndef SIGPAT_MESSAGES_H
#define SIGPAT_MESSAGES_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace sigpat {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input, refused patterns, failed checks
constexpr int kExitUsage = 2;    // bad command line

// An error that ends the current job with a one-line message ("NAME: problem"). When the
// library explained the refusal, its lines (already converted to UTF-8) ride along; they are
// shown only with -v, as they come.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, std::vector<std::string> details = {})
      : std::runtime_error(message), details_(std::move(details)) {}
  const std::vector<std::string>& details() const { return details_; }

 private:
  std::vector<std::string> details_;
};

// A bad command line (exit status 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The lock of every line sigpat writes.
std::mutex& OutputLock();

// "sigpat: error: MESSAGE" on stderr, control characters escaped.
void PrintError(const Error& error);
void PrintError(const std::string& message);
// "sigpat: usage error: MESSAGE" on stderr.
void PrintUsageError(const std::string& message);
// "sigpat: warning: MESSAGE" on stderr.
void PrintWarning(const std::string& message);
// A plain line on stderr (progress bar cleared first), unless quiet.
void PrintNote(const std::string& message);

// Global switches of the command line.
struct Verbosity {
  bool verbose = false;  // -v: the library's message lines on stderr
  bool quiet = false;    // --quiet: no progress bar, no notes
};
void SetVerbosity(const Verbosity& v);
const Verbosity& GetVerbosity();

// Installs the handler of the library's diagnostic sink: with -v every line goes to stderr
// converted to UTF-8; lines are also collected by a LibraryLineCapture active in the thread.
void InstallLibrarySink();

// Collects the library's lines emitted in the constructing thread while it lives (nesting is
// allowed: the innermost capture collects).
class LibraryLineCapture {
 public:
  LibraryLineCapture();
  ~LibraryLineCapture();
  LibraryLineCapture(const LibraryLineCapture&) = delete;
  LibraryLineCapture& operator=(const LibraryLineCapture&) = delete;
  const std::vector<std::string>& lines() const { return lines_; }  // UTF-8
  void Add(std::string line) { lines_.push_back(std::move(line)); }

 private:
  std::vector<std::string> lines_;
  LibraryLineCapture* previous_;
};

// The progress bar of a scan: percentage, elapsed time and speed as a multiple of real time,
// redrawn at most ten times a second. Thread-safe; inactive unless enabled.
class Progress {
 public:
  // totalSamples: samples (44100 Hz) of all inputs together.
  void Start(bool enabled, std::int64_t totalSamples);
  void Add(std::int64_t samples);
  void Finish();  // removes the bar
  bool active() const { return enabled_; }

 private:
  void Draw(bool force);  // call with the output lock held
  bool enabled_ = false;
  std::int64_t total_ = 0;
  std::int64_t done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  friend void ClearProgressLine();
  friend void RedrawProgressLine();
};

// The one progress bar of the process.
Progress& GlobalProgress();
// Called with the output lock held around every line written to a terminal.
void ClearProgressLine();
void RedrawProgressLine();

}  // namespace sigpat

#endif
