// Making pattern files and gathering them for a scan: what sigpat create, scan, monitor and
// calibrate, the evaluation and the Python module share. Errors are thrown as Error (or
// UsageError for a mistake in the arguments), naming the file and the problem.
#ifndef SIGPAT_PATTERN_MAKING_H
#define SIGPAT_PATTERN_MAKING_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio_input.h"

namespace sigpat {

// ---- making a pattern

struct CreateArgs {
  std::string input;
  std::optional<std::int64_t> begin, end;  // sample positions at 44100 Hz, both included
  std::optional<double> beginSeconds, endSeconds;
  std::string output;  // empty: INPUT with its extension replaced by "tvs"
  AudioOptions audio;
  std::vector<double> speeds;  // --speed: also variants this many percent faster and slower
};

// Makes the pattern file and returns the path written.
std::string CreatePatternFile(const CreateArgs& args);
// The same from an input already open (args.input is the source name the pattern records);
// total: its length in samples at 44100 Hz when counted already (-1: as the input tells).
std::string CreatePatternFile(const CreateArgs& args, AudioInput& in, std::int64_t total = -1);
// The interval create takes from an input of `total` samples: samples at 44100 Hz, both ends
// included (the whole input when no bounds are given). Not checked.
void CreateInterval(const CreateArgs& args, std::int64_t total, std::int64_t& begin, std::int64_t& end);
// Refuses (Error naming source, the audio it was made from) a pattern file that cannot work:
// unreadable, made of silence, or matched all but exactly by common sounds.
void CheckNewPattern(const std::string& file, const std::string& source);
// The loudest cell of a pattern must rise above this level (dB) or the clip counts as silent.
constexpr float kSilentPatternDb = -70.0f;
// The speed-shifted variants of the pattern just written (MAIN.tvs -> MAIN.speed+1.5.tvs, ...),
// one faster and one slower per speed of args.speeds; returns the paths written.
std::vector<std::string> CreateSpeedVariants(const CreateArgs& args, const std::string& mainPattern);

// How the decision layer sees a pattern: its threshold (the pattern's own, or from a background
// calibration beside it), the distance of distorted copies and of the closest sound that is not
// the pattern. False when the pattern cannot be set up for recognition.
struct DetectorView {
  float threshold = 0.0f, positive = 0.0f, negative = 0.0f;
  bool calibrated = false;
};
bool ViewThroughDetector(const std::string& pattern, DetectorView& view);
// A pattern whose closest other sound is nearer than this (dB) is plain: short and simple, like
// a lone beep, drum hit or click, close to every sound of its kind.
constexpr float kPlainPatternDistance = 0.35f;
// Closer than this (dB), common sounds match the pattern all but exactly: create refuses it.
constexpr float kUselessPatternDistance = 0.05f;
// Clips shorter than this (seconds) get a warning even when they are not plain.
constexpr double kShortPatternSeconds = 0.3;

// ---- gathering the patterns of a scan

// The pattern files named by `patterns` (files, or directories giving every .tvs in them, by
// name) and by `list` when not empty (one path a line; blank lines and lines starting with '#'
// skipped; relative paths are taken from the list's directory). A file named twice is given once.
std::vector<std::string> GatherPatternFiles(const std::vector<std::string>& patterns, const std::string& list = {});
// The files followed by the speed variants that lie beside them and are not listed yet.
std::vector<std::string> WithSpeedVariants(const std::vector<std::string>& files);

}  // namespace sigpat

#endif
