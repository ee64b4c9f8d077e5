// The calibrator's thresholds from the pattern itself: each pattern against distorted copies of itself
// and against sounds that share its make-up but are not it (docs/detector.md, "Per-pattern
// threshold from the pattern itself"), with a process-wide table of the results and a cache of
// them on disk, so that setting up the same patterns again, in this process or another, does
// not repeat the work.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "calibrator.h"
#include "background.h"
#include "calibration_file.h"
#include "fnv1a.h"
#include "level_kernel.h"
#include "recent_table.h"

using spdet::kNoBackground;
using spdet::kNotEvaluated;
using spdet::LevelDb;

namespace {

constexpr float kNoiseDip_dB = 4.0f;  // lowest block level of steady noise under its mean

// Self-calibrations already made in this process, by a hash of everything they depend on (the
// pattern's spectrum, the geometry and the tuning): a program that sets up the same patterns
// again (for every input file, every day) does not repeat the work. Bounded by recent use
// (recent_table.h); shared by threads.
struct SelfResult {
  int Nblock;
  float Positive, Negative, Shift, Threshold;
};
spdet::RecentTable<SelfResult>& SelfResults() {
  static spdet::RecentTable<SelfResult> results(std::size_t{1} << 18);
  return results;
}

// Version of the cache entries' meaning, in their keys: raise it when the self calibration
// gives other values for the same pattern and tuning (the build's identity in the key also
// keeps a rebuilt library from older entries).
constexpr std::uint64_t kSelfCacheVersion = 1;

}  // namespace

std::uint64_t spdet::Calibrator::SelfKey(int i) const {
  const DetectorPattern& P = (*s_.patterns)[i];
  const SignalTVSEx* T = s_.engine->TVS[i];
  spdet::Fnv1a f;
  f.Value(P.Nblock);
  f.Value(s_.nband);
  f.Value(s_.steps);
  f.Value(s_.engine->BandFirst);
  f.Value(s_.engine->BandLast);
  const DetectorTuning& t = *s_.tuning;
  const float tuning[] = {t.FloorDepth_dB, t.SalientDepth_dB, t.QuietWeight,   t.TailWeight,     t.ExcessWeight,
                          t.NegativeScale, t.PositiveScale,   t.PositiveCap,   t.LengthCap,      t.ThresholdMin,
                          t.ThresholdMax,  t.NoiseMargin_dB,  t.MinVisible,    static_cast<float>(t.GenericMaxBlocks)};
  f.Bytes(tuning, sizeof tuning);
  f.Bytes(T->SpectrumByBand, sizeof(float) * static_cast<std::size_t>(P.Nblock) * static_cast<std::size_t>(s_.nband));
  return f.h;
}

void spdet::Calibrator::SetUp(const Over& over) {
  s_ = over;
  input_.resize(static_cast<std::size_t>(over.longest) * static_cast<std::size_t>(over.nband));
  blockPtr_.resize(static_cast<std::size_t>(over.longest));
  scratch_.resize(4 * static_cast<std::size_t>(over.nband));
}

void spdet::Calibrator::Release() {
  const double blocks = blocks_;
  const int mode = mode_;
  s_ = Over();
  input_ = {};
  blockPtr_ = {};
  scratch_ = {};
  blocks_ = blocks;
  mode_ = mode;
}

std::string spdet::Calibrator::CacheDirectory() const {
  return spdet::CacheDirectory(cacheChosen_ ? cacheChoice_.c_str() : nullptr);
}

void spdet::Calibrator::SetCacheDirectory(const char* directory) {
  try {
    cacheChosen_ = directory != nullptr;
    cacheChoice_ = directory != nullptr ? directory : "";
  } catch (...) {
    cacheChosen_ = true;  // no memory for the name: no cache
    cacheChoice_.clear();
  }
}

