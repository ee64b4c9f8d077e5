// The shape distance (shape_distance.h): every group leader long enough is also compared by the
// shape of its bands over time (shape_match.h), which finds clips through compression,
// equalisation and speed changes that the level distance cannot follow. It keeps its own
// candidates (a local minimum of the shape distance, confirmed once no better one came for the
// pattern's length) and reports through the core's sink into the same store (report_store.h),
// which drops a report that repeats the group's last one (the level path found the same
// occurrence).
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "shape_distance.h"
#include "report_store.h"
#include "shape_path.h"
#include "shape_calibration.h"
#include "flag_scan.h"

namespace {

constexpr float kTiny = 1.0e-12f;
constexpr float kSilence_dB = -120.0f;

inline float LevelDb(float power) { return 10.0f * std::log10(power > kTiny ? power : kTiny); }

// The shape distance under which pattern P's candidates are taken: its threshold, or for a
// pattern whose reports a finer check confirms after the detector (SetChecked) ShapeCheckedScale
// times it. What a room or a phone does to a short clip (reverberation smearing its onsets, a
// small speaker's band, noise in its pauses) moves its shape distance past the threshold that
// keeps chance matches out; the check tells the clip from its near relatives and chance, so
// such a pattern's candidates between the two are reported tentative, for the check to decide.
inline float ShapeLimit(const DetectorPattern& P, const DetectorTuning& tuning) {
  return P.Checked && tuning.ShapeCheckedScale > 1.0f ? tuning.ShapeCheckedScale * P.ShapeThreshold : P.ShapeThreshold;
}

}  // namespace

using spdet::kLowestShapeThreshold;
using spdet::kNotCompared;

std::unique_ptr<spdet::Distance> spdet::MakeShapeDistance() { return std::make_unique<ShapeDistance>(); }

void spdet::ShapeDistance::SetUp(const DistanceSetUp& s) {
  s_ = s;
  n_ = static_cast<int>(s.patterns->size());
  selected_ = nullptr;
  calibrating_ = false;
  Shape = std::make_unique<ShapeState>();
  spdet::ShapeTuning tuning;
  tuning.SegmentBlocks = s_.tuning->ShapeSegmentBlocks;
  tuning.FloorDepth_dB = s_.tuning->ShapeFloorDepth_dB;
  tuning.MaxSpeed = s_.tuning->ShapeMaxSpeed;
  tuning.MinLevel_dB = s_.tuning->MinLevel_dB;
  const int first = std::max(0, s_.engine->BandFirst);
  const int last = std::min(s_.nband - 1, s_.engine->BandLast);
  Shape->matcher.Configure(s_.nband, first, last, tuning);
  // (Reverberant view: configured here, each pattern added after its threshold is known.)
  spdet::ReverbTuning reverb;
  reverb.Rt60 = s_.tuning->ReverbRt60;
  reverb.Drr_dB = s_.tuning->ReverbDrr_dB;
  reverb.Open = s_.tuning->ReverbOpen;
  reverb.NegativeScale = s_.tuning->ShapeNegativeScale;
  const double fs = s_.engine->TVS[0] != nullptr && s_.engine->TVS[0]->Fs > 0.0f ? s_.engine->TVS[0]->Fs : 44100.0;
  Shape->reverb.Configure(s_.nband, first, last, tuning, reverb, static_cast<float>(s_.blockSamples / fs));
  Shape->reach = 0;
  Shape->partThreshold.assign(static_cast<std::size_t>(n_), {});
  Shape->reverbSketch.assign(static_cast<std::size_t>(n_), {});
  Shape->partSketch.assign(static_cast<std::size_t>(n_), {});
  for (int i = 0; i < n_; ++i) {
    const DetectorPattern& P = Pattern(i);
    const SignalTVSEx* T = s_.engine->TVS[i];
    // Oldest block first; the newest block (what followed the clip) is left out.
    const int n = P.Nblock - 1;
    const bool wanted = s_.tuning->ShapeMinBlocks > 0 && n >= s_.tuning->ShapeMinBlocks && last > first &&
                        T != nullptr && T->SpectrumByBand != nullptr;
    if (!wanted) {
      Shape->matcher.Add(nullptr, 0, 1);
      ShapeSelfCalibrate(i, nullptr, nullptr, nullptr);
      Shape->reverb.Add(nullptr, 0, 1, 0.0f);
      continue;
    }
    Shape->levels.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(s_.nband));
    ClipLevels(i, Shape->levels.data());
    Shape->matcher.Add(Shape->levels.data(), n, s_.tuning->ShapeMinBlocks);
    // The distances of sounds made from the pattern: kept from an earlier set-up, else found now
    // and kept (shape_calibration.h).
    const std::uint64_t key =
        spdet::ShapeSelfKey({T->SpectrumByBand, P.Nblock, s_.nband, s_.engine->BandFirst, s_.engine->BandLast,
                             s_.blockSamples, fs, s_.tuning});
    spdet::ShapeSelfValues known, made;
    const bool found = spdet::FindShapeSelf(key, s_.cacheDirectory, known);
    ShapeSelfCalibrate(i, Shape->levels.data(), found ? &known : nullptr, &made);
    DrawPartSketch(i, Shape->levels.data());
    Shape->reverb.Add(Shape->levels.data(), n, s_.tuning->ShapeMinBlocks, P.ShapeThreshold,
                      found ? known.reverb : -1.0f, &made.reverb);
    if (!found) spdet::KeepShapeSelf(key, s_.cacheDirectory, made);
    // A group leader's reverberant sketch from the levels just smeared (reverb_sketches.cpp).
    if (s_.preselect != nullptr && P.Group == i && Shape->reverb.Smeared() != nullptr)
      Shape->reverbSketch[static_cast<std::size_t>(i)] = s_.preselect->Draw(Shape->reverb.Smeared(), n);
    if (Shape->matcher.Pattern(i).Usable()) Shape->reach = std::max(Shape->reach, Shape->matcher.Pattern(i).Reach());
  }
  Shape->matcher.Start();
  Shape->reverb.Start();
  Shape->gate.assign(static_cast<std::size_t>(n_), 0.0f);
  Shape->open.assign(static_cast<std::size_t>(n_), 0);
  Shape->candidates.assign(static_cast<std::size_t>(n_), ShapeState::Candidate());
  Shape->following.assign(static_cast<std::size_t>(n_), ShapeState::Candidate());
  Shape->partials.assign(static_cast<std::size_t>(n_), ShapeState::Partial());
  Shape->partDue.assign(static_cast<std::size_t>(n_), 0);
  Shape->shown.assign(static_cast<std::size_t>(n_), 0);
  Shape->previous.assign(static_cast<std::size_t>(n_), kNotCompared);
}

