// The detail prints of short clips beside their pattern files ("<pattern>.detail"): written
// when a pattern is made, described by sigpat info, read by the scan's detail check
// (docs/detail-check.md).
#ifndef SIGPAT_DETAIL_FILES_H
#define SIGPAT_DETAIL_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace sigpat {

// Clips up to this long get a detail print when their pattern is made.
constexpr double kDetailMaxSeconds = 10.0;

// Writes the detail print of a clip (44100 Hz mono) beside the pattern file just made, when the
// clip is short enough; throws Error naming the file when it cannot be written.
void WriteDetailFor(const std::string& patternFile, const std::vector<std::int16_t>& clip);

// What `sigpat info` says of a pattern's detail print: "" when it has none and its clip is too
// long for one.
std::string DescribeDetail(const std::string& patternFile, double clipSeconds);

// The name of the detail print of a pattern file.
std::string DetailFileOf(const std::string& patternFile);

}  // namespace sigpat

#endif
