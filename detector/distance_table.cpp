// The registration table of the distances (distance.h): one line per distance, in the order the
// core runs them at every time block. A new distance is a file with its class and a factory,
// declared and listed here.
#include "distance.h"

namespace spdet {
std::unique_ptr<Distance> MakeLevelDistance();  // level_distance.cpp
std::unique_ptr<Distance> MakeShapeDistance();  // shape_distance.h

std::vector<DistanceEntry>& DistanceTable() {
  static std::vector<DistanceEntry> table = {
      {"level", &MakeLevelDistance},
      {"shape", &MakeShapeDistance},
  };
  return table;
}
}  // namespace spdet
