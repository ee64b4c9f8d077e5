// UTC times of schedules and reports: ISO 8601 text to microseconds since 1970 and back.
#ifndef SIGPAT_PROOF_UTC_TIME_H
#define SIGPAT_PROOF_UTC_TIME_H

#include <optional>
#include <string>
#include <string_view>

#include "store/store.h"
#include "store/utc.h"

namespace sigpat::proof {

using store::UtcMicros;

// ISO 8601 text as the store reads it (store/utc.h).
using store::ParseUtc;

// "2026-12-07T10:15:00Z", with milliseconds ("...:00.250Z") when the time has any.
std::string FormatUtc(UtcMicros t);
// The same, with microseconds when the time has a fraction of a millisecond: a schedule's
// windows written back exactly as they were read.
std::string FormatUtcExact(UtcMicros t);
// "2026-12-07": the UTC day of t.
std::string FormatUtcDay(UtcMicros t);
// "10:15:00": the time of day of t.
std::string FormatUtcClock(UtcMicros t);

constexpr UtcMicros kMicrosPerSecond = 1000000;
constexpr UtcMicros kMicrosPerDay = 86400 * kMicrosPerSecond;

// The start of t's UTC day.
UtcMicros DayStart(UtcMicros t);

}  // namespace sigpat::proof

#endif
