#include "PatternMaker.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Bytes per sample of a sample format; 0 for an unknown format.
std::size_t WordSize(unsigned int format) {
  switch (format) {
    case SP_SAMPLE_S16: return 2;
    case SP_SAMPLE_S32_LOW:
    case SP_SAMPLE_S32_HIGH: return 4;
    default: return 0;
  }
}

}  // namespace

PatternMaker::PatternMaker(SignalPattern& engine) : engine_(engine) {}

int PatternMaker::Start(sp_long begin, sp_long end, const char* source, float Fs, unsigned int mode) {
  filled_ = 0;
  failed_ = false;
  if (!engine_.InitSignalPattern(mode, kBlockSamples, 0)) return 0;
  // Another rate changes only the parameters in force: the geometry stays that of 44100 Hz and
  // the pattern written still records 44100 Hz.
  if (Fs != 44100.0f) {
    engine_.RecPar.Fs = Fs;
    engine_.RecPar.fFixedFs = 0;
  }
  return engine_.SetCreatePatternMode(begin, end, const_cast<char*>(source), nullptr) ? 1 : 0;
}

bool PatternMaker::Written() const { return engine_.GetFlagCreatedPattern() != 0; }

bool PatternMaker::Wanting() const { return !failed_ && engine_.fCreatePatternMode && !Written(); }

int PatternMaker::FeedBlock(const unsigned char* block, unsigned int format) {
  if (engine_.Pattern(kBlockSamples, const_cast<unsigned char*>(block), format, nullptr) < 0) {
    failed_ = true;
    return -1;
  }
  return Wanting() ? 1 : 0;
}

int PatternMaker::Feed(const void* samples, std::size_t n, unsigned int format) {
  const std::size_t word = WordSize(format);
  if (word == 0 || failed_ || (filled_ > 0 && format != format_)) return -1;
  if (!Wanting()) return 0;
  const std::size_t blockBytes = kBlockSamples * word;
  const unsigned char* bytes = static_cast<const unsigned char*>(samples);
  std::size_t left = n * word;
  try {
    format_ = format;
    // Whole blocks straight from the caller's buffer, the rest through block_.
    while (left > 0 && Wanting()) {
      if (filled_ == 0 && left >= blockBytes) {
        if (FeedBlock(bytes, format) < 0) return -1;
        bytes += blockBytes;
        left -= blockBytes;
        continue;
      }
      block_.resize(blockBytes);
      const std::size_t take = std::min(left, blockBytes - filled_);
      std::memcpy(block_.data() + filled_, bytes, take);
      filled_ += take;
      bytes += take;
      left -= take;
      if (filled_ == blockBytes) {
        filled_ = 0;
        if (FeedBlock(block_.data(), format) < 0) return -1;
      }
    }
  } catch (const std::bad_alloc&) {
    failed_ = true;
    return -1;
  }
  return Wanting() ? 1 : 0;
}

int PatternMaker::Finish() {
  if (failed_) return -1;
  try {
    const std::size_t blockBytes = kBlockSamples * WordSize(format_);
    block_.resize(blockBytes);
    if (filled_ > 0 && Wanting()) {
      std::memset(block_.data() + filled_, 0, blockBytes - filled_);
      filled_ = 0;
      if (FeedBlock(block_.data(), format_) < 0) return -1;
    }
    filled_ = 0;
    std::memset(block_.data(), 0, blockBytes);
    for (int i = 0; i < kClosingBlocks && Wanting(); ++i)
      if (FeedBlock(block_.data(), format_) < 0) return -1;
  } catch (const std::bad_alloc&) {
    failed_ = true;
    return -1;
  }
  return Written() ? 1 : 0;
}
