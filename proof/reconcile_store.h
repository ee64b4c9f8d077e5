// Reconciliation over a store: reads what the bookings need (the detections of their stations
// over their search span, and those stations' events from a day before it) and reconciles.
#ifndef SIGPAT_PROOF_RECONCILE_STORE_H
#define SIGPAT_PROOF_RECONCILE_STORE_H

#include <vector>

#include "reconcile.h"
#include "store/store.h"

namespace sigpat::proof {

Reconciliation ReconcileStore(store::Store& db, const std::vector<ResolvedBooking>& bookings,
                              const std::vector<PatternRow>& patterns, const ReconcileOptions& options);

}  // namespace sigpat::proof

#endif
