// The health of a monitored stream as events beside the connection events: dead air (the level
// below kDeadAirDb for longer than the limit: "dead_air" when that is reached, "dead_air_end"
// when sound returns), so that a silent station is not taken for "the spot did not air".
// Streams that deliver nothing and streams that end are told by the station's reader
// (station.cpp: "no_data", "ended").
#ifndef SIGPAT_STREAM_HEALTH_H
#define SIGPAT_STREAM_HEALTH_H

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace sigpat {

// Below this level (dBFS, RMS over kLevelWindow) the stream counts as silent.
constexpr double kDeadAirDb = -50.0;

class DeadAirWatch {
 public:
  using Event = std::function<void(const std::string& event, nlohmann::ordered_json fields)>;
  // limitSeconds <= 0: no watch.
  DeadAirWatch(double limitSeconds, Event event) : limit_(limitSeconds), event_(std::move(event)) {}
  // Samples at 44100 Hz from position `position` of the stream; `wall`: when the last of them
  // arrived (UTC seconds; < 0 unknown).
  void Feed(const std::int16_t* samples, std::size_t n, std::int64_t position, double wall);
  bool silent() const { return reported_; }

 private:
  void Window(std::int64_t endPosition, double wallOfEnd);
  double limit_;
  Event event_;
  double sum_ = 0.0;        // squares of the current window
  std::size_t count_ = 0;   // samples in it
  std::int64_t silentFrom_ = -1;  // position where the quiet began; -1: sound
  double silentWall_ = -1.0;
  bool reported_ = false;
};

}  // namespace sigpat

#endif
