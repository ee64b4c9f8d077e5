#include "messages.h"

#include <cstdio>

#include "SignalPattern.h"
#include "output.h"

namespace sigpat {

namespace {

Verbosity g_verbosity;
thread_local LibraryLineCapture* t_capture = nullptr;
bool g_barOnScreen = false;  // guarded by OutputLock()

int LibrarySinkHandler(void* /*context*/, unsigned int /*channel*/, const char* text) {
  std::string line = Cp1251ToUtf8(text != nullptr ? text : "");
  if (t_capture != nullptr) t_capture->Add(line);
  if (g_verbosity.verbose) {
    std::lock_guard<std::mutex> lock(OutputLock());
    ClearProgressLine();
    WriteErrLocked(EscapeControl(line) + "\n");
    RedrawProgressLine();
  }
  return 1;
}

std::string FormatClock(double seconds) {
  long s = static_cast<long>(seconds);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof(buf), "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  else
    std::snprintf(buf, sizeof(buf), "%ld:%02ld", s / 60, s % 60);
  return buf;
}

}  // namespace

std::mutex& OutputLock() {
  static std::mutex lock;
  return lock;
}

void PrintError(const Error& error) {
  std::lock_guard<std::mutex> lock(OutputLock());
  ClearProgressLine();
  // The library's own lines of a refusal were shown as they came with -v; the message itself
  // is the tool's, in English.
  WriteErrLocked(std::string("sigpat: error: ") + EscapeControl(error.what()) + "\n");
  RedrawProgressLine();
}

void PrintError(const std::string& message) { PrintError(Error(message)); }

void PrintUsageError(const std::string& message) {
  std::lock_guard<std::mutex> lock(OutputLock());
  ClearProgressLine();
  WriteErrLocked("sigpat: usage error: " + EscapeControl(message) + "\n");
  RedrawProgressLine();
}

void PrintWarning(const std::string& message) {
  std::lock_guard<std::mutex> lock(OutputLock());
  ClearProgressLine();
  WriteErrLocked("sigpat: warning: " + EscapeControl(message) + "\n");
  RedrawProgressLine();
}

void PrintNote(const std::string& message) {
  if (g_verbosity.quiet) return;
  std::lock_guard<std::mutex> lock(OutputLock());
  ClearProgressLine();
  WriteErrLocked(EscapeControl(message) + "\n");
  RedrawProgressLine();
}

void SetVerbosity(const Verbosity& v) { g_verbosity = v; }
const Verbosity& GetVerbosity() { return g_verbosity; }

void InstallLibrarySink() { SetOutLogMessageHandler(&LibrarySinkHandler, nullptr); }

LibraryLineCapture::LibraryLineCapture() : previous_(t_capture) { t_capture = this; }
LibraryLineCapture::~LibraryLineCapture() { t_capture = previous_; }

// ---- progress bar

Progress& GlobalProgress() {
  static Progress progress;
  return progress;
}

void Progress::Start(bool enabled, std::int64_t totalSamples) {
  std::lock_guard<std::mutex> lock(OutputLock());
  enabled_ = enabled && totalSamples > 0;
  total_ = totalSamples;
  done_ = 0;
  start_ = lastDraw_ = std::chrono::steady_clock::now();
  if (enabled_) Draw(true);
}

void Progress::Add(std::int64_t samples) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(OutputLock());
  done_ += samples;
  Draw(false);
}

void Progress::Finish() {
  std::lock_guard<std::mutex> lock(OutputLock());
  ClearProgressLine();
  enabled_ = false;
}

void Progress::Draw(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  double elapsed = std::chrono::duration<double>(now - start_).count();
  double fraction = total_ > 0 ? static_cast<double>(done_) / static_cast<double>(total_) : 0.0;
  if (fraction > 1.0) fraction = 1.0;
  constexpr int kWidth = 30;
  int filled = static_cast<int>(fraction * kWidth);
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = 0;
  double audioSeconds = static_cast<double>(done_) / 44100.0;
  char speed[32] = "";
  if (elapsed > 0.05) std::snprintf(speed, sizeof(speed), "  %.1fx real time", audioSeconds / elapsed);
  char line[160];
  std::snprintf(line, sizeof line, "\r[%s] %5.1f%%  %s%s\033[K", bar, fraction * 100.0, FormatClock(elapsed).c_str(), speed);
  WriteErrLocked(line);
  g_barOnScreen = true;
}

void ClearProgressLine() {
  if (!g_barOnScreen) return;
  WriteErrLocked("\r\033[K");
  g_barOnScreen = false;
}

void RedrawProgressLine() {
  Progress& p = GlobalProgress();
  if (p.enabled_) p.Draw(true);
}

}  // namespace sigpat