void spdet::Calibrator::SelfCalibrate(int i) {
  DetectorPattern& P = (*s_.patterns)[i];
  if (P.Nblock < 1) return;
  const std::uint64_t key = SelfKey(i);
  SelfResult r{};
  bool known = false;
  try {
    known = SelfResults().Find(key, r) && r.Nblock == P.Nblock;
  } catch (...) {
    // No lock or no memory for the table: the cache on disk, or calibrate anew.
  }
  // The entry on disk: keyed by the same hash, the cache's version and the build of the library.
  static const std::uint64_t build = spdet::BuildIdentity();
  std::uint64_t diskKey = 0;
  std::string entry;
  if (!known && build != 0) {
    spdet::Fnv1a f;
    f.Value(key);
    f.Value(kSelfCacheVersion);
    f.Value(build);
    diskKey = f.h;
    try {
      entry = spdet::SelfCalibrationEntryName(CacheDirectory(), diskKey);
      spdet::SelfCalibrationRecord e;
      // Only an entry of this key and length with values a calibration can give; anything else
      // is calibrated anew and written over.
      known = spdet::ReadSelfCalibration(entry, e) && e.key == diskKey && e.nblock == P.Nblock &&
              std::isfinite(e.positive) && e.positive >= 0.0f && std::isfinite(e.negative) && e.negative >= 0.0f &&
              std::isfinite(e.shift) && e.shift >= 0.0f && e.threshold >= 0.0f && e.threshold <= s_.tuning->ThresholdMax;
      if (known) r = SelfResult{e.nblock, e.positive, e.negative, e.shift, e.threshold};
    } catch (...) {
      entry.clear();
    }
  }
  if (known) {
    P.SelfPositive = r.Positive;
    P.SelfNegative = r.Negative;
    P.ShiftDistance = r.Shift;
    P.SelfThreshold = P.Threshold = r.Threshold;
  } else {
    SelfCalibrateNow(i);
    r = SelfResult{P.Nblock, P.SelfPositive, P.SelfNegative, P.ShiftDistance, P.SelfThreshold};
    try {
      if (!entry.empty())
        spdet::WriteSelfCalibration(entry, spdet::SelfCalibrationRecord{diskKey, r.Nblock, r.Positive, r.Negative,
                                                                        r.Shift, r.Threshold});
    } catch (...) {
    }
  }
  try {
    SelfResults().Keep(key, r);
  } catch (...) {
  }
}

// The level distance of pattern P at the made-up input, with the background it pretends (noise).
float spdet::Calibrator::SelfDistance(const spdet::LevelPattern& P, const float* const* blocks) {
  const float gain = spdet::LevelGain(P, s_.nband, blocks, s_.noise, *s_.tuning, scratch_.data());
  return spdet::LevelDistanceAt(P, s_.nband, blocks, gain, s_.noise, *s_.tuning, scratch_.data(), nullptr);
}

