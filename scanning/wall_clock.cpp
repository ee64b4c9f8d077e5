#include "wall_clock.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace sigpat {

double WallClockNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string FormatUtc(double secondsSince1970) {
  const long long ms = std::llround(secondsSince1970 * 1000.0);
  std::time_t whole = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const long long rest = ms - static_cast<long long>(whole) * 1000;
  std::tm tm{};
  gmtime_r(&whole, &tm);
  char text[64];  // room for any year the format can print
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, rest);
  return text;
}

void ClockTrack::Note(std::int64_t position, double wall) {
  if (!anchors_.empty()) {
    const Anchor& last = anchors_.back();
    const double runs = last.wall + static_cast<double>(position - last.position) / rate_;
    if ((wall < 0.0) == (last.wall < 0.0) && (wall < 0.0 || std::fabs(runs - wall) <= 0.0005)) return;
  }
  anchors_.push_back(Anchor{position, wall});
}

double ClockTrack::At(double position) const {
  for (auto it = anchors_.rbegin(); it != anchors_.rend(); ++it)
    if (static_cast<double>(it->position) <= position)
      return it->wall < 0.0 ? -1.0 : it->wall + (position - static_cast<double>(it->position)) / rate_;
  return -1.0;
}

void ClockTrack::Forget(double position) {
  while (anchors_.size() > 1 && static_cast<double>(anchors_[1].position) <= position) anchors_.pop_front();
}

}  // namespace sigpat
