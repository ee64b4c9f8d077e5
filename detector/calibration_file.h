// Sidecar calibration files: "<pattern file>.cal", a small text file beside a pattern file that
// keeps the background calibration of that pattern (docs/detector.md). This is only the file:
// reading it safely and strictly, and writing it whole or not at all; whether its values fit a
// pattern is the detector's judgement (PatternDetector::LoadCalibration).
//
// Sidecars come from outside: they are read only when they are small regular files (a FIFO or
// device is never opened blocking), parsed strictly (the magic line, then each key once, "key
// value", nothing else) and refused with the problem otherwise. They are written through a
// temporary file renamed into place.
#ifndef SP_DETECTOR_CALIBRATION_FILE_H
#define SP_DETECTOR_CALIBRATION_FILE_H

#include <string>

namespace spdet {

struct CalibrationRecord {
  int nblock = -1;                 // pattern length in time blocks
  unsigned long long hash = 0;     // hash of the pattern's spectrum it was measured for
  double seconds = -1.0;           // seconds of background measured
  double bgMin = -1.0;             // smallest distance on the background
  double thr = -1.0;               // threshold from it
};

// The sidecar of a pattern file; empty for no name.
std::string CalibrationFileName(const char* patternFile);
// Reads and parses a sidecar. Returns null when read, "" when there is none, else the problem.
const char* ReadCalibrationFile(const std::string& name, CalibrationRecord& record);
// Writes a sidecar whole or not at all (an old one stays when any step fails).
bool WriteCalibrationFile(const std::string& name, const CalibrationRecord& record);

}  // namespace spdet

#endif
