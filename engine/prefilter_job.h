// The pre-filter of a block, run alongside other work of the same block. Internal to the
// engine: the block pipeline leaves the filtering of a block's later samples pending while the
// first time block of the block is matched, and the matcher advances it inside its loop over
// the current blocks; both are chains of dependent additions that the processor then runs
// side by side. The arithmetic is that of IirBiq, step for step, so the results are the same.
#ifndef SP_ENGINE_PREFILTER_JOB_H
#define SP_ENGINE_PREFILTER_JOB_H

namespace sp {

// Two biquad sections over samples [next, end) of a block. Outputs go where the pipeline's
// in-place decimation by 4 leaves them: sample n with n % 4 == 0 at out[n / 4], and every
// sample n >= keepFrom at out[n].
struct PrefilterJob {
  const float* in;
  float* out;
  long next, end;
  long keepFrom;
  float c[10];  // a1, a2, b0, b1, b2 of the first section, then of the second
  float s[4];   // w1, w2 of the first section, then of the second
};

// The job pending in this thread (set by the pipeline around the matching of a time block),
// or null.
PrefilterJob*& PendingPrefilter();

// Filters up to n more samples of the job (none when job is null). Kept out of line: with the
// ten coefficients and the delay line in registers, each step's chain of dependent
// operations is all that limits it.
void PrefilterSteps(PrefilterJob* job, long n);

}  // namespace sp

#endif
