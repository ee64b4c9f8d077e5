// Evidence audio: the audio of each detection with a few seconds before and after, kept as a
// file (Opus, MP3 or FLAC) so that an airing can be heard and shown later.
//
// Each input (a scanned file, a monitored station) has an EvidenceRecorder: a bounded ring of the
// samples recognized (44100 Hz mono, as the recognizer saw them), long enough for `pre` seconds,
// the longest pattern, the decision layer's wait and `post` seconds. A detection waits in it until
// `post` seconds after its end have arrived (or the input ends); its audio is then copied out and
// handed to the process's one EvidenceWriter, whose thread encodes it, writes it atomically
// (a hidden temporary file renamed into place) and prunes the oldest files. Recognition never
// waits for an encoder.
//
// Files are named so that a listing sorts by station and time:
//   DIR/STATION/YYYY-MM-DD/YYYYMMDDTHHMMSS.mmmZ_STATION_PATTERN.opus  (UTC times known)
//   DIR/STATION/offset/000001234.567s_STATION_PATTERN.opus            (a file scanned without them)
#ifndef SIGPAT_EVIDENCE_H
#define SIGPAT_EVIDENCE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scanner.h"

namespace sigpat {

struct EvidenceOptions {
  std::string dir;                // --evidence; empty: no evidence
  double pre = 5.0, post = 5.0;   // seconds kept before the begin and after the end
  std::string format = "opus";    // opus, mp3 or flac
  double maxGb = 0.0;             // --evidence-max-gb: oldest files removed beyond; 0: no limit
  double days = 0.0;              // --evidence-days: files older than this removed; 0: kept
  bool enabled() const { return !dir.empty(); }
};

std::vector<std::string> EvidenceFormats();

// Encodes mono 16-bit samples at 44100 Hz as a whole file in `format` (Opus is resampled to
// 48000 Hz, the rates it takes). Throws Error naming `what` when the encoder refuses.
std::vector<unsigned char> EncodeEvidence(const std::vector<std::int16_t>& samples, const std::string& format,
                                          const std::string& what);

// A name part safe in any file system: no separators, control characters or characters that
// shells and other systems treat specially (each becomes '_'), no leading dot, at most 80 bytes
// (UTF-8 kept whole).
std::string SafeNamePart(const std::string& text);

// The path of a detection's evidence relative to the evidence directory.
std::string EvidenceRelativePath(const Detection& d, const std::string& format);

// The evidence was written: the detection, its path relative to the directory, the full path,
// seconds into the file where the detection's window (`pre` before its begin) starts (0 unless
// the file is shared with detections before it), and seconds from the detection's report to the
// file being in place.
using EvidenceWritten = std::function<void(const Detection& d, const std::string& relative, const std::string& path,
                                           double offset, double afterReport)>;
// What the store keeps of a detection's evidence: the relative path, with a media fragment
// ("#t=12.345") to the detection's window when it does not start the file.
std::string EvidenceReference(const std::string& relative, double offset);
// The evidence could not be written (the message names the file and the cause).
using EvidenceFailed = std::function<void(const Detection& d, const std::string& message)>;

class EvidenceWriter {
 public:
  EvidenceWriter(EvidenceOptions options, EvidenceWritten written, EvidenceFailed failed);
  ~EvidenceWriter();  // writes what is queued, then stops
  EvidenceWriter(const EvidenceWriter&) = delete;
  EvidenceWriter& operator=(const EvidenceWriter&) = delete;

  const EvidenceOptions& options() const { return options_; }
  // A detection whose audio is in a file: its window starts `offset` samples into the file.
  struct Share {
    Detection detection;
    double reportedAt = 0.0;
    std::int64_t offset = 0;
  };
  // Queues one file of audio for the detections whose windows it covers (the first share names
  // it).
  void Submit(std::vector<Share> shares, std::vector<std::int16_t> samples);
  // Tells (as a failure) that the audio of a detection could not be kept.
  void Lost(const Detection& d, const std::string& why);
  // Waits until everything submitted is written.
  void Drain();
  // Removes the oldest files beyond the size limit and those beyond the age limit now.
  void Prune();

 private:
  struct Job {
    std::vector<Share> shares;
    std::vector<std::int16_t> samples;
  };
  void Work();
  void Write(const Job& job);

  EvidenceOptions options_;
  EvidenceWritten written_;
  EvidenceFailed failed_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  bool busy_ = false, closing_ = false;
  double lastPrune_ = 0.0;
  std::thread thread_;
};

// The samples of one input and its detections waiting for their `post` seconds. Detections whose
// windows (`pre` before the begin to `post` after the end) overlap or touch share one file
// covering their union. A complete window waits for others to join: at real time (a station)
// until `post` - 1 s of audio after its report at most, so that the file is there within
// `post` + 2 s of the report; in a scan until no detection that could join can still be reported
// (twice the longest pattern past the group's end and `pre`) or until its audio would leave the
// ring. Used from one thread (the input's scan or the station's recognition).
class EvidenceRecorder {
 public:
  // longestPattern: seconds of the longest pattern recognized on the input; realTime: the input
  // is live (its evidence is due soon after the report).
  EvidenceRecorder(EvidenceWriter& writer, double longestPattern, bool realTime);
  // Patterns up to this long (seconds) from now on: the ring grows to hold them, keeping what it
  // holds.
  void Reserve(double longestPattern);
  // Samples that follow those appended before (positions count from the input's start).
  void Append(const std::int16_t* samples, std::size_t n);
  // A detection just reported (positions in the same count as Append's).
  void Detected(const Detection& d);
  // The input ended: every waiting detection is written with the audio there is.
  void Finish();
  std::int64_t position() const { return end_; }

 private:
  // Writes the groups that are due (all: every one; those starting before `overwrite` too).
  void Flush(bool all, std::int64_t overwrite = INT64_MIN);
  EvidenceWriter& writer_;
  bool realTime_;
  double longest_ = 0.0;
  std::vector<std::int16_t> ring_;
  std::int64_t end_ = 0;    // position after the last sample appended
  std::int64_t start_ = 0;  // no audio before this position (lost when the ring grew)
  struct Waiting {
    Detection detection;
    double reportedAt;
    std::int64_t reportedPos;  // end_ when it was reported
  };
  void Submit(std::vector<const Waiting*> group);
  std::deque<Waiting> waiting_;
};

// The longest of the patterns' lengths (seconds, as CheckPatternFiles tells them); 0 for none.
double LongestOf(const std::vector<double>& seconds);

}  // namespace sigpat

#endif
