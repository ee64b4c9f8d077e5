// The decision layer: per-block distances of every pattern at sub-block alignments, local
// minima, per-pattern thresholds, pattern groups and the report list.
// The design as a whole: docs/detector.md.
//
// Distance. Pattern and input are compared as levels in dB per (band, time block) cell. The
// input segment is first brought to the pattern's level (the mean level difference over the
// pattern's salient cells, counting cells raised by other sound at the first estimate), both
// are floored FloorDepth_dB under the pattern's peak, and each cell contributes its level
// difference: fully where the input is quieter than the pattern (energy of the clip is
// missing), ExcessWeight of it where the input is louder (other sound under the clip adds
// energy). The distance is the weighted mean in dB.
//
// Background. Per band, the lowest level of the input over the last few seconds: pattern cells
// that this background (as it was before an occurrence began) would cover are not compared, and
// the level estimate uses only input cells that stand out of it.
//
// Alignment. The engine's time blocks start every 576 samples; an occurrence starts anywhere.
// The detector keeps sums of quarter hops of the filter-bank frames, so it can form the
// 1152-sample averages ending at every quarter hop (144 samples) and compare a pattern at four
// alignments per time block, where the coarse one comes near the threshold.
#include "PatternDetector.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "preselect.h"
#include "sp_helpers.h"

namespace {

constexpr float kNotEvaluated = 1.0e9f;
constexpr float kTiny = 1.0e-12f;
constexpr float kNoBackground = -1.0e30f;
constexpr float kAboveAll = 1.0e30f;
constexpr float kNoiseDip_dB = 4.0f;  // lowest block level of steady noise under its mean

inline float LevelDb(float power) { return 10.0f * std::log10(power > kTiny ? power : kTiny); }

template <typename T>
void Free(T*& p) {
  delete[] p;
  p = nullptr;
}

}  // namespace

PatternDetector::PatternDetector()
    : FloorDepth_dB(30.0f),
      SalientDepth_dB(20.0f),
      QuietWeight(0.5f),
      TailWeight(0.5f),
      ExcessWeight(0.2f),
      NegativeScale(0.5f),
      PositiveScale(1.6f),
      PositiveCap(0.6f),
      LengthCap(0.2f),
      ThresholdMin(0.3f),
      ThresholdMax(6.0f),
      BackgroundMargin(0.8f),
      VerifyFactor(4.5f),
      VariantGate(4.0f),
      GateFactor(2.0f),
      ShiftGate(1.5f),
      MinLevel_dB(-75.0f),
      NoiseSegmentBlocks(77),
      NoiseSegments(6),
      NoiseMargin_dB(8.0f),
      MinVisible(0.4f),
      GenericMaxBlocks(64),
      ShapeMinBlocks(128),
      ShapeSegmentBlocks(64),
      ShapeFullBlocks(512),
      ShapeMaxSpeed(0.03f),
      ShapeFloorDepth_dB(40.0f),
      ShapeThreshold(0.40f),
      ShapeNegativeScale(0.7f),
      ShapeGate(0.15f),
      PreselectGate(0.3f),
      PreselectHold(24),
      LibraryDeviations(1),
      Engine(nullptr),
      NPattern(0),
      Nband(0),
      NsampleBlock(0),
      DelaySamples(0),
      SubSteps(1),
      SubFrames(0),
      SubPerAvg(0),
      FrameAvg(0),
      FrameHop(0),
      Patterns(nullptr),
      RingLength(0),
      LogRing(nullptr),
      RingPos(0),
      SubSums(nullptr),
      SubPos(0),
      StepScore(nullptr),
      NoiseSeg(nullptr),
      NoiseCur(nullptr),
      NoiseHist(nullptr),
      Noise(nullptr),
      NoiseHistLength(0),
      NoiseSegCapacity(0),
      NoiseSegPos(0),
      NoiseSegFill(0),
      NoiseCount(0),
      Blocks(0),
      Origin(0),
      CalibrationMode(0),
      CalibrationBlocks(0.0),
      Candidates(nullptr),
      StepVerify(nullptr),
      GroupStart(nullptr),
      GroupMembers(nullptr),
      LeaderNear(nullptr),
      PrevScore(nullptr),
      BandScratch(nullptr),
      Work(nullptr),
      BlockPtr(nullptr),
      WorkReady(nullptr),
      Longest(0),
      Reports(nullptr),
      NReport(0),
      CapReport(0),
      OnBlock(nullptr),
      OnBlockContext(nullptr),
      Shape(nullptr),
      Preselect(nullptr),
      SelectFlags(nullptr) {}

PatternDetector::~PatternDetector() { Detach(); }

void PatternDetector::Detach() {
  if (Engine != nullptr && Engine->BlockObserver == &PatternDetector::Observer &&
      Engine->BlockObserverContext == this)
    Engine->SetTimeBlockObserver(nullptr, nullptr);
  // The library's comparisons taken over at Attach are handed back.
  if (Engine != nullptr && Patterns != nullptr && !LibraryDeviations && EngineUnchanged())
    for (int i = 0; i < NPattern; ++i)
      if (Engine->TVS[i] != nullptr) Engine->TVS[i]->fUsePattern = static_cast<unsigned char>(Patterns[i].Compared);
  Engine = nullptr;
  if (Patterns != nullptr) {
    for (int i = 0; i < NPattern; ++i) {
      Free(Patterns[i].LogSpectrum);
      Free(Patterns[i].Weight);
      Free(Patterns[i].Salient);
      Free(Patterns[i].Name);
    }
  }
  Free(Patterns);
  Free(LogRing);
  Free(SubSums);
  Free(Candidates);
  Free(StepScore);
  Free(StepVerify);
  Free(GroupStart);
  Free(GroupMembers);
  Free(LeaderNear);
  Free(PrevScore);
  Free(NoiseSeg);
  Free(NoiseCur);
  Free(NoiseHist);
  Free(Noise);
  Free(BandScratch);
  Free(Work);
  Free(BlockPtr);
  Free(WorkReady);
  Free(Reports);
  DropShape();
  delete Preselect;
  Preselect = nullptr;
  SelectFlags = nullptr;
  NReport = CapReport = 0;
  NPattern = 0;
  RingLength = 0;
  Longest = 0;
}

int PatternDetector::Attach(TimeSpectrumEstimation* engine, const char* const* patternFiles, int observe) {
  Detach();
  if (engine == nullptr || !engine->fRecognitionMode || engine->TVS == nullptr || engine->NPattern < 1 ||
      engine->Nband < 1 || engine->NsampleBlock < 1 || engine->NframeHop < 1 || engine->NframeAvg < 1)
    return 0;
  Engine = engine;
  NPattern = engine->NPattern;
  Nband = engine->Nband;
  NsampleBlock = engine->NsampleBlock;
  // A pattern made from a clip that starts on a block boundary has its newest block at the
  // clip's start + its length + the pipeline delay rounded up to whole blocks.
  const int rest = engine->NsDelay % NsampleBlock;
  DelaySamples = engine->NsDelay + (rest == 0 ? 0 : NsampleBlock - rest);
  // Four alignments per time block when the hop splits into quarters that also tile the
  // averaging window; otherwise one (the engine's own blocks).
  SubSteps = 4;
  if (engine->NframeHop % SubSteps != 0 || engine->NframeAvg % (engine->NframeHop / SubSteps) != 0 ||
      NsampleBlock % SubSteps != 0 || engine->DftPowRing == nullptr)
    SubSteps = 1;
  FrameAvg = engine->NframeAvg;
  FrameHop = engine->NframeHop;
  SubFrames = engine->NframeHop / SubSteps;
  SubPerAvg = engine->NframeAvg / SubFrames;

  Patterns = new (std::nothrow) DetectorPattern[NPattern];
  Candidates = new (std::nothrow) Candidate[NPattern];
  PrevScore = new (std::nothrow) float[NPattern];
  StepScore = new (std::nothrow) float[static_cast<long>(NPattern) * SubSteps];
  StepVerify = new (std::nothrow) float[static_cast<long>(NPattern) * SubSteps];
  GroupStart = new (std::nothrow) int[NPattern + 1];
  GroupMembers = new (std::nothrow) int[NPattern];
  LeaderNear = new (std::nothrow) int[NPattern];
  if (Patterns == nullptr || Candidates == nullptr || PrevScore == nullptr || StepScore == nullptr ||
      StepVerify == nullptr || GroupStart == nullptr || GroupMembers == nullptr || LeaderNear == nullptr) {
    Detach();
    return 0;
  }
  std::memset(static_cast<void*>(Patterns), 0, sizeof(DetectorPattern) * static_cast<std::size_t>(NPattern));
  for (int i = 0; i < NPattern; ++i) Patterns[i].Compared = engine->TVS[i] == nullptr || engine->TVS[i]->fUsePattern ? 1 : 0;
  for (int i = 0; i < NPattern; ++i) {
    if (!PreparePattern(i)) {
      Detach();
      return 0;
    }
  }
  if (!PrepareRings()) {
    Detach();
    return 0;
  }
  BuildGroups();
  for (int i = 0; i < NPattern; ++i) {
    SelfCalibrate(i);
    if (patternFiles != nullptr && patternFiles[i] != nullptr) LoadCalibration(i, patternFiles[i]);
  }
  if (!SetUpShape() || !SetUpPreselect()) {
    Detach();
    return 0;
  }
  Reset(0);
  if (!LibraryDeviations)
    for (int i = 0; i < NPattern; ++i)
      if (engine->TVS[i] != nullptr) engine->TVS[i]->fUsePattern = 0;
  if (observe) engine->SetTimeBlockObserver(&PatternDetector::Observer, this);
  return 1;
}

