// Reconciliation in passes, each airing matched to at most one booking and each booking to at
// most one airing:
//  1. the booked spot began inside the window (aired, or truncated when cut short): bookings in
//     the order their windows end, each taking the earliest airing of the spot in its window that
//     was heard whole, else the earliest one (this order matches the most bookings when windows of
//     one spot overlap);
//  2. the booked spot began outside the window, within the slack: nearest first over all pairs;
//  3. another version of the booked campaign (or advertiser) began inside the window;
//  4. the rest did not air (noted station_down when the station was down during the window);
// then every airing left over on a booked station within the span, of a spot (a pattern booked
// somewhere or with catalogue data: jingles and idents are not spots), is unbooked.
#include "reconcile.h"

#include "store/station_health.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <unordered_map>

namespace sigpat::proof {
namespace {

std::string Family(const PatternRow& p) {
  if (!p.campaign.empty()) return "campaign:" + p.campaign;
  if (!p.advertiser.empty()) return "advertiser:" + p.advertiser;
  return "";
}

bool IsSpotName(const PatternRow& p, const std::string& spot) {
  if (!p.spotId.empty() && p.spotId == spot) return true;
  if (p.name == spot) return true;
  return p.name.size() > 4 && p.name.compare(p.name.size() - 4, 4, ".tvs") == 0 &&
         p.name.compare(0, p.name.size() - 4, spot) == 0;
}


}  // namespace

const char* StatusName(Status s) {
  switch (s) {
    case Status::kAired: return "aired";
    case Status::kAiredOutsideWindow: return "aired_outside_window";
    case Status::kNotAired: return "not_aired";
    case Status::kWrongVersion: return "wrong_version";
    case Status::kTruncated: return "truncated";
    case Status::kUnbooked: return "unbooked";
  }
  return "?";
}

double StationSummary::ErrorRate() const {
  const int verifiable = bookings - unverified;
  return verifiable > 0 ? static_cast<double>(verifiable - aired) / verifiable : 0.0;
}

std::vector<ResolvedBooking> ResolveBookings(const std::vector<Booking>& bookings,
                                             const std::vector<StationRow>& stations,
                                             const std::vector<PatternRow>& patterns,
                                             std::vector<ScheduleProblem>& problems) {
  std::set<std::string> stationLabels;
  for (const StationRow& s : stations) stationLabels.insert(s.label);
  std::vector<ResolvedBooking> out;
  for (const Booking& b : bookings) {
    if (!stationLabels.count(b.station)) {
      problems.push_back({b.line, "unknown station \"" + b.station + "\" (no such station in the store)"});
      continue;
    }
    ResolvedBooking r{b, {}, ""};
    std::set<std::string> families;
    for (const PatternRow& p : patterns)
      if (IsSpotName(p, b.spot)) {
        r.hashes.insert(p.contentHash);
        families.insert(Family(p));
      }
    if (r.hashes.empty()) {
      problems.push_back({b.line, "unknown spot \"" + b.spot + "\" (no pattern of that name or catalogue spot ID)"});
      continue;
    }
    // Versions are told apart only when the spot's patterns agree on their campaign.
    if (families.size() == 1) r.family = *families.begin();
    out.push_back(std::move(r));
  }
  return out;
}

void SearchSpan(const std::vector<ResolvedBooking>& bookings, const ReconcileOptions& options, UtcMicros& from,
                UtcMicros& to) {
  const auto slack = static_cast<UtcMicros>(options.slackSeconds * kMicrosPerSecond);
  from = std::numeric_limits<UtcMicros>::max();
  to = std::numeric_limits<UtcMicros>::min();
  for (const ResolvedBooking& r : bookings) {
    from = std::min(from, r.booking.windowStart - slack);
    to = std::max(to, r.booking.windowEnd + slack + 1);
  }
  if (options.from) from = std::min(from, *options.from);
  if (options.to) to = std::max(to, *options.to);
  if (from > to) from = to = 0;
}

std::vector<DownInterval> DownIntervals(const std::vector<StationEventRow>& events, const std::string& station) {
  std::vector<const StationEventRow*> mine;
  for (const StationEventRow& e : events)
    if (e.station == station) mine.push_back(&e);
  std::stable_sort(mine.begin(), mine.end(), [](auto* a, auto* b) { return a->timeUtc < b->timeUtc; });
  std::vector<DownInterval> out;
  bool open = false;
  for (const StationEventRow* e : mine) {
    const store::Health health = store::HealthAfter(e->event);
    if (e->event == "gap" || e->event == "dropped") {  // a stretch not watched, told once
      out.push_back({e->timeUtc, e->timeUtc, e->event});
    } else if (health == store::Health::kDown || health == store::Health::kDeadAir) {
      if (!open) out.push_back({e->timeUtc, std::numeric_limits<UtcMicros>::max(), e->event});
      open = true;
    } else if (health == store::Health::kUp && open) {
      out.back().to = e->timeUtc;
      open = false;
    }
  }
  return out;
}

Reconciliation Reconcile(const std::vector<ResolvedBooking>& bookings, const std::vector<PatternRow>& patterns,
                         const std::vector<DetectionRow>& detections, const std::vector<StationEventRow>& events,
                         const ReconcileOptions& options) {
  std::unordered_map<std::string, const PatternRow*> patternOf;
  for (const PatternRow& p : patterns) patternOf[p.contentHash] = &p;
  const auto slack = static_cast<UtcMicros>(options.slackSeconds * kMicrosPerSecond);

  // Airings with a UTC time, per station, by time.
  std::vector<const DetectionRow*> airings;
  for (const DetectionRow& d : detections)
    if (d.beginUtc) airings.push_back(&d);
  std::stable_sort(airings.begin(), airings.end(), [](auto* a, auto* b) {
    return *a->beginUtc != *b->beginUtc ? *a->beginUtc < *b->beginUtc : a->id < b->id;
  });
  std::unordered_map<std::string, std::vector<std::size_t>> byStation;
  for (std::size_t i = 0; i < airings.size(); ++i) byStation[airings[i]->station].push_back(i);
  std::vector<bool> used(airings.size(), false);

  auto spotOf = [&](const DetectionRow& d) {
    auto it = patternOf.find(d.patternHash);
    if (it != patternOf.end() && !it->second->spotId.empty()) return it->second->spotId;
    return it != patternOf.end() && !it->second->name.empty() ? it->second->name : d.patternName;
  };
  auto familyOf = [&](const DetectionRow& d) {
    auto it = patternOf.find(d.patternHash);
    return it == patternOf.end() ? std::string() : Family(*it->second);
  };
  auto whole = [&](const DetectionRow& d) { return d.seen >= options.truncatedBelow; };

  std::vector<ReconcileRow> rows(bookings.size());
  std::vector<bool> matched(bookings.size(), false);
  for (std::size_t b = 0; b < bookings.size(); ++b) {
    const Booking& k = bookings[b].booking;
    rows[b].station = k.station;
    rows[b].spot = k.spot;
    rows[b].windowStart = k.windowStart;
    rows[b].windowEnd = k.windowEnd;
    rows[b].line = k.line;
  }
  auto take = [&](std::size_t b, std::size_t a, Status status) {
    used[a] = true;
    matched[b] = true;
    rows[b].status = status;
    rows[b].airing = *airings[a];
    rows[b].detectedSpot = spotOf(*airings[a]);
  };
  auto stationAirings = [&](const std::string& station) -> const std::vector<std::size_t>& {
    static const std::vector<std::size_t> kNone;
    auto it = byStation.find(station);
    return it == byStation.end() ? kNone : it->second;
  };

  // Bookings by the end of their window.
  std::vector<std::size_t> byDeadline(bookings.size());
  for (std::size_t b = 0; b < bookings.size(); ++b) byDeadline[b] = b;
  std::stable_sort(byDeadline.begin(), byDeadline.end(), [&](std::size_t x, std::size_t y) {
    const Booking &a = bookings[x].booking, &c = bookings[y].booking;
    return std::tie(a.windowEnd, a.windowStart, a.line) < std::tie(c.windowEnd, c.windowStart, c.line);
  });

  // 1. In the window.
  for (std::size_t b : byDeadline) {
    const ResolvedBooking& r = bookings[b];
    std::optional<std::size_t> first, firstWhole;
    for (std::size_t a : stationAirings(r.booking.station)) {
      const DetectionRow& d = *airings[a];
      if (*d.beginUtc > r.booking.windowEnd) break;
      if (used[a] || *d.beginUtc < r.booking.windowStart || !r.hashes.count(d.patternHash)) continue;
      if (!first) first = a;
      if (whole(d)) {
        firstWhole = a;
        break;
      }
    }
    if (firstWhole) take(b, *firstWhole, Status::kAired);
    else if (first) take(b, *first, Status::kTruncated);
  }

  // 2. Outside the window, within the slack: nearest pairs first.
  struct Pair {
    UtcMicros distance;
    int line;
    std::size_t booking, airing;
    UtcMicros offset;
  };
  std::vector<Pair> pairs;
  for (std::size_t b = 0; b < bookings.size(); ++b) {
    if (matched[b]) continue;
    const Booking& k = bookings[b].booking;
    for (std::size_t a : stationAirings(k.station)) {
      const DetectionRow& d = *airings[a];
      const UtcMicros t = *d.beginUtc;
      if (used[a] || !bookings[b].hashes.count(d.patternHash) || t < k.windowStart - slack || t > k.windowEnd + slack)
        continue;
      const UtcMicros offset = t < k.windowStart ? t - k.windowStart : t - k.windowEnd;
      pairs.push_back({offset < 0 ? -offset : offset, k.line, b, a, offset});
    }
  }
  std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) {
    return std::tie(x.distance, x.line, x.airing) < std::tie(y.distance, y.line, y.airing);
  });
  for (const Pair& p : pairs) {
    if (matched[p.booking] || used[p.airing]) continue;
    take(p.booking, p.airing, Status::kAiredOutsideWindow);
    rows[p.booking].offsetSeconds = static_cast<double>(p.offset) / kMicrosPerSecond;
    if (!whole(*airings[p.airing])) rows[p.booking].note = "truncated";
  }

  // 3. Another version of the campaign in the window.
  for (std::size_t b : byDeadline) {
    const ResolvedBooking& r = bookings[b];
    if (matched[b] || r.family.empty()) continue;
    for (std::size_t a : stationAirings(r.booking.station)) {
      const DetectionRow& d = *airings[a];
      if (*d.beginUtc > r.booking.windowEnd) break;
      if (used[a] || *d.beginUtc < r.booking.windowStart || r.hashes.count(d.patternHash) ||
          familyOf(d) != r.family)
        continue;
      take(b, a, Status::kWrongVersion);
      break;
    }
  }

  // 4. Not aired: was the station down meanwhile?
  std::map<std::string, std::vector<DownInterval>> down;
  for (std::size_t b = 0; b < bookings.size(); ++b) {
    if (matched[b]) continue;
    const Booking& k = bookings[b].booking;
    auto it = down.find(k.station);
    if (it == down.end()) it = down.emplace(k.station, DownIntervals(events, k.station)).first;
    for (const DownInterval& i : it->second)
      if (i.from <= k.windowEnd && i.to >= k.windowStart) {
        rows[b].note = "station_down";
        break;
      }
  }

  Reconciliation out;
  UtcMicros from = std::numeric_limits<UtcMicros>::max(), to = std::numeric_limits<UtcMicros>::min();
  std::set<std::string> booked;
  std::set<std::string> bookedHashes;
  for (const ResolvedBooking& r : bookings) {
    from = std::min(from, r.booking.windowStart);
    to = std::max(to, r.booking.windowEnd + 1);
    booked.insert(r.booking.station);
    bookedHashes.insert(r.hashes.begin(), r.hashes.end());
  }
  out.from = options.from.value_or(bookings.empty() ? 0 : from);
  out.to = options.to.value_or(bookings.empty() ? 0 : to);

  // Unbooked airings of spots on booked stations.
  for (std::size_t a = 0; a < airings.size(); ++a) {
    const DetectionRow& d = *airings[a];
    if (used[a] || !booked.count(d.station) || *d.beginUtc < out.from || *d.beginUtc >= out.to) continue;
    auto it = patternOf.find(d.patternHash);
    const bool catalogued = it != patternOf.end() && (!it->second->spotId.empty() || !it->second->advertiser.empty() ||
                                                      !it->second->campaign.empty());
    if (!catalogued && !bookedHashes.count(d.patternHash)) continue;
    ReconcileRow row;
    row.station = d.station;
    row.status = Status::kUnbooked;
    row.airing = d;
    row.detectedSpot = row.spot = spotOf(d);
    if (!whole(d)) row.note = "truncated";
    rows.push_back(std::move(row));
  }

  auto timeOf = [](const ReconcileRow& r) { return r.windowStart ? *r.windowStart : *r.airing->beginUtc; };
  std::stable_sort(rows.begin(), rows.end(), [&](const ReconcileRow& x, const ReconcileRow& y) {
    const UtcMicros tx = timeOf(x), ty = timeOf(y);
    return std::tie(x.station, tx, x.line) < std::tie(y.station, ty, y.line);
  });

  std::map<std::string, StationSummary> summary;
  for (const ReconcileRow& r : rows) {
    StationSummary& s = summary[r.station];
    s.station = r.station;
    if (r.status != Status::kUnbooked) ++s.bookings;
    switch (r.status) {
      case Status::kAired: ++s.aired; break;
      case Status::kAiredOutsideWindow: ++s.outsideWindow; break;
      case Status::kNotAired: ++s.notAired; if (r.note == "station_down") ++s.unverified; break;
      case Status::kWrongVersion: ++s.wrongVersion; break;
      case Status::kTruncated: ++s.truncated; break;
      case Status::kUnbooked: ++s.unbooked; break;
    }
  }
  for (auto& [name, s] : summary) out.stations.push_back(s);
  out.rows = std::move(rows);
  return out;
}

}  // namespace sigpat::proof