void spdet::Calibrator::SelfCalibrateNow(int i) {
  DetectorPattern& P = (*s_.patterns)[i];
  const spdet::LevelPattern& L = *(*s_.levels)[static_cast<std::size_t>(i)];
  SignalTVSEx* T = s_.engine->TVS[i];
  const int N = P.Nblock;
  const float* sp = T->SpectrumByBand;  // band-major
  for (int b = 0; b < s_.nband; ++b) s_.noise[b] = kNoBackground;
  float* seg = input_.data();                    // block-major synthetic input
  const float** ptr = blockPtr_.data();
  for (int k = 0; k < N; ++k) ptr[k] = seg + static_cast<long>(k) * s_.nband;
  double mean = 0.0;
  for (long n = 0; n < static_cast<long>(N) * s_.nband; ++n) mean += sp[n];
  mean /= static_cast<double>(N) * s_.nband;

  // Distortions that an occurrence shows: a misalignment (half an alignment step: an eighth
  // of a block with four alignments per block, else half a block), a noise floor 15 dB under
  // the pattern's mean power, and both together with a 20 dB floor.
  const float frac = s_.steps > 1 ? 0.5f / s_.steps : 0.5f;
  const float noise[3] = {0.0f, static_cast<float>(mean * 0.0316), static_cast<float>(mean * 0.01)};
  const int shift[3] = {1, 0, 1};
  float worst = 0.0f;
  for (int t = 0; t < 3; ++t) {
    for (int b = 0; b < s_.nband; ++b) {
      const float* p = sp + static_cast<long>(b) * N;
      for (int k = 0; k < N; ++k) {
        float v = p[k];
        if (shift[t] && k + 1 < N) v = (1.0f - frac) * p[k] + frac * p[k + 1];
        seg[static_cast<long>(k) * s_.nband + b] = LevelDb(v + noise[t]);
      }
      // The background the detector would have measured before such an occurrence: the
      // noise's lowest block levels, a few dB under its mean.
      s_.noise[b] = noise[t] > 0.0f ? LevelDb(noise[t]) - kNoiseDip_dB : kNoBackground;
    }
    const float d = SelfDistance(L, ptr);
    if (d > worst) worst = d;
  }
  for (int b = 0; b < s_.nband; ++b) s_.noise[b] = kNoBackground;
  P.SelfPositive = worst;

  // How fast the distance grows with misalignment: the pattern one time block off.
  for (int b = 0; b < s_.nband; ++b) {
    const float* p = sp + static_cast<long>(b) * N;
    for (int k = 0; k < N; ++k)
      seg[static_cast<long>(k) * s_.nband + b] = LevelDb(k + 1 < N ? p[k + 1] : p[k]);
  }
  P.ShiftDistance = SelfDistance(L, ptr);

  // Sounds that are not the pattern but share its make-up: the pattern played backwards, its
  // two halves swapped, its average spectrum held still, and a flat spectrum.
  float closest = kNotEvaluated;
  for (int t = 0; t < 4; ++t) {
    for (int b = 0; b < s_.nband; ++b) {
      const float* p = sp + static_cast<long>(b) * N;
      double bandMean = 0.0;
      for (int k = 0; k < N; ++k) bandMean += p[k];
      bandMean /= N;
      for (int k = 0; k < N; ++k) {
        float v;
        if (t == 0) v = p[N - 1 - k];
        else if (t == 1) v = p[(k + N / 2) % N];
        else if (t == 2) v = static_cast<float>(bandMean);
        else v = static_cast<float>(mean);
        seg[static_cast<long>(k) * s_.nband + b] = LevelDb(v);
      }
    }
    const float d = SelfDistance(L, ptr);
    if (d < closest) closest = d;
  }
  const float generic = GenericNegative(i);
  if (generic < closest) closest = generic;
  P.SelfNegative = closest;

  // Under the closest self-negative by a margin; raised towards what the distortions need,
  // within a cap under the self-negative. A short pattern compares few cells, so chance
  // matches come closer: its threshold is also capped in proportion to the root of its length.
  float thr = s_.tuning->NegativeScale * closest;
  const float pos = s_.tuning->PositiveScale * worst;
  const float cap = s_.tuning->PositiveCap * closest;
  if (pos > thr) thr = pos < cap ? pos : (cap > thr ? cap : thr);
  const float lengthCap = s_.tuning->LengthCap * std::sqrt(static_cast<float>(N));
  if (thr > lengthCap) thr = lengthCap;
  // The lower limit never lifts the threshold towards what a sound that is not the pattern
  // reaches.
  const float negative = s_.tuning->NegativeScale * closest;
  const float low = s_.tuning->ThresholdMin < negative ? s_.tuning->ThresholdMin : negative;
  if (thr < low) thr = low;
  if (thr > s_.tuning->ThresholdMax) thr = s_.tuning->ThresholdMax;
  P.SelfThreshold = thr;
  P.Threshold = thr;
}