int PatternDetector::PrepareRings() {
  Longest = 1;
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Nblock > Longest) Longest = Patterns[i].Nblock;
  RingLength = SubSteps * (Longest + 1);
  LogRing = new (std::nothrow) float[static_cast<long>(RingLength) * Nband];
  SubSums = new (std::nothrow) float[static_cast<long>(SubPerAvg) * Nband];
  Work = new (std::nothrow) float[static_cast<long>(Longest) * Nband];
  BlockPtr = new (std::nothrow) const float*[static_cast<long>(SubSteps) * Longest];
  WorkReady = new (std::nothrow) int[SubSteps];
  // The background before an occurrence began: kept for the longest pattern and the delay.
  NoiseHistLength = Longest + DelaySamples / NsampleBlock + 4;
  const int segs = NoiseSegments > 0 ? NoiseSegments : 1;
  NoiseSegCapacity = segs;
  NoiseSeg = new (std::nothrow) float[static_cast<long>(segs) * Nband];
  NoiseCur = new (std::nothrow) float[Nband];
  NoiseHist = new (std::nothrow) float[static_cast<long>(NoiseHistLength) * Nband];
  Noise = new (std::nothrow) float[Nband];
  BandScratch = new (std::nothrow) float[4 * static_cast<long>(Nband)];
  return LogRing != nullptr && SubSums != nullptr && Work != nullptr && BlockPtr != nullptr && WorkReady != nullptr &&
         NoiseSeg != nullptr && NoiseCur != nullptr && NoiseHist != nullptr && Noise != nullptr &&
         BandScratch != nullptr;
}

int PatternDetector::PreparePattern(int i) {
  SignalTVSEx* T = Engine->TVS[i];
  DetectorPattern& P = Patterns[i];
  P.Group = i;
  P.SpeedPercent = 0.0f;
  P.Score = P.Verify = kNotEvaluated;
  // The name is kept here: reports outlive a new set-up of the engine.
  const char* name = T != nullptr ? FileNameOfPath(T->FileName) : "";
  const std::size_t length = std::strlen(name);
  P.Name = new (std::nothrow) char[length + 1];
  if (P.Name == nullptr) return 0;
  std::memcpy(P.Name, name, length + 1);
  if (T == nullptr || T->SpectrumByBand == nullptr || T->Nblock < 1 || T->Nband != Nband) {
    P.Nblock = 0;  // never compared
    return 1;
  }
  const int N = T->Nblock;
  P.Nblock = N;
  const long cells = static_cast<long>(N) * Nband;
  P.LogSpectrum = new (std::nothrow) float[cells];
  P.Weight = new (std::nothrow) float[cells];
  P.Salient = new (std::nothrow) float[cells];
  if (P.LogSpectrum == nullptr || P.Weight == nullptr || P.Salient == nullptr) return 0;
  // Block-major levels [k*Nband + b] from the band-major spectrum.
  float peak = -1000.0f;
  for (int k = 0; k < N; ++k)
    for (int b = 0; b < Nband; ++b) {
      const float v = LevelDb(T->SpectrumByBand[static_cast<long>(b) * N + k]);
      P.LogSpectrum[static_cast<long>(k) * Nband + b] = v;
      if (v > peak) peak = v;
    }
  P.Floor_dB = peak - FloorDepth_dB;
  for (long n = 0; n < cells; ++n) {
    if (P.LogSpectrum[n] < P.Floor_dB) P.LogSpectrum[n] = P.Floor_dB;
    // Salient cells (near the pattern's peak) count fully; the quieter ones less.
    const bool salient = P.LogSpectrum[n] >= peak - SalientDepth_dB;
    P.Weight[n] = salient ? 1.0f : QuietWeight;
    P.Salient[n] = salient ? 1.0f : 0.0f;
  }
  // Bands the engine does not compute (acceleration modes) are not compared.
  for (int b = 0; b < Nband; ++b) {
    if (b >= Engine->BandFirst && b <= Engine->BandLast) continue;
    for (int k = 0; k < N; ++k) {
      P.Weight[static_cast<long>(k) * Nband + b] = 0.0f;
      P.Salient[static_cast<long>(k) * Nband + b] = 0.0f;
    }
  }
  // The newest blocks of a pattern average mostly what followed the clip when it was made
  // (the pipeline delay is longer than a block), which an occurrence in a stream does not
  // repeat: the newest block is not compared, the next one counts less.
  if (N > 4) {
    for (int b = 0; b < Nband; ++b) {
      P.Weight[b] = 0.0f;
      P.Salient[b] = 0.0f;
      P.Weight[Nband + b] *= TailWeight;
    }
  }
  for (int q = 0; q < 4; ++q) P.QuarterEnd[q] = ((q + 1) * N) / 4;
  P.QuarterEnd[3] = N;
  // Salient cells and weights per quarter, over every step-th block: every block for the exact
  // distance; for the coarse pass every block of a short pattern, every second, fourth or eighth
  // of longer ones.
  auto sums = [&](int step, float& salient, float* quarter, float& total) {
    salient = total = 0.0f;
    for (int q = 0; q < 4; ++q) quarter[q] = 0.0f;
    for (int k = 0, q = 0; k < N; k += step) {
      while (k >= P.QuarterEnd[q]) ++q;
      for (int b = 0; b < Nband; ++b) {
        const long n = static_cast<long>(k) * Nband + b;
        salient += P.Salient[n];
        quarter[q] += P.Weight[n];
      }
    }
    for (int q = 0; q < 4; ++q) total += quarter[q];
  };
  sums(1, P.SalientCount, P.QuarterWeight, P.TotalWeight);
  P.CoarseStep = N < 32 ? 1 : (N < 96 ? 2 : (N < 192 ? 4 : 8));
  sums(P.CoarseStep, P.CoarseSalientCount, P.CoarseQuarterWeight, P.CoarseTotalWeight);
  return 1;
}

