#include "reconcile_html.h"

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
  out += "</table>\n<h3>Error rate per station</h3>\n" + SvgBarChart(rates, "%");

  out += "<h2>Bookings and unbooked airings</h2>\n<table>\n<tr><th>station</th><th>spot</th><th>window (UTC)</th>"
         "<th>status</th><th>aired (UTC)</th><th>seen</th><th>offset s</th><th>detected spot</th><th>note</th>"
         "<th>evidence</th></tr>\n";
  for (const ReconcileRow& row : r.rows) {
    const char* status = StatusName(row.status);
    std::string window, aired, seen, link;
    if (row.windowStart) window = FormatUtc(*row.windowStart) + " – " + FormatUtc(*row.windowEnd);
    if (row.airing) {
      if (row.airing->beginUtc) aired = FormatUtc(*row.airing->beginUtc);
      if (row.airing->endUtc) aired += " – " + FormatUtc(*row.airing->endUtc);
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
