// The screen before the quick look: see sketch_screen.h.
#include "sketch_screen.h"

namespace spdet {

SketchScreen::SketchScreen(int rows, int rowCells, std::size_t count)
    : rows_(rows > 0 ? rows : 0), rowCells_(rowCells > 0 ? rowCells : 0) {
  stride_ = (static_cast<std::size_t>(rows_) + 7) / 8 * 8;
  sums_.reserve(count * stride_);
}

void SketchScreen::Add(const std::vector<float>& cells) {
  const std::size_t at = sums_.size();
  sums_.resize(at + stride_, 0.0f);
  if (rowCells_ == 0 || cells.size() != static_cast<std::size_t>(rows_) * static_cast<std::size_t>(rowCells_)) return;
  for (int r = 0; r < rows_; ++r) {
    double sum = 0.0;
    for (int c = 0; c < rowCells_; ++c) sum += cells[static_cast<std::size_t>(r) * static_cast<std::size_t>(rowCells_) + c];
    sums_[at + static_cast<std::size_t>(r)] = static_cast<float>(sum);
  }
}

}  // namespace spdet
