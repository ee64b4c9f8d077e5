// Shape comparison of the decision layer: finds a pattern through what broadcast processing
// does to it.
//
// Compression, limiting and equalisation change the levels of a clip, band by band and over
// time, but keep the shape of each band over time (onsets, decays, the movement of energy
// between bands). The shape distance compares that shape: pattern and input are cut into pieces
// of about 64 time blocks; each piece is floored a fixed depth under its own peak (on both sides,
// so that the two keep the same dynamic range), its per-band and per-block means are removed
// (what equalisation and level changes add), and what remains is correlated. The distance is
// 1 - the correlation of all pieces together: 0 for the clip itself, about 1 for unrelated sound.
//
// Speed and tempo. Each piece is compared where it would lie if the clip played up to
// MaxSpeed faster or slower: the pieces of the pattern are moved towards (or away from) its end
// in proportion to their distance from it, at every whole-block shift of the oldest piece, and
// the best is taken. Piece values are kept for the shifts a piece can need, so trying every
// speed costs one addition per piece and speed. A pattern is therefore judged Reach() time blocks
// after the end of the window it is compared with.
//
// Cost. Every time block each piece is compared coarsely (every CoarseStride-th block); the
// exact comparison runs only where the coarse distance comes under a gate, and only at the speeds
// next to the coarse best.
#ifndef SP_DETECTOR_SHAPE_MATCH_H
#define SP_DETECTOR_SHAPE_MATCH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "../kernels/shape_window.h"

namespace spdet {

using sp::kernels::CompareShape;
using sp::kernels::DotShape;
using sp::kernels::kMaxBands;
using sp::kernels::ShapeRows;
using sp::kernels::ShapeWindow;
using sp::kernels::WindowShape;

struct ShapeTuning {
  int SegmentBlocks = 64;      // length of the pieces
  int CoarseStride = 4;        // the coarse pass compares every CoarseStride-th block of a piece
  float FloorDepth_dB = 40.0f; // levels more than this under a piece's peak are floored
  float MaxSpeed = 0.03f;      // speed or tempo change tolerated (fraction of the length)
  float MinLevel_dB = -75.0f;  // input pieces whose peak is under this are not compared
};

// What a shape comparison gives for one pattern at one time block.
struct ShapeScore {
  float Distance = 2.0f;  // 1 - correlation at the best speed (2: not compared)
  float Coarse = 2.0f;    // the coarse distance at its best speed
  int Shift = 0;          // blocks the oldest piece was moved (> 0: the input plays faster)
  std::int64_t End = 0;   // time block (1 = the first pushed) of the window's newest block
  bool Exact = false;     // Distance comes from the exact comparison
};

// The pieces of one pattern, as compared (double-centred, floored).
class ShapePattern {
 public:
  // levels: n time blocks x nband levels in dB, oldest first; bands first..last are compared.
  // Returns false when the pattern has no shape to compare (too short or flat).
  bool SetUp(const float* levels, int n, int nband, int first, int last, int minBlocks, const ShapeTuning& tuning);
  int Blocks() const { return blocks_; }
  int Reach() const { return reach_; }
  bool Usable() const { return usable_; }
  // Shift of a piece (in blocks) when the oldest piece is moved by `shift`.
  int PieceShift(int piece, int shift) const {
    return speedShifts_[static_cast<std::size_t>(piece) * static_cast<std::size_t>(padded_) +
                        static_cast<std::size_t>(shift + reach_)];
  }
  // Piece j's shifts at every speed (shift -Reach() first), SpeedsPadded() of them: the speeds
  // rounded up to whole groups of the coarse pass's kernel, the padding 0.
  const int* SpeedShifts(std::size_t piece) const {
    return speedShifts_.data() + piece * static_cast<std::size_t>(padded_);
  }
  int SpeedsPadded() const { return padded_; }
  // Fraction of the clip's length by which the input is shorter at `shift`.
  float SpeedOf(int shift) const;

  struct Plan {
    int rows = 0;                  // rows compared
    int stride = 1;                // input blocks between them
    std::vector<float> centred;    // rows x bands pattern values, double-centred
    float norm = 0.0f;             // sum of squares of centred
  };
  struct Piece {
    int newest = 0;   // blocks between the piece's newest block and the window's newest block
    int length = 0;   // blocks
    Plan coarse, exact;
  };
  const std::vector<Piece>& Pieces() const { return pieces_; }
  // A part of the pattern: its oldest `pieces` pieces alone, what a clip cut short after them
  // (or covered from there on) leaves to compare. Parts()[k - 1] holds the oldest k pieces, for k
  // up to all pieces but the newest.
  struct Part {
    int blocks = 0;
    float exactNorm = 0.0f, coarseNorm = 0.0f;
  };
  const std::vector<Part>& Parts() const { return parts_; }
  float ExactNorm() const { return exactNorm_; }
  float CoarseNorm() const { return coarseNorm_; }

 private:
  int blocks_ = 0;
  int reach_ = 0;
  int far_ = 1;  // distance of the oldest block's centre from the newest
  bool usable_ = false;
  float exactNorm_ = 0.0f, coarseNorm_ = 0.0f;
  std::vector<Piece> pieces_;
  std::vector<Part> parts_;
  int padded_ = 0;
  std::vector<int> speedShifts_;  // pieces x padded_: PieceShift, piece by piece
};

// The ShapePattern of these levels and settings (ShapePattern::SetUp's arguments): made anew, or
// the one already held in this process for the same content and settings. Read-only once made,
// so every matcher of the process with the same pattern (every station of a monitor, the plain
// and the reverberant view alike where their levels agree) holds the one copy.
std::shared_ptr<const ShapePattern> SharedShapePattern(const float* levels, int n, int nband, int first, int last,
                                                       int minBlocks, const ShapeTuning& tuning);
// ShapePatterns the process table holds alive (for tests and measurements).
std::size_t SharedShapePatternCount();

// The shape comparison of every pattern against one stream of time blocks.
class ShapeMatcher {
 public:
  // bands first..last of nband are compared; patterns are added with Add before Start.
  void Configure(int nband, int first, int last, const ShapeTuning& tuning);
  // Adds a pattern (see ShapePattern::SetUp); returns its index. Unusable patterns are kept
  // (and never compared) so that indices follow the caller's.
  int Add(const float* levels, int n, int minBlocks);
  // Allocates the rings; call after the last Add.
  void Start();
  void Reset();

