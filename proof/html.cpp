#include "html.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace sigpat::proof {
namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when invalid.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n;
  unsigned min;
  unsigned cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07, min = 0x10000;
  else return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

std::string HtmlEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '&': out += "&amp;"; ++i; continue;
      case '<': out += "&lt;"; ++i; continue;
      case '>': out += "&gt;"; ++i; continue;
      case '"': out += "&quot;"; ++i; continue;
      case '\'': out += "&#39;"; ++i; continue;
      default: break;
    }
    const std::size_t n = Utf8Length(s, i);
    if (n == 0 || (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(s, i, n);
    i += n;
  }
  return out;
}

std::string HtmlPageStart(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
         "media-src * file: data:; img-src data:\">\n<title>" +
         HtmlEscape(title) +
         "</title>\n<style>\n"
         "body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fff}\n"
         "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}\n"
         "table{border-collapse:collapse;margin:.5em 0}td,th{border:1px solid #ccc;padding:2px 6px;"
         "text-align:left;vertical-align:top;white-space:pre-wrap}\n"
         "th{background:#f0f0f0}td.n{text-align:right}\n"
         ".aired{background:#e3f6e3}.aired_outside_window{background:#fff3cd}.not_aired{background:#f8d7da}"
         ".wrong_version{background:#f3d9fa}.truncated{background:#ffe5cc}.unbooked{background:#dbe9ff}"
         ".station_down{background:#e2e2e2}\n"
         "audio{height:28px;vertical-align:middle}svg{max-width:100%}.muted{color:#777}\n"
         "</style>\n</head>\n<body>\n";
}

std::string HtmlPageEnd() { return "</body>\n</html>\n"; }

std::string SvgBarChart(const std::vector<std::pair<std::string, double>>& bars, const std::string& unit,
                        double fullScale) {
  if (bars.empty()) return "<p class=\"muted\">none</p>\n";
  double max = fullScale;
  for (const auto& b : bars) max = std::max(max, b.second);
  const int rowHeight = 20, labelWidth = 260, barWidth = 420;
  const int height = rowHeight * static_cast<int>(bars.size()) + 4;
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(labelWidth + barWidth + 80) +
                    "\" height=\"" + std::to_string(height) + "\" role=\"img\">\n";
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const int y = static_cast<int>(i) * rowHeight + 2;
    const double w = max > 0 ? bars[i].second / max * barWidth : 0.0;
    out += "<text x=\"" + std::to_string(labelWidth - 6) + "\" y=\"" + std::to_string(y + 14) +
           "\" text-anchor=\"end\" font-size=\"12\">" + HtmlEscape(bars[i].first) + "</text>";
    out += "<rect x=\"" + std::to_string(labelWidth) + "\" y=\"" + std::to_string(y + 2) + "\" width=\"" +
           Fixed(w, 1) + "\" height=\"" + std::to_string(rowHeight - 6) + "\" fill=\"#4a7fc1\"/>";
    out += "<text x=\"" + Fixed(labelWidth + w + 4, 1) + "\" y=\"" + std::to_string(y + 14) + "\" font-size=\"12\">" +
           Fixed(bars[i].second, bars[i].second == static_cast<long long>(bars[i].second) ? 0 : 1);
    if (!unit.empty()) {
      out += ' ';
      out += HtmlEscape(unit);
    }
    out += "</text>\n";
  }
  return out + "</svg>\n";
}

std::string EvidenceHref(const std::string& evidenceDir, const std::string& htmlFile, const std::string& stored) {
  namespace fs = std::filesystem;
  if (stored.empty()) return "";
  // A file shared by several detections is stored with a media fragment ("#t=12.345") to the
  // detection's moment in it: kept as it is, after the path.
  const std::size_t hash = stored.find("#t=");
  const std::string fragment = hash == std::string::npos ? "" : stored.substr(hash);
  std::error_code ec;
  fs::path target = fs::path(stored.substr(0, hash));
  if (!evidenceDir.empty() && target.is_relative()) {
    const fs::path pageDir = fs::absolute(fs::path(htmlFile), ec).parent_path();
    const fs::path file = fs::absolute(fs::path(evidenceDir) / target, ec);
    target = file.lexically_relative(pageDir);
    if (target.empty()) target = file;
  }
  std::string out;
  const std::string text = target.generic_string();
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  if (!text.empty() && text[0] == '/') out = "file://" + out;
  return out + fragment;
}

std::string AudioElement(const std::string& href) {
  if (href.empty()) return "";
  return "<audio controls preload=\"none\" src=\"" + HtmlEscape(href) + "\"></audio>";
}

}  // namespace sigpat::proof