// Per-cell work of the comparisons, one time block at a time. Kernels accumulate the sums of
// one quarter of a pattern's span; SSE keeps the eight bands of the standard geometry in two
// registers, the scalar kernel serves any band count. Each band's sum is accumulated in block
// order and the bands are added in band order, so both give the same values for eight bands.
struct ScalarCells {
  int nb;
  float floor, excess, gain;
  const float* hide;
  float acc = 0.0f, vis = 0.0f, sal = 0.0f;
  ScalarCells(int n, float fl, float ex, float g, const float* h) : nb(n), floor(fl), excess(ex), gain(g), hide(h) {}
  void Clear() { acc = vis = sal = 0.0f; }
  template <bool HIDE>
  void Block(const float* c, const float* p, const float* w, const float* m) {
    for (int b = 0; b < nb; ++b) {
      float x = c[b] - gain;
      x = x < floor ? floor : x;
      if (!HIDE) {
        const float e = x - p[b];
        const float d = -e > excess * e ? -e : excess * e;
        acc += d * w[b];
      } else {
        const float ref = p[b] > hide[b] ? p[b] : hide[b];
        const float miss = p[b] - x;
        const float more = excess * (x - ref);
        float d = miss > more ? miss : more;
        d = d > 0.0f ? d : 0.0f;
        acc += d * w[b];
        vis += p[b] >= hide[b] ? w[b] : 0.0f;
        sal += p[b] >= hide[b] ? m[b] : 0.0f;
      }
    }
  }
  void Sums(float* qs, float* qv, float* qsal) const {
    *qs = acc;
    *qv = vis;
    *qsal = sal;
  }
};

#if defined(__SSE2__)
struct SseCells8 {
  __m128 floor, excess, gain, hide0, hide1, zero;
  __m128 acc0, acc1, vis0, vis1, sal0, sal1;
  SseCells8(int, float fl, float ex, float g, const float* h)
      : floor(_mm_set1_ps(fl)), excess(_mm_set1_ps(ex)), gain(_mm_set1_ps(g)), hide0(_mm_loadu_ps(h)),
        hide1(_mm_loadu_ps(h + 4)), zero(_mm_setzero_ps()) {
    Clear();
  }
  void Clear() { acc0 = acc1 = vis0 = vis1 = sal0 = sal1 = _mm_setzero_ps(); }
  template <bool HIDE>
  static inline void Half(__m128 c, __m128 p, __m128 w, __m128 m, __m128 hide, __m128 fl, __m128 ex, __m128 g,
                          __m128 zero, __m128& acc, __m128& vis, __m128& sal) {
    const __m128 x = _mm_max_ps(_mm_sub_ps(c, g), fl);
    if (!HIDE) {
      const __m128 d = _mm_max_ps(_mm_sub_ps(p, x), _mm_mul_ps(ex, _mm_sub_ps(x, p)));
      acc = _mm_add_ps(acc, _mm_mul_ps(d, w));
    } else {
      const __m128 ref = _mm_max_ps(hide, p);
      const __m128 d = _mm_max_ps(_mm_max_ps(_mm_sub_ps(p, x), _mm_mul_ps(ex, _mm_sub_ps(x, ref))), zero);
      acc = _mm_add_ps(acc, _mm_mul_ps(d, w));
      const __m128 shown = _mm_cmpge_ps(p, hide);
      vis = _mm_add_ps(vis, _mm_and_ps(shown, w));
      sal = _mm_add_ps(sal, _mm_and_ps(shown, m));
    }
  }
  template <bool HIDE>
  void Block(const float* c, const float* p, const float* w, const float* m) {
    Half<HIDE>(_mm_loadu_ps(c), _mm_loadu_ps(p), _mm_loadu_ps(w), HIDE ? _mm_loadu_ps(m) : zero, hide0, floor, excess,
               gain, zero, acc0, vis0, sal0);
    Half<HIDE>(_mm_loadu_ps(c + 4), _mm_loadu_ps(p + 4), _mm_loadu_ps(w + 4), HIDE ? _mm_loadu_ps(m + 4) : zero, hide1,
               floor, excess, gain, zero, acc1, vis1, sal1);
  }
  static float Total(__m128 a, __m128 b) {
    float v[8];
    _mm_storeu_ps(v, a);
    _mm_storeu_ps(v + 4, b);
    float t = 0.0f;
    for (int i = 0; i < 8; ++i) t += v[i];
    return t;
  }
  void Sums(float* qs, float* qv, float* qsal) const {
    *qs = Total(acc0, acc1);
    *qv = Total(vis0, vis1);
    *qsal = Total(sal0, sal1);
  }
};
#endif

// Distance of an input segment from pattern P once `gain` (dB) is taken off the input.
// blocks[k] points at the Nband levels of the input block aligned with the pattern's block k
// (k = 0 newest). STEP > 1 compares every STEP-th block only (the coarse pass). hide[b] is the
// level (in the pattern's terms) up to which the background covers band b: a pattern cell under
// it is not compared, and only input above it counts as excess there. Once the sum passes
// `limit` (a distance) the remaining quarters are skipped and a value >= limit is returned.
// verify receives the distance of the worst quarter of the pattern's span. When less than
// minVisible of the pattern's salient cells stay above the background, nothing is compared.
template <class Cells, int STEP, bool HIDE>
static float DistanceOf(const DetectorPattern& P, int nband, const float* const* blocks, float gain, float excess,
                        const float* hide, float minVisible, float limit, float* verify) {
  const float totalWeight = STEP == 1 ? P.TotalWeight : P.CoarseTotalWeight;
  const float salientCount = STEP == 1 ? P.SalientCount : P.CoarseSalientCount;
  const float* qw = STEP == 1 ? P.QuarterWeight : P.CoarseQuarterWeight;
  // STEP 1: every block; 2, 4 or 8: the blocks of the coarse pass (multiples of STEP).
  if (totalWeight <= 0.0f) return kNotEvaluated;
  const float stop = limit * totalWeight;
  float total = 0.0f, visible = 0.0f, visibleSalient = 0.0f, worst = 0.0f;
  Cells cells(nband, P.Floor_dB, excess, gain, hide);
  int k = 0;
  for (int q = 0; q < 4; ++q) {
    cells.Clear();
    const int end = P.QuarterEnd[q];
    for (; k < end; k += STEP) {
      const long at = static_cast<long>(k) * nband;
      cells.template Block<HIDE>(blocks[k], P.LogSpectrum + at, P.Weight + at, P.Salient + at);
    }
    float qs, qv, qsal;
    cells.Sums(&qs, &qv, &qsal);
    if (!HIDE) qv = qw[q];
    total += qs;
    visible += qv;
    visibleSalient += qsal;
    if (qv > 0.0f && qs / qv > worst) worst = qs / qv;
    if (total > stop && q < 3) {
      if (verify != nullptr) *verify = worst;
      return total / totalWeight;
    }
  }
  if (verify != nullptr) *verify = worst;
  if (!HIDE) return total / totalWeight;
  if (visible <= 0.0f || visibleSalient < minVisible * salientCount) return kNotEvaluated;
  return total / visible;
}

// Chooses the plain comparison when the background covers no cell of the pattern (every
// hide[b] at or under the pattern's floor).
template <class Cells, int STEP>
static float DistanceAt(const DetectorPattern& P, int nband, const float* const* blocks, float gain, float excess,
                        const float* hide, float minVisible, float limit, float* verify) {
  bool any = false;
  for (int b = 0; b < nband; ++b) any |= hide[b] > P.Floor_dB;
  if (any) return DistanceOf<Cells, STEP, true>(P, nband, blocks, gain, excess, hide, minVisible, limit, verify);
  return DistanceOf<Cells, STEP, false>(P, nband, blocks, gain, excess, hide, minVisible, limit, verify);
}

// Level sums of the gain estimate, one time block at a time (see GainOf).
struct ScalarLevels {
  int nb;
  const float* above;
  float g0 = 0.0f;
  float acc = 0.0f, cnt = 0.0f;
  ScalarLevels(int n, const float* a) : nb(n), above(a) {}
  void Clear() { acc = cnt = 0.0f; }
  void First(const float* c, const float* p, const float* m) {
    for (int b = 0; b < nb; ++b) {
      const float u = c[b] >= above[b] ? m[b] : 0.0f;
      acc += u * (c[b] - p[b]);
      cnt += u;
    }
  }
  void Second(const float* c, const float* p, const float* m) {
    for (int b = 0; b < nb; ++b) {
      const float u = c[b] >= above[b] ? m[b] : 0.0f;
      float e = c[b] - p[b];
      e = e > g0 ? g0 : e;
      acc += u * e;
    }
  }
  void Sums(float* a, float* n) const {
    *a = acc;
    *n = cnt;
  }
};

