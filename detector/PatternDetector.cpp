// PatternDetector's face: every call goes to the decision layer behind it (detector_core.h), so
// that the public header carries the API and one pointer, and no change inside detector/ changes
// what clients compile against.
#include "PatternDetector.h"

#include "detector_core.h"

using spdet::DetectorCore;

PatternDetector::PatternDetector() : Core(std::make_unique<DetectorCore>(this)) {}
PatternDetector::~PatternDetector() = default;

void PatternDetector::SetTuning(const DetectorTuning& tuning) { Core->SetTuning(tuning); }
const DetectorTuning& PatternDetector::GetTuning() const { return Core->GetTuning(); }
void PatternDetector::SetCacheDirectory(const char* directory) { Core->SetCacheDirectory(directory); }

int PatternDetector::Attach(TimeSpectrumEstimation* engine, const char* const* patternFiles) {
  return Core->Attach(engine, patternFiles);
}
void PatternDetector::Detach() { Core->Detach(); }
void PatternDetector::Reset(std::int64_t samplesFedBefore) { Core->Reset(samplesFedBefore); }

int PatternDetector::SetGroup(int pattern, int group, float speedPercent) { return Core->SetGroup(pattern, group, speedPercent); }
int PatternDetector::SetChecked(int pattern, int checked) { return Core->SetChecked(pattern, checked); }
int PatternDetector::GroupBySpeedNames(const char* const* patternFiles) { return Core->GroupBySpeedNames(patternFiles); }

int PatternDetector::Finish() { return Core->Finish(); }
int PatternDetector::ReportCount() const { return Core->ReportCount(); }
const DetectorReport* PatternDetector::GetReport(int i) const { return Core->GetReport(i); }
void PatternDetector::ClearReports() { Core->ClearReports(); }
void PatternDetector::SetBlockCallback(BlockCallback fn, void* context) { Core->SetBlockCallback(fn, context); }

int PatternDetector::BeginBackgroundCalibration() { return Core->BeginBackgroundCalibration(); }
int PatternDetector::EndBackgroundCalibration() { return Core->EndBackgroundCalibration(); }
int PatternDetector::CalibrateFromBackground(const float* minimum, double seconds) {
  return Core->CalibrateFromBackground(minimum, seconds);
}
double PatternDetector::CalibrationSeconds() const { return Core->CalibrationSeconds(); }
int PatternDetector::SaveCalibration(int pattern, const char* patternFile) { return Core->SaveCalibration(pattern, patternFile); }
int PatternDetector::LoadCalibration(int pattern, const char* patternFile) { return Core->LoadCalibration(pattern, patternFile); }
void PatternDetector::SidecarName(const char* patternFile, char* out, int outSize) {
  DetectorCore::SidecarName(patternFile, out, outSize);
}

int PatternDetector::PatternCount() const { return Core->PatternCount(); }
const DetectorPattern& PatternDetector::Pattern(int i) const { return Core->Pattern(i); }
int PatternDetector::BlockSamples() const { return Core->BlockSamples(); }
int PatternDetector::StepsPerBlock() const { return Core->StepsPerBlock(); }
int PatternDetector::DelayToBlockEnd() const { return Core->DelayToBlockEnd(); }
std::int64_t PatternDetector::BlocksSeen() const { return Core->BlocksSeen(); }
int PatternDetector::RelativeCount(int i) const { return Core->RelativeCount(i); }
int PatternDetector::GetRelative(int i, int k, DetectorRelative& out) const { return Core->GetRelative(i, k, out); }
float PatternDetector::StepScoreOf(int i, int step) const { return Core->StepScoreOf(i, step); }