// Its sketches after the patterns' own: the first parts', then the reverberant ones (after the
// partial ones, which are told by their indices).
void spdet::ShapeDistance::AddSketches(Preselector& preselect, std::vector<float>& scratch) {
  AddPartialSketches(preselect, scratch);
  AddReverbSketches(preselect, scratch);
}

// The shape threshold of pattern i: the default, kept under ShapeNegativeScale times the shape
// distance of sounds made from the pattern itself (played backwards, halves swapped). own: the
// levels pattern i was added with (oldest block first); null for a pattern not compared. known:
// those distances from an earlier set-up (null: found now); made: where they are put.
void spdet::ShapeDistance::ShapeSelfCalibrate(int i, const float* own, const ShapeSelfValues* known,
                                              ShapeSelfValues* made) {
  DetectorPattern& P = Pattern(i);
  P.ShapeThreshold = 0.0f;
  P.ShapeNegative = kNotCompared;
  P.ShapeBackgroundMin = 0.0f;
  P.ShapeScore = kNotCompared;
  if (own == nullptr || !Shape->matcher.Pattern(i).Usable()) return;
  const int n = Shape->matcher.Pattern(i).Blocks();
  float closest = kNotCompared;
  // The same for each part of the pattern alone (partial occurrences).
  std::vector<float> parts, partClosest(Shape->matcher.Pattern(i).Parts().size(), kNotCompared);
  if (known != nullptr && known->parts.size() == partClosest.size()) {
    closest = known->negative;
    partClosest = known->parts;
  } else {
    std::vector<float> other(static_cast<std::size_t>(n) * s_.nband);
    for (int t = 0; t < 2; ++t) {
      for (int k = 0; k < n; ++k) {
        const int from = t == 0 ? n - 1 - k : (k + n / 2) % n;
        std::copy_n(own + static_cast<long>(from) * s_.nband, s_.nband, other.begin() + static_cast<long>(k) * s_.nband);
      }
      closest = std::min(closest, Shape->matcher.DistanceOf(i, other.data(), n, &parts));
      for (std::size_t k = 0; k < parts.size(); ++k) partClosest[k] = std::min(partClosest[k], parts[k]);
    }
  }
  if (made != nullptr) {
    made->negative = closest;
    made->parts = partClosest;
  }
  P.ShapeNegative = closest;
  const float thr = ShapeThresholdOf(n, closest);
  P.ShapeThreshold = thr >= kLowestShapeThreshold ? thr : 0.0f;
  if (P.ShapeThreshold > 0.0f) PartialThresholds(i, partClosest);
}