#if defined(__SSE2__)
struct SseLevels8 {
  __m128 above0, above1, g0v;
  __m128 acc0, acc1, cnt0, cnt1;
  float g0 = 0.0f;
  SseLevels8(int, const float* a) : above0(_mm_loadu_ps(a)), above1(_mm_loadu_ps(a + 4)), g0v(_mm_setzero_ps()) {
    Clear();
  }
  void Clear() {
    acc0 = acc1 = cnt0 = cnt1 = _mm_setzero_ps();
    g0v = _mm_set1_ps(g0);
  }
  void First(const float* c, const float* p, const float* m) {
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4);
    const __m128 u0 = _mm_and_ps(_mm_cmpge_ps(c0, above0), _mm_loadu_ps(m));
    const __m128 u1 = _mm_and_ps(_mm_cmpge_ps(c1, above1), _mm_loadu_ps(m + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(u0, _mm_sub_ps(c0, _mm_loadu_ps(p))));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(u1, _mm_sub_ps(c1, _mm_loadu_ps(p + 4))));
    cnt0 = _mm_add_ps(cnt0, u0);
    cnt1 = _mm_add_ps(cnt1, u1);
  }
  void Second(const float* c, const float* p, const float* m) {
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4);
    const __m128 u0 = _mm_and_ps(_mm_cmpge_ps(c0, above0), _mm_loadu_ps(m));
    const __m128 u1 = _mm_and_ps(_mm_cmpge_ps(c1, above1), _mm_loadu_ps(m + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(u0, _mm_min_ps(_mm_sub_ps(c0, _mm_loadu_ps(p)), g0v)));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(u1, _mm_min_ps(_mm_sub_ps(c1, _mm_loadu_ps(p + 4)), g0v)));
  }
  void Sums(float* a, float* n) const {
    *a = SseCells8::Total(acc0, acc1);
    *n = SseCells8::Total(cnt0, cnt1);
  }
};
#endif

// The level difference between the input segment and pattern P over the pattern's salient
// cells where the input stands above the background (input level >= above[b]), in dB. In the
// precise pass (STEP 1) cells raised above the first estimate (by sound under the clip) count
// at that estimate, so that they do not pull the level up. Returns kNoGain when no such cell.
constexpr float kNoGain = -1.0e30f;

template <class Levels, int STEP>
static float GainOf(const DetectorPattern& P, int nband, const float* const* blocks, const float* above) {
  const int N = P.Nblock;
  // STEP 0: every block, first estimate only; 2, 4 or 8: the blocks of the coarse pass.
  const int step = STEP >= 2 ? STEP : 1;
  Levels lv(nband, above);
  for (int k = 0; k < N; k += step) {
    const long at = static_cast<long>(k) * nband;
    lv.First(blocks[k], P.LogSpectrum + at, P.Salient + at);
  }
  float acc, cnt;
  lv.Sums(&acc, &cnt);
  if (cnt <= 0.0f) return kNoGain;
  const float g0 = acc / cnt;
  if (STEP != 1) return g0;
  lv.g0 = g0;
  lv.Clear();
  for (int k = 0; k < N; ++k) {
    const long at = static_cast<long>(k) * nband;
    lv.Second(blocks[k], P.LogSpectrum + at, P.Salient + at);
  }
  const float count = cnt;
  lv.Sums(&acc, &cnt);
  return acc / count;
}

// Per band: the input level above which a cell stands out of the background (for the level
// estimate), and the pattern-side level under which the background covers a cell.
void PatternDetector::HiddenLevels(float gain, float* hide) const {
  for (int b = 0; b < Nband; ++b) hide[b] = Noise[b] + NoiseMargin_dB - gain;
}

float PatternDetector::Distance(const DetectorPattern& P, const float* const* blocks, float gain, float* verify) {
  float* hide = BandScratch;
  HiddenLevels(gain, hide);
#if defined(__SSE2__)
  if (Nband == 8)
    return DistanceAt<SseCells8, 1>(P, Nband, blocks, gain, ExcessWeight, hide, MinVisible, kNotEvaluated, verify);
#endif
  return DistanceAt<ScalarCells, 1>(P, Nband, blocks, gain, ExcessWeight, hide, MinVisible, kNotEvaluated, verify);
}

float PatternDetector::Gain(const DetectorPattern& P, const float* const* blocks) {
  float* above = BandScratch + Nband;
  for (int b = 0; b < Nband; ++b) above[b] = Noise[b] + NoiseMargin_dB;
#if defined(__SSE2__)
  if (Nband == 8) return GainOf<SseLevels8, 1>(P, Nband, blocks, above);
#endif
  return GainOf<ScalarLevels, 1>(P, Nband, blocks, above);
}

// A quick estimate of the distance from every CoarseStep-th block, with the first level
// estimate, stopping once it passes `limit`.
template <class Cells, class Levels, int STEP>
static float CoarseOf(const DetectorPattern& P, int nband, const float* const* blocks, const float* above,
                      float* hide, float excess, float minVisible, float limit, float* gain) {
  const float g = GainOf<Levels, STEP == 1 ? 0 : STEP>(P, nband, blocks, above);
  *gain = g;
  if (g == kNoGain) return kNotEvaluated;
  // above[b] is the background + margin in the input's terms; in the pattern's terms:
  for (int b = 0; b < nband; ++b) hide[b] = above[b] - g;
  return DistanceAt<Cells, STEP>(P, nband, blocks, g, excess, hide, minVisible, limit, nullptr);
}

template <class Cells, class Levels>
static float CoarseStepOf(const DetectorPattern& P, int nband, const float* const* blocks, const float* above,
                          float* hide, float excess, float minVisible, float limit, float* gain) {
  switch (P.CoarseStep) {
    case 1:
      return CoarseOf<Cells, Levels, 1>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    case 2:
      return CoarseOf<Cells, Levels, 2>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    case 4:
      return CoarseOf<Cells, Levels, 4>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
    default:
      return CoarseOf<Cells, Levels, 8>(P, nband, blocks, above, hide, excess, minVisible, limit, gain);
  }
}

float PatternDetector::Coarse(const DetectorPattern& P, const float* const* blocks, float limit, float* gain) {
  float* above = BandScratch + Nband;
  float* hide = BandScratch;
  for (int b = 0; b < Nband; ++b) above[b] = Noise[b] + NoiseMargin_dB;
#if defined(__SSE2__)
  if (Nband == 8)
    return CoarseStepOf<SseCells8, SseLevels8>(P, Nband, blocks, above, hide, ExcessWeight, MinVisible, limit, gain);
#endif
  return CoarseStepOf<ScalarCells, ScalarLevels>(P, Nband, blocks, above, hide, ExcessWeight, MinVisible, limit, gain);
}

// The input blocks aligned with the blocks of the longest pattern, `phase` steps before the
// newest: pointers into the ring, newest first.
const float* const* PatternDetector::Segment(int phase) {
  const float** seg = BlockPtr + static_cast<long>(phase) * Longest;
  if (WorkReady[phase]) return seg;
  int r = RingPos - phase;
  while (r < 0) r += RingLength;
  for (int k = 0; k < Longest; ++k) {
    seg[k] = LogRing + static_cast<long>(r) * Nband;
    r -= SubSteps;
    if (r < 0) r += RingLength;
  }
  WorkReady[phase] = 1;
  return seg;
}

// The coarse pass compares at the engine's own alignment, up to half a time block off the
// occurrence: its gate is GateFactor times the threshold, or wider for a pattern whose
// distance grows fast with misalignment (sharp onsets, chirps).
float PatternDetector::GateOf(const DetectorPattern& P) const {
  const float wide = P.Threshold + ShiftGate * P.ShiftDistance;
  const float gate = GateFactor * P.Threshold;
  return wide > gate ? wide : gate;
}

