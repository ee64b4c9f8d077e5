// sigpat reconcile and sigpat report: the store read, the proof library's pages written whole
// (AtomicFile) or not at all.
#include "proof_commands.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "atomic_file.h"
#include "csv_out.h"
#include "html.h"
#include "messages.h"
#include "output.h"
#include "reconcile.h"
#include "reconcile_store.h"
#include "reconcile_html.h"
#include "report.h"
#include "store/store.h"

namespace sigpat {
namespace {

std::optional<proof::UtcMicros> TimeOption(const char* option, const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::string why;
  auto t = proof::ParseUtc(text, &why);
  if (!t) throw UsageError(std::string(option) + " \"" + EscapeControl(text) + "\": " + why);
  return t;
}

void WriteFile(const std::string& path, const std::string& text) {
  AtomicFile file(path);
  file.Write(text.data(), text.size());
  file.Commit();
}

// Opens a store to read: a file that is not there is an error (opening would make an empty one).
std::unique_ptr<store::Store> Open(const std::string& db) {
  std::error_code ec;
  if (db.rfind("postgres", 0) != 0 && !std::filesystem::exists(db, ec))
    throw Error(EscapeControl(db) + ": no such database file");
  try {
    return store::OpenStore(db);
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

}  // namespace

int RunReconcile(const ReconcileArgs& args) {
  const auto from = TimeOption("--from", args.from);
  const auto to = TimeOption("--to", args.to);
  if (from && to && *to <= *from) throw UsageError("--to must be after --from");
  CheckWritableDestination(args.csv);
  if (!args.html.empty()) CheckWritableDestination(args.html);

  const std::vector<unsigned char> bytes = ReadWholeFile(args.schedule);
  proof::Schedule schedule =
      proof::ParseSchedule(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  auto report = [&](std::vector<proof::ScheduleProblem> problems) {
    std::stable_sort(problems.begin(), problems.end(), [](auto& a, auto& b) { return a.line < b.line; });
    for (const auto& p : problems) PrintError(proof::FormatProblem(args.schedule, p));
    return problems.size();
  };
  if (schedule.bookings.empty() && !schedule.problems.empty() && schedule.problems.front().line <= 1) {
    report(schedule.problems);  // no header: nothing can be read
    return kExitFailure;
  }

  auto db = Open(args.db);
  try {
    std::vector<proof::ScheduleProblem> problems = schedule.problems;
    const auto patterns = db->Patterns();
    std::vector<proof::ResolvedBooking> bookings =
        proof::ResolveBookings(schedule.bookings, db->Stations(), patterns, problems);
    const std::size_t before = bookings.size();
    std::erase_if(bookings, [&](const proof::ResolvedBooking& r) {
      return (from && r.booking.windowStart < *from) || (to && r.booking.windowStart >= *to);
    });
    if (bookings.size() != before)
      PrintNote(std::to_string(before - bookings.size()) + " bookings of " + args.schedule +
                " start outside --from/--to and are left out");
    const std::size_t refused = report(problems);

    proof::ReconcileOptions options;
    options.slackSeconds = args.slack;
    options.truncatedBelow = args.truncatedBelow;
    options.from = from;
    options.to = to;
    const proof::Reconciliation result = proof::ReconcileStore(*db, bookings, patterns, options);

    WriteFile(args.csv, proof::ReconciliationCsv(result));
    if (!args.html.empty()) {
      auto href = [&](const std::string& stored) { return proof::EvidenceHref(args.evidenceDir, args.html, stored); };
      WriteFile(args.html, proof::ReconciliationHtml(result, args.schedule, href));
    }
    WriteOut(proof::SummaryText(result));
    return refused == 0 ? kExitOk : kExitFailure;
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

int RunReport(const ReportArgs& args) {
  const auto from = TimeOption("--from", args.from);
  const auto to = TimeOption("--to", args.to);
  if (*to <= *from) throw UsageError("--to must be after --from");
  CheckWritableDestination(args.html);
  auto db = Open(args.db);
  try {
    proof::ReportData data;
    data.from = *from;
    data.to = *to;
    data.patterns = db->Patterns();
    for (auto& s : db->Stations())
      if (args.stations.empty() || std::count(args.stations.begin(), args.stations.end(), s.label))
        data.stations.push_back(std::move(s));
    for (const std::string& s : args.stations)
      if (std::none_of(data.stations.begin(), data.stations.end(), [&](auto& r) { return r.label == s; }))
        throw Error(args.db + ": no station \"" + s + "\" in the store");
    store::DetectionFilter filter;
    filter.stations = args.stations;
    filter.from = *from;
    filter.to = *to;
    data.detections = db->Detections(filter);
    data.events = db->Events(args.stations, *from - proof::kMicrosPerDay, *to);
    auto href = [&](const std::string& stored) { return proof::EvidenceHref(args.evidenceDir, args.html, stored); };
    WriteFile(args.html, proof::ReportHtml(data, href));
    PrintNote(std::to_string(data.detections.size()) + " airings on " + std::to_string(data.stations.size()) +
              " stations written to " + args.html);
    return kExitOk;
  } catch (const store::StoreError& e) {
    throw Error(e.what());
  }
}

}  // namespace sigpat
