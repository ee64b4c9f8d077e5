// Partial occurrences: a station cuts a jingle short, or talks over it from some point on, and
// the whole clip's shape distance no longer passes. The shape path keeps the comparison of each
// piece of a pattern, so at the alignment where the whole clip would have ended, the clip's
// first pieces (the part that played) can be judged alone: a part passes its own threshold,
// set like a whole pattern's for a pattern that long (from its length and from sounds made of
// the pattern itself). The report says how much of the clip was found ("Seen"); a whole
// report of the same occurrence drops it, so a partial report waits until any whole candidate
// of its group is decided.
#include <algorithm>
#include <cmath>

#include "shape_distance.h"
#include "flag_scan.h"
#include "preselect.h"
#include "shape_path.h"

// The parts of pattern i worth a report and their thresholds: at least PartialMinSeen of the
// clip, at most PartialParts of them spread over the lengths (the longest always); a part whose
// threshold falls under kLowestShapeThreshold (under about 0.95 s) is not tried. A part may be
// shorter than a whole pattern must be to be compared by shape (ShapeMinBlocks): a sweeper of
// 2 s cut after 55-65 % leaves its first piece (1.2 s), whose threshold is made from its length.
// closest[k]: the distance of part k of sounds made from the pattern.
void spdet::ShapeDistance::PartialThresholds(int i, const std::vector<float>& closest) {
  std::vector<float>& thresholds = Shape->partThreshold[static_cast<std::size_t>(i)];
  thresholds.clear();
  const spdet::ShapePattern& p = Shape->matcher.Pattern(i);
  const int n = p.Blocks();
  if (s_.tuning->PartialMinSeen >= 1.0f || s_.tuning->PartialParts <= 0) return;
  std::vector<int> eligible;
  for (std::size_t k = 0; k < p.Parts().size(); ++k) {
    const int blocks = p.Parts()[k].blocks;
    if (static_cast<float>(blocks) >= s_.tuning->PartialMinSeen * static_cast<float>(n))
      eligible.push_back(static_cast<int>(k));
  }
  if (eligible.empty()) return;
  thresholds.assign(p.Parts().size(), 0.0f);
  const int count = std::min<int>(s_.tuning->PartialParts, static_cast<int>(eligible.size()));
  for (int j = 0; j < count; ++j) {
    // Spread from the longest part down.
    const int k = eligible[eligible.size() - 1 -
                           static_cast<std::size_t>(j) * (eligible.size() - 1) / static_cast<std::size_t>(std::max(1, count - 1))];
    const float thr = s_.tuning->PartialScale * ShapeThresholdOf(p.Parts()[static_cast<std::size_t>(k)].blocks,
                                                             closest[static_cast<std::size_t>(k)]);
    thresholds[static_cast<std::size_t>(k)] = thr >= spdet::kLowestShapeThreshold ? thr : 0.0f;
  }
  if (std::none_of(thresholds.begin(), thresholds.end(), [](float t) { return t > 0.0f; })) thresholds.clear();
}

// A clip cut after most of it played can still pass as a whole: its first pieces carry the
// correlation. Where the whole passes, the newest pieces are looked at alone: the longest run of
// them (a tenth of the clip at least, leaving at least PartialMinSeen) that correlates under
// PartialTail is what did not play. Measured on the pieces of whole matches of the broadcast
// corpus: what follows a cut correlates at -0.2..0.2, the end of a clip that played (under
// talk or a crossfade) mostly over 0.2. Returns the fraction found.
float spdet::ShapeDistance::SeenOfWhole(int i, int shift) {
  const std::size_t at = static_cast<std::size_t>(i);
  if (Shape->partThreshold[at].empty()) return 1.0f;
  std::vector<float>& num = Shape->pieceNum;
  std::vector<float>& norm = Shape->pieceNorm;
  Shape->matcher.PieceSums(i, shift, num, norm);
  const spdet::ShapePattern& p = Shape->matcher.Pattern(i);
  const float n = static_cast<float>(p.Blocks());
  float seen = 1.0f, sum = 0.0f, own = 0.0f, input = 0.0f;
  int tail = 0;
  for (std::size_t j = 0; j < p.Pieces().size(); ++j) {  // newest first
    tail += p.Pieces()[j].length;
    if (n - static_cast<float>(tail) < s_.tuning->PartialMinSeen * n) break;
    sum += num[j];
    own += p.Pieces()[j].exact.norm;
    input += norm[j];
    const float r = own * input > 0.0f ? sum / std::sqrt(own * input) : 0.0f;
    if (static_cast<float>(tail) >= 0.1f * n && r < s_.tuning->PartialTail) seen = (n - static_cast<float>(tail)) / n;
  }
  // (Pieces are coarse: where one was not heard, the cut is found to the block; where all were,
  // a cut under a bed can still show in the blocks.)
  return s_.reports->CutSeen(i, shift, Shape->matcher.Score(i).End, Shape->matcher.Blocks(), seen, true);
}

