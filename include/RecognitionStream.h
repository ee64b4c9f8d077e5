// RecognitionStream: a recognizer (SignalPattern) fed with any number of samples at a time, with
// positions in 64 bits that stay right however long the stream runs, and the recognitions of
// every feed. It is what a client that watches a live feed for days uses instead of calling
// Pattern itself; `sigpat scan` and `sigpat monitor` are built on it. Decision layers (such as
// PatternDetector) observe the engine's time blocks themselves and are called before the
// stream's block observer, so that their results of a block are there when it runs.
//
// Positions beyond 2^32 samples. The engine counts input samples in 32-bit counters
// (NCurrentSample, RecognizedBegin/End and each pattern's NSampleFoundBegin/End) and refuses a
// candidate as a repeat when "current position <= last end + hold-off" in unsigned 32-bit
// arithmetic. Left alone, the counters wrap after 2^32 samples (27 h 3 min at 44100 Hz) and every
// candidate after the wrap is refused as a repeat of the last recognition before it, or placed
// 2^32 samples too early. The stream therefore keeps the absolute position as a 64-bit base plus
// the engine's counter and rebases the engine between blocks: once NCurrentSample passes the
// rebase threshold (2^30 by default, about 6 h 46 min), a multiple of 576 samples (one time block)
// is subtracted from NCurrentSample, NCurrentSampleRel, RecognizedBegin/End and every pattern's
// NSampleFoundBegin/End (clamped at 0) and added to the base. What stays in the counter is the
// "keep" distance: the longest pattern plus the engine's delay plus one time block. That keeps
// every comparison the engine makes exactly as it would be with unbounded counters (a pattern
// whose last end was clamped to 0 was found more than a pattern length ago), and since only
// whole time blocks move, the time-block grid and every deviation stay bit for bit the same.
//
// Threads and errors: as SignalPattern (one object, one thread); no exception leaves it.
#ifndef SP_RECOGNITIONSTREAM_H
#define SP_RECOGNITIONSTREAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "SignalPattern.h"

// A recognition the engine accepted: the pattern (its number in the set) and the interval it was
// found at, in 44100 Hz samples from the start of the stream.
struct StreamRecognition {
  int pattern = -1;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  float relDev = 2.0f;     // the deviations of the accepted alignment
  float relDevMpb = 2.0f;
};

class SP_API RecognitionStream {
 public:
  static constexpr int kBlockSamples = 1152;  // samples per call of Pattern
  // Blocks of silence Finish feeds after the input, so that a clip that ends with the input
  // still reaches the time block that reflects it (the engine's delay is 1404 samples).
  static constexpr int kClosingBlocks = 3;
  static constexpr std::uint32_t kDefaultRebaseThreshold = 1u << 30;

  // Called after every time block (inside Feed and Finish), once the engine has matched it and
  // the stream has noted its recognitions; and after every rebase with the samples moved.
  typedef void (*BlockObserver)(void* context, RecognitionStream& stream);
  typedef void (*RebaseObserver)(void* context, std::uint32_t shift);

  RecognitionStream();
  ~RecognitionStream();
  RecognitionStream(const RecognitionStream&) = delete;
  RecognitionStream& operator=(const RecognitionStream&) = delete;

  // Sets the engine up to recognise the pattern set of par (its NsampleMax becomes
  // kBlockSamples). startSample: the engine's counter starts there instead of 0 (rounded down to a
  // time block), as if that much input had gone before; positions still count from the first
  // sample fed. Returns 1, or 0 when the library refuses the set (its diagnostic lines say why).
  int Init(SigRecognitionPar* par, std::uint32_t startSample = 0);
  // Sets the engine up as `model`'s is (a stream set up by Init, nothing fed since): a copy of
  // its engine, which recognises to the bit as one set up again from the same pattern files, without
  // reading and preparing them again. Returns 1, or 0 when model is not such a stream or memory
  // ran out. Only reads model (streams may be set up from one model on several threads).
  int InitLike(const RecognitionStream& model);

  // Rebase once the engine's counter reaches this (see the top of this file).
  void SetRebaseThreshold(std::uint32_t samples) { rebaseThreshold_ = samples; }
  void SetBlockObserver(BlockObserver observer, void* context);
  void SetRebaseObserver(RebaseObserver observer, void* context);

  // Feeds n samples (16-bit, mono, 44100 Hz); a partial block waits for the next feed. Returns
  // the number of recognitions of this feed (Recognitions()), or < 0: -1 before Init or after a
  // failure, -2 when the engine refused a block, -3 when memory ran out or an observer threw.
  int Feed(const std::int16_t* samples, std::size_t n);
  // The end of the input: the partial block, zero padded, and closingBlocks blocks of silence.
  // Returns as Feed.
  int Finish(int closingBlocks = kClosingBlocks);

  // The recognitions of the last Feed or Finish, in the order the engine accepted them.
  const std::vector<StreamRecognition>& Recognitions() const { return recognitions_; }

  std::int64_t Samples() const { return samples_; }  // samples fed
  std::int64_t Base() const { return base_; }        // the position of the engine's sample 0
  // The position of the engine's NCurrentSample.
  std::int64_t Position() const { return base_ + static_cast<std::int64_t>(engine_.NCurrentSample); }
  // A recent engine position (a 32-bit counter value no more than 2^31 samples before
  // NCurrentSample) as a position in the stream: taken as a distance back from NCurrentSample,
  // so it comes out right whether the field holding it is signed or unsigned, and across a wrap.
  std::int64_t Absolute(std::int64_t enginePosition) const;
  int Rebases() const { return rebases_; }

  // The engine, for what the stream does not cover (statistics, controls, observers' reads).
  SignalPattern& Engine() { return engine_; }
  const SignalPattern& Engine() const { return engine_; }

 private:
  static void OnEngineBlock(void* context, const TimeBlockView& block);
  int StartFeeding();
  int Block(const std::int16_t* block);
  void Rebase(std::uint32_t shift);

  SignalPattern engine_;
  std::vector<int> counts_;  // each pattern's NRecognize as last seen
  std::vector<StreamRecognition> recognitions_;
  std::vector<std::int16_t> block_;
  std::size_t filled_ = 0;
  std::int64_t samples_ = 0;
  std::int64_t base_ = 0;
  std::uint32_t keep_ = 0;
  std::uint32_t rebaseThreshold_ = kDefaultRebaseThreshold;
  int rebases_ = 0;
  bool ready_ = false;
  bool observerFailed_ = false;
  BlockObserver blockObserver_ = nullptr;
  void* blockContext_ = nullptr;
  RebaseObserver rebaseObserver_ = nullptr;
  void* rebaseContext_ = nullptr;
};

#endif
