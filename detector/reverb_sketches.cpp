// The pre-selection's reverberant sketches: a room fills a clip's pauses with the decay of what
// came before, and a sketch of the plain pattern (its chunks floored and double-centred) then
// correlates as little with it as with another clip; a short ident in a room of RT60 0.55-0.7 s
// fell under its sketch's gate. Each group leader with a sketch therefore gets a second one,
// made from its levels as the reverberant view smears them (reverb_view.h), whose passing has the
// pattern compared as its own sketch's would.
#include <vector>

#include "detector_core.h"
#include "preselect.h"
#include "reverb_view.h"

void spdet::DetectorCore::AddReverbSketches(std::vector<float>& scratch) {
  if (!(Tuning.ReverbRt60 > 0.0f) || Preselect == nullptr) return;
  const double fs = Engine->TVS[0] != nullptr && Engine->TVS[0]->Fs > 0.0f ? Engine->TVS[0]->Fs : 44100.0;
  for (int i = 0; i < NPattern; ++i) {
    const DetectorPattern& P = Patterns[i];
    const SignalTVSEx* T = Engine->TVS[i];
    if (P.Group != i || P.Nblock < 2 || T == nullptr || T->SpectrumByBand == nullptr) continue;
    const int n = P.Nblock - 1;
    scratch.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(Nband));
    ClipLevels(i, scratch.data());
    spdet::SmearLevels(scratch.data(), n, Nband, static_cast<float>(NsampleBlock / fs), Tuning.ReverbRt60,
                       Tuning.ReverbDrr_dB);
    Preselect->SetTarget(Preselect->Add(scratch.data(), n, ShapeReach(i)), i);
  }
}
