// The pre-selection's reverberant sketches: a room fills a clip's pauses with the decay of what
// came before, and a sketch of the plain pattern (its chunks floored and double-centred) then
// correlates as little with it as with another clip; a short ident in a room of RT60 0.55-0.7 s
// fell under its sketch's gate. Each group leader with a sketch therefore gets a second one,
// made from its levels as the reverberant view smears them (reverb_view.h), whose passing has the
// pattern compared as its own sketch's would.
#include <vector>

#include "preselect.h"
#include "reverb_view.h"
#include "shape_distance.h"
#include "shape_path.h"

void spdet::ShapeDistance::AddReverbSketches(Preselector& preselect, std::vector<float>& scratch) {
  if (!(s_.tuning->ReverbRt60 > 0.0f)) return;
  const double fs = s_.engine->TVS[0] != nullptr && s_.engine->TVS[0]->Fs > 0.0f ? s_.engine->TVS[0]->Fs : 44100.0;
  for (int i = 0; i < n_; ++i) {
    const DetectorPattern& P = Pattern(i);
    const SignalTVSEx* T = s_.engine->TVS[i];
    if (P.Group != i || P.Nblock < 2 || T == nullptr || T->SpectrumByBand == nullptr) continue;
    Preselector::Drawn& drawn = Shape->reverbSketch[static_cast<std::size_t>(i)];
    if (!drawn.Empty()) {  // drawn at set-up from the same smeared levels
      preselect.SetTarget(preselect.Add(std::move(drawn), SketchReach(i)), i);
      drawn = {};
      continue;
    }
    const int n = P.Nblock - 1;
    scratch.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(s_.nband));
    ClipLevels(i, scratch.data());
    spdet::SmearLevels(scratch.data(), n, s_.nband, static_cast<float>(s_.blockSamples / fs), s_.tuning->ReverbRt60,
                       s_.tuning->ReverbDrr_dB);
    preselect.SetTarget(preselect.Add(scratch.data(), n, SketchReach(i)), i);
  }
}