// The shape threshold of a pattern `blocks` long whose self-made sounds came `closest` near.
float spdet::ShapeDistance::ShapeThresholdOf(int blocks, float closest) const {
  // A shorter pattern correlates with more of what it is not: its threshold falls with the root
  // of its length under ShapeFullBlocks.
  const float full = static_cast<float>(std::max(1, s_.tuning->ShapeFullBlocks));
  const float length = std::min(1.0f, std::sqrt(static_cast<float>(blocks) / full));
  return std::min(s_.tuning->ShapeThreshold * length, s_.tuning->ShapeNegativeScale * closest);
}

void spdet::ShapeDistance::Reset() {
  if (Shape == nullptr) return;
  Shape->matcher.Reset();
  Shape->reverb.Reset();
  std::fill(Shape->candidates.begin(), Shape->candidates.end(), ShapeState::Candidate());
  std::fill(Shape->following.begin(), Shape->following.end(), ShapeState::Candidate());
  std::fill(Shape->partials.begin(), Shape->partials.end(), ShapeState::Partial());
  Shape->partialsActive = 0;
  Shape->candidatesActive = 0;
  Shape->inputEnd = -1;
  for (ShapeState::PartWindow& w : Shape->partWindows) {
    w.from = 0;
    w.until = -1;
    w.listed = false;
  }
  Shape->partListed.clear();
  std::fill(Shape->partDue.begin(), Shape->partDue.end(), 0);
  std::fill(Shape->previous.begin(), Shape->previous.end(), kNotCompared);
}

// After every time block: the newest block at the engine's alignment into the shape matcher.
// (It writes no distance into the picker's table: its candidates are its own.)
void spdet::ShapeDistance::Block(const DistanceBlock& in, const StepTable& out) {
  (void)out;
  selected_ = in.selected;
  calibrating_ = in.calibrating;
  if (Shape == nullptr || Shape->matcher.Count() != n_) return;
  const float* newest = in.input.ring + static_cast<long>(in.input.newest) * s_.nband;
  MarkPartsDue(true);
  // The pre-selection's flags first: a pattern it leaves out is not looked up. (With it, only
  // the patterns selected, due for a part or compared at the last block are visited.)
  const auto setGate = [this](int i) {
    const std::size_t at = static_cast<std::size_t>(i);
    Shape->SetGate(at, Selected(i) || Shape->partDue[at] ? ShapeGateOf(i) : 0.0f);
  };
  const bool all = selected_ == nullptr || calibrating_;
  if (all) {
    for (int i = 0; i < n_; ++i) setGate(i);
  } else {
    spdet::ForEachFlagged(n_, selected_, Shape->partDue.data(), Shape->open.data(), setGate);
  }
  Shape->matcher.Push(newest, Shape->gate.data(), Shape->open.data());
  // The reverberant view compares the patterns the plain one found near (not while calibrating).
  if (!calibrating_) Shape->reverb.Push(newest, Shape->matcher, Shape->gate.data());
  // (Only the patterns compared now or at the block before: the others keep "not compared".)
  spdet::ForEachFlagged(n_, Shape->open.data(), Shape->shown.data(), nullptr, [this](int i) {
    const std::size_t at = static_cast<std::size_t>(i);
    const spdet::ShapeScore& s = Shape->matcher.Score(i);
    Pattern(i).ShapeScore = s.Exact ? s.Distance : kNotCompared;
    Shape->shown[at] = Shape->open[at];
  });
  if (calibrating_) {
    for (int i = 0; i < n_; ++i) {
      DetectorPattern& P = Pattern(i);
      if (P.ShapeScore < kNotCompared && (P.ShapeBackgroundMin <= 0.0f || P.ShapeScore < P.ShapeBackgroundMin))
        P.ShapeBackgroundMin = P.ShapeScore;
    }
    return;
  }
  // A pattern no longer selected still confirms the candidate it has.
  const auto decide = [this](int i) {
    const std::size_t at = static_cast<std::size_t>(i);
    const bool open = Shape->open[at] != 0;
    // (A shut pattern's records are looked at only while some candidate of theirs is active.)
    if (open || (Shape->candidatesActive > 0 && Shape->candidates[at].active)) ShapeDecide(i);
    if ((open || (Shape->partialsActive > 0 && Shape->partials[at].active)) && !Shape->partThreshold[at].empty())
      PartialDecide(i);
  };
  if (Shape->candidatesActive > 0 || Shape->partialsActive > 0) {
    for (int i = 0; i < n_; ++i) decide(i);
  } else {
    spdet::ForEachFlagged(n_, Shape->open.data(), nullptr, nullptr, decide);
  }
}

