#include "station.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "ffmpeg_source.h"
#include "messages.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

// A turn of Process ends after this many chunks or after this long, whichever comes
// first, so that a station at real time never waits long behind stations that are far behind
// (with a long catalogue 64 chunks can take a quarter of a second).
constexpr int kBlocksPerTurn = 64;
constexpr std::chrono::milliseconds kTurnTime{20};

// Seconds between two "dropped" lines of a station: drops meanwhile are told together.
constexpr double kDropReportEvery = 5.0;

double Round3(double x) { return std::round(x * 1000.0) / 1000.0; }

std::string FormatSeconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", s);
  return text;
}

// A recognizer for a station: a copy of the set's model that shares its pattern arrays; null
// without a model (the session then sets one up from the files).
std::unique_ptr<RecognitionStream> CopyOfModel(const PatternSet& set) {
  return set.model ? ScanSession::CopyOf(*set.model) : nullptr;
}

}  // namespace

Station::Station(StationEntry entry, std::shared_ptr<const PatternSet> patterns, const StationSettings& settings,
                 StatusSink status, ScanSession::Emit emit)
    : entry_(std::move(entry)),
      settings_(settings),
      status_(std::move(status)),
      emit_(std::move(emit)),
      patterns_(std::move(patterns)),
      deadAir_(settings.deadAir, [this](const std::string& event, nlohmann::ordered_json fields) {
        status_(entry_.label, event, std::move(fields));
      }) {
  if (settings_.evidence != nullptr)
    evidence_ = std::make_unique<EvidenceRecorder>(*settings_.evidence, patterns_->longest, true);
}

Station::~Station() {
  Stop();
  if (reader_.joinable()) reader_.join();
}

void Station::Start(std::function<void(Station*)> schedule) {
  schedule_ = std::move(schedule);
  beatWall_ = WallClockNow();
  reader_ = std::thread([this] { Read(); });
}

void Station::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  interrupt_ = true;
  changed_.notify_all();
}

void Station::ReplacePatterns(std::shared_ptr<const PatternSet> patterns) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextPatterns_ = std::move(patterns);
}

bool Station::Sleep(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stop_.load(); });
  return !stop_;
}

void Station::Push(Chunk chunk) {
  const bool live = IsUrl(entry_.source) && settings_.maxBehind > 0.0;
  std::unique_lock<std::mutex> lock(mutex_);
  // A reader ahead of the recognition waits (the stream's own buffers hold what comes meanwhile)
  // while the queue is full; a live stream's audio that waited too long goes meanwhile.
  while (true) {
    if (live) DropStale(WallClockNow(), static_cast<std::int64_t>(chunk.samples.size()));
    if (queue_.size() < settings_.maxQueuedBlocks || stop_) break;
    changed_.wait_for(lock, std::chrono::milliseconds(live ? 250 : 1000));
  }
  queuedSamples_ += static_cast<std::int64_t>(chunk.samples.size());
  queue_.push_back(std::move(chunk));
  const bool schedule = !scheduled_;
  scheduled_ = true;
  lock.unlock();
  if (schedule) schedule_(this);
}

void Station::DropStale(double now, std::int64_t pending) {
  if (stop_ || Behind(now) <= settings_.maxBehind) return;
  const double oldest = queue_.front().wall;
  double newest = oldest;
  std::int64_t samples = 0;
  while (!queue_.empty() && !queue_.front().end && now - queue_.front().wall > settings_.maxBehind / 2.0) {
    samples += static_cast<std::int64_t>(queue_.front().samples.size());
    newest = queue_.front().wall;
    queue_.pop_front();
  }
  queuedSamples_ -= samples;
  if (samples == 0) return;
  changed_.notify_all();
  dropped_ += samples;
  if (drop_.samples == 0) {
    // Positions count the samples recognized: the dropped stretch is a gap at the position of
    // the first sample kept.
    drop_.position = Position() - queuedSamples_ - pending;
    drop_.from = oldest;
    drop_.behind = now - oldest;
  }
  drop_.samples += samples;
  drop_.to = newest;
  drop_.behind = std::max(drop_.behind, now - oldest);
}

