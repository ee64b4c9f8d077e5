// Fuzz target: the sidecar calibration file beside a pattern, as the decision layer reads it
// when it attaches. The input is the sidecar's content. Whatever it holds, attaching must work;
// an accepted sidecar can only set a threshold a calibration of that pattern could give (between
// half the pattern's own threshold and its own), and a refused one leaves the pattern as it was.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "PatternDetector.h"
#include "fuzz_support.h"

namespace {

const spfuzz::LibraryPattern& GoodPattern() {
  static const spfuzz::LibraryPattern p = spfuzz::MakeLibraryPattern("sidecar", {900.0, 2500.0, 1400.0}, 100);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const spfuzz::LibraryPattern& good = GoodPattern();
  if (good.path.empty()) std::abort();
  if (!spfuzz::WriteBytes(good.path + ".cal", data, size)) return 0;

  SignalPattern engine;
  if (!spfuzz::SetUpRecognition(engine, good.path)) std::abort();
  PatternDetector detector;
  const char* files[] = {good.path.c_str()};
  if (!detector.Attach(&engine, files)) std::abort();
  const DetectorPattern& P = detector.Pattern(0);
  if (P.Calibrated) {
    if (!(P.Threshold >= 0.5f * P.SelfThreshold * 0.9999f && P.Threshold <= P.SelfThreshold * 1.0001f)) std::abort();
    if (!(P.BackgroundMin > 0.0f) || !std::isfinite(P.BackgroundMin)) std::abort();
  } else if (P.Threshold != P.SelfThreshold) {
    std::abort();
  }
  // A name that does not fit the buffer is refused, never cut.
  char small[8];
  PatternDetector::SidecarName(good.path.c_str(), small, sizeof small);
  if (small[0] != 0) std::abort();
  return 0;
}
