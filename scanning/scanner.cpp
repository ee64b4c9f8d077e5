#include "scanner.h"

#include "detail_gate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "PatternDetector.h"
#include "SharingScope.h"
#include "messages.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

// Why the library refused a pattern set, found by comparing the headers of its patterns: it
// takes only patterns of one protocol, sample rate and band count. "the library refused the
// pattern set (a.tvs, b.tvs)" when no header tells (the library's own lines then say, with -v).
std::string RefusedSet(const std::vector<std::string>& files, const std::vector<std::string>& openAs) {
  std::vector<SignalTVSEx> records(files.size());
  try {
    for (std::size_t i = 0; i < files.size(); ++i) LoadPattern(files[i], records[i], i < openAs.size() ? openAs[i] : "");
  } catch (const Error& e) {
    return e.what();  // a pattern changed or went away since it was checked
  }
  for (std::size_t i = 1; i < files.size(); ++i) {
    const SignalTVSEx &a = records[0], &b = records[i];
    std::string what;
    if ((a.Protocol & 0xFFFFu) != (b.Protocol & 0xFFFFu))
      what = "protocol " + std::to_string(b.Protocol & 0xFFFFu) + " where " + files[0] + " has " +
             std::to_string(a.Protocol & 0xFFFFu);
    else if (!(a.Fs == b.Fs))
      what = "a sample rate of " + std::to_string(static_cast<long>(b.Fs)) + " Hz where " + files[0] + " has " +
             std::to_string(static_cast<long>(a.Fs)) + " Hz";
    else if (a.Nband != b.Nband)
      what = std::to_string(b.Nband) + " frequency bands where " + files[0] + " has " + std::to_string(a.Nband);
    if (!what.empty())
      return "the library refused the pattern set: " + files[i] + " has " + what +
             " (the patterns of a set must be made alike: make it again with 'sigpat create', or scan it apart)";
  }
  std::string text = "the library refused the pattern set (";
  for (std::size_t i = 0; i < files.size() && i < 4; ++i) text += (i > 0 ? ", " : "") + files[i];
  if (files.size() > 4) text += ", ... " + std::to_string(files.size()) + " files";
  return text + "; -v shows its reasons)";
}

}  // namespace

// ---- the library's rule

void LibraryRule::OnTimeBlock(EngineView view, std::vector<DetectorReport>& out) {
  for (const StreamRecognition& r : view.accepted) {
    DetectorReport d;
    d.Pattern = r.pattern;
    d.Begin = r.begin;
    d.End = r.end;
    d.RelDev = r.relDev;
    d.RelDevMpb = r.relDevMpb;
    out.push_back(d);
  }
}

std::unique_ptr<DecisionRule> MakeDecisionRule(const std::string& name) {
  if (name == "library") return std::make_unique<LibraryRule>();
  if (name == "detector") return MakeDetectorRule();
  return nullptr;
}

std::vector<std::string> DecisionRuleNames() { return {"detector", "library"}; }

// ---- pattern checks