double Station::Behind(double now) const {
  if (queue_.empty() || queue_.front().end) return 0.0;
  return std::max(0.0, now - queue_.front().wall);
}

void Station::Watch() {
  if (!IsUrl(entry_.source)) return;
  const double now = WallClockNow();
  std::vector<std::pair<std::string, nlohmann::ordered_json>> events;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A connection that sends without ever getting to the audio (headers without end, redirects
    // that never settle) is not held up by the network timeout: it is given up here.
    if (connectingSince_ >= 0.0 && now - connectingSince_ > settings_.audio.networkTimeout) {
      openTimedOut_ = true;
      interrupt_ = true;
      connectingSince_ = -1.0;
    }
    // A reader waiting on the network pushes nothing: what waits in the queue is dropped here.
    if (settings_.maxBehind > 0.0) DropStale(now, 0);
    const double behind = Behind(now);
    if (behindSince_ < 0.0) {
      if (settings_.behindReport > 0.0 && behind >= settings_.behindReport) {
        behindSince_ = now - behind;
        behindMost_ = behind;
        nlohmann::ordered_json fields;
        fields["behind_s"] = Round3(behind);
        fields["queued_s"] = Round3(static_cast<double>(queuedSamples_) / kLibraryRate);
        fields["limit_s"] = settings_.maxBehind;
        events.emplace_back("behind", std::move(fields));
      }
    } else {
      behindMost_ = std::max(behindMost_, behind);
      if (behind < std::min(1.0, settings_.behindReport / 2.0)) {
        nlohmann::ordered_json fields;
        fields["behind_s"] = Round3(behindMost_);
        fields["for_s"] = Round3(now - behindSince_);
        behindSince_ = -1.0;
        // A stream that dropped meanwhile has said so ("disconnected"); "caught_up" would read as up.
        if (connected_) events.emplace_back("caught_up", std::move(fields));
      }
    }
    // Dropped audio is told at most every kDropReportEvery seconds (a source far ahead of the
    // recognition drops every moment), and before the station ends.
    if (drop_.samples > 0 && (now - lastDropReport_ >= kDropReportEvery || stop_)) {
      nlohmann::ordered_json fields;
      fields["position"] = drop_.position;
      fields["dropped_s"] = Round3(static_cast<double>(drop_.samples) / kLibraryRate);
      fields["behind_s"] = Round3(drop_.behind);
      fields["from"] = FormatUtc(drop_.from);  // when the first and the last dropped audio arrived
      fields["to"] = FormatUtc(drop_.to);
      fields["limit_s"] = settings_.maxBehind;
      events.emplace_back("dropped", std::move(fields));
      drop_ = DropReport{};
      lastDropReport_ = now;
    }
  }
  for (auto& [event, fields] : events) status_(entry_.label, event, std::move(fields));
}

void Station::ReportHealth(const std::string& problem, double attemptStart, std::int64_t delivered) {
  nlohmann::ordered_json fields;
  fields["position"] = Position();
  if (problem.empty()) {
    // The server closed the stream itself.
    fields["delivered_s"] = std::round(static_cast<double>(delivered) / kLibraryRate * 1000.0) / 1000.0;
    status_(entry_.label, "ended", fields);
    return;
  }
  // Waited the whole timeout for samples (since the attempt began or the last samples came):
  // the stream is there but delivers nothing.
  const double since = std::max(attemptStart, lastSampleWall_.load());
  const double waited = WallClockNow() - since;
  if (waited < settings_.audio.networkTimeout * 0.9) return;  // refused, or a read error
  fields["waited_s"] = std::round(waited * 1000.0) / 1000.0;
  fields["delivered_s"] = std::round(static_cast<double>(delivered) / kLibraryRate * 1000.0) / 1000.0;
  fields["error"] = problem;
  status_(entry_.label, "no_data", fields);
}

void Station::ReadConnection(AudioInput& input) {
  const std::int64_t corruptBefore = corrupt_;
  std::int64_t read = 0;
  while (!stop_) {
    Chunk chunk;
    chunk.samples.resize(kScanBlockSamples);
    const std::size_t n = input.Read(chunk.samples.data(), chunk.samples.size());
    corrupt_ = corruptBefore + input.corruptFrames();
    if (n == 0) return;
    chunk.samples.resize(n);
    chunk.wall = WallClockNow();
    lastSampleWall_ = chunk.wall;
    chunk.clock = input.StreamClock(read);
    read += static_cast<std::int64_t>(n);
    received_ += static_cast<std::int64_t>(n);
    Push(std::move(chunk));
  }
}

