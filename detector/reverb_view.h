// A second, reverberant view of each pattern for the shape distance: the pattern's levels as a
// room would smear them (every band's energy decaying over RT60 after the direct sound), made at
// set-up and compared beside the plain view where the plain one comes near.
//
// Why. A clip heard in a room and recorded by a phone keeps its onsets, but every pause fills
// with the decay of what came before it: a drum phrase's gaps, which the plain pattern holds
// 30-40 dB down, stand 10-20 dB under the hits. The shape distance floors and centres each
// piece, so those filled gaps pull the correlation down by as much as a different clip would.
// Compared with the smeared pattern, the gaps match again; the plain clip and the smeared one
// differ only where the room would have changed it.
//
// Cost. The view has a shape matcher of its own, pushed every time block, but it compares a
// pattern only while the plain view's coarse distance comes under `Open` (and the pattern is
// compared at all): a few patterns at a few blocks. Its threshold is the pattern's own, lowered
// where sounds made from the smeared pattern (played backwards, halves swapped) come closer.
#ifndef SP_DETECTOR_REVERB_VIEW_H
#define SP_DETECTOR_REVERB_VIEW_H

#include <vector>

#include "shape_match.h"

namespace spdet {

struct ReverbTuning {
  float Rt60 = 0.0f;          // seconds for 60 dB of decay; 0: no reverberant view
  float Drr_dB = 0.0f;        // direct sound over the reverberant tail's energy
  float Open = 0.8f;          // compared where the plain coarse distance is under this
  float NegativeScale = 0.7f; // its threshold stays under this times its own self-made sounds' distance
};

// Smears levels (n blocks x nband, dB, oldest first) in place, as a room of the given RT60 and
// direct-to-reverberant ratio would; a block lasts blockSeconds.
void SmearLevels(float* levels, int n, int nband, float blockSeconds, float rt60, float drrDb);

class ReverbView {
 public:
  void Configure(int nband, int first, int last, const ShapeTuning& shape, const ReverbTuning& tuning,
                 float blockSeconds);
  bool Enabled() const { return tuning_.Rt60 > 0.0f; }
  // Adds the pattern that the plain matcher has at the same index (levels as given to it; null
  // when it is not compared); plainThreshold its shape threshold (0: not compared). The view's
  // threshold comes from the distance of sounds made from the pattern, smeared alike: known
  // (>= 0) from an earlier set-up, else found; *made (if given) is set to it (-1: none).
  void Add(const float* levels, int n, int minBlocks, float plainThreshold, float known = -1.0f,
           float* made = nullptr);
  // The levels of the last Add as the room smears them (SmearLevels' result for them, n x nband),
  // valid until the next Add or Start; null when that Add did not smear.
  const float* Smeared() const { return smeared_ ? scratch_.data() : nullptr; }
  void Start();
  void Reset();
  // After the plain matcher's Push of the same block: compares the patterns whose plain gate is
  // open and whose plain coarse distance came under Open.
  void Push(const float* levels, const ShapeMatcher& plain, const float* gate);
  // Plain's score of pattern i where it passes `firm` (the plain threshold: its speed and place
  // stand), else the better of it and this view's, this view's distance brought to the plain
  // threshold's scale (so that one limit judges both).
  ShapeScore Better(int i, const ShapeScore& plain, float firm) const;
  // The threshold factor of pattern i's view (its threshold / the plain one; 0: no view).
  float Factor(int i) const { return i < static_cast<int>(factor_.size()) ? factor_[static_cast<std::size_t>(i)] : 0.0f; }

 private:
  ReverbTuning tuning_;
  float blockSeconds_ = 0.0f;
  int nband_ = 0;
  ShapeMatcher matcher_;
  std::vector<float> factor_;  // per pattern: view threshold / plain threshold (0: none)
  std::vector<float> gate_;
  std::vector<unsigned char> open_;
  std::vector<float> scratch_;
  bool smeared_ = false;  // scratch_ holds the last Add's levels smeared
};

}  // namespace spdet

#endif