// Distance of pattern i at the alignment `phase` steps before the newest: a coarse pass first
// (stopping once past `limit`); the precise one only when the coarse distance comes under the
// gate.
float PatternDetector::Evaluate(int i, int phase, float* verify, float limit) {
  const DetectorPattern& P = Patterns[i];
  const float* const* seg = Segment(phase);
  const float gate = GateOf(P);
  float gain = 0.0f;
  const float coarse = Coarse(P, seg, limit, &gain);
  // The aligned input must carry some sound: the pattern's peak brought to the input's level.
  if (P.Floor_dB + FloorDepth_dB + gain < MinLevel_dB) return kNotEvaluated;
  if (coarse >= gate) {
    *verify = kNotEvaluated;
    return coarse;
  }
  gain = Gain(P, seg);
  if (P.Floor_dB + FloorDepth_dB + gain < MinLevel_dB) return kNotEvaluated;
  return Distance(P, seg, gain, verify);
}

namespace {

// Self-calibrations already made in this process, by a hash of everything they depend on (the
// pattern's spectrum, the geometry and the tuning): a program that sets up the same patterns
// again (for every input file, every day) does not repeat the work. Bounded; shared by threads.
struct SelfResult {
  int Nblock;
  float Positive, Negative, Shift, Threshold;
};
std::mutex g_selfMutex;
std::unordered_map<std::uint64_t, SelfResult>& SelfResults() {
  static std::unordered_map<std::uint64_t, SelfResult> results;
  return results;
}
constexpr std::size_t kSelfResultsMax = 1u << 16;

struct Fnv {
  std::uint64_t h = 1469598103934665603ull;
  void Bytes(const void* p, std::size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (std::size_t k = 0; k < n; ++k) h = (h ^ c[k]) * 1099511628211ull;
  }
  template <typename T>
  void Value(T v) { Bytes(&v, sizeof v); }
};

}  // namespace

std::uint64_t PatternDetector::SelfKey(int i) const {
  const DetectorPattern& P = Patterns[i];
  const SignalTVSEx* T = Engine->TVS[i];
  Fnv f;
  f.Value(P.Nblock);
  f.Value(Nband);
  f.Value(SubSteps);
  f.Value(Engine->BandFirst);
  f.Value(Engine->BandLast);
  const float tuning[] = {FloorDepth_dB, SalientDepth_dB, QuietWeight,  TailWeight,  ExcessWeight,
                          NegativeScale, PositiveScale,   PositiveCap,  LengthCap,   ThresholdMin,
                          ThresholdMax,  NoiseMargin_dB,  MinVisible,   static_cast<float>(GenericMaxBlocks)};
  f.Bytes(tuning, sizeof tuning);
  f.Bytes(T->SpectrumByBand, sizeof(float) * static_cast<std::size_t>(P.Nblock) * static_cast<std::size_t>(Nband));
  return f.h;
}

void PatternDetector::SelfCalibrate(int i) {
  DetectorPattern& P = Patterns[i];
  if (P.Nblock < 1) return;
  const std::uint64_t key = SelfKey(i);
  try {
    std::lock_guard<std::mutex> lock(g_selfMutex);
    auto it = SelfResults().find(key);
    if (it != SelfResults().end() && it->second.Nblock == P.Nblock) {
      P.SelfPositive = it->second.Positive;
      P.SelfNegative = it->second.Negative;
      P.ShiftDistance = it->second.Shift;
      P.SelfThreshold = P.Threshold = it->second.Threshold;
      return;
    }
  } catch (...) {
    // No lock or no memory for the table: calibrate anew.
  }
  SelfCalibrateNow(i);
  try {
    std::lock_guard<std::mutex> lock(g_selfMutex);
    if (SelfResults().size() >= kSelfResultsMax) SelfResults().clear();
    SelfResults()[key] = SelfResult{P.Nblock, P.SelfPositive, P.SelfNegative, P.ShiftDistance, P.SelfThreshold};
  } catch (...) {
  }
}

void PatternDetector::SelfCalibrateNow(int i) {
  DetectorPattern& P = Patterns[i];
  SignalTVSEx* T = Engine->TVS[i];
  const int N = P.Nblock;
  const float* sp = T->SpectrumByBand;  // band-major
  for (int b = 0; b < Nband; ++b) Noise[b] = kNoBackground;
  float* seg = Work;                    // block-major synthetic input
  const float** ptr = BlockPtr;
  for (int k = 0; k < N; ++k) ptr[k] = seg + static_cast<long>(k) * Nband;
  double mean = 0.0;
  for (long n = 0; n < static_cast<long>(N) * Nband; ++n) mean += sp[n];
  mean /= static_cast<double>(N) * Nband;

  // Distortions that an occurrence shows: a misalignment (half an alignment step: an eighth
  // of a block with four alignments per block, else half a block), a noise floor 15 dB under
  // the pattern's mean power, and both together with a 20 dB floor.
  const float frac = SubSteps > 1 ? 0.5f / SubSteps : 0.5f;
  const float noise[3] = {0.0f, static_cast<float>(mean * 0.0316), static_cast<float>(mean * 0.01)};
  const int shift[3] = {1, 0, 1};
  float worst = 0.0f;
  for (int t = 0; t < 3; ++t) {
    for (int b = 0; b < Nband; ++b) {
      const float* p = sp + static_cast<long>(b) * N;
      for (int k = 0; k < N; ++k) {
        float v = p[k];
        if (shift[t] && k + 1 < N) v = (1.0f - frac) * p[k] + frac * p[k + 1];
        seg[static_cast<long>(k) * Nband + b] = LevelDb(v + noise[t]);
      }
      // The background the detector would have measured before such an occurrence: the
      // noise's lowest block levels, a few dB under its mean.
      Noise[b] = noise[t] > 0.0f ? LevelDb(noise[t]) - kNoiseDip_dB : kNoBackground;
    }
    const float d = Distance(P, ptr, Gain(P, ptr), nullptr);
    if (d > worst) worst = d;
  }
  for (int b = 0; b < Nband; ++b) Noise[b] = kNoBackground;
  P.SelfPositive = worst;

  // How fast the distance grows with misalignment: the pattern one time block off.
  for (int b = 0; b < Nband; ++b) {
    const float* p = sp + static_cast<long>(b) * N;
    for (int k = 0; k < N; ++k)
      seg[static_cast<long>(k) * Nband + b] = LevelDb(k + 1 < N ? p[k + 1] : p[k]);
  }
  P.ShiftDistance = Distance(P, ptr, Gain(P, ptr), nullptr);

  // Sounds that are not the pattern but share its make-up: the pattern played backwards, its
  // two halves swapped, its average spectrum held still, and a flat spectrum.
  float closest = kNotEvaluated;
  for (int t = 0; t < 4; ++t) {
    for (int b = 0; b < Nband; ++b) {
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
        seg[static_cast<long>(k) * Nband + b] = LevelDb(v);
      }
    }
    const float d = Distance(P, ptr, Gain(P, ptr), nullptr);
    if (d < closest) closest = d;
  }
  const float generic = GenericNegative(i);
  if (generic < closest) closest = generic;
  P.SelfNegative = closest;

  // Under the closest self-negative by a margin; raised towards what the distortions need,
  // within a cap under the self-negative. A short pattern compares few cells, so chance
  // matches come closer: its threshold is also capped in proportion to the root of its length.
  float thr = NegativeScale * closest;
  const float pos = PositiveScale * worst;
  if (pos > thr) thr = pos < PositiveCap * closest ? pos : (PositiveCap * closest > thr ? PositiveCap * closest : thr);
  const float lengthCap = LengthCap * std::sqrt(static_cast<float>(N));
  if (thr > lengthCap) thr = lengthCap;
  // The lower limit never lifts the threshold towards what a sound that is not the pattern
  // reaches.
  const float low = ThresholdMin < NegativeScale * closest ? ThresholdMin : NegativeScale * closest;
  if (thr < low) thr = low;
  if (thr > ThresholdMax) thr = ThresholdMax;
  P.SelfThreshold = thr;
  P.Threshold = thr;
}