void Station::Read() {
  const bool live = IsUrl(entry_.source);
  double backoff = settings_.retryFirst;
  double droppedAt = -1.0;  // wall time of the last audio before a drop
  while (!stop_) {
    std::string problem;
    const double attemptStart = WallClockNow();
    const std::int64_t atStart = received_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      interrupt_ = stop_.load();
      connectingSince_ = attemptStart;
    }
    try {
      std::unique_ptr<AudioInput> input = AudioInput::Open(entry_.source, settings_.audio, &interrupt_);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connectingSince_ = -1.0;
        connected_ = true;
      }
      nlohmann::ordered_json fields;
      fields["source"] = entry_.source;
      fields["format"] = input->description();
      fields["position"] = Position();
      status_(entry_.label, "connected", fields);
      if (droppedAt >= 0.0) {
        nlohmann::ordered_json gap;
        gap["position"] = Position();
        gap["position_s"] = static_cast<double>(Position()) / kLibraryRate;
        gap["gap_s"] = std::round((WallClockNow() - droppedAt) * 1000.0) / 1000.0;
        status_(entry_.label, "gap", gap);
      }
      const std::int64_t before = received_;
      ReadConnection(*input);
      if (received_ > before) backoff = settings_.retryFirst;  // it delivered: start the backoff over
      if (received_ == 0 && !live && !stop_) problem = entry_.source + ": holds no audio samples";
    } catch (const Error& e) {
      problem = e.what();
    } catch (const std::exception& e) {
      problem = entry_.source + ": " + e.what();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = false;
      connectingSince_ = -1.0;
      if (openTimedOut_ && !stop_)
        problem = entry_.source + ": no audio within " + FormatSeconds(settings_.audio.networkTimeout) +
                  " s of connecting (no answer, headers without end, or a stream too thin to recognize)";
      openTimedOut_ = false;
    }
    if (stop_) break;
    if (!problem.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      lastError_ = problem;
    }
    if (live) ReportHealth(problem, attemptStart, received_ - atStart);
    if (!live) {
      // A file is read once; a file that cannot be read fails the station.
      if (!problem.empty()) {
        failed_ = true;
        nlohmann::ordered_json fields;
        fields["error"] = problem;
        status_(entry_.label, "failed", fields);
      }
      break;
    }
    droppedAt = WallClockNow();
    nlohmann::ordered_json fields;
    fields["position"] = Position();
    fields["error"] = problem.empty() ? "the stream ended" : problem;
    fields["retry_s"] = backoff;
    status_(entry_.label, "disconnected", fields);
    if (!Sleep(backoff)) break;
    ++reconnects_;
    backoff = std::min(backoff * 2.0, settings_.retryMax);
  }
  Chunk end;
  end.end = true;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(std::move(end));
    if (scheduled_) return;
    scheduled_ = true;
  }
  schedule_(this);
}

void Station::EmitShifted(const Detection& d) {
  Detection shifted = d;
  shifted.report.Begin += sessionBase_;
  shifted.report.End += sessionBase_;
  shifted.beginSeconds = static_cast<double>(shifted.report.Begin) / kLibraryRate;
  shifted.endSeconds = static_cast<double>(shifted.report.End) / kLibraryRate;
  const double begin = clock_.At(static_cast<double>(shifted.report.Begin));
  const double end = clock_.At(static_cast<double>(shifted.report.End));
  if (begin >= 0.0 && end >= 0.0) {
    shifted.beginWall = begin;
    shifted.endWall = end;
    shifted.clock = "stream";
  }
  ++detections_;
  emit_(shifted);
  if (evidence_) evidence_->Detected(shifted);
}

