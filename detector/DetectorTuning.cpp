// The name -> member table of DetectorTuning (sp_eval's --tune NAME=VALUE).
#include "DetectorTuning.h"

#include <climits>
#include <cstring>

#include "fnv1a.h"
#include "tuning_key.h"

namespace {

struct FloatField {
  const char* name;
  float DetectorTuning::*member;
};
struct IntField {
  const char* name;
  int DetectorTuning::*member;
};

#define SP_FIELD(name) {#name, &DetectorTuning::name}
const FloatField kFloatFields[] = {
    SP_FIELD(FloorDepth_dB),  SP_FIELD(SalientDepth_dB),  SP_FIELD(QuietWeight),        SP_FIELD(TailWeight),
    SP_FIELD(ExcessWeight),   SP_FIELD(NegativeScale),    SP_FIELD(PositiveScale),      SP_FIELD(PositiveCap),
    SP_FIELD(LengthCap),      SP_FIELD(ThresholdMin),     SP_FIELD(ThresholdMax),       SP_FIELD(BackgroundMargin),
    SP_FIELD(VerifyFactor),   SP_FIELD(VariantGate),      SP_FIELD(GateFactor),         SP_FIELD(ShiftGate),
    SP_FIELD(MinLevel_dB),    SP_FIELD(NoiseMargin_dB),   SP_FIELD(MinVisible),         SP_FIELD(ShapeMaxSpeed),
    SP_FIELD(ShapeFloorDepth_dB), SP_FIELD(ShapeThreshold), SP_FIELD(ShapeNegativeScale), SP_FIELD(ShapeGate),
    SP_FIELD(PartialMinSeen), SP_FIELD(PartialScale),     SP_FIELD(PartialGate),        SP_FIELD(PartialTail),
    SP_FIELD(PartialSketchGate), SP_FIELD(PreselectGate),
    SP_FIELD(CheckedScale),   SP_FIELD(ShapeCheckedScale),
    SP_FIELD(ReverbRt60),     SP_FIELD(ReverbDrr_dB),     SP_FIELD(ReverbOpen)};
const IntField kIntFields[] = {SP_FIELD(NoiseSegmentBlocks), SP_FIELD(NoiseSegments),      SP_FIELD(GenericMaxBlocks),
                               SP_FIELD(ShapeMinBlocks),     SP_FIELD(ShapeSegmentBlocks), SP_FIELD(ShapeFullBlocks),
                               SP_FIELD(PartialParts),       SP_FIELD(PreselectHold),      SP_FIELD(LibraryDeviations)};
#undef SP_FIELD

}  // namespace

bool SetDetectorTuning(DetectorTuning& tuning, const char* name, double value) {
  if (name == nullptr) return false;
  for (const FloatField& f : kFloatFields)
    if (std::strcmp(name, f.name) == 0) {
      tuning.*(f.member) = static_cast<float>(value);
      return true;
    }
  for (const IntField& f : kIntFields)
    if (std::strcmp(name, f.name) == 0) {
      if (!(value > INT_MIN - 1.0 && value < INT_MAX + 1.0)) return false;
      tuning.*(f.member) = static_cast<int>(value);
      return true;
    }
  return false;
}

std::uint64_t spdet::TuningKey(const DetectorTuning& tuning) {
  spdet::Fnv1a f;
  for (const FloatField& x : kFloatFields) f.Value(tuning.*(x.member));
  for (const IntField& x : kIntFields) f.Value(tuning.*(x.member));
  return f.h;
}
