// The shape distance as a part of the decision layer (distance.h): every group leader long
// enough is also compared by the shape of its bands over time (shape_match.h), as the plain and
// the reverberant view (reverb_view.h) see it. It keeps candidates of its own, for whole and for
// partial occurrences, and reports them through the core's sink; it adds sketches of its own to
// the pre-selection (the first parts, the reverberant levels). Its work is in the files of its
// pieces: shape_path.cpp (set-up, the whole clip's candidates, the end of the stream),
// partial.cpp (partial occurrences) and reverb_sketches.cpp; its state in shape_path.h.
#ifndef SP_DETECTOR_SHAPE_DISTANCE_H
#define SP_DETECTOR_SHAPE_DISTANCE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "distance.h"
#include "shape_path.h"

namespace spdet {

struct ShapeSelfValues;

class ShapeDistance final : public Distance {
 public:
  const char* Name() const override { return "shape"; }
  void SetUp(const DistanceSetUp& s) override;  // the patterns' shape thresholds too
  void Reset() override;
  void Block(const DistanceBlock& in, const StepTable& out) override;
  void Finish(const DistanceBlock& in) override;
  int SketchReach(int i) const override;
  void AddSketches(Preselector& preselect, std::vector<float>& scratch) override;

 private:
  DetectorPattern& Pattern(int i) const { return (*s_.patterns)[static_cast<std::size_t>(i)]; }
  // Pattern i is switched on: by the engine's switch while the library compares too.
  bool Compares(int i) const {
    const TimeSpectrumEstimation* e = s_.engine;
    return s_.tuning->LibraryDeviations == 1 ? e->TVS[i] == nullptr || e->TVS[i]->fUsePattern != 0
                                             : Pattern(i).Compared != 0;
  }
  // Pattern i is compared at this time block (the pre-selection's flags with its lag).
  bool Selected(int i) const { return selected_ == nullptr || calibrating_ || selected_[i] != 0; }
  void ClipLevels(int i, float* out) const {
    spdet::ClipLevels(*s_.engine, i, Pattern(i).Nblock, s_.nband, out);
  }
  // The whole clip (shape_path.cpp).
  void ShapeDecide(int i);
  void ShapeEmit(int i);
  float ShapeGateOf(int i) const;
  void ShapeSelfCalibrate(int i, const float* own, const ShapeSelfValues* known, ShapeSelfValues* made);
  float ShapeThresholdOf(int blocks, float closest) const;
  DetectorReport ShapeReport(int i, std::int64_t end, int shift, float delta) const;
  // Partial occurrences (partial.cpp).
  void PartialThresholds(int i, const std::vector<float>& closest);
  void PartialDecide(int i);
  float SeenOfWhole(int i, int shift);
  void DrawPartSketch(int i, const float* levels);
  void AddPartialSketches(Preselector& preselect, std::vector<float>& scratch);
  int PartLead(int i) const;
  void MarkPartsDue(bool extend);
  bool PartsDue(int i) const;
  int FedBlocks(int i, std::int64_t end) const;
  std::int64_t PartsDueUntil() const;
  // The reverberant view's sketches (reverb_sketches.cpp).
  void AddReverbSketches(Preselector& preselect, std::vector<float>& scratch);

  DistanceSetUp s_;
  int n_ = 0;                                // patterns
  const unsigned char* selected_ = nullptr;  // the pre-selection's flags of the block (DistanceBlock)
  bool calibrating_ = false;                 // background audio is being measured
  std::unique_ptr<ShapeState> Shape;
};

std::unique_ptr<Distance> MakeShapeDistance();

}  // namespace spdet

#endif
