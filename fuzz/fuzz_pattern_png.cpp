// Fuzz target: the picture of a pattern's time-spectrum (sigpat info --png) for arbitrary band
// powers, infinities, NaNs and denormals included. The input is the spectrum: byte 0 the number
// of bands (1..16), the rest float32 values block by block. The picture must be written whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "messages.h"
#include "pattern_png.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  SignalTVSEx p;
  p.Nband = 1 + data[0] % 16;
  const std::size_t values = (size - 1) / 4;
  p.Nblock = static_cast<int>(values / static_cast<std::size_t>(p.Nband));
  if (p.Nblock < 1 || p.Nblock > 4000) return 0;
  p.Spectrum = new float[values];
  std::memcpy(p.Spectrum, data + 1, values * 4);
  const std::string png = spfuzz::ScratchDir() + "/spectrum.png";
  try {
    sigpat::WritePatternPng(p, "fuzz", png);
  } catch (const sigpat::Error&) {
    std::abort();  // a writable scratch directory takes every picture
  }
  return 0;  // the record's destructor releases the spectrum
}
