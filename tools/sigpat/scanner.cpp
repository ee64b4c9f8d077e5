#include "scanner.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "messages.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

// Blocks of silence fed after the end of an input, so that a clip that ends with the input
// still reaches the time block that reflects it (the engine's delay is 1404 samples).
constexpr int kFlushBlocks = 3;

std::int64_t ClampedShift(std::int64_t value, std::uint32_t shift) {
  std::int64_t v = value - static_cast<std::int64_t>(shift);
  return v < 0 ? 0 : v;
}

// "the library refused the pattern set (a.tvs, b.tvs)", naming up to four files.
std::string RefusedSet(const std::vector<std::string>& files) {
  std::string text = "the library refused the pattern set (";
  for (std::size_t i = 0; i < files.size() && i < 4; ++i) text += (i > 0 ? ", " : "") + files[i];
  if (files.size() > 4) text += ", ... " + std::to_string(files.size()) + " files";
  return text + ")";
}

}  // namespace

// ---- the library's rule

void LibraryRule::Start(EngineView view) {
  SignalPattern& e = view.engine;
  counts_.assign(static_cast<std::size_t>(std::max(e.NPattern, 0)), 0);
  for (int i = 0; i < e.NPattern; ++i)
    if (e.TVS != nullptr && e.TVS[i] != nullptr) counts_[i] = e.TVS[i]->NRecognize;
  inCall_ = 0;
}

void LibraryRule::OnTimeBlock(EngineView view, std::vector<RuleDetection>& out) {
  SignalPattern& e = view.engine;
  // Several patterns may be accepted in one time block while the getters name only the last:
  // each pattern's own counter tells which were, and its record holds where.
  for (int i = 0; i < e.NPattern && i < static_cast<int>(counts_.size()); ++i) {
    SignalTVSEx* p = e.TVS != nullptr ? e.TVS[i] : nullptr;
    if (p == nullptr || p->NRecognize == counts_[i]) continue;
    counts_[i] = p->NRecognize;
    RuleDetection d;
    d.pattern = i;
    d.begin = std::max<std::int64_t>(0, view.Absolute(p->NSampleFoundBegin));
    d.end = std::max<std::int64_t>(0, view.Absolute(p->NSampleFoundEnd));
    d.relDev = p->RelDev;
    d.relDevMpb = p->RelDevMPB;
    out.push_back(d);
    ++inCall_;
  }
}

void LibraryRule::OnBlockCall(EngineView /*view*/, int result, std::vector<RuleDetection>& /*out*/) {
  // Pattern's result counts the recognitions of the call: it must agree with the counters.
  if (result >= 0 && result != inCall_ && !warned_) {
    warned_ = true;
    PrintWarning("the library reported " + std::to_string(result) + " recognitions in a block but its patterns show " +
                 std::to_string(inCall_));
  }
  inCall_ = 0;
}

std::unique_ptr<DecisionRule> MakeDecisionRule(const std::string& name) {
  if (name == "library") return std::make_unique<LibraryRule>();
  if (name == "detector") return MakeDetectorRule();
  return nullptr;
}

std::vector<std::string> DecisionRuleNames() { return {"detector", "library"}; }

// ---- rebasing

void RebaseEngine(SignalPattern& engine, std::uint32_t shift) {
  engine.NCurrentSample -= shift;
  engine.NCurrentSampleRel = engine.NCurrentSampleRel > shift ? engine.NCurrentSampleRel - shift : 0;
  engine.RecognizedBegin = static_cast<sp_long>(ClampedShift(engine.RecognizedBegin, shift));
  engine.RecognizedEnd = static_cast<sp_long>(ClampedShift(engine.RecognizedEnd, shift));
  for (int i = 0; i < engine.NPattern && engine.TVS != nullptr; ++i) {
    SignalTVSEx* p = engine.TVS[i];
    if (p == nullptr) continue;
    p->NSampleFoundBegin = static_cast<int>(ClampedShift(p->NSampleFoundBegin, shift));
    p->NSampleFoundEnd = static_cast<int>(ClampedShift(p->NSampleFoundEnd, shift));
  }
}

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

