// "new_repeated_clip" station events: sigpat discover run periodically over a station's recent
// recordings (--db) tells the store about every clip that has now aired --min-count times, once:
// a clip whose airings the store already holds an event for is not raised again, so each run
// may cover the last day again and only what is new gives an event.
#ifndef SIGPAT_DISCOVER_EVENTS_H
#define SIGPAT_DISCOVER_EVENTS_H

#include <string>
#include <vector>

#include "store.h"

namespace sigpat {

constexpr const char* kNewRepeatedClipEvent = "new_repeated_clip";

// A discovered clip as the station event gives it: UTC times of its airings, oldest first.
struct RepeatedClip {
  double lengthSeconds = 0.0;
  std::string kind;
  std::string pattern, evidence;  // proposed pattern and evidence clip ("" when none written)
  std::vector<std::pair<store::UtcMicros, store::UtcMicros>> airings;  // begin, end
};

// Raises an event for every clip with at least minCount airings that no earlier event of the
// station covers (an earlier event covers a clip when one of its airings begins within a
// second of one of the clip's). The event's time is the begin of the minCount-th airing: when
// the clip had aired minCount times. Returns the events written. Throws store::StoreError.
int RaiseNewRepeatedClips(store::Store& store, const std::string& station, const std::vector<RepeatedClip>& clips,
                          int minCount);

}  // namespace sigpat

#endif