// The smallest distance of a short pattern from common sound events that any stream holds:
// a tone, a pair of bands or broadband sound of a few colours, struck (decaying at one of
// several rates or falling fast and ringing on, a tone with or without a click) or held for a
// while, starting where the pattern starts. A pattern close to one
// of them (a lone beep, a drum hit, a click) is not distinctive, and its threshold must stay
// well under that distance. kNotEvaluated for long patterns and when disabled.
float spdet::Calibrator::GenericNegative(int i) {
  const int N = (*s_.patterns)[i].Nblock;
  if (N < 1 || N > s_.tuning->GenericMaxBlocks) return kNotEvaluated;
  const spdet::LevelPattern& L = *(*s_.levels)[static_cast<std::size_t>(i)];
  const float* sp = s_.engine->TVS[i]->SpectrumByBand;  // band-major, block 0 newest
  // Onset: the first block (in time) within 20 dB of the loudest block.
  auto power = [&](int k) {
    float e = 0.0f;
    for (int b = 0; b < s_.nband; ++b) e += sp[static_cast<long>(b) * N + k];
    return e;
  };
  float peak = 0.0f;
  for (int k = 0; k < N; ++k) peak = std::max(peak, power(k));
  if (!(peak > 0.0f)) return kNotEvaluated;
  int onset = 0;  // in time order: block N - 1 - onset of the pattern
  while (onset < N - 1 && power(N - 1 - onset) < 0.01f * peak) ++onset;

  float* seg = input_.data();
  const float** ptr = blockPtr_.data();
  for (int k = 0; k < N; ++k) ptr[k] = seg + static_cast<long>(k) * s_.nband;
  float* shape = scratch_.data() + 2 * s_.nband;    // nband powers of the event's spectrum
  float* shapeDb = scratch_.data() + 3 * s_.nband;  // and their levels
  // Falling (drums, thuds) and rising (hiss, clicks) slopes of broadband sound, dB per band.
  static const float kSlope[] = {-1.5f, -3.0f, -6.0f, -10.0f, 3.0f, 6.0f};
  const int nSlope = static_cast<int>(sizeof kSlope / sizeof kSlope[0]);
  const int nShapes = 2 * s_.nband + nSlope;
  static const float kDecay[] = {0.5f, 1.0f, 2.0f, 4.0f, 8.0f, 16.0f, 32.0f};
  static const int kHold[] = {2, 3, 4, 6, 8, 12, 16, 24, 32, 48};
  // Struck sounds that fall fast and then ring on: a fast decay plus a slower one.
  static const float kRing[][3] = {{0.5f, 4.0f, 0.1f},  {0.5f, 8.0f, 0.1f},  {0.5f, 16.0f, 0.1f},
                                   {1.0f, 4.0f, 0.1f},  {1.0f, 8.0f, 0.1f},  {1.0f, 16.0f, 0.1f},
                                   {0.5f, 4.0f, 0.03f}, {0.5f, 8.0f, 0.03f}, {0.5f, 16.0f, 0.03f},
                                   {1.0f, 4.0f, 0.03f}, {1.0f, 8.0f, 0.03f}, {1.0f, 16.0f, 0.03f}};
  const int nRing = static_cast<int>(sizeof kRing / sizeof kRing[0]);
  const int nDecay = static_cast<int>(sizeof kDecay / sizeof kDecay[0]);
  const int nHold = static_cast<int>(sizeof kHold / sizeof kHold[0]);
  float closest = kNotEvaluated;
  for (int sh = 0; sh < nShapes; ++sh) {
    // One band, two neighbouring bands, flat, sloping.
    for (int b = 0; b < s_.nband; ++b) {
      float v;
      if (sh < s_.nband) v = b == sh ? 1.0f : 1.0e-4f;
      else if (sh < 2 * s_.nband - 1) v = (b == sh - s_.nband || b == sh - s_.nband + 1) ? 1.0f : 1.0e-4f;
      else if (sh == 2 * s_.nband - 1) v = 1.0f;
      else v = std::pow(10.0f, 0.1f * kSlope[sh - 2 * s_.nband] * static_cast<float>(b));
      shape[b] = v;
      shapeDb[b] = LevelDb(v);
    }
    // A struck tone may start with a broadband click (a drum's beater, a plucked string).
    const bool tonal = sh < 2 * s_.nband - 1;
    for (int start = onset - 1; start <= onset + 1; ++start) {
      if (start < 0) continue;
      for (int env = 0; env < nDecay + nHold + nRing; ++env) {
        const bool held = env >= nDecay && env < nDecay + nHold;
        for (int c = 0; c < 3; ++c) {
          if (c > 0 && (!tonal || env >= nDecay)) break;
          const float clickLevel = c == 0 ? 0.0f : (c == 1 ? 0.3f : 0.05f);
          for (int k = 0; k < N; ++k) {
            const int t = N - 1 - k - start;  // blocks since the event began
            float a, click = 0.0f;
            if (t < 0) a = 1.0e-6f;
            else if (held) {
              const int hold = kHold[env - nDecay];
              a = t < hold ? 1.0f : std::exp(-static_cast<float>(t - hold + 1));
            } else {
              if (env < nDecay) a = std::exp(-static_cast<float>(t) / kDecay[env]);
              else {
                const float* r = kRing[env - nDecay - nHold];
                a = (1.0f - r[2]) * std::exp(-static_cast<float>(t) / r[0]) + r[2] * std::exp(-static_cast<float>(t) / r[1]);
              }
              click = clickLevel * std::exp(-static_cast<float>(t) / 0.7f);
            }
            if (a < 1.0e-6f) a = 1.0e-6f;
            float* row = seg + static_cast<long>(k) * s_.nband;
            if (c == 0) {
              const float aDb = LevelDb(a);  // levels add in dB: one logarithm per block
              for (int b = 0; b < s_.nband; ++b) row[b] = aDb + shapeDb[b];
            } else {
              for (int b = 0; b < s_.nband; ++b) row[b] = LevelDb(a * shape[b] + click);
            }
          }
          const float d = SelfDistance(L, ptr);
          if (d < closest) closest = d;
        }
      }
    }
  }
  return closest;
}
