#include "report.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <unordered_map>

#include "html.h"

namespace sigpat::proof {
namespace {

std::string Fixed(double v, const char* format) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Cell(const std::string& text) { return "<td>" + HtmlEscape(text) + "</td>"; }
std::string Num(long long n) { return "<td class=\"n\">" + std::to_string(n) + "</td>"; }

struct Tally {
  long long count = 0;
  UtcMicros first = std::numeric_limits<UtcMicros>::max(), last = std::numeric_limits<UtcMicros>::min();
  void Add(UtcMicros t) {
    ++count;
    first = std::min(first, t);
    last = std::max(last, t);
  }
};

// A table and a bar chart of tallies, most first.
std::string TallySection(const std::string& title, const std::string& what, const std::map<std::string, Tally>& tallies) {
  std::vector<std::pair<std::string, Tally>> sorted(tallies.begin(), tallies.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.second.count > b.second.count; });
  std::string out = "<h2>" + HtmlEscape(title) + "</h2>\n";
  if (sorted.empty()) return out + "<p class=\"muted\">none</p>\n";
  std::vector<std::pair<std::string, double>> bars;
  for (std::size_t i = 0; i < sorted.size() && i < 40; ++i)
    bars.emplace_back(sorted[i].first, static_cast<double>(sorted[i].second.count));
  out += SvgBarChart(bars, "");
  out += "<table>\n<tr><th>" + HtmlEscape(what) + "</th><th>airings</th><th>first (UTC)</th><th>last (UTC)</th></tr>\n";
  for (const auto& [name, t] : sorted)
    out += "<tr>" + Cell(name) + Num(t.count) + Cell(FormatUtc(t.first)) + Cell(FormatUtc(t.last)) + "</tr>\n";
  return out + "</table>\n";
}

// A colour per campaign (or spot), stable across pages.
std::string ColourOf(const std::string& key) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : key) h = (h ^ c) * 16777619u;
  return "hsl(" + std::to_string(h % 360) + ",60%,45%)";
}

}  // namespace

