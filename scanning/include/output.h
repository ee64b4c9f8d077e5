// Checked output of sigpat: every byte written to standard output or standard error goes
// through here, each write is checked, and a failure (a full disk, a closed pipe, a file size
// limit) becomes one error line naming the stream and the OS reason, and exit status 1.
//
// Lines are written with one write(2) loop each under OutputLock(), so lines of several threads
// never interleave and a signal never leaves half a line: an interrupted write is resumed.
#ifndef SIGPAT_OUTPUT_H
#define SIGPAT_OUTPUT_H

#include <cstdarg>
#include <string>

namespace sigpat {

// Writes all of text to the file descriptor, resuming after interruptions and partial writes.
// Returns 0, or the errno of the failure.
int WriteAll(int fd, const char* text, std::size_t size);

// Writes text (normally whole lines) to standard output, under the output lock. On the first
// failure it reports "cannot write standard output: REASON" on stderr once, and from then on
// every call returns false at once: the caller stops producing output.
bool WriteOut(const std::string& text);
// printf-style WriteOut.
bool PrintOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes text to standard error, under the output lock held by the caller; a failure is
// remembered (there is nowhere left to report it) and makes the exit status 1.
void WriteErrLocked(const std::string& text);

// True once a write to standard output or standard error failed.
bool OutputFailed();

// At the end of the process: closes standard output, so that an error reported only when the
// data reaches its device is seen (standard error stays open for what the runtime reports at
// exit; every line written to it was checked). Returns status, or 1 when any output was lost
// and status was 0.
int FinishOutput(int status);

// Text from outside (names stored in a pattern file, file names) made safe for a terminal:
// control characters (C0, DEL, and the C1 range of UTF-8) become \xHH.
std::string EscapeControl(const std::string& text);

}  // namespace sigpat

#endif
