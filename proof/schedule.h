// Schedules: what was booked. CSV with a header naming at least the columns
// station,spot,window_start,window_end (any order; other columns are ignored), one booking a row:
// the spot (a pattern file name or a catalogue spot ID) is to air on the station with its start
// inside [window_start, window_end], both ISO 8601 UTC.
//
// Reading never stops at a bad row: each one becomes a problem naming its line, and the rest are
// read. Quoted fields (with commas, quotes and line breaks), CRLF line ends and a UTF-8 byte
// order mark are taken as spreadsheets write them.
#ifndef SIGPAT_PROOF_SCHEDULE_H
#define SIGPAT_PROOF_SCHEDULE_H

#include <string>
#include <string_view>
#include <vector>

#include "utc_time.h"

namespace sigpat::proof {

struct Booking {
  std::string station, spot;
  UtcMicros windowStart = 0, windowEnd = 0;
  int line = 0;  // where the row starts in the file (1: the header)
};

// A refused row (line 0: the file as a whole).
struct ScheduleProblem {
  int line = 0;
  std::string message;
};

struct Schedule {
  std::vector<Booking> bookings;  // in file order
  std::vector<ScheduleProblem> problems;
};

// Parses a schedule's text. Rows whose fields are missing or unreadable, whose window ends
// before it starts, or that repeat an earlier row's station, spot and window are problems.
// Whether the station and spot exist is for the reconciliation to say (ResolveBookings).
Schedule ParseSchedule(std::string_view text);

// "FILE:LINE: MESSAGE" (or "FILE: MESSAGE" for line 0), control characters escaped.
std::string FormatProblem(const std::string& file, const ScheduleProblem& p);

}  // namespace sigpat::proof

#endif
