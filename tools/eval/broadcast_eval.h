// Evaluation of the decision rules on a broadcast corpus (see broadcast_manifest.h): one
// pattern per clip, every programme scanned as sigpat scan does it, each detection matched
// with the ground truth.
//
// Matching: a detection is a true positive when its pattern is the inserted clip's and its
// begin lies within the tolerance (0.25 s by default) of the insertion's begin; one detection
// per insertion counts, further ones are repeats. A detection of a clip over one of that clip's
// near misses is a near miss reported. Every detection that is not a true positive counts
// against precision.
#ifndef SP_EVAL_BROADCAST_EVAL_H
#define SP_EVAL_BROADCAST_EVAL_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "broadcast_manifest.h"
#include "scanner.h"  // sigpat::Detection
#include "version_score.h"

namespace speval {

struct BroadcastOptions {
  std::string work;             // pattern files go here (default: a directory of the run's own, removed after)
  std::vector<double> speeds;   // also speed variants this many percent faster and slower
  double toleranceSeconds = 0.25;
  std::function<void(DetectorTuning&)> tune;  // detector tuning, applied before it is attached
  bool keepDetails = false;     // list misses and false detections
  bool listAll = false;         // list every detection
  bool detailCheck = true;      // the scan's detail check of short clips (sigpat::ScanOptions)
};

struct BroadcastTally {
  int inserted = 0, found = 0;
  double Recall() const { return inserted ? static_cast<double>(found) / inserted : 0.0; }
};

struct BroadcastFigures {
  std::string rule;
  int patterns = 0;
  std::map<std::string, BroadcastTally> byProcessing, byClipKind;
  BroadcastTally all, talkOver;
  // Insertions cut short are tallied apart (not in the tallies above): found at all, found as
  // partial occurrences; and how far the fraction reported was from the fraction played.
  BroadcastTally cutShort;
  int cutAsPartial = 0;
  int wholeAsPartial = 0;  // whole insertions found as partial occurrences (talked over, faded)
  std::vector<double> seenError;
  std::vector<double> endMs;  // whole insertions found whole: how far the reported end is from the true one
  VersionFigures versions;    // versioned campaigns
  int detections = 0, truePositives = 0;
  int repeats = 0, misplaced = 0, nearMissReports = 0, clipFreeReports = 0, elsewhere = 0;
  int nearMissesPresent = 0;
  int detailRejected = 0;  // detections the detail check dropped
  double clipFreeSeconds = 0, audioSeconds = 0, scanSeconds = 0;
  std::vector<double> timingMs;
  std::vector<std::string> misses, falses;
  // Whole insertions whose end is off by over 50 ms, cut ones reported whole and whole ones
  // reported partial (keepDetails).
  std::vector<std::string> endsOff;
  std::vector<std::string> listed;  // every detection (listAll)

  double Precision() const { return detections ? static_cast<double>(truePositives) / detections : 1.0; }
  double FalsePerHourClipFree() const { return clipFreeSeconds > 0 ? clipFreeReports * 3600.0 / clipFreeSeconds : 0; }
  double MedianTimingMs() const;
  double TimingPercentileMs(double p) const;
  double RealTimeFactor() const { return scanSeconds > 0 ? audioSeconds / scanSeconds : 0; }
};

// The pattern files of the corpus's clips (made with sigpat create's code, speed variants
// beside them), in clip order, variants after the clips. Throws std::runtime_error naming the
// clip and the problem.
std::vector<std::string> MakeBroadcastPatterns(const BroadcastManifest& m, const BroadcastOptions& o,
                                               std::vector<int>& clipOfFile);

// Scores the detections of one programme into f (clipOfFile: the clip of each pattern file).
void ScoreProgramme(const BroadcastManifest& m, const BroadcastProgramme& p, std::vector<sigpat::Detection> found,
                    const std::vector<int>& clipOfFile, const BroadcastOptions& o, BroadcastFigures& f);

// Scans every programme with rule "detector" or "library" and scores the detections. Throws
// std::runtime_error naming the programme and the problem when one cannot be read.
BroadcastFigures EvaluateBroadcast(const BroadcastManifest& m, const std::vector<std::string>& patternFiles,
                                   const std::vector<int>& clipOfFile, const std::string& rule,
                                   const BroadcastOptions& o);

}  // namespace speval

#endif
