// The stations a monitor watches: a label and a URL or file each.
#ifndef SIGPAT_STATION_LIST_H
#define SIGPAT_STATION_LIST_H

#include <string>
#include <vector>

namespace sigpat {

struct StationEntry {
  std::string label;
  std::string source;  // URL or file path
  bool operator==(const StationEntry& o) const { return label == o.label && source == o.source; }
};

// "LABEL=URL" (--station). Throws UsageError when either side is empty.
StationEntry ParseStationOption(const std::string& text);

// A stations file: one "LABEL URL-or-path" a line (separated by blanks), blank lines and lines
// starting with '#' skipped; a relative path is taken from the file's directory. Throws Error
// naming the file and line when a line has no source.
std::vector<StationEntry> ReadStationsFile(const std::string& path);

// The stations of the file (when given) followed by those of the options; throws Error when a
// label is used twice.
std::vector<StationEntry> GatherStations(const std::string& stationsFile, const std::vector<std::string>& options);

}  // namespace sigpat

#endif
