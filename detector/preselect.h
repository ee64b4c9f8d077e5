// Pre-selection of the decision layer: which patterns are worth comparing at a time block.
//
// Comparing every pattern at every time block costs the same for a pattern that is nowhere near
// the input as for one that is playing. A sketch of each pattern tells them apart for a small
// part of that cost: the pattern's newest blocks are averaged in chunks of 4, 8 or 16 time blocks
// (about 16 to 32 chunks), each block floored 40 dB under its loudest band, and the chunk levels
// are double-centred (per-band and per-chunk means removed, what equalisation and level changes
// add). The input is averaged the same way once per time block for every pattern; a pattern's
// sketch is then correlated with the input chunks at its own positions, which costs one
// multiply-add per chunk and band. Chunks this coarse follow speed changes of a few percent and
// sub-block misalignment.
//
// A pattern is compared (by the level and the shape distance) while its sketch correlates above
// Gate, and for Hold + its own lag time blocks after (the shape distance judges a window a few
// blocks after it ends). Patterns too short for a sketch are always compared.
#ifndef SP_DETECTOR_PRESELECT_H
#define SP_DETECTOR_PRESELECT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace spdet {

struct PreselectTuning {
  float Gate = 0.3f;       // correlation above which a pattern is compared; for sketches of
                           // shorter chunks, Gate * sqrt(chunk / 16)
  int Hold = 8;            // time blocks a pattern stays compared after its sketch passed
  int MinChunks = 6;       // shorter sketches are not made (the pattern is always compared)
  int MaxChunks = 32;      // a long pattern's sketch covers its newest chunks only
  float FloorDepth_dB = 40.0f;
};

class Preselector {
 public:
  // Bands first..last of nband are used.
  void Configure(int nband, int first, int last, const PreselectTuning& tuning);
  // Adds a pattern: levels in dB, n time blocks x nband, oldest first (as ShapeMatcher::Add, the
  // pattern's newest block already left out). lag: blocks the pattern stays compared beyond
  // Hold. strictGate > 0 makes a strict sketch, one whose passing starts costlier comparisons
  // later on (the caller times them): fewer, longer chunks, correlated half as often, passing
  // above strictGate whatever their size, and its flag not held. Returns its index.
  int Add(const float* levels, int n, int lag, float strictGate = 0.0f);
  // The same in two steps: a sketch drawn from levels (any time after Configure, while the levels
  // are at hand), then added (in the order the indices should follow).
  class Drawn;
  Drawn Draw(const float* levels, int n, float strictGate = 0.0f) const;
  int Add(Drawn drawn, int lag);
  // Sketch `sketch` passing also raises `target`'s active flag, not its near one (a second view
  // of the same pattern for the distance that follows the active flags: the reverberant one of
  // detector/reverb_view.h, compared by the shape distance only); call before Start.
  void SetTarget(int sketch, int target);
  void Start();
  void Reset();
  // Patterns not in use (speed variants, whose group leader decides) are not correlated.
  void Use(int i, bool on);

  // Appends the newest time block (nband levels in dB) and updates which patterns are compared.
  void Push(const float* levels);
  // Per pattern, one byte: 1 while it is to be compared (valid as long as the preselector).
  const unsigned char* ActiveFlags() const { return active_.data(); }
  // The same without the lag: 1 while a distance that judges the newest blocks compares it.
  const unsigned char* NearFlags() const { return near_.data(); }
  int Count() const { return static_cast<int>(sketches_.size()); }

 private:
  static constexpr int kWidth = 8;  // floats per row: the compared bands, padded with zeros
  struct Sketch {
    int size = 0;     // chunk size index into kSizes (chunk of kSizes[size] blocks)
    int chunks = 0;   // 0: no sketch
    int lag = 0;
    bool strict = false;
    float gate = 0.0f;  // correlation above which the pattern is compared
    float unit = 0.0f;  // value of one code step
    int target = -1;    // SetTarget: the sketch whose flags this one's passing raises too
    std::size_t rows = 0;  // offset in codes_ of chunks x kWidth, chunk 0 newest, double-centred, unit norm
  };

 public:
  class Drawn {
   public:
    bool Empty() const { return !made_; }

   private:
    friend class Preselector;
    bool made_ = false;
    Sketch sketch_;
    std::vector<std::int8_t> codes_;  // chunks x kWidth
  };

 private:
  // Input chunk means of one chunk size: row-centred means ending at every block, and running
  // sums of them (per band, and of their squares) along every s-th block.
  struct Chunks {
    int size = 0;
    std::vector<float> rows;      // capacity x kWidth
    std::vector<double> sums;     // capacity x kWidth
    std::vector<double> squares;  // capacity
    // The newest block's chunks (newest first, as far back as the longest sketch reaches) in
    // 16-bit steps of `unit`, formed at block `at` for every sketch of this size.
    std::vector<std::int16_t> steps;
    float unit = 0.0f;
    std::int64_t at = -1;
  };
  float Correlate(const Sketch& s, int soon);
  void Refresh(int i);
  void Raise(int i, std::int64_t active);
  void Expire(int i, std::int64_t until);
  const Chunks& Stepped(int z);
  double Spread(int z, int chunks);

  int nband_ = 0, first_ = 0, bands_ = 0;
  PreselectTuning tuning_;
  std::vector<Sketch> sketches_;
  std::vector<std::int8_t> codes_;  // every sketch's rows, one after the other: one pass streams them
  std::vector<std::int64_t> activeUntil_;
  std::vector<unsigned char> used_;
  std::vector<unsigned char> active_;
  std::vector<std::int64_t> nearUntil_;
  std::vector<unsigned char> near_;
  std::vector<float> floored_;  // capacity x kWidth: floored input blocks
  std::vector<Chunks> chunks_;
  std::vector<double> spread_;  // per chunk size and count: Spread() of the newest block
  std::vector<std::int64_t> spreadAt_;  // ... and the block it was formed at
  // turns_[e][r]: the sketches correlated every 2^e blocks, at the blocks where count + r is a
  // multiple of 2^e. expiries_[t mod size]: the sketches to look at again at block t.
  std::vector<std::vector<std::vector<int>>> turns_;
  std::vector<std::vector<int>> expiries_;
  int capacity_ = 1;
  std::int64_t count_ = 0;
};

}  // namespace spdet

#endif
