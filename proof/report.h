// The airing report (`sigpat report`): what aired in a span, from the store, as one
// self-contained HTML page. Per station and UTC day a timeline (SVG) with the station's down
// time, then the day's airings with their evidence playable; counts with first and last airing
// per spot, campaign and advertiser; station health from the station events.
#ifndef SIGPAT_PROOF_REPORT_H
#define SIGPAT_PROOF_REPORT_H

#include <functional>
#include <string>
#include <vector>

#include "reconcile.h"

namespace sigpat::proof {

struct ReportData {
  std::vector<StationRow> stations;
  std::vector<PatternRow> patterns;
  std::vector<DetectionRow> detections;  // those that began in [from, to)
  std::vector<StationEventRow> events;   // those in [from, to), and the last before from
  UtcMicros from = 0, to = 0;
};

std::string ReportHtml(const ReportData& data, const std::function<std::string(const std::string&)>& href);

}  // namespace sigpat::proof

#endif
