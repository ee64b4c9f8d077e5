#include "broadcast_report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace speval {

namespace {

// Without --work the pattern files go to a directory of this run's own, removed when it ends: a
// set may be read-only, and several runs may evaluate one set at once.
class RunDirectory {
 public:
  RunDirectory() {
    namespace fs = std::filesystem;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) throw std::runtime_error("no temporary directory for the pattern files (" + ec.message() + "): give --work DIR");
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const fs::path dir = base / ("sp-eval-" + std::to_string(stamp) + "-" + std::to_string(attempt));
      if (fs::create_directory(dir, ec)) path_ = dir.string();
    }
    if (path_.empty())
      throw std::runtime_error(base.string() + ": cannot make a directory for the pattern files (" + ec.message() + ")");
  }
  ~RunDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  RunDirectory(const RunDirectory&) = delete;
  RunDirectory& operator=(const RunDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

void PrintBroadcast(const std::string& set, const BroadcastFigures& f, bool details) {
  std::printf("\n== broadcast %s: rule %s, %d pattern files\n", set.c_str(), f.rule.c_str(), f.patterns);
  std::printf("%-12s %8s %6s %7s\n", "processing", "inserted", "found", "recall");
  for (const auto& [name, t] : f.byProcessing)
    std::printf("%-12s %8d %6d %7.3f\n", name.c_str(), t.inserted, t.found, t.Recall());
  std::printf("%-12s %8s %6s %7s\n", "clip kind", "inserted", "found", "recall");
  for (const auto& [name, t] : f.byClipKind)
    std::printf("%-12s %8d %6d %7.3f\n", name.c_str(), t.inserted, t.found, t.Recall());
  std::printf("%-12s %8d %6d %7.3f\n", "talked over", f.talkOver.inserted, f.talkOver.found, f.talkOver.Recall());
  std::printf("recall %.3f (%d/%d), precision %.3f (%d true of %d detections)\n", f.all.Recall(), f.all.found,
              f.all.inserted, f.Precision(), f.truePositives, f.detections);
  if (f.cutShort.inserted > 0) {
    std::vector<double> e = f.seenError;
    std::sort(e.begin(), e.end());
    const long within = std::count_if(e.begin(), e.end(), [](double x) { return x <= 0.05; });
    std::printf("cut short: %d of %d found (%.3f), %d of them as partial (fraction seen off by median %.2f, "
                "max %.2f, %ld within 0.05); whole insertions reported partial: %d\n",
                f.cutShort.found, f.cutShort.inserted, f.cutShort.Recall(), f.cutAsPartial,
                e.empty() ? 0.0 : e[e.size() / 2], e.empty() ? 0.0 : e.back(), within, f.wholeAsPartial);
  }
  std::printf("false: %d repeats, %d misplaced, %d near misses reported (of %d present), %d on clip-free programmes "
              "(%.1f per hour of %.0f s), %d elsewhere\n",
              f.repeats, f.misplaced, f.nearMissReports, f.nearMissesPresent, f.clipFreeReports,
              f.FalsePerHourClipFree(), f.clipFreeSeconds, f.elsewhere);
  std::printf("detail check: %d detections dropped as near relatives of their clip\n", f.detailRejected);
  std::printf("timing error: median %.1f ms, 90th percentile %.1f ms\n", f.MedianTimingMs(), f.TimingPercentileMs(0.9));
  if (!f.endMs.empty()) {
    std::vector<double> e = f.endMs;
    std::sort(e.begin(), e.end());
    const long within = std::count_if(e.begin(), e.end(), [](double x) { return x <= 50.0; });
    std::printf("end of whole insertions: median error %.1f ms, max %.1f ms, %ld of %zu within 50 ms\n",
                e[e.size() / 2], e.back(), within, e.size());
  }
  PrintVersions(f.versions, details);
  std::printf("speed %.0fx real time (%.0f s of audio in %.2f s of processor time, reading included)\n",
              f.RealTimeFactor(), f.audioSeconds, f.scanSeconds);
  if (details) {
    for (const std::string& s : f.misses) std::printf("  missed %s\n", s.c_str());
    for (const std::string& s : f.falses) std::printf("  false  %s\n", s.c_str());
    for (const std::string& s : f.endsOff) std::printf("  end    %s\n", s.c_str());
    for (const std::string& s : f.listed) std::printf("  found  %s\n", s.c_str());
  }
}

std::string BroadcastJson(const std::string& set, bool quick, double toleranceSeconds,
                          const std::vector<BroadcastFigures>& rules) {
  using nlohmann::json;
  auto tally = [](const BroadcastTally& t) {
    return json{{"inserted", t.inserted}, {"found", t.found}, {"recall", t.Recall()}};
  };
  json out = {{"set", set}, {"quick", quick}, {"tolerance_seconds", toleranceSeconds}, {"rules", json::array()}};
  for (const BroadcastFigures& f : rules) {
    json r = {{"rule", f.rule},
              {"pattern_files", f.patterns},
              {"recall", f.all.Recall()},
              {"inserted", f.all.inserted},
              {"found", f.all.found},
              {"precision", f.Precision()},
              {"detections", f.detections},
              {"true_positives", f.truePositives},
              {"false", {{"repeats", f.repeats},
                         {"misplaced", f.misplaced},
                         {"near_misses", f.nearMissReports},
                         {"clip_free", f.clipFreeReports},
                         {"elsewhere", f.elsewhere}}},
              {"near_misses_present", f.nearMissesPresent},
              {"clip_free_seconds", f.clipFreeSeconds},
              {"false_per_hour_clip_free", f.FalsePerHourClipFree()},
              {"median_timing_ms", f.MedianTimingMs()},
              {"timing_p90_ms", f.TimingPercentileMs(0.9)},
              {"real_time_factor", f.RealTimeFactor()},
              {"talk_over", tally(f.talkOver)},
              {"cut_short", tally(f.cutShort)},
              {"cut_short_as_partial", f.cutAsPartial},
              {"whole_as_partial", f.wholeAsPartial},
              {"end_errors_ms", f.endMs},
              {"seen_errors", f.seenError},
              {"by_processing", json::object()},
              {"by_clip_kind", json::object()}};
    for (const auto& [k, t] : f.byProcessing) r["by_processing"][k] = tally(t);
    for (const auto& [k, t] : f.byClipKind) r["by_clip_kind"][k] = tally(t);
    if (!f.versions.Empty()) {
      auto vt = [](const VersionTally& t) {
        return json{{"airings", t.airings}, {"right", t.right}, {"wrong", t.wrong},
                    {"wrong_beside_right", t.wrongBesideRight}, {"undecided", t.undecided}, {"missed", t.missed}};
      };
      json v = {{"decidable", vt(f.versions.Total(false))}, {"masked", vt(f.versions.Total(true))},
                {"campaigns", json::object()}};
      for (const auto& [k, t] : f.versions.decidable) v["campaigns"][k]["decidable"] = vt(t);
      for (const auto& [k, t] : f.versions.masked) v["campaigns"][k]["masked"] = vt(t);
      r["versions"] = v;
    }
    out["rules"].push_back(r);
  }
  return out.dump(1) + "\n";
}

int CheckBroadcastBounds(const BroadcastFigures& f, const BroadcastBounds& b) {
  int failed = 0;
  auto check = [&](bool ok, const std::string& what, double value, double bound) {
    if (!ok) {
      std::printf("BOUND NOT MET: %s %.3f (bound %.3f)\n", what.c_str(), value, bound);
      ++failed;
    }
  };
  if (b.minRecall >= 0) check(f.all.Recall() >= b.minRecall, "recall", f.all.Recall(), b.minRecall);
  if (b.minPrecision >= 0) check(f.Precision() >= b.minPrecision, "precision", f.Precision(), b.minPrecision);
  if (b.maxClipFree >= 0)
    check(f.clipFreeReports <= b.maxClipFree, "clip-free detections", f.clipFreeReports, b.maxClipFree);
  if (b.maxNearMisses >= 0)
    check(f.nearMissReports <= b.maxNearMisses, "near misses reported", f.nearMissReports, b.maxNearMisses);
  if (b.maxMedianMs >= 0)
    check(f.MedianTimingMs() <= b.maxMedianMs, "median timing error ms", f.MedianTimingMs(), b.maxMedianMs);
  const VersionTally vd = f.versions.Total(false), vm = f.versions.Total(true);
  if (b.maxWrongVersions >= 0)
    check(vd.wrong + vm.wrong <= b.maxWrongVersions, "airings with a wrong version", vd.wrong + vm.wrong,
          b.maxWrongVersions);
  if (b.minRightVersions >= 0) {
    const double right = vd.airings ? static_cast<double>(vd.right) / vd.airings : 0.0;
    check(right >= b.minRightVersions, "right version of decidable airings", right, b.minRightVersions);
  }
  if (b.minRtf >= 0) check(f.RealTimeFactor() >= b.minRtf, "real-time factor", f.RealTimeFactor(), b.minRtf);
  for (const auto& [name, bound] : b.minRecallOf) {
    auto p = f.byProcessing.find(name);
    auto k = f.byClipKind.find(name);
    if (p == f.byProcessing.end() && k == f.byClipKind.end()) {
      std::printf("BOUND NOT MET: no insertions of %s in this corpus\n", name.c_str());
      ++failed;
      continue;
    }
    const double r = (p != f.byProcessing.end() ? p->second : k->second).Recall();
    check(r >= bound, "recall of " + name, r, bound);
  }
  return failed;
}

int RunBroadcast(const std::string& dir, const std::vector<std::string>& rules, const BroadcastOptions& options,
                 const BroadcastBounds& bounds, bool checkBounds, const std::string& jsonFile) {
  BroadcastManifest m;
  std::string error;
  if (!ReadBroadcastManifest(dir, m, error)) {
    std::fprintf(stderr, "sp_eval: %s\n", error.c_str());
    return 3;
  }
  std::vector<BroadcastFigures> results;
  try {
    std::unique_ptr<RunDirectory> own;
    BroadcastOptions o = options;
    if (o.work.empty()) {
      own = std::make_unique<RunDirectory>();
      o.work = own->Path();
    }
    std::vector<int> clipOfFile;
    const std::vector<std::string> files = MakeBroadcastPatterns(m, o, clipOfFile);
    int inserted = 0, near = 0;
    double seconds = 0;
    for (const BroadcastProgramme& p : m.programmes) {
      inserted += static_cast<int>(p.insertions.size());
      near += static_cast<int>(p.nearMisses.size());
      seconds += static_cast<double>(p.samples) / 44100.0;
    }
    std::printf("broadcast corpus %s (%s): %zu clips, %zu programmes, %.1f min, %d insertions, %d near misses; "
                "a detection counts within %.0f ms of an insertion's begin\n",
                m.set.c_str(), m.quick ? "quick" : "full", m.clips.size(), m.programmes.size(), seconds / 60.0,
                inserted, near, options.toleranceSeconds * 1000.0);
    for (const std::string& rule : rules) {
      results.push_back(EvaluateBroadcast(m, files, clipOfFile, rule, o));
      PrintBroadcast(m.set, results.back(), options.keepDetails);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sp_eval: %s\n", e.what());
    return 3;
  }
  if (!jsonFile.empty()) {
    std::ofstream out(jsonFile);
    out << BroadcastJson(m.set, m.quick, options.toleranceSeconds, results);
    if (!out) {
      std::fprintf(stderr, "sp_eval: %s: cannot write the figures\n", jsonFile.c_str());
      return 3;
    }
  }
  int failed = 0;
  if (checkBounds && !results.empty()) {
    failed = CheckBroadcastBounds(results.front(), bounds);
    std::printf("\n%s (rule %s)\n", failed ? "EVALUATION BOUNDS NOT MET" : "evaluation bounds met",
                results.front().rule.c_str());
  }
  return failed ? 1 : 0;
}

}  // namespace speval
