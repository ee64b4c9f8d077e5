// The matching layout: the loaded patterns laid out for matching many of them side by side,
// and the per-block results of that matching. Internal to the engine, which owns one per
// recognition set-up (TimeSpectrumEstimation::PrepareMatching) and drops it on every
// initialisation, release and copy; a copy made in a SharingScope shares the source's
// interleaved values (ShareFrom), a copy made outside builds its own.
//
// Every block, each pattern in use needs the deviation of its maximum-power band (and, when
// the early rejection lets it through or is off, of its other bands). The pattern side of
// the maximum-power bands is copied once into a lane-interleaved layout: a group of units
// holds, per block k, one pattern value per lane, or NaN where the sample does not count
// (first and last block, front samples, blocks past the pattern's end). With eight lanes a
// group has units of any bands; with four, units of one band. A pattern that does not fit
// (another band count, longer than the ring, NaN among its counted values) is evaluated the
// ordinary way.
#ifndef SP_ENGINE_MATCHING_LAYOUT_H
#define SP_ENGINE_MATCHING_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class TimeSpectrumEstimation;
class SignalTVSEx;

namespace sp {

class MatchingLayout {
 public:
  static constexpr int kBands = 8;     // the band count the layout serves (the standard geometry's)
  static constexpr int kMaxLanes = 8;

  // What the layout was built from, per pattern; checked every block.
  struct PatternKey {
    const SignalTVSEx* rec;
    const float* spectrumByBand;
    const float* spectrum;
    const unsigned char* range;
    int nblock, nband, band;
    int cached;     // its maximum-power band is in a group
    int byPattern;  // Spectrum holds SpectrumByBand block-major: all bands side by side
  };

  struct Group {
    int lane[kMaxLanes];            // pattern numbers, -1 for an empty lane
    std::int32_t band[kMaxLanes];   // each lane's band
    std::size_t data;               // float offset of the interleaved values (Nblock rows of lanes)
  };

  // Status of a pattern in the block.
  static constexpr unsigned char kOrdinary = 0;   // decided the ordinary way
  static constexpr unsigned char kFromCache = 1;  // deviations computed ahead
  static constexpr unsigned char kAllBands = 2;   // ... and every band is needed

  // The layout of the engine's patterns with `lanes` (4 or 8) units per group; null when
  // memory is short.
  static std::unique_ptr<MatchingLayout> Build(const TimeSpectrumEstimation& e, int lanes);
  // The layout of a copy of the engine `source` describes (its patterns in the same order, the
  // same content): the interleaved values are shared with `source`, which must describe its
  // engine; the keys and the block's results are the copy's. Null when memory is short.
  static std::unique_ptr<MatchingLayout> ShareFrom(const MatchingLayout& source, const TimeSpectrumEstimation& e);

  // True while the layout still fits the engine's geometry and pattern array (Fits), and
  // describes the patterns the engine has loaded: records, arrays, lengths, bands (Describes,
  // which visits every pattern).
  bool Fits(const TimeSpectrumEstimation& e) const;
  bool Describes(const TimeSpectrumEstimation& e) const;

  // Computes ahead, for the patterns the layout holds, every deviation that the decisions of
  // the engine's newest block will read (matching_ahead.cpp); the engine's work matrix holds
  // the current blocks band-major and, in its third part, block-major.
  void Evaluate(TimeSpectrumEstimation& e);

  int Lanes() const { return lanes_; }
  const std::vector<PatternKey>& Keys() const { return keys_; }
  const std::vector<Group>& Groups() const { return groups_; }
  const float* Data(const Group& g) const { return data_->data() + g.data; }

  // The block's results, per pattern: the deviations and band means computed ahead (kBands
  // each), the bands that have them (bit b), and the pattern's status.
  float* Deviations(int pattern) { return deviations_.data() + static_cast<std::size_t>(pattern) * kBands; }
  float* Means(int pattern) { return means_.data() + static_cast<std::size_t>(pattern) * kBands; }
  unsigned& Have(int pattern) { return have_[static_cast<std::size_t>(pattern)]; }
  unsigned char& Status(int pattern) { return status_[static_cast<std::size_t>(pattern)]; }

 private:
  MatchingLayout() = default;

  const void* tvs_ = nullptr;
  int nPattern_ = 0, nblock_ = 0, lanes_ = 0;
  std::vector<PatternKey> keys_;
  std::vector<Group> groups_;
  std::shared_ptr<const std::vector<float>> data_;  // never changed once built: copies share it
  std::vector<float> deviations_, means_;
  std::vector<unsigned> have_;
  std::vector<unsigned char> status_;
};

}  // namespace sp

#endif