void LoadPattern(const std::string& file, SignalTVSEx& record, const std::string& openAs) {
  const std::string& opened = openAs.empty() ? file : openAs;
  struct stat st;
  if (::stat(opened.c_str(), &st) != 0) throw Error(file + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw Error(file + ": is a directory, not a pattern file");
  // Opening a FIFO or a device would block or read for ever: patterns are regular files.
  if (!S_ISREG(st.st_mode)) throw Error(file + ": is not a regular file, not a pattern file");
  SignalPattern loader;
  LibraryLineCapture capture;
  if (!loader.LoadRecognizePattern(const_cast<char*>(opened.c_str()), &record))
    throw Error(file + ": not a pattern file (the library refused to load it)", capture.lines());
  if (record.Nblock < 1 || record.Spectrum == nullptr) throw Error(file + ": not a pattern file (no time blocks)");
}

namespace {
constexpr double kLongPatternSeconds = 120.0;
}  // namespace

std::vector<double> CheckPatternFiles(const std::vector<std::string>& files, const std::vector<std::string>& openAs) {
  std::vector<double> lengths;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    SignalTVSEx record;
    LoadPattern(file, record, i < openAs.size() ? openAs[i] : "");
    // The first and the last block of a pattern are never compared: a pattern of one or two
    // blocks has a deviation of 0 and is found wherever its level fits.
    if (record.Nblock < 3)
      PrintWarning(file + ": the pattern has only " + std::to_string(record.Nblock) +
                   " time blocks and will be found almost anywhere");
    // The library's own matching goes over a pattern's whole length at every time block.
    const double seconds = static_cast<double>(record.Nblock) * kSamplesPerBlock / kLibraryRate;
    if (seconds > kLongPatternSeconds)
      PrintWarning(file + ": the pattern lasts " + std::to_string(static_cast<long>(seconds)) +
                   " s; the library compares it over its whole length at every time block, so a scan with it runs "
                   "at only tens of times real time (a 600 s pattern about 35x); a pattern of the clip's first "
                   "10-30 s finds it as well");
    lengths.push_back(record.Fs > 0 ? static_cast<double>(record.Nblock) * kSamplesPerBlock / record.Fs : seconds);
  }
  return lengths;
}

std::vector<double> CheckPatternSet(const std::vector<std::string>& files, const std::vector<std::string>& openAs) {
  std::vector<double> lengths = CheckPatternFiles(files, openAs);
  SignalPattern engine;
  SetUpRecognition(engine, files, -1.0f, openAs);
  return lengths;
}

namespace {

// The recognition parameters of a pattern set (blocks of up to kScanBlockSamples; a negative
// threshold keeps the library's default); names point into files, or into openAs when it names
// what the library opens instead of each file.
SigRecognitionPar ParametersOf(const std::vector<std::string>& files, const std::vector<std::string>& openAs,
                               std::vector<char*>& names, float threshold) {
  names.clear();
  for (const auto& f : openAs.size() == files.size() ? openAs : files) names.push_back(const_cast<char*>(f.c_str()));
  SigRecognitionPar par;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  par.NsampleMax = kScanBlockSamples;
  if (threshold >= 0.0f) par.TresholdRelDeviation = threshold;
  return par;
}

}  // namespace

void SetUpRecognition(SignalPattern& engine, const std::vector<std::string>& files, float threshold,
                      const std::vector<std::string>& openAs) {
  std::vector<char*> names;
  SigRecognitionPar par = ParametersOf(files, openAs, names, threshold);
  LibraryLineCapture capture;
  if (!engine.InitSignalPattern(&par)) throw Error(RefusedSet(files, openAs), capture.lines());
}

void SetUpRecognition(RecognitionStream& stream, const std::vector<std::string>& files, float threshold,
                      std::uint32_t startSample, const std::vector<std::string>& openAs) {
  std::vector<char*> names;
  SigRecognitionPar par = ParametersOf(files, openAs, names, threshold);
  LibraryLineCapture capture;
  if (!stream.Init(&par, startSample)) throw Error(RefusedSet(files, openAs), capture.lines());
}

// ---- a scan session

std::unique_ptr<RecognitionStream> ScanSession::SetUp(const std::vector<std::string>& patternFiles,
                                                      const ScanOptions& options) {
  auto stream = std::make_unique<RecognitionStream>();
  SetUpRecognition(*stream, patternFiles, options.threshold, options.engineStartSample, options.openAs);
  return stream;
}

