// The schedule reader. The CSV grammar is libcsv's (RFC 4180 with lenient quoting; unquoted
// fields are trimmed of spaces and tabs); this file adds line numbers, the header, the byte order
// mark and the checks of each row.
#include "schedule.h"
#include "store/escape.h"

#include <csv.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

namespace sigpat::proof {
namespace {

struct Row {
  std::vector<std::string> fields;
  int line = 0;
};

struct Reader {
  std::vector<Row> rows;
  Row current;
  int line = 1;            // line of the byte being fed
  bool rowStarted = false; // a byte of the current row was seen
};

void OnField(void* data, std::size_t size, void* self) {
  auto* r = static_cast<Reader*>(self);
  r->current.fields.emplace_back(static_cast<const char*>(data), size);
}

void OnRow(int, void* self) {
  auto* r = static_cast<Reader*>(self);
  r->rows.push_back(std::move(r->current));
  r->current = Row{};
  r->rowStarted = false;
}

std::vector<Row> SplitRows(std::string_view text) {
  Reader reader;
  csv_parser parser;
  csv_init(&parser, 0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    // The row's line: where its first byte that is not a line end lies.
    if (!reader.rowStarted && c != '\r' && c != '\n') {
      reader.rowStarted = true;
      reader.current.line = reader.line;
    }
    csv_parse(&parser, &c, 1, OnField, OnRow, &reader);
    // Lines end with LF, CRLF or a lone CR, as libcsv reads them.
    if (c == '\n' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++reader.line;
  }
  csv_fini(&parser, OnField, OnRow, &reader);
  csv_free(&parser);
  return std::move(reader.rows);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A field quoted in a message: control characters escaped, long ones shortened.
std::string Quote(const std::string& s) {
  return "\"" + store::EscapeControls(std::string_view(s).substr(0, 60)) + (s.size() > 60 ? "..." : "") + "\"";
}

}  // namespace

Schedule ParseSchedule(std::string_view text) {
  Schedule out;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const std::vector<Row> rows = SplitRows(text);
  if (rows.empty()) {
    out.problems.push_back({0, "empty schedule (expected the header station,spot,window_start,window_end)"});
    return out;
  }
  // The header: each column found once.
  const char* const kColumns[] = {"station", "spot", "window_start", "window_end"};
  int column[4] = {-1, -1, -1, -1};
  const Row& header = rows.front();
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    const std::string name = Lower(header.fields[i]);
    for (int k = 0; k < 4; ++k)
      if (name == kColumns[k]) {
        if (column[k] >= 0) {
          out.problems.push_back({header.line, "column " + name + " named twice in the header"});
          return out;
        }
        column[k] = static_cast<int>(i);
      }
  }
  for (int k = 0; k < 4; ++k)
    if (column[k] < 0) {
      out.problems.push_back({header.line, std::string("the header has no column ") + kColumns[k] +
                                               " (expected station,spot,window_start,window_end)"});
      return out;
    }
  const std::size_t needed = static_cast<std::size_t>(*std::max_element(column, column + 4)) + 1;

  std::map<std::tuple<std::string, std::string, UtcMicros, UtcMicros>, int> seen;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const Row& row = rows[r];
    auto refuse = [&](std::string message) { out.problems.push_back({row.line, std::move(message)}); };
    if (row.fields.size() < needed) {
      refuse("expected " + std::to_string(header.fields.size()) + " fields, found " +
             std::to_string(row.fields.size()));
      continue;
    }
    Booking b;
    b.line = row.line;
    b.station = row.fields[column[0]];
    b.spot = row.fields[column[1]];
    if (b.station.empty()) {
      refuse("empty station");
      continue;
    }
    if (b.spot.empty()) {
      refuse("empty spot");
      continue;
    }
    std::string why;
    const std::string& startText = row.fields[column[2]];
    const std::string& endText = row.fields[column[3]];
    const auto start = ParseUtc(startText, &why);
    if (!start) {
      refuse("window_start " + Quote(startText) + ": " + why);
      continue;
    }
    const auto end = ParseUtc(endText, &why);
    if (!end) {
      refuse("window_end " + Quote(endText) + ": " + why);
      continue;
    }
    if (*end < *start) {
      refuse("window ends (" + FormatUtc(*end) + ") before it starts (" + FormatUtc(*start) + ")");
      continue;
    }
    b.windowStart = *start;
    b.windowEnd = *end;
    const auto [it, fresh] = seen.emplace(std::make_tuple(b.station, b.spot, b.windowStart, b.windowEnd), b.line);
    if (!fresh) {
      refuse("duplicate of line " + std::to_string(it->second) + " (same station, spot and window)");
      continue;
    }
    out.bookings.push_back(std::move(b));
  }
  return out;
}

std::string FormatProblem(const std::string& file, const ScheduleProblem& p) {
  std::string where = file;
  if (p.line > 0) {
    where += ':';
    where += std::to_string(p.line);
  }
  return store::EscapeControls(where + ": " + p.message);
}

}  // namespace sigpat::proof
