// Wall-clock times of detections: now, and UTC in ISO 8601 with milliseconds.
#ifndef SIGPAT_WALL_CLOCK_H
#define SIGPAT_WALL_CLOCK_H

#include <string>

namespace sigpat {

// Seconds since 1970-01-01 00:00:00 UTC, with the system clock's resolution.
double WallClockNow();

// "2026-12-06T21:57:18.123Z"; milliseconds rounded to nearest.
std::string FormatUtc(double secondsSince1970);

}  // namespace sigpat

#endif