// The smallest distance of a short pattern from common sound events that any stream holds:
// a tone, a pair of bands or broadband sound of a few colours, struck (decaying at one of
// several rates or falling fast and ringing on, a tone with or without a click) or held for a
// while, starting where the pattern starts. A pattern close to one
// of them (a lone beep, a drum hit, a click) is not distinctive, and its threshold must stay
// well under that distance. kNotEvaluated for long patterns and when disabled.
float PatternDetector::GenericNegative(int i) {
  DetectorPattern& P = Patterns[i];
  const int N = P.Nblock;
  if (N < 1 || N > GenericMaxBlocks) return kNotEvaluated;
  const float* sp = Engine->TVS[i]->SpectrumByBand;  // band-major, block 0 newest
  // Onset: the first block (in time) within 20 dB of the loudest block.
  auto power = [&](int k) {
    float e = 0.0f;
    for (int b = 0; b < Nband; ++b) e += sp[static_cast<long>(b) * N + k];
    return e;
  };
  float peak = 0.0f;
  for (int k = 0; k < N; ++k) peak = std::max(peak, power(k));
  if (!(peak > 0.0f)) return kNotEvaluated;
  int onset = 0;  // in time order: block N - 1 - onset of the pattern
  while (onset < N - 1 && power(N - 1 - onset) < 0.01f * peak) ++onset;

  float* seg = Work;
  const float** ptr = BlockPtr;
  for (int k = 0; k < N; ++k) ptr[k] = seg + static_cast<long>(k) * Nband;
  float* shape = BandScratch + 2 * Nband;    // Nband powers of the event's spectrum
  float* shapeDb = BandScratch + 3 * Nband;  // and their levels
  // Falling (drums, thuds) and rising (hiss, clicks) slopes of broadband sound, dB per band.
  static const float kSlope[] = {-1.5f, -3.0f, -6.0f, -10.0f, 3.0f, 6.0f};
  const int nSlope = static_cast<int>(sizeof kSlope / sizeof kSlope[0]);
  const int nShapes = 2 * Nband + nSlope;
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
    for (int b = 0; b < Nband; ++b) {
      float v;
      if (sh < Nband) v = b == sh ? 1.0f : 1.0e-4f;
      else if (sh < 2 * Nband - 1) v = (b == sh - Nband || b == sh - Nband + 1) ? 1.0f : 1.0e-4f;
      else if (sh == 2 * Nband - 1) v = 1.0f;
      else v = std::pow(10.0f, 0.1f * kSlope[sh - 2 * Nband] * static_cast<float>(b));
      shape[b] = v;
      shapeDb[b] = LevelDb(v);
    }
    // A struck tone may start with a broadband click (a drum's beater, a plucked string).
    const bool tonal = sh < 2 * Nband - 1;
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
            float* row = seg + static_cast<long>(k) * Nband;
            if (c == 0) {
              const float aDb = LevelDb(a);  // levels add in dB: one logarithm per block
              for (int b = 0; b < Nband; ++b) row[b] = aDb + shapeDb[b];
            } else {
              for (int b = 0; b < Nband; ++b) row[b] = LevelDb(a * shape[b] + click);
            }
          }
          const float d = Distance(P, ptr, Gain(P, ptr), nullptr);
          if (d < closest) closest = d;
        }
      }
    }
  }
  return closest;
}

void PatternDetector::Reset(std::int64_t samplesFedBefore) {
  Origin = samplesFedBefore;
  Blocks = 0;
  RingPos = 0;
  SubPos = 0;
  for (int i = 0; i < NPattern; ++i) {
    Candidates[i].Active = 0;
    Candidates[i].Armed = 1;
    Candidates[i].Rearm = 0;
    PrevScore[i] = kNotEvaluated;
    LeaderNear[i] = 0;
    Patterns[i].Score = Patterns[i].Verify = kNotEvaluated;
  }
  if (LogRing != nullptr)
    for (long n = 0; n < static_cast<long>(RingLength) * Nband; ++n) LogRing[n] = -120.0f;
  if (SubSums != nullptr)
    for (long n = 0; n < static_cast<long>(SubPerAvg) * Nband; ++n) SubSums[n] = 0.0f;
  NoiseSegPos = NoiseSegFill = NoiseCount = 0;
  if (NoiseCur != nullptr)
    for (int b = 0; b < Nband; ++b) NoiseCur[b] = kAboveAll;
  if (NoiseHist != nullptr)
    for (long n = 0; n < static_cast<long>(NoiseHistLength) * Nband; ++n) NoiseHist[n] = kNoBackground;
  if (Noise != nullptr)
    for (int b = 0; b < Nband; ++b) Noise[b] = kNoBackground;
  NReport = 0;
  ResetShape();
  if (Preselect != nullptr) Preselect->Reset();
}

int PatternDetector::SetGroup(int pattern, int group, float speedPercent) {
  if (Patterns == nullptr || pattern < 0 || pattern >= NPattern || group < 0 || group >= NPattern) return 0;
  const int leader = Patterns[group].Group;
  const int old = Patterns[pattern].Group;
  // A pattern that led a group hands its members over as well.
  for (int i = 0; i < NPattern; ++i)
    if (Patterns[i].Group == old || i == pattern) Patterns[i].Group = leader;
  Patterns[pattern].SpeedPercent = speedPercent;
  if (old != leader && Candidates != nullptr) Candidates[old].Active = 0;
  BuildGroups();
  return 1;
}

// Levels in dB of pattern i, oldest block first, without its newest block (which holds what
// followed the clip when the pattern was made): (Nblock - 1) x Nband values into out.
void PatternDetector::ClipLevels(int i, float* out) const {
  const int N = Patterns[i].Nblock;
  const float* spectrum = Engine->TVS[i]->SpectrumByBand;  // band-major, block 0 newest
  for (int k = 0; k + 1 < N; ++k)
    for (int b = 0; b < Nband; ++b)
      out[static_cast<std::size_t>(k) * Nband + b] = LevelDb(spectrum[static_cast<long>(b) * N + (N - 1 - k)]);
}

// The pre-selection sketches every pattern; the leader of a group decides for its members.
int PatternDetector::SetUpPreselect() {
  delete Preselect;
  Preselect = nullptr;
  SelectFlags = nullptr;
  if (PreselectGate <= -1.0f) return 1;
  try {
    Preselect = new spdet::Preselector;
    spdet::PreselectTuning tuning;
    tuning.Gate = PreselectGate;
    tuning.Hold = PreselectHold;
    Preselect->Configure(Nband, std::max(0, Engine->BandFirst), std::min(Nband - 1, Engine->BandLast), tuning);
    std::vector<float> levels;
    for (int i = 0; i < NPattern; ++i) {
      const DetectorPattern& P = Patterns[i];
      const SignalTVSEx* T = Engine->TVS[i];
      if (P.Nblock < 2 || T == nullptr || T->SpectrumByBand == nullptr) {
        Preselect->Add(nullptr, 0, 0);
        continue;
      }
      levels.resize(static_cast<std::size_t>(P.Nblock - 1) * static_cast<std::size_t>(Nband));
      ClipLevels(i, levels.data());
      Preselect->Add(levels.data(), P.Nblock - 1, ShapeReach(i));
    }
    Preselect->Start();
    for (int i = 0; i < NPattern; ++i) Preselect->Use(i, Patterns[i].Group == i);
    SelectFlags = Preselect->ActiveFlags();
  } catch (...) {
    delete Preselect;
    Preselect = nullptr;
    SelectFlags = nullptr;
    return 0;
  }
  return 1;
}

// Members of every group, leader first, as consecutive runs of GroupMembers.
void PatternDetector::BuildGroups() {
  // Counting sort by group (linear in the number of patterns): sizes, then runs, each run's
  // members in number order.
  for (int g = 0; g <= NPattern; ++g) GroupStart[g] = 0;
  for (int i = 0; i < NPattern; ++i) ++GroupStart[Patterns[i].Group + 1];
  for (int g = 0; g < NPattern; ++g) GroupStart[g + 1] += GroupStart[g];
  for (int i = 0; i < NPattern; ++i) GroupMembers[GroupStart[Patterns[i].Group]++] = i;
  for (int g = NPattern; g > 0; --g) GroupStart[g] = GroupStart[g - 1];
  GroupStart[0] = 0;
  if (Preselect != nullptr && Preselect->Count() == NPattern)
    for (int i = 0; i < NPattern; ++i) Preselect->Use(i, Patterns[i].Group == i);
}

