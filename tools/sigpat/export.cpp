// sigpat export: the stored detections, as the JSON lines scan and monitor printed (byte for
// byte) or as CSV with a header.
#include <charconv>
#include <filesystem>
#include <map>

#include "commands.h"
#include "messages.h"
#include "output.h"
#include "store.h"
#include "utc.h"

namespace sigpat {

namespace {

// A CSV field (RFC 4180): quoted when it holds a comma, a quote, a line end or starts or ends
// with a space; bytes (UTF-8 names) kept as they are.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos && (text.empty() || (text.front() != ' ' && text.back() != ' ')))
    return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Number(double x) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

std::optional<store::UtcMicros> TimeOption(const std::string& option, const std::string& text) {
  if (text.empty()) return std::nullopt;
  const auto t = store::ParseUtc(text);
  if (!t) throw UsageError(option + " \"" + text + "\" is not an ISO 8601 UTC time (like 2026-12-07T06:00:00Z)");
  return t;
}

}  // namespace

int RunExport(const ExportArgs& args) {
  store::DetectionFilter filter;
  filter.stations = args.stations;
  filter.from = TimeOption("--from", args.from);
  filter.to = TimeOption("--to", args.to);
  if (filter.from && filter.to && *filter.to <= *filter.from) throw UsageError("--to must come after --from");
  // Reading must not make a database where there was none (a mistyped name).
  std::error_code ec;
  if (!store::IsPostgresUrl(args.db) && !std::filesystem::exists(args.db, ec))
    throw Error(args.db + ": no such database");
  std::unique_ptr<store::Store> db;
  std::vector<store::DetectionRow> rows;
  std::map<std::string, store::PatternRow> patterns;
  try {
    db = store::OpenStore(args.db);
    rows = db->Detections(filter);
    if (args.csv)
      for (auto& p : db->Patterns()) patterns[p.contentHash] = std::move(p);
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
  if (!args.csv) {
    for (const auto& r : rows)
      if (!WriteOut(r.json + "\n")) break;
    return OutputFailed() ? kExitFailure : kExitOk;
  }
  WriteOut("station,pattern,pattern_hash,spot_id,advertiser,campaign,version,title,begin_utc,end_utc,clock,begin_s,end_s,"
           "begin_sample,end_sample,rule,confidence,distance,threshold,seen,match,evidence\n");
  for (const auto& r : rows) {
    const store::PatternRow& p = patterns[r.patternHash];
    const bool detector = r.confidence >= 0.0;
    std::string line;
    for (const std::string& f :
         {r.station, r.patternName, r.patternHash, p.spotId, p.advertiser, p.campaign, p.version, p.title,
          r.beginUtc ? store::FormatUtcMillis(*r.beginUtc) : std::string(), r.endUtc ? store::FormatUtcMillis(*r.endUtc) : std::string(),
          r.clock, Number(r.beginSeconds), Number(r.endSeconds), std::to_string(r.beginSample), std::to_string(r.endSample),
          r.rule, detector ? Number(r.confidence) : "", detector ? Number(r.distance) : "",
          detector ? Number(r.threshold) : "", detector ? Number(r.seen) : "", r.match, r.evidence})
    {
      if (!line.empty()) line += ',';
      line += CsvField(f);
    }
    // The first field is never empty (a station has a label), so a line always starts with it.
    if (!WriteOut(line + "\n")) break;
  }
  return OutputFailed() ? kExitFailure : kExitOk;
}

}  // namespace sigpat
