// A cheap screen before the quick look's comparison of two sketches (relatives.cpp): a sketch is
// rows of cells (kSketch blocks of nband levels, their mean taken off) and two are near when the
// sum of their cells' absolute differences stays under a limit. The sum of the absolute
// differences of the rows' sums is never more than that, so a pair whose row sums already differ
// by the limit (with a margin for rounding) is not near: most pairs of a catalogue are ruled out
// on 24 numbers each instead of 192, from a flat array the loop over all pairs runs through.
#ifndef SP_DETECTOR_SKETCH_SCREEN_H
#define SP_DETECTOR_SKETCH_SCREEN_H

#include <cmath>
#include <cstddef>
#include <vector>

namespace spdet {

class SketchScreen {
 public:
  // Sketches of rows of rowCells cells, added in order (the first is number 0).
  SketchScreen(int rows, int rowCells, std::size_t count);
  // Adds the row sums of a sketch (one of another size, empty among them: all rows 0; the
  // comparison rules it out whatever the screen says).
  void Add(const std::vector<float>& cells);
  // False only when sketches i and j surely differ by `limit` or more (sum of absolute differences).
  bool MayBeNear(std::size_t i, std::size_t j, float limit) const {
    const float* a = sums_.data() + i * stride_;
    const float* b = sums_.data() + j * stride_;
    // Eight running sums (vectorised by the compiler; the order of the additions is fixed).
    float acc[8] = {};
    for (std::size_t r = 0; r < stride_; r += 8)
      for (int l = 0; l < 8; ++l) acc[l] += std::fabs(a[r + l] - b[r + l]);
    const float bound = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    // The row sums are rounded to floats and the comparison adds its cells in floats: a margin of
    // a thousandth keeps every pair the comparison itself could find near.
    return bound < limit * 1.001f + 0.01f;
  }

 private:
  int rows_ = 0, rowCells_ = 0;
  std::size_t stride_ = 0;  // rows rounded up to a multiple of 8 (zeros beyond)
  std::vector<float> sums_;
};

}  // namespace spdet

#endif
