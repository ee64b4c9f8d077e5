// A day of ten stations with a 500-booking schedule and every kind of discrepancy planted, as
// rows for the reconciliation and for a real store.
#ifndef SIGPAT_TESTS_PLANTED_DAY_H
#define SIGPAT_TESTS_PLANTED_DAY_H

#include <map>
#include <utility>

#include "proof_fixture.h"

namespace sigpat::proof::testing {

// Stations S0..S9; 40 spots "AD<n>" in 10 campaigns of 4 versions; two jingles without catalogue
// data; a 15-minute window every 25 minutes per station, from 00:00 UTC.
struct Day {
  World world;
  std::vector<Booking> bookings;
  std::map<int, std::string> planted;       // booking line -> status ("not_aired+down" for station_down)
  std::map<int, double> offsets;            // booking line -> offset_s of outside-window airings
  std::vector<std::pair<std::string, UtcMicros>> unbooked;  // station, time
};

inline constexpr UtcMicros kDay0 = 1796601600LL * kMicrosPerSecond;  // 2026-12-07T00:00:00Z
inline constexpr UtcMicros kMin = 60 * kMicrosPerSecond;

inline Day MakeDay() {
  Day day;
  World& w = day.world;
  for (int s = 0; s < 10; ++s) w.Station("S" + std::to_string(s));
  for (int a = 0; a < 40; ++a)
    w.Pattern("ad" + std::to_string(a) + ".tvs", "AD" + std::to_string(a), "Advertiser" + std::to_string(a / 8),
              "Campaign" + std::to_string(a / 4), "v" + std::to_string(a % 4));
  w.Pattern("jingle1.tvs");
  w.Pattern("jingle2.tvs");
  int line = 2;
  for (int s = 0; s < 10; ++s) {
    const std::string station = "S" + std::to_string(s);
    for (int k = 0; k < 50; ++k, ++line) {
      const int spot = (s * 7 + k) % 40;
      const UtcMicros start = kDay0 + k * 25 * kMin, end = start + 15 * kMin;
      day.bookings.push_back({station, "AD" + std::to_string(spot), start, end, line});
      const std::string spotName = "ad" + std::to_string(spot) + ".tvs";
      switch ((k + s) % 10) {
        case 5:
          if (s % 2 == 0) {
            w.Airing(station, spotName, end + 7 * kMin);
            day.offsets[line] = 7 * 60;
          } else {
            w.Airing(station, spotName, start - 4 * kMin);
            day.offsets[line] = -4 * 60;
          }
          day.planted[line] = "aired_outside_window";
          break;
        case 6:
          day.planted[line] = "not_aired";
          break;
        case 7:
          w.Event(station, start - 2 * kMin, "dead_air");
          w.Event(station, start + 3 * kMin, "dead_air_end");
          day.planted[line] = "not_aired+down";
          break;
        case 8: {
          const int other = spot / 4 * 4 + (spot % 4 + 1) % 4;  // the next version of the campaign
          w.Airing(station, "ad" + std::to_string(other) + ".tvs", start + 5 * kMin);
          day.planted[line] = "wrong_version";
          break;
        }
        case 9:
          w.Airing(station, spotName, start + 2 * kMin, 0.6);
          day.planted[line] = "truncated";
          break;
        default:
          w.Airing(station, spotName, start + (k % 15) * kMin);
          day.planted[line] = "aired";
      }
      // Noise that is no spot: a jingle in every window and every gap.
      w.Airing(station, "jingle1.tvs", start + 1 * kMin);
      w.Airing(station, "jingle2.tvs", end + 2 * kMin);
      // Three unbooked airings per station, in gaps, of a spot booked on the station 500 minutes away.
      if (k % 17 == 3) {
        const UtcMicros t = end + 5 * kMin;
        w.Airing(station, "ad" + std::to_string((s * 7 + k + 20) % 40) + ".tvs", t);
        day.unbooked.emplace_back(station, t);
      }
    }
  }
  // Outside the schedule: another station's airings, and an airing without a UTC time.
  w.Station("Elsewhere");
  w.Airing("Elsewhere", "ad1.tvs", kDay0 + 30 * kMin);
  w.Airing("S0", "ad0.tvs", kDay0);
  w.detections.back().beginUtc.reset();
  return day;
}

}  // namespace sigpat::proof::testing

#endif
