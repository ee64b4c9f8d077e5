#include "reconcile_html.h"

#include <algorithm>
#include <cstdio>

#include "html.h"

namespace sigpat::proof {
namespace {

std::string Fixed(double v, const char* format) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Cell(const std::string& text, const char* cls = nullptr) {
  return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" + HtmlEscape(text) + "</td>";
}

std::string Num(int n) { return "<td class=\"n\">" + std::to_string(n) + "</td>"; }

// A span of UTC times in few characters: "2026-12-07 10:00:00–10:15:00" within a day.
std::string Span(UtcMicros a, UtcMicros b) {
  std::string out = FormatUtcDay(a) + " " + FormatUtcClock(a);
  if (b == a) return out;
  return out + "–" + (FormatUtcDay(b) == FormatUtcDay(a) ? "" : FormatUtcDay(b) + " ") + FormatUtcClock(b);
}

// One stacked bar per station: its bookings by status (station-down ones apart), then unbooked.
std::string StatusChart(const std::vector<StationSummary>& stations) {
  struct Part {
    const char* name;
    const char* colour;
    int StationSummary::*count;
  };
  static const Part kParts[] = {{"aired", "#3c9a3c", &StationSummary::aired},
                                {"outside window", "#e0b000", &StationSummary::outsideWindow},
                                {"truncated", "#f08c28", &StationSummary::truncated},
                                {"wrong version", "#b04cc8", &StationSummary::wrongVersion},
                                {"not aired", "#d23c3c", &StationSummary::notAired},
                                {"station down", "#9a9a9a", &StationSummary::unverified},
                                {"unbooked", "#4a7fc1", &StationSummary::unbooked}};
  int most = 1;
  for (const StationSummary& s : stations) most = std::max(most, s.bookings + s.unbooked);
  const int row = 22, label = 200, bar = 560;
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(label + bar + 60) +
                    "\" height=\"" + std::to_string(row * (static_cast<int>(stations.size()) + 1) + 8) +
                    "\" role=\"img\">\n";
  int x = label;
  for (const Part& p : kParts) {  // the legend
    out += "<rect x=\"" + std::to_string(x) + "\" y=\"4\" width=\"10\" height=\"10\" fill=\"" + p.colour +
           "\"/><text x=\"" + std::to_string(x + 13) + "\" y=\"13\" font-size=\"11\">" + p.name + "</text>";
    x += 20 + 7 * static_cast<int>(std::string(p.name).size());
  }
  out += "\n";
  for (std::size_t i = 0; i < stations.size(); ++i) {
    const StationSummary& s = stations[i];
    const int y = row * (static_cast<int>(i) + 1) + 4;
    out += "<text x=\"" + std::to_string(label - 6) + "\" y=\"" + std::to_string(y + 14) +
           "\" text-anchor=\"end\" font-size=\"12\">" + HtmlEscape(s.station) + "</text>";
    double at = label;
    for (const Part& p : kParts) {
      // Station-down bookings are part of "not aired": drawn apart, not twice.
      int n = s.*p.count;
      if (p.count == &StationSummary::notAired) n -= s.unverified;
      if (n <= 0) continue;
      const double w = static_cast<double>(n) / most * bar;
      out += "<rect x=\"" + Fixed(at, "%.1f") + "\" y=\"" + std::to_string(y + 2) + "\" width=\"" + Fixed(w, "%.1f") +
             "\" height=\"" + std::to_string(row - 6) + "\" fill=\"" + p.colour + "\"><title>" + p.name + ": " +
             std::to_string(n) + "</title></rect>";
      at += w;
    }
    out += "\n";
  }
  return out + "</svg>\n";
}

}  // namespace

std::string ReconciliationHtml(const Reconciliation& r, const std::string& scheduleName,
                               const std::function<std::string(const std::string&)>& href) {
  std::string out = HtmlPageStart("Reconciliation: " + scheduleName);
  out += "<h1>Reconciliation of " + HtmlEscape(scheduleName) + "</h1>\n<p>Bookings from " +
         HtmlEscape(FormatUtc(r.from)) + " to " + HtmlEscape(FormatUtc(r.to)) + " (UTC).</p>\n";

  out += "<h2>Per station</h2>\n<table>\n<tr><th>station</th><th>bookings</th><th>aired</th>"
         "<th>outside window</th><th>not aired</th><th>of which station down</th><th>wrong version</th>"
         "<th>truncated</th><th>unbooked</th><th>error rate</th></tr>\n";
  std::vector<std::pair<std::string, double>> rates;
  for (const StationSummary& s : r.stations) {
    out += "<tr>" + Cell(s.station) + Num(s.bookings) + Num(s.aired) + Num(s.outsideWindow) + Num(s.notAired) +
           Num(s.unverified) + Num(s.wrongVersion) + Num(s.truncated) + Num(s.unbooked) + "<td class=\"n\">" +
           Fixed(100.0 * s.ErrorRate(), "%.1f") + " %</td></tr>\n";
    rates.emplace_back(s.station, 100.0 * s.ErrorRate());
  }
  out += "</table>\n<h3>Bookings per station by status</h3>\n" + StatusChart(r.stations);
  out += "<h3>Error rate per station</h3>\n" + SvgBarChart(rates, "%", 100.0);

  out += "<h2>Bookings and unbooked airings</h2>\n<table>\n<tr><th>station</th><th>spot</th><th>window (UTC)</th>"
         "<th>status</th><th>aired (UTC)</th><th>seen</th><th>offset s</th><th>detected spot</th><th>note</th>"
         "<th>evidence</th></tr>\n";
  for (const ReconcileRow& row : r.rows) {
    const char* status = StatusName(row.status);
    std::string window, aired, seen, link;
    if (row.windowStart) window = Span(*row.windowStart, *row.windowEnd);
    if (row.airing) {
      if (row.airing->beginUtc) aired = Span(*row.airing->beginUtc, row.airing->endUtc.value_or(*row.airing->beginUtc));
      seen = Fixed(row.airing->seen, "%.3f");
      link = href(row.airing->evidence);
    }
    out += std::string("<tr class=\"") + (row.note == "station_down" ? "station_down" : status) + "\">" +
           Cell(row.station) + Cell(row.spot) + Cell(window) + Cell(status) + Cell(aired) + Cell(seen) +
           Cell(row.offsetSeconds ? Fixed(*row.offsetSeconds, "%.1f") : "") + Cell(row.detectedSpot) + Cell(row.note) +
           "<td>" + AudioElement(link) + "</td></tr>\n";
  }
  out += "</table>\n";
  return out + HtmlPageEnd();
}

}  // namespace sigpat::proof
