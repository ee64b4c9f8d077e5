// sigpat info: what a pattern file holds, and its time-spectrum as a picture.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "PatternDetector.h"
#include "commands.h"
#include "detail_files.h"
#include "messages.h"
#include "output.h"
#include "pattern_png.h"

namespace sigpat {

namespace {

constexpr double kBandSpacingHz = 689.0625;  // 11025 Hz / 16

}  // namespace

// The pattern's relatives among the other files (versions, cut-downs: patterns sharing content).
void PrintRelatives(const std::string& file, const std::vector<std::string>& among) {
  std::vector<std::string> files = {file};
  files.insert(files.end(), among.begin(), among.end());
  SignalPattern engine;
  SetUpRecognition(engine, files);  // throws Error naming the file
  std::vector<const char*> names;
  for (const std::string& f : files) names.push_back(f.c_str());
  PatternDetector detector;
  if (!detector.Attach(&engine, names.data())) return;
  const int n = detector.RelativeCount(0);
  PrintOut("relatives:      %d among %zu other pattern%s\n", n, among.size(), among.size() == 1 ? "" : "s");
  for (int k = 0; k < n; ++k) {
    DetectorRelative r;
    detector.GetRelative(0, k, r);
    const double rate = kLibraryRate;
    PrintOut("  %s: shares %.0f %% (aligned %+.2f s), differs from %.2f to %.2f s of this one by %.1f dB%s\n",
             EscapeControl(files[static_cast<std::size_t>(r.Pattern)]).c_str(), 100.0 * r.Shared,
             static_cast<double>(r.Offset) / rate, static_cast<double>(r.DifferBegin) / rate,
             static_cast<double>(r.DifferEnd) / rate, static_cast<double>(r.Apart),
             r.Indistinct ? "  WARNING: cannot be told apart from it" : "");
  }
}

int RunInfo(const std::string& file, const std::string& png, const std::vector<std::string>& among) {
  SignalTVSEx p;
  LoadPattern(file, p);

  // The header as stored: the loader replaces the short name with the full path, so read it
  // again for the short name.
  std::string shortName;
  {
    SignalPattern reader;
    SignalTVSEx header;
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      LibraryLineCapture quiet;
      if (reader.ReadFileTVSHeader(h, &header)) shortName.assign(header.FileName, strnlen(header.FileName, 16));
      CloseHandle(h);
    }
  }

  const unsigned version = p.Protocol >> 16, protocol = p.Protocol & 0xFFFFu;
  const long samples = static_cast<long>(p.Nblock) * kSamplesPerBlock;
  float mean = 0.0f;
  for (int b = 0; b < p.Nband; ++b) mean += p.BandRms[b];
  mean /= static_cast<float>(p.Nband);

  PrintOut("pattern file:   %s\n", EscapeControl(file).c_str());
  PrintOut("header:         protocol %u, format version %u, Ndft %d, Nband %d, Nblock %d, Fs %.1f Hz, "
              "Epsilon %g, NSampleCreate %d, short name \"%s\"\n",
              protocol, version, p.Ndft, p.Nband, p.Nblock, static_cast<double>(p.Fs),
              static_cast<double>(p.Epsilon), p.NSampleCreate, EscapeControl(shortName).c_str());
  PrintOut("duration:       %.3f s (%d time blocks of %d samples, %ld samples at %.0f Hz)\n",
              static_cast<double>(samples) / static_cast<double>(p.Fs), p.Nblock, kSamplesPerBlock, samples,
              static_cast<double>(p.Fs));
  PrintOut("source:         %s\n", p.InputFileName != nullptr ? EscapeControl(p.InputFileName).c_str() : "(not recorded)");
  PrintOut("path:           %s\n", EscapeControl(p.FileName).c_str());
  PrintOut("mean level:     %.1f dB\n", static_cast<double>(PowToDB(mean)));
  PrintOut("band levels:\n");
  for (int b = 0; b < p.Nband; ++b)
    PrintOut("  band %d  %5.0f Hz  %7.1f dB%s\n", b, b * kBandSpacingHz, static_cast<double>(PowToDB(p.BandRms[b])),
                b == p.BandMaxRms ? "  (loudest)" : "");
  DetectorView view;
  if (ViewThroughDetector(file, view)) {
    PrintOut("detector:       threshold %.3f dB%s; distorted copies up to %.3f, closest other sound %.3f\n",
                static_cast<double>(view.threshold), view.calibrated ? " (background calibration beside it)" : "",
                static_cast<double>(view.positive), static_cast<double>(view.negative));
    if (view.negative < kPlainPatternDistance)
      PrintOut("                plain: similar sounds (other beeps, hits or clicks of its colour) may match it\n");
  }
  if (!among.empty()) PrintRelatives(file, among);
  const std::string detail = DescribeDetail(file, static_cast<double>(samples) / kLibraryRate);
  if (!detail.empty()) PrintOut("detail print:   %s\n", EscapeControl(detail).c_str());
  if (!png.empty()) {
    std::string title = FileNameOfPath(file.c_str());
    char extra[64];
    std::snprintf(extra, sizeof(extra), "  %.2f s", static_cast<double>(samples) / kLibraryRate);
    WritePatternPng(p, title + extra, png);
    PrintOut("picture:        %s\n", EscapeControl(png).c_str());
  }
  return OutputFailed() ? kExitFailure : kExitOk;
}

}  // namespace sigpat