void PatternDetector::Observer(void* context, TimeSpectrumEstimation* engine) {
  PatternDetector* d = static_cast<PatternDetector*>(context);
  if (d != nullptr && d->Engine == engine) d->OnTimeBlock();
}

// Appends the aligned blocks that end inside the time block just made: one per step.
void PatternDetector::PushSteps() {
  TimeSpectrumEstimation* e = Engine;
  if (SubSteps == 1) {
    RingPos = (RingPos + 1) % RingLength;
    const float* src = e->TimeSpectrum + static_cast<long>(e->NblockCur) * Nband;
    float* lg = LogRing + static_cast<long>(RingPos) * Nband;
    for (int b = 0; b < Nband; ++b) lg[b] = LevelDb(std::isfinite(src[b]) ? src[b] : 0.0f);
    return;
  }
  const int avg = e->NframeAvg;
  for (int j = SubSteps - 1; j >= 0; --j) {
    // Frames of step j counted back from the newest frame.
    float* sum = SubSums + static_cast<long>(SubPos) * Nband;
    for (int b = 0; b < Nband; ++b) sum[b] = 0.0f;
    int r = e->DftPowRingPos - j * SubFrames;
    while (r < 0) r += avg;
    for (int f = 0; f < SubFrames; ++f) {
      const float* row = e->DftPowRing + static_cast<long>(r) * Nband;
      for (int b = 0; b < Nband; ++b) sum[b] += row[b];
      if (--r < 0) r = avg - 1;
    }
    SubPos = (SubPos + 1) % SubPerAvg;
    RingPos = (RingPos + 1) % RingLength;
    float* lg = LogRing + static_cast<long>(RingPos) * Nband;
    for (int b = 0; b < Nband; ++b) {
      float total = 0.0f;
      for (int s = 0; s < SubPerAvg; ++s) total += SubSums[static_cast<long>(s) * Nband + b];
      const float v = total * e->InvNframeAvg;
      lg[b] = LevelDb(std::isfinite(v) && v > 0.0f ? v : 0.0f);
    }
  }
}

// Background per band: the lowest level of the time blocks over the last NoiseSegments
// segments (a minimum-statistics estimate: speech pauses, the floor of music, steady noise),
// recorded after every time block.
void PatternDetector::TrackNoise() {
  float* hist = NoiseHist + static_cast<long>(Blocks % NoiseHistLength) * Nband;
  // The number of segments in force: as set before Attach, at most what was allocated.
  const int segs = NoiseSegments < NoiseSegCapacity ? NoiseSegments : NoiseSegCapacity;
  if (segs < 1 || NoiseSegmentBlocks < 1) {
    for (int b = 0; b < Nband; ++b) hist[b] = kNoBackground;
    return;
  }
  // The first blocks of a stream average the pipeline's start (zeros), not the input.
  if (Blocks * NsampleBlock <= DelaySamples + 2 * NsampleBlock) {
    for (int b = 0; b < Nband; ++b) hist[b] = kNoBackground;
    return;
  }
  const float* lg = LogRing + static_cast<long>(RingPos) * Nband;
  for (int b = 0; b < Nband; ++b)
    if (lg[b] < NoiseCur[b]) NoiseCur[b] = lg[b];
  if (++NoiseCount >= NoiseSegmentBlocks) {
    std::memcpy(NoiseSeg + static_cast<long>(NoiseSegPos) * Nband, NoiseCur, sizeof(float) * Nband);
    NoiseSegPos = (NoiseSegPos + 1) % segs;
    if (NoiseSegFill < segs) ++NoiseSegFill;
    NoiseCount = 0;
    for (int b = 0; b < Nband; ++b) NoiseCur[b] = kAboveAll;
  }
  for (int b = 0; b < Nband; ++b) {
    float v = NoiseCur[b];
    for (int s = 0; s < NoiseSegFill; ++s) {
      const float m = NoiseSeg[static_cast<long>(s) * Nband + b];
      if (m < v) v = m;
    }
    hist[b] = v;
  }
}

// Sets Noise to the background that applies to an occurrence of nblock time blocks ending at
// the newest block: the background as it was just before the occurrence began, measured over
// at least half a segment (or lower now). Without enough audio before it, none: a clip's own
// steady sound must not be taken for background. Returns 1 when a background is in force.
int PatternDetector::NoiseFor(int nblock) {
  const std::int64_t before = Blocks - nblock - DelaySamples / NsampleBlock - 2;
  if (NoiseSegments < 1 || before < NoiseSegmentBlocks / 2 || Blocks - before >= NoiseHistLength) {
    for (int b = 0; b < Nband; ++b) Noise[b] = kNoBackground;
    return 0;
  }
  const float* then = NoiseHist + static_cast<long>(before % NoiseHistLength) * Nband;
  const float* now = NoiseHist + static_cast<long>(Blocks % NoiseHistLength) * Nband;
  for (int b = 0; b < Nband; ++b) Noise[b] = then[b] < now[b] ? then[b] : now[b];
  return 1;
}

// Scores of pattern i at the alignment steps of the newest time block.
void PatternDetector::ScorePattern(int i) {
  DetectorPattern& P = Patterns[i];
  float* sc = StepScore + static_cast<long>(i) * SubSteps;
  float* ve = StepVerify + static_cast<long>(i) * SubSteps;
  const float before = P.Score;
  for (int s = 0; s < SubSteps; ++s) sc[s] = ve[s] = kNotEvaluated;
  P.Score = P.Verify = kNotEvaluated;
  const bool leads = GroupStart[i + 1] - GroupStart[i] > 1;
  if (leads) LeaderNear[i] = 0;
  if (P.Nblock < 1 || !Compares(i)) return;
  const std::int64_t newest = Blocks * SubSteps;
  const std::int64_t stepSamples = NsampleBlock / SubSteps;
  const std::int64_t span = static_cast<std::int64_t>(P.Nblock) * NsampleBlock + DelaySamples;
  if (newest * stepSamples < span) return;  // the occurrence would begin before the input
  const float gate = GateOf(P);
  const float variantGate = VariantGate * P.Threshold;
  const float limit = leads && variantGate > gate ? variantGate : gate;
  NoiseFor(P.Nblock);
  sc[0] = Evaluate(i, 0, &ve[0], limit);
  P.Score = sc[0];
  P.Verify = ve[0];
  if (leads) LeaderNear[i] = (sc[0] < variantGate || before < variantGate) ? 1 : 0;
  if (SubSteps > 1 && (sc[0] < gate || before < gate)) {
    for (int s = 1; s < SubSteps; ++s)
      if ((newest - s) * stepSamples >= span) sc[s] = Evaluate(i, s, &ve[s], gate);
  }
}

// True while the engine is still set up as it was at Attach: a new set-up (other patterns, other
// geometry) needs a new Attach, and until then the detector leaves the engine alone.
bool PatternDetector::EngineUnchanged() const {
  const TimeSpectrumEstimation* e = Engine;
  if (e == nullptr || e->TimeSpectrum == nullptr || e->TVS == nullptr || !e->fRecognitionMode ||
      e->NPattern != NPattern || e->Nband != Nband || e->NsampleBlock != NsampleBlock || e->NframeAvg != FrameAvg ||
      e->NframeHop != FrameHop || (SubSteps > 1 && e->DftPowRing == nullptr))
    return false;
  for (int i = 0; i < NPattern; ++i) {
    const SignalTVSEx* T = e->TVS[i];
    if (Patterns[i].Nblock > 0 && (T == nullptr || T->Nblock != Patterns[i].Nblock)) return false;
  }
  return true;
}