// The gate of pattern i's exact shape comparison while it is compared; 0: not compared.
float spdet::ShapeDistance::ShapeGateOf(int i) const {
  const DetectorPattern& P = Pattern(i);
  if (!(P.ShapeThreshold > 0.0f && P.Group == i && Compares(i))) return 0.0f;
  return calibrating_ ? 1.0f : ShapeLimit(P, *s_.tuning) + s_.tuning->ShapeGate;
}

int spdet::ShapeDistance::SketchReach(int i) const {
  return Shape != nullptr && i < Shape->matcher.Count() && Shape->matcher.Pattern(i).Usable()
             ? Shape->matcher.Pattern(i).Reach()
             : 0;
}

// The candidate of pattern i follows the local minimum of its shape distance; it is reported
// once no better one came for the pattern's length.
void spdet::ShapeDistance::ShapeDecide(int i) {
  const DetectorPattern& P = Pattern(i);
  // (Where the plain view does not pass: the better of it and the reverberant view.)
  const spdet::ShapeScore s = Shape->reverb.Better(i, Shape->matcher.Score(i), P.ShapeThreshold);
  ShapeState::Candidate& c = Shape->candidates[static_cast<std::size_t>(i)];
  const float d = s.Exact ? s.Distance : kNotCompared;
  const float z = d < kNotCompared ? d / ShapeLimit(P, *s_.tuning) : 1.0e30f;
  const std::int64_t now = Shape->matcher.Blocks();
  ShapeState::Candidate& f = Shape->following[static_cast<std::size_t>(i)];
  if (!c.armed && (z >= 1.0f || now >= c.rearm)) c.armed = true;
  for (ShapeState::Candidate* x : {&c, &f}) {
    if (!x->active) break;  // (an occurrence is followed only beside a candidate)
    if (z >= 1.0f) x->left = true;
    if (!x->nextSet && s.End == x->end + 1) {
      x->next = d;
      x->nextSet = true;
    }
  }
  const auto take = [&](ShapeState::Candidate& x) {
    x.active = true;
    x.left = false;
    x.z = z;
    x.score = d;
    x.shift = s.Shift;
    x.end = s.End;
    x.seen = std::min(SeenOfWhole(i, s.Shift),
                      static_cast<float>(FedBlocks(i, s.End)) / static_cast<float>(Shape->matcher.Pattern(i).Blocks()));
    x.prev = Shape->previous[static_cast<std::size_t>(i)];
    x.next = kNotCompared;
    x.nextSet = false;
    x.confirm = now + (P.Nblock > 2 ? P.Nblock - 1 : 2);
  };
  // A window so far from the candidate's that the two would share less than half of the clip
  // is another occurrence: a better one reports the candidate at once and takes its place;
  // another, once the distance has left the threshold since the candidate's best, is followed
  // and becomes the candidate when that one is reported.
  const bool apart = z < 1.0f && c.active && 2 * (s.End - c.end) > P.Nblock;
  if (apart && z < c.z) {
    ShapeEmit(i);
    c.active = f.active = false;
    --Shape->candidatesActive;
  } else if (apart && c.left && (!f.active || z < f.z)) {
    take(f);
  }
  if (z < 1.0f && (c.active ? z < c.z : c.armed)) {
    if (!c.active) ++Shape->candidatesActive;
    take(c);
  }
  Shape->previous[static_cast<std::size_t>(i)] = d;
  if (c.active && now >= c.confirm) {
    ShapeEmit(i);
    if (f.active) {  // the next occurrence is the candidate now
      c = f;
      f.active = false;
    } else {
      c.active = false;
      --Shape->candidatesActive;
      c.armed = false;
      c.rearm = now + P.Nblock;
    }
  }
}

