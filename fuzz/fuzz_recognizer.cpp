// Fuzz target: a recognizer driven by the input.
//
// Two patterns are made by the library at start-up. The first input byte chooses the set-up
// (statistics, one or both patterns, the largest block, the acceleration mode); the rest is a
// list of operations: blocks of random size and sample format holding the pattern's clip,
// noise, raw input bytes, silence or full-scale square waves; parameter and threshold changes
// with any float values; pattern switches; monitoring and statistics resets; reports; copies
// and repeated set-ups. The recognizer must refuse what it cannot take and go on working. A
// decision layer (PatternDetector) watches it, attached again after some of the set-ups only.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "fuzz_support.h"

namespace {

constexpr int kMaxSamples = 4608;
constexpr int kMaxOperations = 96;

struct Patterns {
  spfuzz::LibraryPattern a = spfuzz::MakeLibraryPattern("a", {900.0, 2500.0, 600.0, 1800.0}, 90);
  spfuzz::LibraryPattern b = spfuzz::MakeLibraryPattern("b", {3100.0, 450.0, 1200.0}, 70);
};

const Patterns& Library() {
  static const Patterns p;
  return p;
}

void SetUp(SignalPattern& rec, std::uint8_t options, std::vector<char*>& names) {
  const Patterns& lib = Library();
  names.clear();
  names.push_back(const_cast<char*>(lib.a.path.c_str()));
  if (options & 2) names.push_back(const_cast<char*>(lib.b.path.c_str()));
  static const int kMaxBlock[4] = {1152, 2304, 4608, 1700};
  static const sp_ulong kModes[8] = {0x20000, 0x40000, 0x80000, 0x100000, 0, 0x20000, 0x20000, 0xF0000};
  SigRecognitionPar par;
  par.fStatistics = options & 1;
  par.NsampleMax = kMaxBlock[(options >> 2) & 3];
  par.Mode = kModes[(options >> 4) & 7];
  par.fOutInfo = (options >> 7) & 1;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  rec.InitSignalPattern(&par);
}

// One block of samples in the chosen format; returns Pattern's result.
int FeedBlock(SignalPattern& rec, spfuzz::ByteReader& in, std::size_t& clipPos, std::uint32_t& seed) {
  static std::uint8_t bytes[kMaxSamples * 4 + 64];
  static std::int16_t samples[kMaxSamples + 16];
  const std::uint8_t sizeCode = in.U8();
  int n = 576 * (sizeCode % 9);
  if (sizeCode & 0x80) n += (sizeCode >> 4) & 7;  // sizes that are not a multiple of 576
  static const unsigned int kFormats[6] = {SP_SAMPLE_S16, SP_SAMPLE_S32_LOW, SP_SAMPLE_S32_HIGH, SP_SAMPLE_S16,
                                           0, 3};
  const std::uint8_t formatCode = in.U8();
  const unsigned int format = kFormats[formatCode % 6];
  const std::uint8_t source = in.U8();
  const float gain = in.Range(0.0f, 2.0f);
  const std::vector<std::int16_t>& clip = (source & 0x10) ? Library().b.clip : Library().a.clip;

  switch (source % 5) {
    case 0:  // the clip, continuing where the last block stopped, scaled
      for (int i = 0; i < n; ++i) {
        float v = static_cast<float>(clip[(clipPos + static_cast<std::size_t>(i)) % clip.size()]) * gain;
        samples[i] = static_cast<std::int16_t>(v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v));
      }
      clipPos += static_cast<std::size_t>(n);
      break;
    case 1:
      spfuzz::FillSignal(samples, static_cast<std::size_t>(n), seed++, gain * 0.5f);
      break;
    case 2:  // raw input bytes
      in.Bytes(reinterpret_cast<std::uint8_t*>(samples), static_cast<std::size_t>(n) * 2);
      break;
    case 3:
      for (int i = 0; i < n; ++i) samples[i] = 0;
      break;
    default:  // full-scale square wave
      for (int i = 0; i < n; ++i) samples[i] = ((i / (1 + source % 37)) & 1) ? 32767 : -32768;
      break;
  }
  // Lay the samples out in the sample format's words; the other half of a 32-bit word holds
  // something unrelated.
  const bool wide = format == SP_SAMPLE_S32_LOW || format == SP_SAMPLE_S32_HIGH;
  for (int i = 0; i < n; ++i) {
    const std::uint16_t u = static_cast<std::uint16_t>(samples[i]);
    const std::uint16_t other = static_cast<std::uint16_t>(0x5A5A ^ i);
    if (!wide) {
      bytes[2 * i] = static_cast<std::uint8_t>(u);
      bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    } else {
      const std::uint16_t lo = format == SP_SAMPLE_S32_LOW ? u : other;
      const std::uint16_t hi = format == SP_SAMPLE_S32_LOW ? other : u;
      bytes[4 * i] = static_cast<std::uint8_t>(lo);
      bytes[4 * i + 1] = static_cast<std::uint8_t>(lo >> 8);
      bytes[4 * i + 2] = static_cast<std::uint8_t>(hi);
      bytes[4 * i + 3] = static_cast<std::uint8_t>(hi >> 8);
    }
  }
  // An odd start address: samples need no alignment.
  std::uint8_t* start = bytes;
  if (formatCode & 0x40) {
    std::memmove(bytes + 1, bytes, static_cast<std::size_t>(n) * (wide ? 4 : 2));
    start = bytes + 1;
  }
  return rec.Pattern(n, start, format, nullptr);
}

