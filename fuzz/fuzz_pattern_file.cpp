// Fuzz target: a pattern file through the whole recognition set-up.
//
// The input is the file. Byte 48 (a reserved header word the loader skips) selects the
// set-up options, so that the fuzzer can vary them without changing what the file means:
//   bit 0 statistics on, bit 1 a valid library-made pattern loaded before the fuzzed one,
//   bit 2 fixed-rate check off, bit 3 diagnostic output on.
// When the set-up succeeds a few blocks are fed and the reports are written. Whatever
// happened, the same object must then accept a valid set-up and run it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

const spfuzz::LibraryPattern& GoodPattern() {
  static const spfuzz::LibraryPattern p = spfuzz::MakeLibraryPattern("good", {700.0, 2100.0, 1300.0}, 100);
  return p;
}

const std::vector<std::int16_t>& Stream() {
  static const std::vector<std::int16_t> s = [] {
    std::vector<std::int16_t> x(1152 * 16);
    spfuzz::FillSignal(x.data(), x.size(), 3, 0.6f);
    return x;
  }();
  return s;
}

void Feed(SignalPattern& rec, int calls) {
  const std::vector<std::int16_t>& s = Stream();
  for (int c = 0; c < calls; ++c) {
    const int n = rec.Pattern(1152, const_cast<std::int16_t*>(s.data() + (c % 16) * 1152), SP_SAMPLE_S16, nullptr);
    if (n < 0) std::abort();  // a recognizer that was set up must take every valid block
    const int last = rec.GetLastRecognizedPatternNumber();
    if (last < -1 || last >= rec.GetTVSCount()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const spfuzz::LibraryPattern& good = GoodPattern();
  if (good.path.empty()) std::abort();
  const std::string path = spfuzz::ScratchDir() + "/input.tvs";
  if (!spfuzz::WriteBytes(path, data, size)) return 0;

  const std::uint8_t options = size > 48 ? data[48] : 0;
  std::vector<char*> names;
  if (options & 2) names.push_back(const_cast<char*>(good.path.c_str()));
  names.push_back(const_cast<char*>(path.c_str()));

  SignalPattern rec;
  SigRecognitionPar par;
  par.fStatistics = options & 1;
  par.fFixedFs = (options & 4) ? 0 : 1;
  par.fOutInfo = (options >> 3) & 1;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  if (rec.InitSignalPattern(&par) == 1) {
    // Every loaded pattern fits the engine it was set up for.
    if (rec.GetTVSCount() != par.NPattern || rec.GetTVS() == nullptr) std::abort();
    int longest = 0;
    for (int i = 0; i < par.NPattern; ++i) {
      const SignalTVSEx* p = rec.GetTVS()[i];
      if (p == nullptr || p->Nband != rec.Nband || p->Nblock < 1 || p->Nblock > rec.Nblock) std::abort();
      if (p->Nblock > longest) longest = p->Nblock;
    }
    // Enough blocks to reach the first comparisons of short patterns.
    Feed(rec, longest / 2 + 3 < 12 ? longest / 2 + 3 : 12);
    rec.OutRangesOfPattern(par.NPattern - 1, 1);
    rec.OutStatictics(1);
    rec.OutTraceableValues(1);
    rec.OutGeneralStatictics(1);
  }

  // The object stays usable: a valid set-up works after any failure.
  char* goodName = const_cast<char*>(good.path.c_str());
  SigRecognitionPar again;
  again.fStatistics = par.fStatistics;
  again.NPattern = 1;
  again.PatternFileNames = &goodName;
  if (rec.InitSignalPattern(&again) != 1) std::abort();
  Feed(rec, 2);
  return 0;
}
