#include "station_list.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <set>

#include "ffmpeg_source.h"
#include "messages.h"

namespace sigpat {

StationEntry ParseStationOption(const std::string& text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
    throw UsageError("--station wants LABEL=URL, not \"" + text + "\"");
  return {text.substr(0, eq), text.substr(eq + 1)};
}

std::vector<StationEntry> ReadStationsFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw Error(path + ": is a directory, not a stations file");
  std::ifstream file(path, std::ios::binary);
  if (!file) throw Error(path + ": cannot read the stations file (" + std::strerror(errno) + ")");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // A stations file is text: bytes no text has mean another kind of file was given.
  if (text.find('\0') != std::string::npos)
    throw Error(path + ": is not a stations file but binary data (one 'LABEL URL-or-path' a line)");
  std::istringstream in(text);
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  std::vector<StationEntry> stations;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const std::size_t gap = line.find_first_of(" \t", start);
    const std::size_t source = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
    if (source == std::string::npos)
      throw Error(path + ": line " + std::to_string(number) + " names no URL or file after the label");
    StationEntry s{line.substr(start, gap - start), line.substr(source)};
    if (!IsUrl(s.source) && !dir.empty() && std::filesystem::path(s.source).is_relative())
      s.source = (dir / s.source).string();
    stations.push_back(std::move(s));
  }
  return stations;
}

std::vector<StationEntry> GatherStations(const std::string& stationsFile, const std::vector<std::string>& options) {
  std::vector<StationEntry> stations;
  if (!stationsFile.empty()) stations = ReadStationsFile(stationsFile);
  for (const auto& o : options) stations.push_back(ParseStationOption(o));
  std::set<std::string> labels;
  for (const auto& s : stations)
    if (!labels.insert(s.label).second) throw Error("the station label \"" + s.label + "\" is used twice");
  return stations;
}

}  // namespace sigpat
