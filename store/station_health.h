// What a station event of the monitor says of its stream's health: one list for everything that
// reads the events back (the dashboard's board, the reconciliation's down intervals).
#ifndef SIGPAT_STORE_STATION_HEALTH_H
#define SIGPAT_STORE_STATION_HEALTH_H

#include <string_view>

namespace sigpat::store {

enum class Health {
  kUnchanged,  // the event says nothing of it (heartbeat, gap, evidence, ...)
  kUp,         // connected, or sound back after dead air
  kDeadAir,    // the stream delivers silence
  kBehind,     // the recognition lags behind real time (reports late; audio dropped beyond a limit)
  kDown,       // no stream: disconnected, failed, no data, ended, finished
};

// The events that say something of a stream's health, and what each says.
struct HealthEvent {
  std::string_view event;
  Health health;
};
inline constexpr HealthEvent kHealthEvents[] = {
    {"connected", Health::kUp},       {"dead_air_end", Health::kUp}, {"caught_up", Health::kUp},
    {"behind", Health::kBehind},      {"dropped", Health::kBehind},  {"dead_air", Health::kDeadAir},
    {"disconnected", Health::kDown},  {"failed", Health::kDown},     {"no_data", Health::kDown},
    {"ended", Health::kDown},         {"finished", Health::kDown},
};

inline Health HealthAfter(std::string_view event) {
  for (const HealthEvent& e : kHealthEvents)
    if (e.event == event) return e.health;
  return Health::kUnchanged;
}

}  // namespace sigpat::store

#endif