// At set-up, while pattern i's levels (oldest block first) are at hand: the sketch of its first
// part, which AddPartialSketches adds.
void spdet::ShapeDistance::DrawPartSketch(int i, const float* levels) {
  if (s_.preselect == nullptr || Shape->partThreshold[static_cast<std::size_t>(i)].empty() || Pattern(i).Group != i)
    return;
  const int shortest = Shape->matcher.Pattern(i).Blocks() - PartLead(i);
  Shape->partSketch[static_cast<std::size_t>(i)] = s_.preselect->Draw(levels, shortest, s_.tuning->PartialSketchGate);
}

// The pre-selection tells a pattern worth comparing by the sketch of its newest blocks, which a
// clip cut short never matches: a pattern with parts also gets a sketch of its first part (the
// shortest that may be reported). Where it passes, the shape path compares the pattern around
// the time the whole clip would end (MarkPartsDue). A first part passes on more of what it is
// not than a whole clip's newest blocks, and opens more comparisons: its sketch is a strict one
// (half as many chunks, twice as long, and a higher gate), which cut the patterns compared for
// parts on the benchmark's catalogue of 1000 about thirtyfold; PartialSketchGate from 0.3 to 0.6
// changed no report of the broadcast sets or the short-clip corpora, 0.75 lost two cut clips.
// Sketches after the patterns' own; scratch: the caller's buffer.
void spdet::ShapeDistance::AddPartialSketches(Preselector& preselect, std::vector<float>& scratch) {
  if (Shape == nullptr || Shape->partThreshold.size() != static_cast<std::size_t>(n_)) return;
  Shape->partWindows.clear();
  Shape->partSketches = 0;
  for (int i = 0; i < n_; ++i) {
    const std::vector<float>& thresholds = Shape->partThreshold[static_cast<std::size_t>(i)];
    if (thresholds.empty() || Pattern(i).Group != i) continue;
    const spdet::ShapePattern& p = Shape->matcher.Pattern(i);
    const int shortest = p.Blocks() - PartLead(i);
    // Oldest block first: the first part is the first `shortest` blocks.
    // Added in one run, the sketches follow one another: their flags are scanned together.
    Preselector::Drawn& drawn = Shape->partSketch[static_cast<std::size_t>(i)];
    if (drawn.Empty()) {
      scratch.resize(static_cast<std::size_t>(p.Blocks()) * static_cast<std::size_t>(s_.nband));
      ClipLevels(i, scratch.data());
      drawn = preselect.Draw(scratch.data(), shortest, s_.tuning->PartialSketchGate);
    }
    const int sketch = preselect.Add(std::move(drawn), 0);
    drawn = {};
    if (Shape->partWindows.empty()) Shape->partSketches = sketch;
    ShapeState::PartWindow w;
    w.pattern = i;
    w.lead = PartLead(i);
    Shape->partWindows.push_back(w);
  }
}

// Blocks from the end of pattern i's shortest part worth a report to the end of the clip.
int spdet::ShapeDistance::PartLead(int i) const {
  const std::vector<float>& thresholds = Shape->partThreshold[static_cast<std::size_t>(i)];
  const spdet::ShapePattern& p = Shape->matcher.Pattern(i);
  int shortest = p.Blocks();
  for (std::size_t k = 0; k < thresholds.size(); ++k)
    if (thresholds[k] > 0.0f) shortest = std::min(shortest, p.Parts()[k].blocks);
  return p.Blocks() - shortest;
}

// Before the shape comparison of a block: which patterns are compared for a part seen. A first
// part's sketch passes while the part's end is in the input's newest chunk, `lead` blocks before
// the whole clip would end; the shape matcher judges the window ending then over the next
// 2 Reach blocks (every speed tried). The sketch passes on a few blocks in a row, which covers
// its chunks' coarseness: a margin either way changed no report on the broadcast corpus, only
// added comparisons. Only the patterns with such a sketch are looked at. extend: the sketches'
// flags are those of the block being compared (not so after the input's end).
void spdet::ShapeDistance::MarkPartsDue(bool extend) {
  if (selected_ == nullptr) return;  // every pattern is compared
  const std::int64_t now = Shape->matcher.Blocks() + 1;
  std::vector<ShapeState::PartWindow>& windows = Shape->partWindows;
  // The windows whose sketch passed now open or extend; only those not yet past are looked at.
  const auto extendWindow = [&](int k) {
    ShapeState::PartWindow& w = windows[static_cast<std::size_t>(k)];
    const std::int64_t due = now + w.lead;
    if (now > w.until) w.from = due;
    w.until = std::max(w.until, due + 2 * Shape->matcher.Pattern(w.pattern).Reach());
    if (!w.listed) {
      w.listed = true;
      Shape->partListed.push_back(k);
    }
  };
  if (extend)
    spdet::ForEachFlagged(static_cast<int>(windows.size()), selected_ + Shape->partSketches, nullptr, nullptr,
                          extendWindow);
  std::vector<int>& listed = Shape->partListed;
  for (std::size_t n = 0; n < listed.size();) {
    ShapeState::PartWindow& w = windows[static_cast<std::size_t>(listed[n])];
    Shape->partDue[static_cast<std::size_t>(w.pattern)] = w.from <= now && now <= w.until ? 1 : 0;
    if (now > w.until) {  // past: not due again until its sketch passes again
      w.listed = false;
      listed[n] = listed.back();
      listed.pop_back();
    } else {
      ++n;
    }
  }
}

