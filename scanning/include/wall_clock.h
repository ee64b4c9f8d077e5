// Wall-clock times of detections: now, UTC in ISO 8601 with milliseconds, and a stream's own
// clock along its samples.
#ifndef SIGPAT_WALL_CLOCK_H
#define SIGPAT_WALL_CLOCK_H

#include <cstdint>
#include <deque>
#include <string>

namespace sigpat {

// Seconds since 1970-01-01 00:00:00 UTC, with the system clock's resolution.
double WallClockNow();

// "2026-12-06T21:57:18.123Z"; milliseconds rounded to nearest.
std::string FormatUtc(double secondsSince1970);

// A clock along a count of samples at `rate`, noted where it changes: from an anchor's position
// on, sample p is at its wall time + (p - position) / rate; an anchor without a time (< 0)
// means no clock from there. Notes that the clock as it runs already gives (within half a
// millisecond) are dropped, so a steady clock keeps one anchor.
class ClockTrack {
 public:
  explicit ClockTrack(double rate) : rate_(rate) {}
  void Note(std::int64_t position, double wall);
  // The time of `position` (a fraction lies between samples); < 0 when not known.
  double At(double position) const;
  // Anchors wholly before `position` are not asked for any more.
  void Forget(double position);

 private:
  struct Anchor {
    std::int64_t position;
    double wall;
  };
  double rate_;
  std::deque<Anchor> anchors_;
};

}  // namespace sigpat

#endif
