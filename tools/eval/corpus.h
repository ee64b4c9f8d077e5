// The development corpus of the decision layer: patterns made from recorded sounds of Debian
// packages and streams that hold them under controlled changes (level, noise, talk-over, music,
// playback speed), near misses from the same sound families and streams without any clip.
// Everything is generated deterministically from the installed package files.
#ifndef SP_EVAL_CORPUS_H
#define SP_EVAL_CORPUS_H

#include <cstdint>
#include <string>
#include <vector>

namespace speval {

constexpr double kRate = 44100.0;

struct CorpusPattern {
  std::string name;                  // short name, also the base of its files
  std::vector<float> clip;           // the clip at 44100 Hz, normalised
  std::string tvs;                   // pattern file of the clip
  std::vector<std::string> variants; // pattern files of the speed-shifted clip
  std::vector<double> speeds;        // their speed changes in percent
};

struct Insertion {
  int pattern;          // index into Corpus::patterns; -1 for a near miss (no pattern)
  std::int64_t begin;   // first sample of the clip in the stream
  std::int64_t length;  // samples of the inserted clip
  std::string what;     // clip name
};

struct Stream {
  std::string name;
  std::string variant;  // clean, +6dB, ..., near-miss, clip-free
  std::vector<std::int16_t> pcm;
  std::vector<Insertion> truth;
};

struct Corpus {
  std::vector<CorpusPattern> patterns;
  std::vector<Stream> streams;
  double seconds = 0.0;  // total stream duration
};

struct CorpusOptions {
  std::string workDir;   // generated audio and pattern files go here
  bool quick = false;    // fewer and shorter streams (test-suite version)
  bool speedVariants = true;
  bool writeWav = false; // also write every stream as a WAV file
  bool holdout = false;  // the held-out set: other sounds (openttd-opensfx) and other idents,
                         // never used to tune the detector
};

// Builds the corpus; returns false with a message when a source sound is missing or a pattern
// cannot be made.
bool BuildCorpus(const CorpusOptions& options, Corpus& corpus, std::string& error);

// The Debian packages whose files the corpus reads.
const char* CorpusPackages(bool holdout = false);

}  // namespace speval

#endif