// After the input's end, silence stands in for the rest of a clip it cut off, and a part, or
// the whole clip, that takes in some silence can still pass: what is reported is at most what
// the input held, the blocks of pattern i fed before the end for the window ending at `end`.
int spdet::ShapeDistance::FedBlocks(int i, std::int64_t end) const {
  const int n = Shape->matcher.Pattern(i).Blocks();
  if (Shape->inputEnd < 0) return n;
  return static_cast<int>(std::clamp<std::int64_t>(n - (end - Shape->inputEnd), 0, n));
}

bool spdet::ShapeDistance::PartsDue(int i) const {
  return !Shape->partThreshold[static_cast<std::size_t>(i)].empty() &&
         (selected_ == nullptr || Shape->partDue[static_cast<std::size_t>(i)] != 0);
}

// The last block at which some pattern is to be compared for a part seen: the latest window
// pending, or without the pre-selection, the longest a clip begun at the newest block may take.
std::int64_t spdet::ShapeDistance::PartsDueUntil() const {
  const std::int64_t now = Shape->matcher.Blocks();
  std::int64_t until = now;
  if (selected_ != nullptr) {
    for (const ShapeState::PartWindow& w : Shape->partWindows) until = std::max(until, w.until);
    return until;
  }
  for (int i = 0; i < n_; ++i)
    if (!Shape->partThreshold[static_cast<std::size_t>(i)].empty())
      until = std::max(until, now + PartLead(i) + 2 * Shape->matcher.Pattern(i).Reach());
  return until;
}

// After the shape comparison of a block: the candidate follows the best part that passes (the
// longest one passing, where the whole clip does not), and is reported once no better one came
// for twice the pattern's length and no whole candidate of its group is pending.
void spdet::ShapeDistance::PartialDecide(int i) {
  const std::size_t at = static_cast<std::size_t>(i);
  const DetectorPattern& P = Pattern(i);
  const std::int64_t now = Shape->matcher.Blocks();
  const std::vector<float>& thresholds = Shape->partThreshold[at];
  ShapeState::Partial& c = Shape->partials[at];
  const spdet::ShapeScore& whole = Shape->matcher.Score(i);
  bool passed = false;
  if (Shape->gate[at] > 0.0f && PartsDue(i) && whole.Coarse < s_.tuning->PartialGate &&
      !(whole.Exact && whole.Distance < P.ShapeThreshold)) {
    int k = -1;
    // (After the input's end, only the parts it held.)
    const int longest = FedBlocks(i, now - Shape->matcher.Pattern(i).Reach());
    const spdet::ShapeScore s = Shape->matcher.Partial(i, thresholds, s_.tuning->ShapeGate, longest, &k);
    passed = k >= 0;
    const float z = passed ? s.Distance / thresholds[static_cast<std::size_t>(k)] : 0.0f;
    if (passed && (c.active ? z < c.z : c.armed)) {
      if (!c.active) ++Shape->partialsActive;
      c.active = true;
      c.z = z;
      c.score = s.Distance;
      c.threshold = thresholds[static_cast<std::size_t>(k)];
      c.part = k;
      c.shift = s.Shift;
      c.end = s.End;
      c.seen = s_.reports->CutSeen(i, s.Shift, s.End, Shape->matcher.Blocks(),
                        static_cast<float>(Shape->matcher.Pattern(i).Parts()[static_cast<std::size_t>(k)].blocks) /
                            static_cast<float>(Shape->matcher.Pattern(i).Blocks()),
                        false);
      c.confirm = now + 2 * static_cast<std::int64_t>(P.Nblock);
    }
  }
  if (!c.armed && (!passed || now >= c.rearm)) c.armed = true;
  if (!c.active || now < c.confirm) return;
  if (Shape->candidates[at].active || (P.Group >= 0 && s_.reports->Pending(P.Group))) return;
  c.active = false;
  --Shape->partialsActive;
  c.armed = false;
  c.rearm = now + P.Nblock;
  DetectorReport r = ShapeReport(i, c.end, c.shift, 0.0f);
  r.Seen = c.seen;
  r.End = r.Begin + std::llround(static_cast<double>(r.Seen) * static_cast<double>(r.End - r.Begin));
  r.Score = c.score;
  r.Threshold = c.threshold;
  r.Confidence = std::max(0.0f, 1.0f - c.score / c.threshold);
  s_.reports->Store(r);
}