ScanSession::ScanSession(const std::vector<std::string>& patternFiles, const ScanOptions& options, std::string input,
                         std::unique_ptr<RecognitionStream> prepared)
    : files_(patternFiles),
      options_(options),
      input_(std::move(input)),
      stream_(prepared ? std::move(prepared) : SetUp(patternFiles, options)) {
  stream_->SetRebaseThreshold(options_.rebaseThreshold);
  if (options_.makeRule)
    rule_ = options_.makeRule();
  else if (options_.rule == "detector" && options_.detectorAlone)
    rule_ = MakeDetectorRule([](DetectorTuning& t) { t.LibraryDeviations = 0; });
  else
    rule_ = MakeDecisionRule(options_.rule);
  if (!rule_) throw Error("unknown decision rule \"" + options_.rule + "\"");
  if (options_.detailCheck && rule_->Name() == "detector") detail_ = DetailGate::Load(files_, options_.openAs);
  if (detail_)
    for (std::size_t i = 0; i < files_.size(); ++i) checked_.push_back(detail_->ConfirmsTentative(static_cast<int>(i)) ? 1 : 0);
  stream_->SetBlockObserver(&ScanSession::Observe, this);
  rule_->Start(View());
}

ScanSession::~ScanSession() {
  if (stream_) {
    stream_->SetBlockObserver(nullptr, nullptr);
  }
  rule_.reset();  // a rule may hold on to the engine until it goes
}

EngineView ScanSession::View() { return EngineView{stream_->Engine(), *stream_, &files_, detail_ ? &checked_ : nullptr, {}}; }

// Every time block, with the recognitions the library accepted at it: the stream lists those
// of the current feed, the block's are the ones not offered yet.
void ScanSession::Observe(void* context, RecognitionStream& stream) {
  auto* self = static_cast<ScanSession*>(context);
  EngineView view = self->View();
  const std::vector<StreamRecognition>& feed = stream.Recognitions();
  view.accepted = std::span<const StreamRecognition>(feed).subspan(std::min(self->offered_, feed.size()));
  self->offered_ = feed.size();
  self->rule_->OnTimeBlock(view, self->pending_);
}

void ScanSession::NoteArrival(std::int64_t position, double wallSeconds) {
  arrivalPosition_ = position;
  arrivalWall_ = wallSeconds;
}

void ScanSession::Deliver(const Emit& emit) {
  for (const DetectorReport& r : pending_) {
    const DetailGate::Verdict verdict = detail_ ? detail_->Judge(r) : r.Tentative ? DetailGate::Verdict::Unconfirmed
                                                                                : DetailGate::Verdict::Stands;
    if (verdict == DetailGate::Verdict::NearRelative) ++result_.detailRejected;
    if (verdict != DetailGate::Verdict::Stands) continue;
    Detection d;
    d.report = r;
    d.report.Name = nullptr;  // the rule's; the detection keeps its own copy in name
    if (r.RunnerUpName != nullptr) d.runnerUp = r.RunnerUpName;
    for (const char*& c : d.report.CandidateNames) {
      if (c != nullptr) d.candidates.emplace_back(c);
      c = nullptr;
    }
    d.report.RunnerUpName = nullptr;
    d.input = input_;
    d.file = r.Pattern >= 0 && r.Pattern < static_cast<int>(files_.size()) ? files_[r.Pattern] : "";
    if (r.Name != nullptr) {
      d.name = r.Name;
    } else {  // the library's rule: the name the engine gives the pattern
      const SignalPattern& engine = stream_->Engine();
      SignalTVSEx* p = r.Pattern >= 0 && r.Pattern < engine.NPattern ? engine.TVS[r.Pattern] : nullptr;
      d.name = p != nullptr ? FileNameOfPath(static_cast<const char*>(p->FileName)) : "";
    }
    d.beginSeconds = static_cast<double>(r.Begin) / kLibraryRate;
    d.endSeconds = static_cast<double>(r.End) / kLibraryRate;
    if (arrivalPosition_ >= 0) {
      d.beginWall = arrivalWall_ - static_cast<double>(arrivalPosition_ - r.Begin) / kLibraryRate;
      d.endWall = arrivalWall_ - static_cast<double>(arrivalPosition_ - r.End) / kLibraryRate;
      d.clock = "arrival";
    }
    d.rule = rule_->Name();
    ++result_.detections;
    if (emit) emit(d);
  }
  pending_.clear();
}

