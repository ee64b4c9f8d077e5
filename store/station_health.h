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

inline Health HealthAfter(std::string_view event) {
  if (event == "connected" || event == "dead_air_end" || event == "caught_up") return Health::kUp;
  if (event == "behind" || event == "dropped") return Health::kBehind;
  if (event == "dead_air") return Health::kDeadAir;
  if (event == "disconnected" || event == "failed" || event == "no_data" || event == "ended" || event == "finished")
    return Health::kDown;
  return Health::kUnchanged;
}

}  // namespace sigpat::store

#endif
