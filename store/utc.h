// UTC times as the store keeps them (microseconds since 1970) and as people write them
// (ISO 8601: "2026-12-06T21:57:18.123Z").
#ifndef SIGPAT_STORE_UTC_H
#define SIGPAT_STORE_UTC_H

#include <optional>
#include <string>
#include <string_view>

#include "store.h"

namespace sigpat::store {

// "2026-12-07T10:15:00Z", "2026-12-07 10:15:00.250", "2026-12-07T12:15:00+02:00" (or +0200),
// "2026-12-07" (midnight); a time without a zone is UTC; seconds carry up to 6 decimals; years
// 0001 to 9999. A small fixed grammar checked field by field, so that "2026-02-30" or "25:00" is
// refused, not wrapped. nullopt when the text is not such a time; *why then says what is wrong.
// The one reader of times for the tool, the store, schedules and the dashboard's API.
std::optional<UtcMicros> ParseUtc(std::string_view text, std::string* why = nullptr);
// "2026-12-06T21:57:18.123Z" (milliseconds, rounded to nearest).
std::string FormatUtcMillis(UtcMicros t);
UtcMicros NowUtc();

}  // namespace sigpat::store

#endif
