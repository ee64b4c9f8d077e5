// The interleaved pre-filter stage of the block pipeline. Internal to the engine.
//
// When a block's first frame closes a time block that is matched, the pipeline pre-filters
// only the samples that frame needs, starts this stage on the rest of the block and hands it
// to the matcher, which advances it inside its loop over the current blocks: both are chains
// of dependent additions that the processor then runs side by side. The pipeline finishes
// the stage before the block's next frame (and whatever way the block ends). The arithmetic
// is that of IirBiq, step for step, so the results are the same.
#ifndef SP_ENGINE_PREFILTER_STAGE_H
#define SP_ENGINE_PREFILTER_STAGE_H

namespace sp {

class InterleavedPrefilter {
 public:
  InterleavedPrefilter() = default;
  InterleavedPrefilter(const InterleavedPrefilter&) = delete;
  InterleavedPrefilter& operator=(const InterleavedPrefilter&) = delete;
  ~InterleavedPrefilter() { Finish(); }

  // Two biquad sections (coefficients a1, a2, b0, b1, b2 of each) with their delay line
  // `state` (w1, w2 of each) over samples [0, n) of `in`. Outputs go where the pipeline's
  // in-place decimation by 4 leaves them: sample i with i % 4 == 0 at out[i / 4], and every
  // sample i >= keepFrom at out[i]. The delay line goes back to `state` when it is finished.
  void Start(const float* in, float* out, long n, long keepFrom, const float* coefficients, float* state);

  // Filters up to n more samples (nothing when no run is pending). Kept out of line: with
  // the ten coefficients and the delay line in registers, each step's chain of dependent
  // operations is all that limits it.
  void Advance(long n);

  // Filters the rest and stores the delay line; nothing when no run is pending.
  void Finish();

  bool Pending() const { return state_ != nullptr; }

 private:
  const float* in_ = nullptr;
  float* out_ = nullptr;
  long next_ = 0, end_ = 0, keepFrom_ = 0;
  float c_[10] = {};
  float s_[4] = {};
  float* state_ = nullptr;  // where the delay line goes; null when no run is pending
};

}  // namespace sp

#endif