// After a feed or the finish of the stream: its result checked, the detections delivered.
void ScanSession::Check(int fed, const Emit& emit) {
  if (fed < 0) throw Error(input_ + ": the recognizer refused a block (result " + std::to_string(fed) + ")");
  Deliver(emit);
}

void ScanSession::Feed(const std::int16_t* samples, std::size_t n, const Emit& emit) {
  if (detail_) detail_->Append(samples, n);
  offered_ = 0;  // each feed lists its own recognitions
  Check(stream_->Feed(samples, n), emit);
  result_.samples = stream_->Samples();
  result_.rebases = stream_->Rebases();
}

void ScanSession::Finish(const Emit& emit) {
  offered_ = 0;
  Check(stream_->Finish(options_.closingBlocks), emit);
  result_.rebases = stream_->Rebases();
  rule_->Finish(View(), pending_);
  Deliver(emit);
}

// ---- the scanner

Scanner::Scanner(std::vector<std::string> patternFiles, ScanOptions options)
    : files_(std::move(patternFiles)), options_(std::move(options)) {}

ScanResult Scanner::Scan(AudioInput& input, const std::function<void(const Detection&)>& emit,
                         const std::function<void(std::int64_t)>& progress) {
  ScanSession session(files_, options_, options_.label.empty() ? input.name() : options_.label, NextStream());
  std::vector<std::int16_t> block(kScanBlockSamples);
  bool stopped = false;
  while (true) {
    if (options_.stop && options_.stop()) {
      stopped = true;
      break;
    }
    std::size_t got = 0;
    try {
      got = input.Read(block.data(), block.size());
    } catch (const Error&) {
      // A read cut short by the stop is the end of the input, not a failure.
      if (!(options_.stop && options_.stop())) throw;
      stopped = true;
      break;
    }
    if (got == 0) break;
    if (options_.wallClock) session.NoteArrival(session.samples() + static_cast<std::int64_t>(got), WallClockNow());
    session.Feed(block.data(), got, emit);
    if (options_.onSamples) options_.onSamples(block.data(), got);
    if (progress) progress(static_cast<std::int64_t>(got));
  }
  if (session.samples() == 0) {
    if (stopped) {
      ScanResult none;
      none.stopped = true;
      return none;
    }
    if (input.isFile()) throw Error(input.name() + ": holds no audio samples");
    throw Error(input.name() + (input.name() == "-" ? ": no audio samples arrived on standard input"
                                                    : ": the stream ended before any audio samples arrived"));
  }
  // Pending candidates are reported whether the input ended or was stopped.
  session.Finish(emit);
  if (input.corruptFrames() > 0)
    PrintWarning(input.name() + ": " + std::to_string(input.corruptFrames()) +
                 " corrupt frames could not be decoded and were skipped");
  if (input.missingSeconds() > 0.0) {
    char text[200];
    std::snprintf(text, sizeof text, ": the file ends %.1f s before the length its header gives (cut short?); it was "
                  "scanned as far as it goes", input.missingSeconds());
    PrintWarning(input.name() + text);
  }
  ScanResult result = session.result();
  result.stopped = stopped;
  return result;
}

void Scanner::Prepare(bool onlyInput) {
  if (!prepared_) prepared_ = onlyInput && !model_ ? ScanSession::SetUp(files_, options_) : NextStream();
}

// The recognizer of the next input: the prepared one, else a copy of the set-up made once.
std::unique_ptr<RecognitionStream> Scanner::NextStream() {
  if (prepared_) return std::move(prepared_);
  if (!model_) model_ = ScanSession::SetUp(files_, options_);
  return ScanSession::CopyOf(*model_);
}

std::unique_ptr<RecognitionStream> ScanSession::CopyOf(const RecognitionStream& model) {
  auto stream = std::make_unique<RecognitionStream>();
  SharingScope sharing;
  if (!stream->InitLike(model)) throw Error("out of memory setting the recognizer up");
  return stream;
}

}  // namespace sigpat