  // Appends the newest time block (nband levels in dB) and compares the patterns whose gate is
  // open: gate[i] is the coarse distance under which pattern i is compared exactly (<= 0: the
  // pattern is not compared at all). A pattern whose gate opens again first catches up the
  // piece values of the blocks it missed, so it scores as if it had been compared throughout.
  // open: one byte per pattern, nonzero exactly where gate > 0.
  void Push(const float* levels, const float* gate, const unsigned char* open);
  // The same, for a matcher pushed the same blocks right after `input` (configured alike): the
  // input's sides are taken from `input`, which formed them already, while the two have seen as
  // many blocks; otherwise this matcher forms its own.
  void Push(const float* levels, const float* gate, const unsigned char* open, const ShapeMatcher* input);
  const ShapeScore& Score(int i) const { return scores_[static_cast<std::size_t>(i)]; }
  const ShapePattern& Pattern(int i) const { return *patterns_[static_cast<std::size_t>(i)]; }
  int Count() const { return static_cast<int>(patterns_.size()); }
  std::int64_t Blocks() const { return count_; }

  // The longest part of pattern i (Parts()[*part]) that passes alone, for the window Score(i)
  // was taken at: thresholds[k] is part k's (0: not tried). The coarse comparison of every part
  // at every speed in one pass; the exact one, from the longest part down, at the best speed
  // and its neighbours of each part whose coarse distance comes under its threshold + margin.
  // Parts longer than `longest` blocks are not tried. Not compared (and *part -1) when none
  // passes, or when the pattern was not compared at this block (its gate shut at the last Push).
  ShapeScore Partial(int i, const std::vector<float>& thresholds, float margin, int longest, int* part) const;

  // The exact sums of each of pattern i's pieces (newest first) for the window Score(i) was
  // taken at, its pieces moved for `shift`: the numerator and the input's sum of squares.
  void PieceSums(int i, int shift, std::vector<float>& num, std::vector<float>& norm) const;

  // Distance of pattern i against a window of levels held by the caller (rows x nband, oldest
  // first, at least the pattern's length): the exact comparison at shift 0. For calibration.
  // With parts, also the distance of each part alone (parts[k], as many as Parts()).
  float DistanceOf(int i, const float* levels, int rows, std::vector<float>* parts = nullptr) const;

 private:
  struct Sums {  // two floats in a row: the coarse pass's kernel reads them so
    float num = 0.0f, norm = 0.0f;
  };
  const float* Row(std::int64_t block) const;
  // The input side of comparing `rows` rows `step` apart, the newest at time block `newest`.
  const ShapeWindow& Window(std::int64_t newest, int rows, int step) const;
  // Pattern i at the newest block, `gate` its gate (see Push).
  void Compare(std::size_t i, float gate);
  Sums CompareAt(const ShapePattern& p, std::size_t piece, const ShapePattern::Plan& plan, std::int64_t newest) const;
  void Exact(const ShapePattern& p, std::size_t first, float own, ShapeScore& out) const;
  const Sums& History(const ShapePattern& p, std::size_t i, std::size_t j, int slot, int moved) const;
  // The speed (shift) at which pattern i's coarse distance for the window ending at `end` is
  // smallest, and that distance (the first of equals, from the slowest speed on).
  int CoarseBest(const ShapePattern& p, std::size_t i, std::int64_t end, float* distance) const;

  int nband_ = 0, first_ = 0, bands_ = 0;
  ShapeTuning tuning_;
  std::vector<std::shared_ptr<const ShapePattern>> patterns_;  // shared with the process (SharedShapePattern)
  std::vector<ShapeScore> scores_;
  std::vector<unsigned char> scored_;  // 1 where scores_ holds more than ShapeScore()
  // Coarse values of every piece at the last 2*reach+1 time blocks: history_[i][piece*span + slot].
  std::vector<std::vector<Sums>> history_;
  std::vector<std::int64_t> fresh_;  // per pattern: the last time block its history was updated
  std::vector<float> ring_;  // capacity_ rows x bands_
  struct PartBest {  // Partial: a part's coarse best so far
    float q = 0.0f;  // num * |num| / norm
    int shift = 0;
    bool found = false;
  };
  mutable std::vector<PartBest> partScratch_;
  mutable std::vector<float> shiftNum_, shiftNorm_, shiftDistance_;  // CoarseBest, per speed
  // The input sides formed lately (every compared pattern with pieces at the same distances
  // from its newest block asks for the same ones), by a hash of their windows.
  struct WindowEntry {
    std::int64_t newest = -1;
    int rows = 0, step = 0;
    ShapeWindow window;
  };
  static constexpr std::size_t kWindowEntries = 2048;
  mutable std::vector<WindowEntry> windows_;
  int capacity_ = 0;
  std::int64_t count_ = 0;
  const ShapeMatcher* input_ = nullptr;  // Push's `input` while in step with it, else null
};

}  // namespace spdet

#endif
