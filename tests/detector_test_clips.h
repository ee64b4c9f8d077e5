// Clips and a scan harness shared by the decision layer's tests: tone-step jingles, a
// resampled copy at another speed, a recognizer with a detector attached.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "test_support.h"

namespace {

constexpr int kBlock = 1152;

using sptest::MakePattern;

const std::vector<double> kJingle = {523, 1568, 784, 2637, 659, 3136, 1047, 440, 2093, 880, 1319, 2794, 698};
const std::vector<double> kOther = {300, 3500, 1200, 2500, 600, 1800, 2900, 400, 1000, 2200, 3300, 500, 1400};

// A clip of tone steps; `speed` > 1 plays it faster (higher and shorter), as a resampled copy.
std::vector<float> Clip(const std::vector<double>& freqs, double speed = 1.0) {
  std::vector<double> f;
  for (double x : freqs) f.push_back(x * speed);
  return sptest::ToneSteps(f, static_cast<std::size_t>(6615 / speed), 0.4);
}

using sptest::AddAt;

struct Scanner {
  SignalPattern rec;
  PatternDetector det;
  std::vector<std::string> files;
  std::vector<char*> names;

  explicit Scanner(const std::vector<std::string>& f) : files(f) {
    for (auto& s : files) names.push_back(const_cast<char*>(s.c_str()));
  }
  bool Start() {
    SigRecognitionPar par;
    par.NPattern = static_cast<int>(names.size());
    par.PatternFileNames = names.data();
    if (rec.InitSignalPattern(&par) != 1) return false;
    std::vector<const char*> c(names.begin(), names.end());
    return det.Attach(&rec, c.data()) == 1;
  }
  void Feed(const std::vector<float>& stream) {
    std::vector<std::int16_t> pcm = sptest::ToPcm16(stream);
    for (std::size_t pos = 0; pos + kBlock <= pcm.size(); pos += kBlock)
      ASSERT_GE(rec.Pattern(kBlock, pcm.data() + pos, SP_SAMPLE_S16, nullptr), 0);
  }
  std::vector<DetectorReport> Reports() {
    det.Finish();
    std::vector<DetectorReport> r;
    for (int i = 0; i < det.ReportCount(); ++i) r.push_back(*det.GetReport(i));
    return r;
  }
};

}  // namespace
