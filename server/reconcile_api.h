// POST /api/reconcile: a schedule (CSV, the body) reconciled against the store exactly as
// `sigpat reconcile` does (proof/reconcile.h), as JSON for the page and API clients.
#ifndef SIGPAT_SERVER_RECONCILE_API_H
#define SIGPAT_SERVER_RECONCILE_API_H

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "store.h"

namespace sigpat::server {

// Throws BadRequest when the schedule has no readable header; rows it refuses are listed in
// "problems" and the rest reconciled.
nlohmann::json ReconcileJson(store::Store& s, std::string_view csv, std::optional<store::UtcMicros> from,
                             std::optional<store::UtcMicros> to);

}  // namespace sigpat::server

#endif
