// The detail gate of a scan: detections of patterns that have a detail print beside their
// file ("<pattern>.detail", written by sigpat create for clips up to kDetailMaxSeconds) are
// confirmed against the input's own detail around them, and dropped when the input lacks what
// the clip holds (a near relative: the same sting with another voice). See
// docs/detail-check.md.
#ifndef SIGPAT_DETAIL_GATE_H
#define SIGPAT_DETAIL_GATE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "detail_check.h"
#include "detail_files.h"

namespace sigpat {

class DetailGate {
 public:
  // Reads the prints beside the pattern files (`openAs[i]`, when given, holds the bytes of
  // file i). A print that is damaged or made for another pattern file is ignored with a
  // warning. Null when no pattern has a usable print.
  static std::unique_ptr<DetailGate> Load(const std::vector<std::string>& files, const std::vector<std::string>& openAs);

  // True for a pattern whose print can confirm a tentative detection (PatternDetector::
  // SetChecked): the detector may report ones beyond its threshold for the gate to judge.
  bool ConfirmsTentative(int pattern) const;

  // The samples fed to the recognizer, in order (the gate keeps the most recent ones).
  void Append(const std::int16_t* samples, std::size_t n);

  enum class Verdict {
    Stands,        // a firm detection whose pattern has no print or whose samples are gone, or
                   // one the input around it confirms
    NearRelative,  // a firm detection the input lacks part of: the clip's near relative
    Unconfirmed,   // a tentative detection the input does not confirm (or can no longer)
    Repeat,        // a firm detection of an occurrence a confirmed tentative one reported
  };
  Verdict Judge(const DetectorReport& detection);
  bool Confirms(const DetectorReport& detection) { return Judge(detection) == Verdict::Stands; }

  struct PrintFile;  // a pattern's print file, checked at Load, its levels read at first use

 private:
  // The clip compared with the print of the input around a detection, whose frames begin
  // `expected` frames before the detection's.
  spdetail::DetailResult Compare(const spdetail::DetailPrint& clip, const spdetail::DetailPrint& input, int expected,
                                 bool tentative) const;
  // The print of the input from `from` (a whole number of hops from the input's start; its
  // samples in `samples`): frames of real input are kept and reused by the reports that follow.
  spdetail::DetailPrint GridPrint(std::int64_t from, const std::vector<std::int16_t>& samples);
  // ... and of the same samples played `percent` slower first (undoing a speed-up of that much).
  spdetail::DetailPrint SlowedPrint(const std::vector<std::int16_t>& around, double percent);
  bool Passes(const spdetail::DetailResult& r, bool tentative) const;
  // The print of a pattern, read at its first use; null: none (or it could no longer be read).
  const spdetail::DetailPrint* PrintOf(int pattern) const;
  PrintFile* FileOf(int pattern) const;  // null: none

  std::vector<std::shared_ptr<PrintFile>> prints_;  // by pattern number; null: none
  std::vector<std::int16_t> ring_;
  std::int64_t fed_ = 0;  // samples appended so far
  // The spans of the latest tentative detections confirmed, per group (a firm report of the
  // same occurrence may follow from the detector's other distance).
  struct Span {
    int group;
    std::int64_t begin, end;
  };
  std::vector<Span> confirmed_;
  spdetail::DetailAnalyser analyser_;
  // Frame g of the input (its samples from g * kHop) in slot g % kept frames, when frameAt_
  // of the slot is g; made at the first report.
  std::vector<float> frames_;
  std::vector<std::int64_t> frameAt_;
  spdetail::DetailTuning tuning_;
};

}  // namespace sigpat

#endif
