#include "csv_out.h"
#include "store/escape.h"

#include <cstdio>

namespace sigpat::proof {

std::string CsvField(const std::string& s) {
  const bool quote = s.find_first_of(",\"\r\n") != std::string::npos ||
                     (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.back() == ' ' || s.back() == '\t'));
  if (!quote) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

namespace {

std::string Number(double v, const char* format) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

}  // namespace

std::string ReconciliationCsv(const Reconciliation& r) {
  std::string out =
      "station,spot,window_start,window_end,status,aired_start,aired_end,seen,offset_s,detected_spot,evidence,note\n";
  for (const ReconcileRow& row : r.rows) {
    std::string aStart, aEnd, seen, evidence;
    if (row.airing) {
      if (row.airing->beginUtc) aStart = FormatUtc(*row.airing->beginUtc);
      if (row.airing->endUtc) aEnd = FormatUtc(*row.airing->endUtc);
      seen = Number(row.airing->seen, "%.3f");
      evidence = row.airing->evidence;
    }
    out += CsvField(row.station) + ',' + CsvField(row.spot) + ',' +
           (row.windowStart ? FormatUtcExact(*row.windowStart) : "") + ',' +
           (row.windowEnd ? FormatUtcExact(*row.windowEnd) : "") + ',' + StatusName(row.status) + ',' + aStart + ',' +
           aEnd + ',' + seen + ',' + (row.offsetSeconds ? Number(*row.offsetSeconds, "%.3f") : "") + ',' +
           CsvField(row.detectedSpot) + ',' + CsvField(evidence) + ',' + CsvField(row.note) + '\n';
  }
  return out;
}

// A name on a terminal line: control characters (a line break in a label) as \xHH.
std::string TerminalName(const std::string& s) { return store::EscapeControls(s); }

std::string SummaryText(const Reconciliation& r) {
  std::string out = "station: bookings aired outside_window not_aired (station_down) wrong_version truncated unbooked error_rate\n";
  for (const StationSummary& s : r.stations) {
    char buf[256];
    std::snprintf(buf, sizeof buf, ": %d %d %d %d (%d) %d %d %d %.1f%%\n", s.bookings, s.aired, s.outsideWindow,
                  s.notAired, s.unverified, s.wrongVersion, s.truncated, s.unbooked, 100.0 * s.ErrorRate());
    out += TerminalName(s.station) + buf;
  }
  return out;
}

}  // namespace sigpat::proof
