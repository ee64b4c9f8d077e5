// The decision layer's tuning: every number PatternDetector decides with, as one value with the
// defaults that suit the standard geometry. What each one does in the decision: docs/detector.md.
#ifndef SP_DETECTORTUNING_H
#define SP_DETECTORTUNING_H

#include "sp_types.h"

struct SP_API DetectorTuning {
  // Level distance.
  float FloorDepth_dB = 30.0f;    // pattern levels more than this under its peak are floored
  float SalientDepth_dB = 20.0f;  // pattern cells within this depth under its peak are salient
  float QuietWeight = 0.5f;       // weight of the other cells
  float TailWeight = 0.5f;        // weight of the pattern's second newest block (the newest: 0)
  float ExcessWeight = 0.2f;      // weight of a level above the pattern's (a level below weighs 1)
  // Self threshold.
  float NegativeScale = 0.5f;     // self threshold = NegativeScale * closest self-negative distance
  float PositiveScale = 1.6f;     // ... raised towards PositiveScale * worst self-positive distance
  float PositiveCap = 0.6f;       // ... but never above PositiveCap * closest self-negative distance
  float LengthCap = 0.2f;         // self threshold at most LengthCap * sqrt(Nblock)
  float ThresholdMin = 0.3f;      // limits of the self threshold (dB)
  float ThresholdMax = 6.0f;
  float BackgroundMargin = 0.8f;  // background threshold = margin * smallest background distance
  // Candidates.
  float VerifyFactor = 4.5f;      // a candidate's worst quarter must stay under factor * threshold
  float VariantGate = 4.0f;       // variants are compared while their leader's score < gate * threshold
  float GateFactor = 2.0f;        // sub-block alignments are tried where a score < factor * threshold
  float ShiftGate = 1.5f;         // ... or < threshold + ShiftGate * the pattern's ShiftDistance
  float MinLevel_dB = -75.0f;     // segments whose aligned level is under this (dB) are not compared
  // A pattern whose reports a finer check confirms after the detector (SetChecked) is also taken
  // as a candidate up to CheckedScale times its threshold (and VerifyFactor); such reports are
  // tentative: they stand only when that check confirms them.
  float CheckedScale = 1.5f;
  // Background: per band, the lowest level of the input over the last NoiseSegments segments of
  // NoiseSegmentBlocks time blocks each. Pattern cells that the background would cover (the
  // pattern brought to the input's level stays under it + NoiseMargin_dB) are not compared. At
  // least MinVisible of the pattern's salient cells must stay visible. NoiseSegments 0: off.
  int NoiseSegmentBlocks = 77;
  int NoiseSegments = 6;
  float NoiseMargin_dB = 8.0f;
  float MinVisible = 0.4f;
  // Patterns of up to GenericMaxBlocks time blocks are also compared with common sound events.
  int GenericMaxBlocks = 64;
  // Shape distance (detector/shape_match.h) for patterns of at least ShapeMinBlocks time blocks,
  // at speeds up to ShapeMaxSpeed off; ShapeMinBlocks 0 turns it off.
  int ShapeMinBlocks = 128;
  int ShapeSegmentBlocks = 64;
  int ShapeFullBlocks = 512;      // patterns shorter than this get ShapeThreshold * sqrt(length / this)
  float ShapeMaxSpeed = 0.065f;
  float ShapeFloorDepth_dB = 40.0f;
  float ShapeThreshold = 0.40f;
  float ShapeNegativeScale = 0.7f;
  float ShapeGate = 0.15f;        // exact shape comparison where the coarse one is under threshold + gate
  // A checked pattern's shape candidates are also taken up to ShapeCheckedScale times its shape
  // threshold, reported tentative (as CheckedScale does for the level distance).
  float ShapeCheckedScale = 2.0f;
  // A reverberant view of each pattern for the shape distance (detector/reverb_view.h): its
  // levels smeared as a room of ReverbRt60 seconds (0: none) and a direct-to-reverberant ratio of
  // ReverbDrr_dB would, compared where the plain view's coarse distance is under ReverbOpen.
  float ReverbRt60 = 0.55f;
  float ReverbDrr_dB = 0.0f;
  float ReverbOpen = 0.8f;
  // Partial occurrences (a clip cut short, or covered from some point on): the shape distance of
  // the clip's first part alone, reported when at least PartialMinSeen of the clip (and
  // ShapeMinBlocks time blocks) was seen; up to PartialParts parts of a pattern are tried, their
  // thresholds scaled by PartialScale, where the whole clip's coarse shape distance comes under
  // PartialGate (the part seen pulls it down). PartialMinSeen >= 1 reports whole occurrences only.
  float PartialMinSeen = 0.5f;
  float PartialScale = 1.0f;
  int PartialParts = 8;
  float PartialGate = 0.8f;       // parts are compared where the whole clip's coarse distance is under this
  float PartialTail = 0.15f;      // a whole match whose newest pieces correlate under this is partial
  // With the pre-selection, a pattern is compared for parts where the sketch of its first part
  // correlated above this, the time the whole clip would have taken before.
  float PartialSketchGate = 0.45f;
  // Pre-selection (detector/preselect.h); PreselectGate <= -1 compares every pattern at every block.
  float PreselectGate = 0.3f;
  int PreselectHold = 8;
  // 0: the detector decides alone (Attach switches the library's own comparison off, Detach back
  // on; reports carry rel_dev 2). 1: the library keeps comparing and reports carry its deviations.
  // 2: the library's comparison is switched off as with 0, and a report carries the deviations
  // the library would have given its pattern at that block, computed for it alone (the same
  // values as 1 at a fraction of the cost); with the engine's statistics or test data on, 2
  // works as 1.
  int LibraryDeviations = 1;
};

// Sets the tuning value called `name` (a member's name above). Returns false for an unknown
// name or a value out of an integer member's range; an integer member takes the value truncated.
SP_API bool SetDetectorTuning(DetectorTuning& tuning, const char* name, double value);

#endif
