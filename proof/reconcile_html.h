// The reconciliation as a self-contained HTML page: the summary per station (with a chart of
// error rates) and every row, coloured by status, with its evidence playable.
#ifndef SIGPAT_PROOF_RECONCILE_HTML_H
#define SIGPAT_PROOF_RECONCILE_HTML_H

#include <functional>
#include <string>

#include "reconcile.h"

namespace sigpat::proof {

// href: the link to a stored evidence path ("" for none), e.g. EvidenceHref bound to the page.
std::string ReconciliationHtml(const Reconciliation& r, const std::string& scheduleName,
                               const std::function<std::string(const std::string&)>& href);

}  // namespace sigpat::proof

#endif
