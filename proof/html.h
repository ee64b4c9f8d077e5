// Pieces of the self-contained HTML pages (reconciliation, airing report): escaping, the page
// frame with its inline style, SVG charts, links to evidence audio. Nothing on a page refers to
// the network: the style is inline and charts are SVG drawn here.
#ifndef SIGPAT_PROOF_HTML_H
#define SIGPAT_PROOF_HTML_H

#include <string>
#include <utility>
#include <vector>

namespace sigpat::proof {

// Text for HTML content and attribute values: & < > " ' escaped; bytes that are not valid UTF-8
// and control characters other than tab and line feed become U+FFFD.
std::string HtmlEscape(const std::string& s);

// <!DOCTYPE html> ... <body> with the page's style, and the closing tags.
std::string HtmlPageStart(const std::string& title);
std::string HtmlPageEnd();

// A horizontal bar chart (SVG) of labelled values, in the order given; the bars' full length
// stands for fullScale (0: the largest value).
std::string SvgBarChart(const std::vector<std::pair<std::string, double>>& bars, const std::string& unit,
                        double fullScale = 0.0);

// The link from a page written at htmlFile to the evidence file `stored` (relative to
// evidenceDir; evidenceDir empty: relative to the page's folder), percent-encoded per segment, with
// the media fragment ("#t=12.345") of a shared file kept after it.
// Empty when stored is empty.
std::string EvidenceHref(const std::string& evidenceDir, const std::string& htmlFile, const std::string& stored);

// "<audio controls preload=none src=...>" for an evidence link, "" for none.
std::string AudioElement(const std::string& href);

}  // namespace sigpat::proof

#endif
