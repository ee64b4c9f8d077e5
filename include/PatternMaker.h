// PatternMaker: makes a pattern file from audio that arrives piece by piece. It drives a
// recognizer object in creation mode: the samples are fed in blocks of 1152 from the start of
// the input until the library has written the pattern of the interval, and at the end of the
// input silence follows, so that the delayed end of a clip that ends the input still reaches
// the time-spectrum. SignalPattern::CreatePattern (a whole buffer in memory), `sigpat create`
// and the evaluation's corpus all make their patterns through it.
//
// Threads and errors: as SignalPattern (one object, one thread); no exception leaves it.
#ifndef SP_PATTERNMAKER_H
#define SP_PATTERNMAKER_H

#include <cstddef>
#include <vector>

#include "SignalPattern.h"

class SP_API PatternMaker {
 public:
  static constexpr int kBlockSamples = 1152;  // samples per call of Pattern
  static constexpr int kClosingBlocks = 10;   // blocks of silence fed at most after the input

  // Makes the pattern with `engine`, which holds the result afterwards (GetPatternFileName, the
  // created-pattern flag). Set the engine's limits (DefineMaxCreatedPatternDuration) before Start.
  explicit PatternMaker(SignalPattern& engine);
  PatternMaker(const PatternMaker&) = delete;
  PatternMaker& operator=(const PatternMaker&) = delete;

  // Initialises the engine in creation mode for the samples begin..end (both included, counted
  // from the first sample fed) of the audio named `source`. The file is written under the
  // source's name with the extension "tvs", or under the name given to the engine's
  // SetOutputPatternFileName after Start. A rate other than 44100 Hz changes only the parameters
  // in force. Returns 1, or 0 when the library refuses (its diagnostic lines say why).
  int Start(sp_long begin, sp_long end, const char* source, float Fs = 44100.0f, unsigned int mode = SP_MODE_ALL_BANDS);

  // Feeds the next n samples (SP_SAMPLE_S16 / S32_LOW / S32_HIGH words, any count). Returns 1
  // while the pattern wants more input, 0 once it is complete (further samples are ignored),
  // -1 when the library refused a block, the format is unknown or memory ran out.
  int Feed(const void* samples, std::size_t n, unsigned int format = SP_SAMPLE_S16);

  // The end of the input: the last partial block, zero padded, and then up to kClosingBlocks
  // blocks of silence. Returns 1 when the pattern file has been written, 0 when the input ended
  // before the interval did, -1 when the library refused a block.
  int Finish();

  // True once the library has written the pattern file.
  bool Written() const;

 private:
  int FeedBlock(const unsigned char* block, unsigned int format);
  bool Wanting() const;

  SignalPattern& engine_;
  std::vector<unsigned char> block_;  // the partial block, in the format of the words fed
  unsigned int format_ = SP_SAMPLE_S16;
  std::size_t filled_ = 0;            // bytes in block_
  bool failed_ = false;
};

#endif
