// The detector's calibration files (docs/detector.md): the sidecar "<pattern file>.cal", a small
// text file beside a pattern file that keeps the background calibration of that pattern, and the
// entries of the self-calibration cache, one small file per pattern in a cache directory, named
// by a hash of everything the self calibration depends on. This is only the files: reading them
// safely and strictly, and writing them whole or not at all; whether their values fit a pattern
// is the detector's judgement (PatternDetector::LoadCalibration, SelfCalibrate).
//
// Sidecars come from outside: they are read only when they are small regular files (a FIFO or
// device is never opened blocking), parsed strictly (the magic line, then each key once, "key
// value", nothing else) and refused with the problem otherwise. They are written through a
// temporary file renamed into place.
#ifndef SP_DETECTOR_CALIBRATION_FILE_H
#define SP_DETECTOR_CALIBRATION_FILE_H

#include <cstddef>
#include <string>

namespace spdet {

struct CalibrationRecord {
  int nblock = -1;                 // pattern length in time blocks
  unsigned long long hash = 0;     // hash of the pattern's spectrum it was measured for
  double seconds = -1.0;           // seconds of background measured
  double bgMin = -1.0;             // smallest distance on the background
  double thr = -1.0;               // threshold from it
};

// Writes a file whole or not at all: a temporary file beside it (named NAME.XXXXXX, or
// NAME.PROCESS-N.tmp on Windows: a name with a dot), flushed to disk when `sync`, then renamed over
// the name (a symbolic link there is replaced, not followed). Returns false, leaving any old file,
// when any step fails.
bool WriteFileWhole(const std::string& name, const char* data, std::size_t size, bool sync);

// The sidecar of a pattern file; empty for no name.
std::string CalibrationFileName(const char* patternFile);
// Reads and parses a sidecar. Returns null when read, "" when there is none, else the problem.
const char* ReadCalibrationFile(const std::string& name, CalibrationRecord& record);
// Writes a sidecar whole or not at all (an old one stays when any step fails).
bool WriteCalibrationFile(const std::string& name, const CalibrationRecord& record);

// A self calibration as the cache keeps it: the values' bits, so they read back bit-identical.
struct SelfCalibrationRecord {
  unsigned long long key = 0;  // the entry's key (also its file name)
  int nblock = -1;             // pattern length in time blocks
  float positive = 0.0f, negative = 0.0f, shift = 0.0f, threshold = 0.0f;
};

// The cache directory: `chosen` when not null ("" for none), else SIGNALPATTERN_CACHE when set
// ("" or "off" for none), else $XDG_CACHE_HOME/signalpattern, else $HOME/.cache/signalpattern
// (%LOCALAPPDATA%\signalpattern on Windows); "" when there is none.
std::string CacheDirectory(const char* chosen);
// Identity of this build of the library (size, time and file number of the file its code was
// loaded from): a rebuilt or upgraded library never takes an older build's entries. 0 when unknown.
unsigned long long BuildIdentity();
// Reads a regular file of at most 4 KB whole: null, else "" when it is absent or the problem.
const char* ReadSmallFile(const std::string& name, std::string& text);
// The entry file of a key in a cache directory; "" for no directory.
std::string SelfCalibrationEntryName(const std::string& directory, unsigned long long key);
// Reads an entry: true when it is exactly what WriteSelfCalibration writes.
bool ReadSelfCalibration(const std::string& name, SelfCalibrationRecord& record);
// Writes an entry whole or not at all, making its directory when needed (not flushed to disk: a
// damaged entry is refused on reading and written again).
bool WriteSelfCalibration(const std::string& name, const SelfCalibrationRecord& record);

}  // namespace spdet

#endif
