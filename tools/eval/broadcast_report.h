// The broadcast mode of sp_eval: runs the evaluation of a broadcast corpus for each rule and
// reports the figures as text (and optionally JSON), checking lower bounds for the test suite.
#ifndef SP_EVAL_BROADCAST_REPORT_H
#define SP_EVAL_BROADCAST_REPORT_H

#include <map>
#include <string>
#include <vector>

#include "broadcast_eval.h"

namespace speval {

// Bounds on the first rule's figures (negative: not checked).
struct BroadcastBounds {
  double minRecall = -1, minPrecision = -1, maxClipFree = -1, maxNearMisses = -1, maxMedianMs = -1, minRtf = -1;
  // Versioned campaigns: airings with a wrong version reported, and the right version's share of
  // the decidable airings.
  double maxWrongVersions = -1, minRightVersions = -1;
  std::map<std::string, double> minRecallOf;  // processing kind or clip kind -> lower bound
};

void PrintBroadcast(const std::string& set, const BroadcastFigures& f, bool details);
std::string BroadcastJson(const std::string& set, bool quick, double toleranceSeconds,
                          const std::vector<BroadcastFigures>& rules);
// Prints every bound not met; returns their number.
int CheckBroadcastBounds(const BroadcastFigures& f, const BroadcastBounds& b);

// sp_eval --broadcast DIR: exit status 0, 1 when a bound is not met, 3 when the corpus cannot
// be read or a pattern made (one line naming the file and the problem).
int RunBroadcast(const std::string& dir, const std::vector<std::string>& rules, const BroadcastOptions& options,
                 const BroadcastBounds& bounds, bool checkBounds, const std::string& jsonFile);

}  // namespace speval

#endif
