#include "RecognitionStream.h"

#include <algorithm>
#include <new>

namespace {

std::int64_t ClampedShift(std::int64_t value, std::uint32_t shift) {
  const std::int64_t v = value - static_cast<std::int64_t>(shift);
  return v < 0 ? 0 : v;
}

}  // namespace

RecognitionStream::RecognitionStream() = default;

RecognitionStream::~RecognitionStream() { engine_.RemoveTimeBlockObserver(&RecognitionStream::OnEngineBlock, this); }

void RecognitionStream::SetBlockObserver(BlockObserver observer, void* context) {
  blockObserver_ = observer;
  blockContext_ = context;
}

void RecognitionStream::SetRebaseObserver(RebaseObserver observer, void* context) {
  rebaseObserver_ = observer;
  rebaseContext_ = context;
}

int RecognitionStream::Init(SigRecognitionPar* par, std::uint32_t startSample) {
  ready_ = false;
  if (par == nullptr) return 0;
  try {
    par->NsampleMax = kBlockSamples;
    if (!engine_.InitSignalPattern(par)) return 0;
    const std::uint32_t blockSamples = static_cast<std::uint32_t>(engine_.NsampleBlock);
    const std::uint32_t start = startSample / blockSamples * blockSamples;
    engine_.NCurrentSample = start;
    engine_.NCurrentSampleRel = start;
    base_ = -static_cast<std::int64_t>(start);
    // What a rebase leaves in the counter: the longest pattern, the delay and one time block.
    int longest = 0;
    counts_.assign(static_cast<std::size_t>(std::max(engine_.NPattern, 0)), 0);
    for (int i = 0; i < engine_.NPattern; ++i) {
      const SignalTVSEx* p = engine_.TVS[i];
      if (p == nullptr) continue;
      longest = std::max(longest, p->Nblock);
      counts_[static_cast<std::size_t>(i)] = p->NRecognize;
    }
    keep_ = (static_cast<std::uint32_t>(engine_.NsDelay) + blockSamples - 1) / blockSamples * blockSamples +
            (static_cast<std::uint32_t>(longest) + 1) * blockSamples;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return StartFeeding();
}

int RecognitionStream::InitLike(const RecognitionStream& model) {
  ready_ = false;
  if (&model == this || !model.ready_ || model.samples_ != 0) return 0;
  try {
    engine_.RemoveTimeBlockObserver(&RecognitionStream::OnEngineBlock, this);
    engine_ = model.engine_;  // (observers are not copied)
    if (engine_.TVS == nullptr || engine_.NPattern != model.engine_.NPattern) return 0;
    base_ = model.base_;
    keep_ = model.keep_;
    counts_ = model.counts_;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return StartFeeding();
}

// An empty stream at position zero, told of every block the engine compares.
int RecognitionStream::StartFeeding() {
  try {
    block_.assign(kBlockSamples, 0);
    recognitions_.clear();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  filled_ = 0;
  samples_ = 0;
  rebases_ = 0;
  observerFailed_ = false;
  if (!engine_.AddTimeBlockObserver(&RecognitionStream::OnEngineBlock, this)) return 0;
  ready_ = true;
  return 1;
}

std::int64_t RecognitionStream::Absolute(std::int64_t enginePosition) const {
  const std::uint32_t back = engine_.NCurrentSample - static_cast<std::uint32_t>(enginePosition);
  return Position() - static_cast<std::int64_t>(static_cast<std::int32_t>(back));
}

// Several patterns may be accepted in one time block while the getters name only the last: each
// pattern's own counter tells which were, and its record holds where.
void RecognitionStream::OnEngineBlock(void* context, const TimeBlockView& /*block*/) {
  auto* self = static_cast<RecognitionStream*>(context);
  if (self->observerFailed_) return;
  try {
    SignalPattern& e = self->engine_;
    for (int i = 0; i < e.NPattern && i < static_cast<int>(self->counts_.size()); ++i) {
      const SignalTVSEx* p = e.TVS != nullptr ? e.TVS[i] : nullptr;
      if (p == nullptr || p->NRecognize == self->counts_[static_cast<std::size_t>(i)]) continue;
      self->counts_[static_cast<std::size_t>(i)] = p->NRecognize;
      StreamRecognition r;
      r.pattern = i;
      r.begin = std::max<std::int64_t>(0, self->Absolute(p->NSampleFoundBegin));
      r.end = std::max<std::int64_t>(0, self->Absolute(p->NSampleFoundEnd));
      r.relDev = p->RelDev;
      r.relDevMpb = p->RelDevMPB;
      self->recognitions_.push_back(r);
    }
    if (self->blockObserver_ != nullptr) self->blockObserver_(self->blockContext_, *self);
  } catch (...) {
    // Nothing may unwind through the engine: the feed reports the failure.
    self->observerFailed_ = true;
  }
}

void RecognitionStream::Rebase(std::uint32_t shift) {
  SignalPattern& e = engine_;
  e.NCurrentSample -= shift;
  e.NCurrentSampleRel = e.NCurrentSampleRel > shift ? e.NCurrentSampleRel - shift : 0;
  e.RecognizedBegin = static_cast<sp_long>(ClampedShift(e.RecognizedBegin, shift));
  e.RecognizedEnd = static_cast<sp_long>(ClampedShift(e.RecognizedEnd, shift));
  for (int i = 0; i < e.NPattern && e.TVS != nullptr; ++i) {
    SignalTVSEx* p = e.TVS[i];
    if (p == nullptr) continue;
    p->NSampleFoundBegin = static_cast<int>(ClampedShift(p->NSampleFoundBegin, shift));
    p->NSampleFoundEnd = static_cast<int>(ClampedShift(p->NSampleFoundEnd, shift));
  }
  base_ += shift;
  ++rebases_;
  if (rebaseObserver_ != nullptr) rebaseObserver_(rebaseContext_, shift);
}

int RecognitionStream::Block(const std::int16_t* block) {
  if (engine_.Pattern(kBlockSamples, const_cast<std::int16_t*>(block), SP_SAMPLE_S16, nullptr) < 0) {
    ready_ = false;
    return -2;
  }
  if (observerFailed_) {
    ready_ = false;
    return -3;
  }
  const std::uint32_t blockSamples = static_cast<std::uint32_t>(engine_.NsampleBlock);
  if (engine_.NCurrentSample >= rebaseThreshold_ && engine_.NCurrentSample > keep_) {
    const std::uint32_t shift = (engine_.NCurrentSample - keep_) / blockSamples * blockSamples;
    if (shift > 0) Rebase(shift);
  }
  return 0;
}

int RecognitionStream::Feed(const std::int16_t* samples, std::size_t n) {
  recognitions_.clear();
  if (!ready_ || (samples == nullptr && n > 0)) return -1;
  while (n > 0) {
    const std::size_t take = std::min(n, block_.size() - filled_);
    std::copy(samples, samples + take, block_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += take;
    samples += take;
    n -= take;
    samples_ += static_cast<std::int64_t>(take);
    if (filled_ == block_.size()) {
      filled_ = 0;
      const int r = Block(block_.data());
      if (r < 0) return r;
    }
  }
  return static_cast<int>(recognitions_.size());
}

int RecognitionStream::Finish(int closingBlocks) {
  recognitions_.clear();
  if (!ready_) return -1;
  if (filled_ > 0) {
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(filled_), block_.end(), std::int16_t{0});
    filled_ = 0;
    const int r = Block(block_.data());
    if (r < 0) return r;
  }
  std::fill(block_.begin(), block_.end(), std::int16_t{0});
  for (int i = 0; i < closingBlocks; ++i) {
    const int r = Block(block_.data());
    if (r < 0) return r;
  }
  return static_cast<int>(recognitions_.size());
}