void CheckPatternSet(const std::vector<std::string>& files, const std::vector<std::string>& openAs) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    SignalTVSEx record;
    LoadPattern(file, record, i < openAs.size() ? openAs[i] : "");
    // The first and the last block of a pattern are never compared: a pattern of one or two
    // blocks has a deviation of 0 and is found wherever its level fits.
    if (record.Nblock < 3)
      PrintWarning(file + ": the pattern has only " + std::to_string(record.Nblock) +
                   " time blocks and will be found almost anywhere");
  }
  SignalPattern engine;
  SetUpRecognition(engine, files, -1.0f, openAs);
}

void SetUpRecognition(SignalPattern& engine, const std::vector<std::string>& files, float threshold,
                      const std::vector<std::string>& openAs) {
  std::vector<char*> names;
  for (const auto& f : openAs.size() == files.size() ? openAs : files) names.push_back(const_cast<char*>(f.c_str()));
  SigRecognitionPar par;
  par.NPattern = static_cast<int>(names.size());
  par.PatternFileNames = names.data();
  par.NsampleMax = kScanBlockSamples;
  if (threshold >= 0.0f) par.TresholdRelDeviation = threshold;
  LibraryLineCapture capture;
  if (!engine.InitSignalPattern(&par)) throw Error(RefusedSet(files), capture.lines());
}

// ---- a scan session

ScanSession::ScanSession(const std::vector<std::string>& patternFiles, const ScanOptions& options, std::string input)
    : files_(patternFiles), options_(options), input_(std::move(input)), engine_(std::make_unique<SignalPattern>()) {
  SetUpRecognition(*engine_, files_, options_.threshold, options_.openAs);
  rule_ = options_.makeRule ? options_.makeRule() : MakeDecisionRule(options_.rule);
  if (!rule_) throw Error("unknown decision rule \"" + options_.rule + "\"");
  const std::uint32_t blockSamples = static_cast<std::uint32_t>(engine_->NsampleBlock);
  if (options_.engineStartSample != 0) {
    const std::uint32_t start = options_.engineStartSample / blockSamples * blockSamples;
    engine_->NCurrentSample = start;
    engine_->NCurrentSampleRel = start;
    base_ = -static_cast<std::int64_t>(start);
  }
  // What a rebase leaves in the counter: the longest pattern, the delay and one time block.
  int longest = 0;
  for (int i = 0; i < engine_->NPattern; ++i)
    if (engine_->TVS[i] != nullptr) longest = std::max(longest, engine_->TVS[i]->Nblock);
  keep_ = (static_cast<std::uint32_t>(engine_->NsDelay) + blockSamples - 1) / blockSamples * blockSamples +
          (static_cast<std::uint32_t>(longest) + 1) * blockSamples;
  engine_->SetTimeBlockObserver(&ScanSession::Observe, this);
  rule_->Start(EngineView{*engine_, base_, &files_});
  block_.assign(kScanBlockSamples, 0);
}

ScanSession::~ScanSession() {
  if (engine_) engine_->SetTimeBlockObserver(nullptr, nullptr);
  rule_.reset();  // a rule may hold on to the engine until it goes
}

void ScanSession::Observe(void* context, TimeSpectrumEstimation* /*engine*/) {
  auto* self = static_cast<ScanSession*>(context);
  self->rule_->OnTimeBlock(EngineView{*self->engine_, self->base_}, self->pending_);
}

void ScanSession::NoteArrival(std::int64_t position, double wallSeconds) {
  arrivalPosition_ = position;
  arrivalWall_ = wallSeconds;
}

void ScanSession::Deliver(const Emit& emit) {
  for (const RuleDetection& r : pending_) {
    Detection d;
    d.input = input_;
    d.pattern = r.pattern;
    d.file = r.pattern >= 0 && r.pattern < static_cast<int>(files_.size()) ? files_[r.pattern] : "";
    SignalTVSEx* p = r.pattern >= 0 && r.pattern < engine_->NPattern ? engine_->TVS[r.pattern] : nullptr;
    d.name = p != nullptr ? FileNameOfPath(static_cast<const char*>(p->FileName)) : "";
    d.begin = r.begin;
    d.end = r.end;
    d.beginSeconds = static_cast<double>(r.begin) / kLibraryRate;
    d.endSeconds = static_cast<double>(r.end) / kLibraryRate;
    if (arrivalPosition_ >= 0) {
      d.beginWall = arrivalWall_ - static_cast<double>(arrivalPosition_ - r.begin) / kLibraryRate;
      d.endWall = arrivalWall_ - static_cast<double>(arrivalPosition_ - r.end) / kLibraryRate;
      d.clock = "arrival";
    }
    d.relDev = r.relDev;
    d.relDevMpb = r.relDevMpb;
    d.rule = rule_->Name();
    d.score = r.score;
    d.threshold = r.threshold;
    d.confidence = r.confidence;
    d.group = r.group;
    d.speed = r.speed;
    d.match = r.method == 1 ? "shape" : (r.method == 0 ? "level" : "");
    d.stretch = r.stretch;
    ++result_.detections;
    if (emit) emit(d);
  }
  pending_.clear();
}