void PatternDetector::OnTimeBlock() {
  if (!EngineUnchanged()) return;
  PushSteps();
  ++Blocks;
  TrackNoise();
  for (int s = 0; s < SubSteps; ++s) WorkReady[s] = 0;
  if (Preselect != nullptr) Preselect->Push(LogRing + static_cast<long>(RingPos) * Nband);

  // Scores at every alignment step of this time block (phase 0: the newest). The coarse
  // alignment is compared always, the finer ones where a score nearby came near the threshold.
  // Group leaders come first; the other members of a group (speed variants) are compared only
  // while their leader comes within VariantGate of its threshold.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < NPattern; ++i) {
      const int leader = Patterns[i].Group;
      if ((pass == 0) != (leader == i)) continue;
      if ((pass == 1 && !CalibrationMode && !LeaderNear[leader]) || !Selected(leader)) {
        DetectorPattern& P = Patterns[i];
        for (int s = 0; s < SubSteps; ++s)
          StepScore[static_cast<long>(i) * SubSteps + s] = StepVerify[static_cast<long>(i) * SubSteps + s] =
              kNotEvaluated;
        P.Score = P.Verify = kNotEvaluated;
        continue;
      }
      ScorePattern(i);
    }
  }

  ShapeBlock();
  if (CalibrationMode) {
    CalibrationBlocks += 1.0;
    for (int i = 0; i < NPattern; ++i) {
      DetectorPattern& P = Patterns[i];
      for (int s = 0; s < SubSteps; ++s) {
        const float v = StepScore[static_cast<long>(i) * SubSteps + s];
        if (v < kNotEvaluated && (P.BackgroundMin <= 0.0f || v < P.BackgroundMin)) P.BackgroundMin = v;
      }
    }
  } else {
    for (int s = SubSteps - 1; s >= 0; --s) Decide(s);
  }
  if (OnBlock != nullptr) OnBlock(OnBlockContext, this);
}

// The decision at one alignment step (phase steps before the newest), in time order: per
// group, the member furthest under its threshold; a candidate follows the local minimum and is
// reported once no better alignment came for the pattern's length.
void PatternDetector::Decide(int phase) {
  const std::int64_t step = Blocks * SubSteps - phase;
  for (int g = 0; g < NPattern; ++g) {
    if (Patterns[g].Group != g) continue;
    Candidate& c = Candidates[g];
    if (!c.Active && !Selected(g)) {  // nothing compared, nothing pending
      c.Armed = 1;
      continue;
    }
    int best = -1;
    float bestZ = 1.0e30f;
    for (int m = GroupStart[g]; m < GroupStart[g + 1]; ++m) {
      const int i = GroupMembers[m];
      const DetectorPattern& P = Patterns[i];
      const float v = StepScore[static_cast<long>(i) * SubSteps + phase];
      if (v >= kNotEvaluated || P.Threshold <= 0.0f) continue;
      float z = v / P.Threshold;
      // Verification: every quarter of the pattern must be there, not just most of it.
      if (z < 1.0f && StepVerify[static_cast<long>(i) * SubSteps + phase] > VerifyFactor * P.Threshold) z = 1.0f;
      if (z < bestZ) {
        bestZ = z;
        best = i;
      }
    }
    if (!c.Armed && (bestZ >= 1.0f || step >= c.Rearm)) c.Armed = 1;
    if (c.Active && !c.NextSet && step == c.Step + 1) {
      c.Next = StepScore[static_cast<long>(c.Pattern) * SubSteps + phase];
      c.NextSet = 1;
    }
    if (best >= 0 && bestZ < 1.0f && (c.Active ? bestZ < c.Z : c.Armed != 0)) {
      const DetectorPattern& P = Patterns[best];
      c.Active = 1;
      c.Pattern = best;
      c.Z = bestZ;
      c.Score = StepScore[static_cast<long>(best) * SubSteps + phase];
      c.Verify = StepVerify[static_cast<long>(best) * SubSteps + phase];
      c.RelDev = Engine->TVS[best] != nullptr ? Engine->TVS[best]->RelDev : 2.0f;
      c.RelDevMpb = Engine->TVS[best] != nullptr ? Engine->TVS[best]->RelDevMPB : 2.0f;
      c.Prev = PrevScore[best];
      c.Next = kNotEvaluated;
      c.NextSet = 0;
      c.Step = step;
      c.Confirm = step + static_cast<std::int64_t>(SubSteps) * (P.Nblock > 2 ? P.Nblock - 1 : 2);
    }
    if (c.Active && step >= c.Confirm) {
      Emit(c);
      c.Active = 0;
      // One report per occurrence: a new candidate needs the group to leave its threshold
      // first, or another pattern length to pass.
      c.Armed = 0;
      c.Rearm = step + static_cast<std::int64_t>(SubSteps) * Patterns[c.Pattern].Nblock;
    }
  }
  for (int i = 0; i < NPattern; ++i) PrevScore[i] = StepScore[static_cast<long>(i) * SubSteps + phase];
}

void PatternDetector::Emit(const Candidate& c) {
  const DetectorPattern& P = Patterns[c.Pattern];
  // Position of the minimum between alignment steps from a parabola through the neighbours.
  float delta = 0.0f;
  if (c.NextSet && c.Prev < kNotEvaluated && c.Next < kNotEvaluated) {
    const float den = c.Prev - 2.0f * c.Score + c.Next;
    if (den > 0.0f) {
      delta = 0.5f * (c.Prev - c.Next) / den;
      if (delta > 0.5f) delta = 0.5f;
      if (delta < -0.5f) delta = -0.5f;
    }
  }
  DetectorReport r;
  r.Pattern = c.Pattern;
  r.Group = P.Group;
  r.SpeedPercent = P.SpeedPercent;
  const double end = (static_cast<double>(c.Step) + delta) * (static_cast<double>(NsampleBlock) / SubSteps);
  std::int64_t begin = static_cast<std::int64_t>(std::llround(end)) -
                       static_cast<std::int64_t>(P.Nblock) * NsampleBlock - DelaySamples;
  if (begin < 0) begin = 0;
  r.Begin = Origin + begin;
  r.End = r.Begin + static_cast<std::int64_t>(P.Nblock) * NsampleBlock;
  r.Score = c.Score;
  r.Threshold = P.Threshold;
  r.Confidence = P.Threshold > 0.0f ? 1.0f - c.Score / P.Threshold : 0.0f;
  if (r.Confidence < 0.0f) r.Confidence = 0.0f;
  r.Verify = c.Verify;
  r.RelDev = c.RelDev;
  r.RelDevMpb = c.RelDevMpb;
  r.Method = 0;
  r.Stretch = 0.0f;
  r.Name = P.Name != nullptr ? P.Name : "";
  Store(r);
}

// Adds a report to the list, unless it repeats the group's last report (the other path may have
// reported the same occurrence).
void PatternDetector::Store(const DetectorReport& r) {
  if (Repeats(r)) return;
  if (NReport == CapReport) {
    const int cap = CapReport < 16 ? 16 : CapReport * 2;
    DetectorReport* grown = new (std::nothrow) DetectorReport[cap];
    if (grown == nullptr) return;
    if (NReport > 0)
      std::memcpy(static_cast<void*>(grown), Reports, sizeof(DetectorReport) * static_cast<std::size_t>(NReport));
    delete[] Reports;
    Reports = grown;
    CapReport = cap;
  }
  Reports[NReport++] = r;
}

int PatternDetector::Finish() {
  if (Candidates == nullptr) return 0;
  const int before = NReport;
  for (int g = 0; g < NPattern; ++g) {
    Candidate& c = Candidates[g];
    if (!c.Active) continue;
    Emit(c);
    c.Active = 0;
  }
  ShapeFinish();
  return NReport - before;
}

const DetectorReport* PatternDetector::GetReport(int i) const {
  if (i < 0 || i >= NReport) return nullptr;
  return &Reports[i];
}

void PatternDetector::ClearReports() { NReport = 0; }

void PatternDetector::SetBlockCallback(BlockCallback fn, void* context) {
  OnBlock = fn;
  OnBlockContext = context;
}
