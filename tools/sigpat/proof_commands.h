// The proof-of-airing commands of sigpat over the detections store: reconcile (a schedule
// against what aired) and report (what aired, as an HTML page). The rules: docs/reconciliation.md.
#ifndef SIGPAT_PROOF_COMMANDS_H
#define SIGPAT_PROOF_COMMANDS_H

#include <string>
#include <vector>

namespace sigpat {

struct ReconcileArgs {
  std::string db;          // --db: SQLite file or postgresql:// URL
  std::string schedule;    // --schedule FILE.csv
  std::string from, to;    // --from/--to: only bookings whose window starts in [from, to)
  std::string csv, html;   // --csv OUT.csv (required), --html OUT.html
  std::string evidenceDir; // --evidence: the directory the store's evidence paths are relative to
  double slack = 3600.0;   // --slack: seconds outside a window an airing is looked for
  double truncatedBelow = 0.9;  // --truncated-below: an airing with less of the clip seen is cut short
};

// Exit status 0: every row reconciled; 1: some schedule rows refused (each named on stderr as
// FILE:LINE, the rest reconciled and written) or the job failed (nothing written); 2: usage.
int RunReconcile(const ReconcileArgs& args);

struct ReportArgs {
  std::string db;
  std::string from, to;            // the span, ISO 8601 UTC
  std::vector<std::string> stations;  // --station: only these (default all)
  std::string html;                // --html OUT.html
  std::string evidenceDir;         // --evidence, as for reconcile
};

int RunReport(const ReportArgs& args);

}  // namespace sigpat

#endif
