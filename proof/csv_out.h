// The reconciliation as CSV: one row per booking and per unbooked airing.
#ifndef SIGPAT_PROOF_CSV_OUT_H
#define SIGPAT_PROOF_CSV_OUT_H

#include <string>

#include "reconcile.h"

namespace sigpat::proof {

// A CSV field (RFC 4180): quoted when it holds a comma, quote, line break or leading/trailing
// space, quotes doubled. Bytes are kept as they are (UTF-8 stays UTF-8).
std::string CsvField(const std::string& s);

// Header station,spot,window_start,window_end,status,aired_start,aired_end,seen,offset_s,
// detected_spot,evidence,note, then the rows; CRLF-free ("\n" line ends).
std::string ReconciliationCsv(const Reconciliation& r);

// The per-station summary as text lines for a terminal (control characters in names as \xHH).
std::string SummaryText(const Reconciliation& r);

}  // namespace sigpat::proof

#endif