// Reports pattern i's shape candidate.
void spdet::ShapeDistance::ShapeEmit(int i) {
  const DetectorPattern& P = Pattern(i);
  const ShapeState::Candidate& done = Shape->candidates[static_cast<std::size_t>(i)];
  // (Less than the tuning asks for can only be left where the input ended.)
  if (done.seen < 1.0f && done.seen < s_.tuning->PartialMinSeen) return;
  float delta = 0.0f;
  if (done.nextSet && done.prev < kNotCompared && done.next < kNotCompared) {
    const float den = done.prev - 2.0f * done.score + done.next;
    if (den > 0.0f) delta = std::clamp(0.5f * (done.prev - done.next) / den, -0.5f, 0.5f);
  }
  DetectorReport r = ShapeReport(i, done.end, done.shift, delta);
  r.Score = done.score;
  r.Threshold = P.ShapeThreshold;
  r.Confidence = std::max(0.0f, 1.0f - done.score / P.ShapeThreshold);
  r.Tentative = done.score >= P.ShapeThreshold ? 1 : 0;
  r.Seen = done.seen;
  r.End = r.Begin + std::llround(static_cast<double>(r.Seen) * static_cast<double>(r.End - r.Begin));
  s_.reports->Store(r);
}

// The report of a shape candidate of pattern i: its window's newest block `end`, the speed
// `shift`, the position between alignment steps `delta` (blocks).
DetectorReport spdet::ShapeDistance::ShapeReport(int i, std::int64_t end, int shift, float delta) const {
  const DetectorPattern& P = Pattern(i);
  DetectorReport r{};
  r.Pattern = i;
  r.Group = P.Group;
  r.SpeedPercent = P.SpeedPercent;
  // The window's newest block is the pattern's second newest: the pattern ends one block later.
  const double last = (static_cast<double>(end + 1) + delta) * s_.blockSamples;
  const std::int64_t length = static_cast<std::int64_t>(P.Nblock - shift) * s_.blockSamples;
  std::int64_t begin = static_cast<std::int64_t>(std::llround(last)) - length - s_.delaySamples;
  if (begin < 0) begin = 0;
  r.Begin = s_.reports->Origin() + begin;
  r.End = r.Begin + length;
  r.Verify = 0.0f;
  r.RelDev = r.RelDevMpb = kNotCompared;  // the library compared other alignments
  r.Method = DetectorReport::kShapeMethod;
  r.Stretch = 100.0f * Shape->matcher.Pattern(i).SpeedOf(shift);
  r.Name = P.Name.c_str();
  return r;
}

// End of the stream: the windows still waiting for the blocks that follow them are judged at
// the speeds the fed blocks allow (silence stands in for the rest), then every candidate is
// reported. A clip the input's end cut off is judged for its parts where the whole clip would
// have ended, silence standing in for what did not play.
void spdet::ShapeDistance::Finish(const DistanceBlock& in) {
  selected_ = in.selected;
  calibrating_ = in.calibrating;
  if (Shape == nullptr || calibrating_ || Shape->matcher.Count() != n_) return;
  std::vector<float> silence(static_cast<std::size_t>(s_.nband), kSilence_dB);
  const std::vector<float> fed = Shape->gate;  // the patterns compared at the last block fed
  const std::int64_t last = Shape->matcher.Blocks();
  const std::int64_t until = std::max(last + Shape->reach, PartsDueUntil());
  Shape->inputEnd = last;
  for (std::int64_t now = last + 1; now <= until; ++now) {
    MarkPartsDue(false);
    for (int i = 0; i < n_; ++i) {
      const std::size_t at = static_cast<std::size_t>(i);
      Shape->SetGate(at, PartsDue(i) ? ShapeGateOf(i) : now - last <= Shape->reach ? fed[at] : 0.0f);
    }
    Shape->matcher.Push(silence.data(), Shape->gate.data(), Shape->open.data());
    Shape->reverb.Push(silence.data(), Shape->matcher, Shape->gate.data());
    for (int i = 0; i < n_; ++i)
      if (Shape->gate[static_cast<std::size_t>(i)] > 0.0f) {
        ShapeDecide(i);
        if (!Shape->partThreshold[static_cast<std::size_t>(i)].empty()) PartialDecide(i);
      }
  }
  for (int i = 0; i < n_; ++i) {
    ShapeState::Candidate& c = Shape->candidates[static_cast<std::size_t>(i)];
    if (!c.active) continue;
    c.confirm = Shape->matcher.Blocks();
    ShapeDecide(i);
    if (c.active) {  // the occurrence that followed it
      ShapeEmit(i);
      c.active = false;
      --Shape->candidatesActive;
    }
  }
  // Then the partial ones, which whole occurrences of the same clip drop.
  for (int i = 0; i < n_; ++i) {
    ShapeState::Partial& c = Shape->partials[static_cast<std::size_t>(i)];
    if (!c.active) continue;
    c.confirm = Shape->matcher.Blocks();
    PartialDecide(i);
  }
  Shape->inputEnd = -1;
}