void ChangeParameters(SignalPattern& rec, spfuzz::ByteReader& in) {
  SigRecognitionPar par;
  const std::uint8_t how = in.U8();
  par.fStatistics = how & 1;
  par.fKnownPattern = (how >> 1) & 1;
  par.fUseRelDevMPB = (how >> 2) & 1;
  par.fFixedFs = (how >> 3) & 1;
  if (how & 0x10) {
    // Any values at all.
    par.LevMax_dB = in.RawFloat();
    par.LevMin_dB = in.RawFloat();
    par.BandGainMax_dB = in.RawFloat();
    par.BandGainMin_dB = in.RawFloat();
    par.TresholdRelDeviation = in.RawFloat();
    par.TresholdRelDeviationMPB = in.RawFloat();
    par.LevNoise_dB = in.RawFloat();
    par.Fs = in.RawFloat();
  } else {
    par.LevMax_dB = in.Range(-10.0f, 60.0f);
    par.LevMin_dB = in.Range(-60.0f, 10.0f);
    par.BandGainMax_dB = in.Range(0.0f, 6.0f);
    par.BandGainMin_dB = in.Range(-6.0f, 0.0f);
    par.TresholdRelDeviation = in.Range(0.0f, 3.0f);
    par.TresholdRelDeviationMPB = in.Range(0.0f, 3.0f);
  }
  par.Mode = static_cast<sp_ulong>(in.U8()) << 15;  // acceleration bits and their neighbours
  par.NsampleMax = static_cast<int>(in.U16()) - 100;
  par.NPattern = static_cast<int>(in.U8()) - 1;
  rec.ChangeRecognizeParam((how & 0x20) ? nullptr : &par);
}