void ScanSession::Block(const std::int16_t* block, const Emit& emit) {
  int r = engine_->Pattern(kScanBlockSamples, const_cast<std::int16_t*>(block), SP_SAMPLE_S16, nullptr);
  if (r < 0) throw Error(input_ + ": the recognizer refused a block (result " + std::to_string(r) + ")");
  rule_->OnBlockCall(EngineView{*engine_, base_}, r, pending_);
  Deliver(emit);
  const std::uint32_t blockSamples = static_cast<std::uint32_t>(engine_->NsampleBlock);
  if (engine_->NCurrentSample >= options_.rebaseThreshold && engine_->NCurrentSample > keep_) {
    const std::uint32_t shift = (engine_->NCurrentSample - keep_) / blockSamples * blockSamples;
    if (shift > 0) {
      RebaseEngine(*engine_, shift);
      base_ += shift;
      rule_->OnRebase(shift);
      ++result_.rebases;
    }
  }
}

void ScanSession::Feed(const std::int16_t* samples, std::size_t n, const Emit& emit) {
  while (n > 0) {
    const std::size_t take = std::min(n, block_.size() - filled_);
    std::copy(samples, samples + take, block_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += take;
    samples += take;
    n -= take;
    fed_ += static_cast<std::int64_t>(take);
    result_.samples = fed_;
    if (filled_ == block_.size()) {
      filled_ = 0;
      Block(block_.data(), emit);
    }
  }
}

void ScanSession::Finish(const Emit& emit) {
  if (filled_ > 0) {
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(filled_), block_.end(), std::int16_t{0});
    filled_ = 0;
    Block(block_.data(), emit);
  }
  std::fill(block_.begin(), block_.end(), std::int16_t{0});
  for (int i = 0; i < kFlushBlocks; ++i) Block(block_.data(), emit);
  rule_->Finish(EngineView{*engine_, base_}, pending_);
  Deliver(emit);
}

// ---- the scanner

Scanner::Scanner(std::vector<std::string> patternFiles, ScanOptions options)
    : files_(std::move(patternFiles)), options_(std::move(options)) {}

ScanResult Scanner::Scan(AudioInput& input, const std::function<void(const Detection&)>& emit,
                         const std::function<void(std::int64_t)>& progress) {
  ScanSession session(files_, options_, options_.label.empty() ? input.name() : options_.label);
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
    if (progress) progress(static_cast<std::int64_t>(got));
  }
  if (session.samples() == 0) {
    if (stopped) {
      ScanResult none;
      none.stopped = true;
      return none;
    }
    throw Error(input.name() + (input.isFile() ? ": holds no audio samples" : ": no audio samples on standard input"));
  }
  // Pending candidates are reported whether the input ended or was stopped.
  session.Finish(emit);
  if (input.corruptFrames() > 0)
    PrintWarning(input.name() + ": " + std::to_string(input.corruptFrames()) +
                 " corrupt frames could not be decoded and were skipped");
  ScanResult result = session.result();
  result.stopped = stopped;
  return result;
}

void Scanner::Begin(const std::string& inputName) {
  session_.reset();
  session_ = std::make_unique<ScanSession>(files_, options_, options_.label.empty() ? inputName : options_.label);
}

void Scanner::Feed(const std::int16_t* samples, std::size_t n, const std::function<void(const Detection&)>& emit) {
  if (!session_) throw Error("the scanner was fed before Begin");
  session_->Feed(samples, n, emit);
}

ScanResult Scanner::Finish(const std::function<void(const Detection&)>& emit) {
  if (!session_) throw Error("the scanner was finished before Begin");
  session_->Finish(emit);
  const ScanResult result = session_->result();
  session_.reset();
  return result;
}

}  // namespace sigpat
