// What the detector's shape path keeps (shape_path.cpp): the shape matcher and a candidate per
// group leader.
#ifndef SP_DETECTOR_SHAPE_PATH_H
#define SP_DETECTOR_SHAPE_PATH_H

#include <cstdint>
#include <vector>

#include "PatternDetector.h"
#include "shape_match.h"

namespace spdet {
constexpr float kNotCompared = 2.0f;  // a shape distance not compared
}

struct PatternDetector::ShapeState {
  struct Candidate {
    bool active = false;
    bool armed = true;
    float z = 0.0f, score = 0.0f, prev = spdet::kNotCompared, next = spdet::kNotCompared;
    bool nextSet = false;
    int shift = 0;
    std::int64_t end = 0, confirm = 0, rearm = 0;
  };
  spdet::ShapeMatcher matcher;
  std::vector<float> gate;          // per pattern (0: not compared)
  std::vector<Candidate> candidates;  // per pattern (group leaders only)
  std::vector<float> previous;      // per pattern: exact distance at the previous window
  std::vector<float> levels;        // scratch: one pattern's levels, oldest block first
  int reach = 0;                    // longest reach of any pattern
};

#endif