std::string ReportHtml(const ReportData& data, const std::function<std::string(const std::string&)>& href) {
  std::unordered_map<std::string, const PatternRow*> patternOf;
  for (const PatternRow& p : data.patterns) patternOf[p.contentHash] = &p;
  auto pattern = [&](const DetectionRow& d) -> const PatternRow* {
    auto it = patternOf.find(d.patternHash);
    return it == patternOf.end() ? nullptr : it->second;
  };
  auto spotName = [&](const DetectionRow& d) {
    const PatternRow* p = pattern(d);
    return p && !p->spotId.empty() ? p->spotId : d.patternName;
  };

  std::vector<const DetectionRow*> airings;
  for (const DetectionRow& d : data.detections)
    if (d.beginUtc && *d.beginUtc >= data.from && *d.beginUtc < data.to) airings.push_back(&d);
  std::stable_sort(airings.begin(), airings.end(), [](auto* a, auto* b) {
    return std::tie(a->station, *a->beginUtc, a->id) < std::tie(b->station, *b->beginUtc, b->id);
  });

  std::map<std::string, Tally> bySpot, byCampaign, byAdvertiser, byStation;
  for (const DetectionRow* d : airings) {
    const PatternRow* p = pattern(*d);
    bySpot[spotName(*d)].Add(*d->beginUtc);
    if (p && !p->campaign.empty()) byCampaign[p->campaign].Add(*d->beginUtc);
    if (p && !p->advertiser.empty()) byAdvertiser[p->advertiser].Add(*d->beginUtc);
    byStation[d->station].Add(*d->beginUtc);
  }
  std::vector<std::string> stations;
  for (const StationRow& s : data.stations) stations.push_back(s.label);
  for (const auto& [name, t] : byStation)
    if (std::find(stations.begin(), stations.end(), name) == stations.end()) stations.push_back(name);
  std::sort(stations.begin(), stations.end());

  std::string out = HtmlPageStart("Airings " + FormatUtc(data.from) + " to " + FormatUtc(data.to));
  out += "<h1>Airings from " + HtmlEscape(FormatUtc(data.from)) + " to " + HtmlEscape(FormatUtc(data.to)) +
         "</h1>\n<p>" + std::to_string(airings.size()) + " airings on " + std::to_string(byStation.size()) +
         " of " + std::to_string(stations.size()) + " stations. Times are UTC.</p>\n";

  // Stations: airings and health.
  out += "<h2>Stations</h2>\n<table>\n<tr><th>station</th><th>airings</th><th>first</th><th>last</th>"
         "<th>down time</th><th>events</th></tr>\n";
  std::map<std::string, std::vector<DownInterval>> down;
  for (const std::string& s : stations) {
    down[s] = DownIntervals(data.events, s);
    double downSeconds = 0.0;
    for (const DownInterval& i : down[s]) {
      const UtcMicros a = std::max(i.from, data.from), b = std::min(i.to, data.to);
      if (b > a) downSeconds += static_cast<double>(b - a) / kMicrosPerSecond;
    }
    std::map<std::string, int> kinds;
    for (const StationEventRow& e : data.events)
      if (e.station == s && e.timeUtc >= data.from && e.timeUtc < data.to) ++kinds[e.event];
    std::string kindText;
    for (const auto& [k, n] : kinds) kindText += (kindText.empty() ? "" : ", ") + k + " " + std::to_string(n);
    const auto it = byStation.find(s);
    out += "<tr>" + Cell(s) + Num(it == byStation.end() ? 0 : it->second.count) +
           Cell(it == byStation.end() ? "" : FormatUtc(it->second.first)) +
           Cell(it == byStation.end() ? "" : FormatUtc(it->second.last)) + Cell(Fixed(downSeconds / 60.0, "%.1f min")) +
           Cell(kindText) + "</tr>\n";
  }
  out += "</table>\n";

  out += TallySection("Airings per spot", "spot", bySpot);
  out += TallySection("Airings per campaign", "campaign", byCampaign);
  out += TallySection("Airings per advertiser", "advertiser", byAdvertiser);

  // Timelines: a station's day as a 24-hour strip, then the day's airings.
  out += "<h2>Timelines</h2>\n<p class=\"muted\">Each mark is an airing (hover for what); grey bands: station "
         "down (dropped stream, dead air, no data).</p>\n";
  const int width = 960, left = 24, strip = 30;
  for (const std::string& s : stations) {
    for (UtcMicros day = DayStart(data.from); day < data.to; day += kMicrosPerDay) {
      const UtcMicros dayEnd = day + kMicrosPerDay;
      std::vector<const DetectionRow*> today;
      for (const DetectionRow* d : airings)
        if (d->station == s && *d->beginUtc >= day && *d->beginUtc < dayEnd) today.push_back(d);
      bool wasDown = false;
      for (const DownInterval& i : down[s]) wasDown |= i.from < dayEnd && i.to >= day;
      if (today.empty() && !wasDown) continue;
      auto x = [&](UtcMicros t) {
        return left + static_cast<double>(std::clamp(t, day, dayEnd) - day) / kMicrosPerDay * width;
      };
      out += "<h3>" + HtmlEscape(s) + " — " + FormatUtcDay(day) + "</h3>\n";
      out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width + 2 * left) +
             "\" height=\"" + std::to_string(strip + 24) + "\" role=\"img\">\n<rect x=\"" + std::to_string(left) +
             "\" y=\"0\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(strip) +
             "\" fill=\"#f7f7f7\" stroke=\"#ccc\"/>\n";
      for (const DownInterval& i : down[s]) {
        if (!(i.from < dayEnd && i.to >= day)) continue;
        const double a = x(i.from), b = std::max(x(i.to), a + 1.0);
        out += "<rect x=\"" + Fixed(a, "%.1f") + "\" y=\"0\" width=\"" + Fixed(b - a, "%.1f") + "\" height=\"" +
               std::to_string(strip) + "\" fill=\"#bbb\"><title>" + HtmlEscape(i.event + " from " + FormatUtc(i.from)) +
               "</title></rect>\n";
      }
      for (const DetectionRow* d : today) {
        const PatternRow* p = pattern(*d);
        const double a = x(*d->beginUtc), b = std::max(x(d->endUtc.value_or(*d->beginUtc)), a + 1.5);
        const std::string key = p && !p->campaign.empty() ? p->campaign : spotName(*d);
        out += "<rect x=\"" + Fixed(a, "%.1f") + "\" y=\"3\" width=\"" + Fixed(b - a, "%.1f") + "\" height=\"" +
               std::to_string(strip - 6) + "\" fill=\"" + ColourOf(key) + "\"><title>" +
               HtmlEscape(FormatUtcClock(*d->beginUtc) + " " + spotName(*d)) + "</title></rect>\n";
      }
      for (int h = 0; h <= 24; h += 3) {
        const double hx = left + h / 24.0 * width;
        out += "<line x1=\"" + Fixed(hx, "%.1f") + "\" y1=\"" + std::to_string(strip) + "\" x2=\"" +
               Fixed(hx, "%.1f") + "\" y2=\"" + std::to_string(strip + 5) + "\" stroke=\"#666\"/><text x=\"" +
               Fixed(hx, "%.1f") + "\" y=\"" + std::to_string(strip + 18) +
               "\" font-size=\"11\" text-anchor=\"middle\">" + std::to_string(h) + ":00</text>\n";
      }
      out += "</svg>\n";
      if (today.empty()) continue;
      out += "<table>\n<tr><th>start</th><th>end</th><th>spot</th><th>title</th><th>advertiser</th><th>campaign</th>"
             "<th>version</th><th>seen</th><th>confidence</th><th>evidence</th></tr>\n";
      for (const DetectionRow* d : today) {
        const PatternRow* p = pattern(*d);
        out += "<tr>" + Cell(FormatUtcClock(*d->beginUtc)) + Cell(d->endUtc ? FormatUtcClock(*d->endUtc) : "") +
               Cell(spotName(*d)) + Cell(p ? p->title : "") + Cell(p ? p->advertiser : "") +
               Cell(p ? p->campaign : "") + Cell(p ? p->version : "") + Cell(Fixed(d->seen, "%.2f")) +
               Cell(d->confidence >= 0 ? Fixed(d->confidence, "%.2f") : "") + "<td>" +
               AudioElement(href(d->evidence)) + "</td></tr>\n";
      }
      out += "</table>\n";
    }
  }
  return out + HtmlPageEnd();
}

}  // namespace sigpat::proof