void Station::Process() {
  const ScanSession::Emit emit = [this](const Detection& d) { EmitShifted(d); };
  const auto turnEnds = std::chrono::steady_clock::now() + kTurnTime;
  for (int turn = 0; turn < kBlocksPerTurn && (turn == 0 || std::chrono::steady_clock::now() < turnEnds); ++turn) {
    Chunk chunk;
    std::shared_ptr<const PatternSet> replacement;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) {
        scheduled_ = false;
        return;
      }
      chunk = std::move(queue_.front());
      queue_.pop_front();
      queuedSamples_ -= static_cast<std::int64_t>(chunk.samples.size());
      replacement.swap(nextPatterns_);
      if (replacement) patterns_ = replacement;
      changed_.notify_all();
    }
    try {
      if (replacement && evidence_) evidence_->Reserve(replacement->longest);
      if (replacement && session_) {
        session_->Finish(emit);
        session_.reset();
      }
      if (!session_ && !chunk.end) {
        session_ = std::make_unique<ScanSession>(patterns_->files, patterns_->options, entry_.label, CopyOfModel(*patterns_));
        sessionBase_ = recognized_;
      }
      if (chunk.end) {
        if (session_) session_->Finish(emit);
        session_.reset();
        if (evidence_) evidence_->Finish();
        nlohmann::ordered_json fields;
        fields["audio_s"] = std::round(static_cast<double>(received_.load()) / kLibraryRate * 1000.0) / 1000.0;
        fields["detections"] = detections_.load();
        if (dropped_ > 0) fields["dropped_s"] = std::round(static_cast<double>(dropped_) / kLibraryRate * 1000.0) / 1000.0;
        status_(entry_.label, "finished", fields);
        finished_ = true;  // the last touch: the station may be destroyed from here on
        return;
      }
      // A live stream's clock is the time its samples arrive; a file read as fast as it goes has none.
      if (IsUrl(entry_.source))
        session_->NoteArrival(recognized_ - sessionBase_ + static_cast<std::int64_t>(chunk.samples.size()), chunk.wall);
      clock_.Note(recognized_, chunk.clock);
      // Detections begin at most the longest pattern and the decision layer's wait behind: an
      // hour back is plenty.
      clock_.Forget(static_cast<double>(recognized_) - 3600.0 * kLibraryRate);
      session_->Feed(chunk.samples.data(), chunk.samples.size(), emit);
      if (evidence_) evidence_->Append(chunk.samples.data(), chunk.samples.size());
      deadAir_.Feed(chunk.samples.data(), chunk.samples.size(), recognized_, IsUrl(entry_.source) ? chunk.wall : -1.0);
      recognized_ += static_cast<std::int64_t>(chunk.samples.size());
    } catch (const Error& e) {
      // The recognizer refused something: report it and start a new one with the next block.
      session_.reset();
      std::lock_guard<std::mutex> lock(mutex_);
      lastError_ = e.what();
    }
  }
  // More may be queued: let the other stations have their turn first.
  schedule_(this);
}

nlohmann::ordered_json Station::Heartbeat() {
  const double now = WallClockNow();
  const std::int64_t samples = received_;
  nlohmann::ordered_json j;
  j["audio_s"] = std::round(static_cast<double>(samples) / kLibraryRate * 1000.0) / 1000.0;
  const double interval = now - beatWall_;
  j["realtime"] = interval > 0.0 ? std::round(static_cast<double>(samples - beatSamples_) / kLibraryRate / interval * 1000.0) / 1000.0 : 0.0;
  beatSamples_ = samples;
  beatWall_ = now;
  j["detections"] = detections_.load();
  j["reconnects"] = reconnects_.load();
  j["corrupt_frames"] = corrupt_.load();
  std::lock_guard<std::mutex> lock(mutex_);
  j["queued_s"] = Round3(static_cast<double>(queuedSamples_) / kLibraryRate);
  j["behind_s"] = Round3(Behind(now));
  j["dropped_s"] = Round3(static_cast<double>(dropped_) / kLibraryRate);
  j["last_error"] = lastError_;
  return j;
}

// ---- the worker pool

WorkerPool::WorkerPool(int threads) {
  for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  ready_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkerPool::Schedule(Station* station) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(station);
  }
  ready_.notify_one();
}

void WorkerPool::Work() {
  while (true) {
    Station* station = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      station = queue_.front();
      queue_.pop_front();
    }
    station->Process();
  }
}

}  // namespace sigpat
