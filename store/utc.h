// UTC times as the store keeps them (microseconds since 1970) and as people write them
// (ISO 8601: "2026-12-06T21:57:18.123Z").
#ifndef SIGPAT_STORE_UTC_H
#define SIGPAT_STORE_UTC_H

#include <optional>
#include <string>

#include "store.h"

namespace sigpat::store {

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS[.fraction]]" with "Z", "+HH:MM" or "-HH:MM" (a space may
// stand for the T; without a zone the time is UTC). nullopt when the text is not such a time.
std::optional<UtcMicros> ParseUtc(const std::string& text);
// "2026-12-06T21:57:18.123Z" (milliseconds, rounded to nearest).
std::string FormatUtcMillis(UtcMicros t);
UtcMicros NowUtc();

}  // namespace sigpat::store

#endif
