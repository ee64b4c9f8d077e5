#include "stream_health.h"

#include <cmath>

#include "audio_input.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

// The level is measured over windows of 100 ms: a click or a short word does not end dead air.
constexpr std::size_t kLevelWindow = kLibraryRate / 10;

double Round3(double x) { return std::round(x * 1000.0) / 1000.0; }

}  // namespace

void DeadAirWatch::Feed(const std::int16_t* samples, std::size_t n, std::int64_t position, double wall) {
  if (limit_ <= 0.0) return;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = samples[i] / 32768.0;
    sum_ += x * x;
    if (++count_ == kLevelWindow) {
      const std::int64_t end = position + static_cast<std::int64_t>(i) + 1;
      Window(end, wall >= 0.0 ? wall - static_cast<double>(n - i - 1) / kLibraryRate : -1.0);
    }
  }
}

void DeadAirWatch::Window(std::int64_t end, double wallOfEnd) {
  const double rms = std::sqrt(sum_ / static_cast<double>(count_));
  const double db = rms > 0.0 ? 20.0 * std::log10(rms) : -200.0;
  const std::int64_t begin = end - static_cast<std::int64_t>(count_);
  const double windowSeconds = static_cast<double>(count_) / kLibraryRate;
  sum_ = 0.0;
  count_ = 0;
  if (db < kDeadAirDb) {
    if (silentFrom_ < 0) {
      silentFrom_ = begin;
      silentWall_ = wallOfEnd >= 0.0 ? wallOfEnd - windowSeconds : -1.0;
    }
    const double quiet = static_cast<double>(end - silentFrom_) / kLibraryRate;
    if (!reported_ && quiet >= limit_) {
      reported_ = true;
      nlohmann::ordered_json f;
      f["position_s"] = Round3(static_cast<double>(silentFrom_) / kLibraryRate);
      if (silentWall_ >= 0.0) f["since"] = FormatUtc(silentWall_);
      f["silent_s"] = Round3(quiet);
      f["level_db"] = std::round(db * 10.0) / 10.0;
      event_("dead_air", f);
    }
    return;
  }
  if (reported_) {
    nlohmann::ordered_json f;
    f["position_s"] = Round3(static_cast<double>(begin) / kLibraryRate);
    if (silentWall_ >= 0.0) f["since"] = FormatUtc(silentWall_);
    f["silent_s"] = Round3(static_cast<double>(begin - silentFrom_) / kLibraryRate);
    event_("dead_air_end", f);
  }
  reported_ = false;
  silentFrom_ = -1;
  silentWall_ = -1.0;
}

}  // namespace sigpat
