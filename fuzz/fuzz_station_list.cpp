// Fuzz target: the stations a monitor is given: a stations file and --station options
// (station_list.h). The input is the file; after a zero byte, --station options separated by
// zero bytes. Contract:
//  - a file that is read gives at most one station a line, each with a label (no blanks, not a
//    comment) and a source without surrounding blanks; a source that is no URL is a path from
//    the file's directory (the file's path is absolute here, so every such source is too);
//  - a file that is refused names the file and a line of it in a short message;
//  - options and file together: a malformed option is a usage error, a label used twice an
//    error; stations that are taken have labels used once.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "ffmpeg_source.h"
#include "fuzz_support.h"
#include "messages.h"
#include "station_list.h"

namespace {

std::size_t Lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n + (text.empty() || text.back() == '\n' ? 0 : 1);
}

void CheckFile(const std::string& path, const std::string& content) {
  std::vector<sigpat::StationEntry> stations;
  try {
    stations = sigpat::ReadStationsFile(path);
  } catch (const sigpat::Error& e) {
    const std::string message = e.what();
    if (message.rfind(path + ": line ", 0) != 0 || message.size() > path.size() + 80) std::abort();
    const long line = std::strtol(message.c_str() + path.size() + 7, nullptr, 10);
    if (line < 1 || static_cast<std::size_t>(line) > Lines(content)) std::abort();
    return;
  }
  if (stations.size() > Lines(content)) std::abort();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  for (const auto& s : stations) {
    if (s.label.empty() || s.label[0] == '#' || s.source.empty()) std::abort();
    if (s.label.find_first_of(" \t\n") != std::string::npos || s.source.find('\n') != std::string::npos) std::abort();
    if (blank(s.source.front()) || blank(s.source.back()) || s.source.back() == '\r') std::abort();
    if (sigpat::IsUrl(s.source) ? content.find(s.source) == std::string::npos : s.source[0] != '/') std::abort();
  }
}

void CheckGathered(const std::string& path, const std::vector<std::string>& options) {
  bool malformed = false;
  for (const auto& o : options) {
    const std::size_t eq = o.find('=');
    malformed = malformed || eq == std::string::npos || eq == 0 || eq + 1 == o.size();
  }
  try {
    const std::vector<sigpat::StationEntry> stations = sigpat::GatherStations(path, options);
    if (malformed || stations.size() < options.size()) std::abort();
    std::set<std::string> labels;
    for (const auto& s : stations)
      if (!labels.insert(s.label).second) std::abort();
  } catch (const sigpat::UsageError&) {
    if (!malformed) std::abort();
  } catch (const sigpat::Error& e) {
    // A file refused, or a label used twice.
    const std::string message = e.what();
    if (message.rfind(path + ": ", 0) != 0 && message.find("is used twice") == std::string::npos) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = text.find('\0');
  const std::string content = text.substr(0, cut);
  std::vector<std::string> options;
  for (std::size_t at = cut; at != std::string::npos && options.size() < 16;) {
    const std::size_t next = text.find('\0', at + 1);
    options.push_back(text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
    at = next;
  }
  const std::string path = spfuzz::ScratchDir() + "/stations.txt";
  if (!spfuzz::WriteBytes(path, reinterpret_cast<const std::uint8_t*>(content.data()), content.size())) return 0;
  CheckFile(path, content);
  CheckGathered(path, options);
  return 0;
}