void Misc(SignalPattern& rec, spfuzz::ByteReader& in) {
  const std::uint8_t what = in.U8();
  switch (what % 8) {
    case 0: rec.ResetMonitoring(); break;
    case 1: {
      float lo = 0.0f, hi = 0.0f;
      rec.GetDiapasoneRecognizeParam(&lo, &hi, static_cast<std::int8_t>(in.U8()));
      rec.GetDiapasoneRecognizeParam(nullptr, nullptr, -1);
      break;
    }
    case 2: rec.ResetStatistics((what >> 3) & 1); break;
    case 3: SignalPattern::SetflagUseElemInStatistics(static_cast<std::int8_t>(in.U8()) % 7, in.U8() & 1); break;
    case 4:
      rec.OutStatictics(1);
      rec.OutTraceableValues(1);
      rec.OutGeneralStatictics(1);
      rec.OutGeneralTraceableValues(1);
      break;
    case 5: rec.OutRangesOfPattern(static_cast<std::int8_t>(in.U8()), 1); break;
    case 6: {
      float shift = 0.0f, noise = 0.0f, shiftNoise = 0.0f, maxShift = 0.0f;
      rec.CalcTresholdEstimation(static_cast<std::int8_t>(in.U8()), &shift, &noise, &shiftNoise, &maxShift,
                                 in.Range(-120.0f, 0.0f), static_cast<std::int8_t>(in.U8()) % 10);
      break;
    }
    default: {
      const RecognizeParam* m = rec.GetRecognizeParam();
      if (m == nullptr) std::abort();
      (void)rec.GetNRecognize();
      (void)rec.GetLastRecognizedPatternFileName();
      break;
    }
  }
}

void Run(SignalPattern& rec, spfuzz::ByteReader& in, int depth, PatternDetector* det) {
  std::vector<char*> names;
  std::size_t clipPos = 0;
  std::uint32_t seed = 1;
  for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
    const std::uint8_t code = in.U8();
    switch (code % 10) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const int before = rec.GetNRecognize();
        const int r = FeedBlock(rec, in, clipPos, seed);
        if (r < -2) std::abort();
        if (r >= 0 && rec.GetNRecognize() - before != r) std::abort();
        const int last = rec.GetLastRecognizedPatternNumber();
        if (last < -1 || last >= rec.GetTVSCount()) std::abort();
        break;
      }
      case 4: ChangeParameters(rec, in); break;
      case 5: rec.ChangeThresholdParam(in.RawFloat(), in.RawFloat()); break;
      case 6: rec.SetFlagUsePattern(static_cast<std::int8_t>(in.U8()) % 4, in.U8() & 1); break;
      case 7: Misc(rec, in); break;
      case 8:
        SetUp(rec, in.U8(), names);
        if (det != nullptr && (code & 0x20)) det->Attach(&rec, nullptr);
        break;
      default:
        if (depth == 0) {
          // Go on with a copy (or an assigned object) while the original is left behind.
          if (code & 0x10) {
            SignalPattern copy(rec);
            Run(copy, in, 1, nullptr);
          } else {
            SignalPattern other;
            other = rec;
            Run(other, in, 1, nullptr);
          }
        }
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Patterns& lib = Library();
  if (lib.a.path.empty() || lib.b.path.empty()) std::abort();
  int savedUse[DeviationStat::NumberOfElem];
  for (int i = 0; i < DeviationStat::NumberOfElem; ++i) savedUse[i] = DeviationStat::fUseElem[i];

  spfuzz::ByteReader in(data, size);
  SignalPattern rec;
  PatternDetector det;  // goes before the recognizer it watches
  std::vector<char*> names;
  SetUp(rec, in.U8(), names);
  det.Attach(&rec, nullptr);
  Run(rec, in, 0, &det);
  det.Finish();
  for (int i = 0; i < det.ReportCount(); ++i) {
    const DetectorReport* r = det.GetReport(i);
    if (r == nullptr || r->Begin < 0 || r->End < r->Begin || r->Pattern < 0 || r->Pattern >= det.PatternCount() ||
        !(r->Confidence >= 0.0f && r->Confidence <= 1.0f))
      std::abort();
  }
  if (std::getenv("SPFUZZ_VERBOSE") != nullptr)
    std::printf("patterns %d, recognitions %d, samples %lu\n", rec.GetTVSCount(), rec.GetNRecognize(),
                static_cast<unsigned long>(rec.NCurrentSample));

  // The measure switches are process-wide: put them back for the next input.
  for (int i = 0; i < DeviationStat::NumberOfElem; ++i) DeviationStat::fUseElem[i] = savedUse[i];
  return 0;
}
