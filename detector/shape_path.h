// What the shape distance keeps (shape_distance.h; shape_path.cpp, partial.cpp): the shape
// matcher and a candidate per group leader, for whole and for partial occurrences.
#ifndef SP_DETECTOR_SHAPE_PATH_H
#define SP_DETECTOR_SHAPE_PATH_H

#include <cstdint>
#include <vector>

#include "preselect.h"
#include "reverb_view.h"
#include "shape_match.h"

namespace spdet {
constexpr float kNotCompared = 2.0f;  // a shape distance not compared
// A pattern (or part) whose shape comes this close to sounds that are not it is left to the
// level path.
constexpr float kLowestShapeThreshold = 0.15f;

struct ShapeState {
  struct Candidate {
    bool active = false;
    bool armed = true;
    float z = 0.0f, score = 0.0f, prev = kNotCompared, next = kNotCompared;
    bool nextSet = false;
    int shift = 0;
    std::int64_t end = 0, confirm = 0, rearm = 0;
    float seen = 1.0f;  // fraction of the clip found at the best (SeenOfWhole)
    bool left = false;  // the distance left the threshold since the best
  };
  // A partial occurrence being decided: the best part seen so far (shape_match.h, Parts()).
  struct Partial {
    bool active = false;
    bool armed = true;
    float z = 0.0f, score = 0.0f, threshold = 0.0f;
    int part = 0, shift = 0;
    float seen = 0.0f;  // the fraction heard (cut_point.cpp)
    std::int64_t end = 0, confirm = 0, rearm = 0;
  };
  ShapeMatcher matcher;
  ReverbView reverb;  // the patterns as a room smears them (reverb_view.h)
  std::vector<float> gate;          // per pattern (0: not compared)
  std::vector<unsigned char> open;  // per pattern: 1 where gate > 0 (scanned sixteen at a time)
  void SetGate(std::size_t i, float g) {
    gate[i] = g;
    open[i] = g > 0.0f ? 1 : 0;
  }
  std::vector<Candidate> candidates;  // per pattern (group leaders only)
  std::vector<Candidate> following;   // per pattern: the next occurrence while the candidate waits
  std::vector<std::vector<float>> partThreshold;  // per pattern, per part: threshold (0: not tried)
  // Per pattern: its reverberant sketch, drawn at set-up from the view's smeared levels (empty:
  // none drawn; AddReverbSketches then smears the levels itself).
  std::vector<Preselector::Drawn> reverbSketch;
  // ... and the sketch of its shortest part worth a report, drawn from its levels (partial.cpp).
  std::vector<Preselector::Drawn> partSketch;
  std::vector<Partial> partials;    // per pattern (group leaders only)
  int partialsActive = 0;           // partials with active set
  int candidatesActive = 0;         // whole candidates with active set
  std::vector<unsigned char> shown;  // per pattern: its ShapeScore was set from a comparison
  // A pattern with a sketch of its first part in the pre-selection, and the blocks at which it
  // is compared for a part seen (partial.cpp, MarkPartsDue).
  struct PartWindow {
    int pattern = 0;
    int lead = 0;    // blocks from the end of that part to the clip's end
    std::int64_t from = 0, until = -1;
    bool listed = false;  // in partListed
  };
  std::vector<PartWindow> partWindows;
  int partSketches = 0;  // the pre-selection's sketch of partWindows[k]'s first part: partSketches + k
  std::vector<int> partListed;  // the windows not yet past, in no order
  std::vector<unsigned char> partDue;  // per pattern: 1 while compared for a part seen
  std::vector<float> pieceNum, pieceNorm;  // scratch: one pattern's sums per piece
  std::vector<float> previous;      // per pattern: exact distance at the previous window
  std::vector<float> levels;        // scratch: one pattern's levels, oldest block first
  int reach = 0;                    // longest reach of any pattern
  std::int64_t inputEnd = -1;       // after the input's end (Finish): its last block
};
}  // namespace spdet

#endif
