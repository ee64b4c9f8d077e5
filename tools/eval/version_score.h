// Scoring of versioned campaigns (a broadcast corpus made with make_corpus.py --versions): per
// airing of a version, whether the version that aired was reported, another version of its
// campaign (a wrong creative: a false proof of airing; so is an undecided report whose
// candidates leave out the version that aired), an undecided report naming the candidates, or
// nothing. Airings whose deciding stretch was masked (talked over or cut off, so that less than
// MinHeardSeconds of what tells the aired version from one of its relatives was heard) are
// tallied apart: there "undecided" is the right answer.
#ifndef SP_EVAL_VERSION_SCORE_H
#define SP_EVAL_VERSION_SCORE_H

#include <map>
#include <string>
#include <vector>

#include "broadcast_manifest.h"
#include "scanner.h"  // sigpat::Detection

namespace speval {

struct VersionTally {
  int airings = 0, right = 0, wrong = 0, wrongBesideRight = 0, undecided = 0, missed = 0;
  void Add(const VersionTally& t);
};

struct VersionFigures {
  static constexpr double kMinHeardSeconds = 1.5;
  std::map<std::string, VersionTally> decidable, masked;  // per campaign
  std::vector<std::string> details;                      // one line per airing not reported right
  VersionTally Total(bool maskedOnes) const;
  bool Empty() const { return decidable.empty() && masked.empty(); }
};

// Seconds of the stretch where clip `c` differs from `relative` that the airing `t` let be heard
// (its cut and the talk-over at its end taken off).
double HeardOfDifference(const BroadcastClip& c, const std::string& relative, const BroadcastOccurrence& t);

// Tallies the airings of versioned clips in one programme (detections: of that programme;
// clipOfFile: the clip of each pattern file).
void ScoreVersions(const BroadcastManifest& m, const BroadcastProgramme& p, const std::vector<sigpat::Detection>& found,
                   const std::vector<int>& clipOfFile, VersionFigures& f);

void PrintVersions(const VersionFigures& f, bool details);

}  // namespace speval

#endif
