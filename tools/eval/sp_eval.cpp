// sp_eval: builds the development corpus (or, with --holdout, the held-out set) and measures a
// decision rule on it: recall per variant, precision, detections on clip-free streams, timing
// error and real-time factor.
//
//   sp_eval [--work DIR] [--quick] [--holdout] [--rule library|detector|both] [--no-speed] [--analyse]
//           [--verbose] [--list] [--write-wav] [--assert] [--min-recall X] [--min-recall-easy X]
//           [--min-precision X] [--max-free N] [--max-median-ms X] [--min-speed-recall X]
//           [--min-rtf X] [--tune NAME=VALUE]...
//   sp_eval --broadcast DIR [--work DIR] [--rule ...] [--speed-variants P[,P...]] [--tolerance-ms X]
//           [--json FILE] [--verbose] [--list] [--no-detail-check] [--tune NAME=VALUE]... [--assert] [--min-recall X]
//           [--min-precision X] [--max-free N] [--max-near N] [--max-median-ms X] [--min-rtf X]
//           [--min-recall-of KIND=X]... [--max-wrong-versions N] [--min-right-versions X]
//     evaluates a broadcast corpus made by tools/eval/broadcast/make_corpus.py (DIR holds its
//     manifest.json); see broadcast_eval.h. --no-detail-check turns the scan's detail check of
//     short clips off (to measure what it does). A corpus of versioned campaigns (make_corpus.py
//     --versions) is also scored per version (version_score.h).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "PatternDetector.h"
#include "SignalPattern.h"
#include "broadcast_report.h"
#include "corpus.h"
#include "messages.h"
#include "scanner.h"

using speval::Corpus;
using speval::Stream;

namespace {

bool g_listAll = false;  // --list: print every detection
bool g_detailCheck = true;  // --no-detail-check turns sigpat's detail check of short clips off

// --tune NAME=VALUE: the detector's tuning (include/DetectorTuning.h), set before Attach; the
// library's deviations worked out for the reports alone, as sigpat scan has them.
DetectorTuning g_tuning = [] {
  DetectorTuning t;
  t.LibraryDeviations = 2;
  return t;
}();

bool ParseTuning(const std::string& arg) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos) return false;
  return SetDetectorTuning(g_tuning, arg.substr(0, eq).c_str(), std::atof(arg.c_str() + eq + 1));
}

struct Detection {
  int group;  // corpus pattern index
  std::int64_t begin;
  std::int64_t end;
  float score;
  float confidence;
  float verify = 0;
  float threshold = 0;
  std::string variant;  // speed label of the matching variant
};

struct PatternSet {
  std::vector<std::string> files;  // pattern files in engine order
  std::vector<int> corpusIndex;    // corpus pattern of each file
  bool grouped = false;
};

PatternSet MakeSet(const Corpus& c, bool withVariants) {
  PatternSet s;
  for (std::size_t i = 0; i < c.patterns.size(); ++i) {
    s.files.push_back(c.patterns[i].tvs);
    s.corpusIndex.push_back(static_cast<int>(i));
  }
  if (withVariants) {
    s.grouped = true;
    for (std::size_t i = 0; i < c.patterns.size(); ++i)
      for (const std::string& v : c.patterns[i].variants) {
        s.files.push_back(v);
        s.corpusIndex.push_back(static_cast<int>(i));
      }
  }
  return s;
}

// Per-block measurements of the analysis mode: the smallest distance of every pattern near
// each of its insertions and away from them.
struct Analysis {
  std::vector<std::map<std::string, float>> positive;  // per corpus pattern: variant -> best score ratio
  std::vector<float> negative;                         // per corpus pattern: smallest ratio elsewhere
  std::vector<std::string> negativeWhere;
  std::vector<float> selfThreshold, selfPos, selfNeg;
  std::vector<int> nblock;
};

struct ScanContext {
  const Stream* stream = nullptr;
  const PatternSet* set = nullptr;
  Analysis* analysis = nullptr;
};

void AnalyseBlock(void* ctx, PatternDetector* det) {
  ScanContext* c = static_cast<ScanContext*>(ctx);
  Analysis* a = c->analysis;
  const int steps = det->StepsPerBlock();
  const std::int64_t stepSamples = det->BlockSamples() / steps;
  for (int i = 0; i < det->PatternCount(); ++i) {
    const DetectorPattern& P = det->Pattern(i);
    const int g = c->set->corpusIndex[i];
    for (int s = 0; s < steps; ++s) {
      const float score = det->StepScoreOf(i, s);
      if (score >= 1e8f) continue;
      const std::int64_t endSample = (det->BlocksSeen() * steps - s) * stepSamples;
      const std::int64_t begin =
          endSample - static_cast<std::int64_t>(P.Nblock) * det->BlockSamples() - det->DelayToBlockEnd();
      bool near = false;
      for (const speval::Insertion& t : c->stream->truth) {
        if (t.pattern == g && std::llabs(begin - t.begin) <= 1500) {
          float& best = a->positive[static_cast<std::size_t>(g)].try_emplace(c->stream->variant, 1e9f).first->second;
          if (score < best) best = score;
          near = true;
        }
        if (t.pattern == g && begin > t.begin - t.length && begin < t.begin + t.length) near = true;
      }
      if (!near && score < a->negative[static_cast<std::size_t>(g)]) {
        a->negative[static_cast<std::size_t>(g)] = score;
        char where[96];
        std::snprintf(where, sizeof where, "%s@%.2fs", c->stream->name.c_str(), begin / 44100.0);
        a->negativeWhere[static_cast<std::size_t>(g)] = where;
      }
    }
  }
}

// Scans one stream as sigpat scan does (its scan session: recognizer, rule, detail check), with
// the library's own rule (its recognitions) or the detector.
std::vector<Detection> Scan(const std::string& rule, const PatternSet& set, const Stream& st, Analysis* analysis) {
  std::vector<Detection> out;
  ScanContext ctx;
  ctx.stream = &st;
  ctx.set = &set;
  ctx.analysis = analysis;
  sigpat::ScanOptions options;
  options.rule = rule;
  options.detailCheck = g_detailCheck;
  // The streams end with 2.5 s of background and the figures were measured without the closing
  // silence sigpat feeds (on which the library's rule finds short patterns): only the last block.
  options.closingBlocks = 0;
  if (rule != "library") {
    const auto attached = [&ctx, analysis, &set](PatternDetector& det) {
      if (analysis == nullptr) return;
      det.SetBlockCallback(&AnalyseBlock, &ctx);
      if (analysis->selfThreshold.empty())
        for (int i = 0; i < static_cast<int>(set.corpusIndex.size()); ++i)
          if (set.corpusIndex[i] == i) {
            analysis->selfThreshold.push_back(det.Pattern(i).Threshold);
            analysis->selfPos.push_back(det.Pattern(i).SelfPositive);
            analysis->selfNeg.push_back(det.Pattern(i).SelfNegative);
            analysis->nblock.push_back(det.Pattern(i).Nblock);
          }
    };
    options.makeRule = [attached]() { return sigpat::MakeDetectorRule([](DetectorTuning& t) { t = g_tuning; }, attached); };
  }
  const auto take = [&](const sigpat::Detection& found) {
    const DetectorReport& r = found.report;
    Detection d;
    d.group = set.corpusIndex[static_cast<std::size_t>(r.Pattern)];
    d.begin = r.Begin;
    d.end = r.End;
    if (rule == "library") {
      d.score = r.RelDev;
      d.confidence = 0;
    } else {
      d.score = r.Score;
      d.confidence = r.Confidence;
      d.verify = r.Verify;
      d.threshold = r.Threshold;
      d.variant = sp::SpeedLabel(r.SpeedPercent);
    }
    out.push_back(d);
  };
  try {
    sigpat::ScanSession session(set.files, options, st.name);
    constexpr std::size_t kPiece = RecognitionStream::kBlockSamples;
    for (std::size_t pos = 0; pos < st.pcm.size(); pos += kPiece)
      session.Feed(st.pcm.data() + pos, std::min(kPiece, st.pcm.size() - pos), take);
    session.Finish(take);
  } catch (const sigpat::Error& e) {
    std::fprintf(stderr, "sp_eval: %s: %s\n", st.name.c_str(), e.what());
    std::exit(2);
  }
  return out;
}

bool IsSpeed(const std::string& v) { return v.rfind("speed", 0) == 0; }

struct Tally {
  int inserted = 0, found = 0;
};

struct Result {
  std::map<std::string, Tally> perVariant;
  int detections = 0, truePos = 0, falseWrong = 0, falseDup = 0, falseNear = 0, falseFree = 0, falseOther = 0;
  double freeSeconds = 0;
  std::vector<double> timingMs;
  double scanSeconds = 0, audioSeconds = 0;
  std::vector<std::string> misses, falses;
};

Result Evaluate(const std::string& rule, const Corpus& corpus, const PatternSet& set, Analysis* analysis,
                bool speedOnly = false) {
  Result res;
  for (const Stream& st : corpus.streams) {
    // With speedOnly, the streams whose insertions are not speed-shifted are left out (the
    // variants then add nothing to find but can still add false detections elsewhere).
    if (speedOnly && !IsSpeed(st.variant) && !st.truth.empty() && st.variant != "near-miss") continue;
    const std::clock_t t0 = std::clock();
    std::vector<Detection> det = Scan(rule, set, st, analysis);
    res.scanSeconds += static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    res.audioSeconds += static_cast<double>(st.pcm.size()) / 44100.0;
    if (st.variant == "clip-free") res.freeSeconds += static_cast<double>(st.pcm.size()) / 44100.0;
    std::vector<int> used(st.truth.size(), 0);
    for (const Detection& d : det) {
      ++res.detections;
      int hit = -1;
      bool wrong = false;
      for (std::size_t k = 0; k < st.truth.size(); ++k) {
        const speval::Insertion& t = st.truth[k];
        std::int64_t ov = std::min(d.end, t.begin + t.length) - std::max(d.begin, t.begin);
        if (ov * 2 < std::min<std::int64_t>(t.length, d.end - d.begin)) continue;
        if (t.pattern == d.group) hit = static_cast<int>(k);
        else wrong = true;
      }
      char line[240];
      std::snprintf(line, sizeof line, "%s: %s at %.3fs score %.3f threshold %.3f verify %.3f %s", st.name.c_str(),
                    corpus.patterns[static_cast<std::size_t>(d.group)].name.c_str(), d.begin / 44100.0, d.score,
                    d.threshold, d.verify, d.variant.c_str());
      if (g_listAll) std::printf("  detection %s\n", line);
      if (hit >= 0 && !used[static_cast<std::size_t>(hit)]) {
        used[static_cast<std::size_t>(hit)] = 1;
        ++res.truePos;
        res.timingMs.push_back(std::fabs(static_cast<double>(d.begin - st.truth[static_cast<std::size_t>(hit)].begin)) /
                               44.1);
      } else {
        if (hit >= 0) ++res.falseDup;
        else if (st.variant == "clip-free") ++res.falseFree;
        else if (st.variant == "near-miss") ++res.falseNear;
        else if (wrong) ++res.falseWrong;
        else ++res.falseOther;
        res.falses.push_back(line);
      }
    }
    for (std::size_t k = 0; k < st.truth.size(); ++k) {
      if (st.truth[k].pattern < 0) continue;
      Tally& t = res.perVariant[st.variant];
      ++t.inserted;
      if (used[k]) ++t.found;
      else res.misses.push_back(st.name + ": " + st.truth[k].what + " at " + std::to_string(st.truth[k].begin / 44100.0));
    }
  }
  return res;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

struct Bounds {
  double minRecall = -1, minRecallEasy = -1, minPrecision = -1, maxFree = -1, maxMedianMs = -1, minSpeedRecall = -1,
         minRtf = -1;
};

// Prints the result; returns the number of bounds not met.
int Print(const std::string& title, const Result& r, const Bounds& b, bool verbose) {
  std::printf("\n== %s\n", title.c_str());
  std::printf("%-12s %8s %6s %7s\n", "variant", "inserted", "found", "recall");
  int ins = 0, fnd = 0, insE = 0, fndE = 0, insS = 0, fndS = 0, ins3 = 0, fnd3 = 0;
  double minEasy = 1.0;
  for (const auto& [name, t] : r.perVariant) {
    double rc = t.inserted ? static_cast<double>(t.found) / t.inserted : 0;
    std::printf("%-12s %8d %6d %7.3f\n", name.c_str(), t.inserted, t.found, rc);
    if (IsSpeed(name)) {
      insS += t.inserted;
      fndS += t.found;
      if (name.find('3') != std::string::npos) {
        ins3 += t.inserted;
        fnd3 += t.found;
      }
    } else {
      ins += t.inserted;
      fnd += t.found;
    }
    if (name == "clean" || name == "+6dB" || name == "-6dB" || name == "snr20") {
      insE += t.inserted;
      fndE += t.found;
      minEasy = std::min(minEasy, rc);
    }
  }
  const double recall = ins ? static_cast<double>(fnd) / ins : 0;
  const double precision = r.detections ? static_cast<double>(r.truePos) / r.detections : 1.0;
  const double speed3 = ins3 ? static_cast<double>(fnd3) / ins3 : 0;
  const double median = Median(r.timingMs);
  std::vector<double> t = r.timingMs;
  std::sort(t.begin(), t.end());
  const double p90 = t.empty() ? 0 : t[std::min(t.size() - 1, static_cast<std::size_t>(0.9 * t.size()))];
  const double rtf = r.scanSeconds > 0 ? r.audioSeconds / r.scanSeconds : 0;
  std::printf("recall (speed variants apart) %.3f (%d/%d); clean, +-6 dB, 20 dB SNR: %.3f\n", recall, fnd, ins,
              insE ? static_cast<double>(fndE) / insE : 0);
  std::printf("recall of speed changes: all %.3f (%d/%d), +-3 %% %.3f\n", insS ? static_cast<double>(fndS) / insS : 0,
              fndS, insS, speed3);
  std::printf("detections %d, true %d, false %d (wrong pattern %d, repeats %d, near misses %d, clip-free %d, "
              "elsewhere %d)\n",
              r.detections, r.truePos, r.detections - r.truePos, r.falseWrong, r.falseDup, r.falseNear, r.falseFree,
              r.falseOther);
  std::printf("precision %.3f; clip-free streams: %.0f s, %d detections\n", precision, r.freeSeconds, r.falseFree);
  std::printf("timing error: median %.1f ms, 90th percentile %.1f ms\n", median, p90);
  std::printf("real-time factor %.0fx (%.0f s of audio in %.2f s of processor time)\n", rtf, r.audioSeconds,
              r.scanSeconds);
  if (verbose) {
    for (const std::string& m : r.misses) std::printf("  missed %s\n", m.c_str());
    for (const std::string& f : r.falses) std::printf("  false  %s\n", f.c_str());
  }
  int failed = 0;
  auto check = [&](bool ok, const char* what, double value, double bound) {
    if (!ok) {
      std::printf("BOUND NOT MET: %s %.3f (bound %.3f)\n", what, value, bound);
      ++failed;
    }
  };
  if (b.minRecall >= 0) check(recall >= b.minRecall, "recall", recall, b.minRecall);
  if (b.minRecallEasy >= 0) check(minEasy >= b.minRecallEasy, "recall clean/+-6dB/snr20", minEasy, b.minRecallEasy);
  if (b.minPrecision >= 0) check(precision >= b.minPrecision, "precision", precision, b.minPrecision);
  if (b.maxFree >= 0) check(r.falseFree <= b.maxFree, "clip-free detections", r.falseFree, b.maxFree);
  if (b.maxMedianMs >= 0) check(median <= b.maxMedianMs, "median timing error ms", median, b.maxMedianMs);
  if (b.minSpeedRecall >= 0 && ins3 > 0) check(speed3 >= b.minSpeedRecall, "+-3% speed recall", speed3, b.minSpeedRecall);
  if (b.minRtf >= 0) check(rtf >= b.minRtf, "real-time factor", rtf, b.minRtf);
  return failed;
}

void PrintAnalysis(const Corpus& c, const Analysis& a) {
  std::printf("\n== distances / threshold per pattern (positives by variant; smallest elsewhere)\n");
  for (std::size_t g = 0; g < c.patterns.size(); ++g) {
    std::printf("%-14s N %3d thr %.2f pos %.2f neg %.2f |", c.patterns[g].name.c_str(), a.nblock[g], a.selfThreshold[g],
                a.selfPos[g], a.selfNeg[g]);
    for (const auto& [v, s] : a.positive[g]) std::printf(" %s %.2f", v.c_str(), s);
    std::printf(" | neg %.2f %s\n", a.negative[g], a.negativeWhere[g].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  speval::CorpusOptions opt;
  opt.workDir = "sp-eval-work";
  std::string rule = "both";
  bool analyse = false, doAssert = false, verbose = false;
  Bounds bounds;
  std::string broadcastDir, jsonFile, work;
  speval::BroadcastOptions broadcast;
  speval::BroadcastBounds broadcastBounds;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "sp_eval: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--work") opt.workDir = work = next();
    else if (a == "--broadcast") broadcastDir = next();
    else if (a == "--json") jsonFile = next();
    else if (a == "--tolerance-ms") {
      broadcast.toleranceSeconds = std::atof(next()) / 1000.0;
      if (!(broadcast.toleranceSeconds > 0)) {
        std::fprintf(stderr, "sp_eval: --tolerance-ms needs a positive number of milliseconds\n");
        return 2;
      }
    }
    else if (a == "--max-near") broadcastBounds.maxNearMisses = std::atof(next());
    else if (a == "--max-wrong-versions") broadcastBounds.maxWrongVersions = std::atof(next());
    else if (a == "--min-right-versions") broadcastBounds.minRightVersions = std::atof(next());
    else if (a == "--speed-variants") {
      for (std::string list = next(); !list.empty();) {
        const std::size_t comma = list.find(',');
        broadcast.speeds.push_back(std::atof(list.substr(0, comma).c_str()));
        if (!(broadcast.speeds.back() > 0 && broadcast.speeds.back() <= 50)) {
          std::fprintf(stderr, "sp_eval: --speed-variants needs speed changes in percent (over 0, up to 50)\n");
          return 2;
        }
        list = comma == std::string::npos ? "" : list.substr(comma + 1);
      }
    } else if (a == "--min-recall-of") {
      const std::string v = next();
      const std::size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) {
        std::fprintf(stderr, "sp_eval: --min-recall-of needs KIND=VALUE, not %s\n", v.c_str());
        return 2;
      }
      broadcastBounds.minRecallOf[v.substr(0, eq)] = std::atof(v.c_str() + eq + 1);
    }
    else if (a == "--quick") opt.quick = true;
    else if (a == "--holdout") opt.holdout = true;
    else if (a == "--rule") rule = next();
    else if (a == "--no-speed") opt.speedVariants = false;
    else if (a == "--analyse") analyse = true;
    else if (a == "--verbose") verbose = true;
    else if (a == "--list") g_listAll = true;
    else if (a == "--no-detail-check") broadcast.detailCheck = g_detailCheck = false;
    else if (a == "--write-wav") opt.writeWav = true;
    else if (a == "--tune") {
      const char* v = next();
      if (!ParseTuning(v)) {
        std::fprintf(stderr, "sp_eval: unknown tuning %s (NAME=VALUE, a member of DetectorTuning)\n", v);
        return 2;
      }
    }
    else if (a == "--assert") doAssert = true;
    else if (a == "--min-recall") bounds.minRecall = std::atof(next());
    else if (a == "--min-recall-easy") bounds.minRecallEasy = std::atof(next());
    else if (a == "--min-precision") bounds.minPrecision = std::atof(next());
    else if (a == "--max-free") bounds.maxFree = std::atof(next());
    else if (a == "--max-median-ms") bounds.maxMedianMs = std::atof(next());
    else if (a == "--min-speed-recall") bounds.minSpeedRecall = std::atof(next());
    else if (a == "--min-rtf") bounds.minRtf = std::atof(next());
    else {
      std::fprintf(stderr, "usage: sp_eval [--work DIR] [--quick] [--holdout] [--rule library|detector|both] [--no-speed] "
                           "[--analyse] [--verbose] [--list] [--write-wav] [--assert] [--tune NAME=VALUE] [bounds]\n"
                           "       sp_eval --broadcast DIR [--speed-variants P,...] [--tolerance-ms X] [--json FILE] "
                           "[--rule ...] [--tune NAME=VALUE] [--no-detail-check] [--assert] [bounds]\n");
      return 2;
    }
  }
  if (rule != "library" && rule != "detector" && rule != "both") {
    std::fprintf(stderr, "sp_eval: unknown rule %s\n", rule.c_str());
    return 2;
  }
  if (!broadcastDir.empty()) {
    broadcast.work = work;
    broadcast.keepDetails = verbose || g_listAll;
    broadcast.listAll = g_listAll;
    broadcast.tune = [](DetectorTuning& tuning) { tuning = g_tuning; };
    broadcastBounds.minRecall = bounds.minRecall;
    broadcastBounds.minPrecision = bounds.minPrecision;
    broadcastBounds.maxClipFree = bounds.maxFree;
    broadcastBounds.maxMedianMs = bounds.maxMedianMs;
    broadcastBounds.minRtf = bounds.minRtf;
    std::vector<std::string> rules;
    if (rule != "library") rules.push_back("detector");
    if (rule != "detector") rules.push_back("library");
    return speval::RunBroadcast(broadcastDir, rules, broadcast, broadcastBounds, doAssert, jsonFile);
  }

  auto t0 = std::chrono::steady_clock::now();
  Corpus corpus;
  std::string error;
  if (!speval::BuildCorpus(opt, corpus, error)) {
    std::fprintf(stderr, "sp_eval: %s\n(the corpus needs the Debian packages: %s)\n", error.c_str(),
                 speval::CorpusPackages(opt.holdout));
    return 3;
  }
  double built = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  int inserted = 0;
  for (const Stream& s : corpus.streams) inserted += static_cast<int>(s.truth.size());
  std::printf("corpus: %zu patterns, %zu streams, %.0f s of audio, %d insertions (built in %.1f s, %s%s)\n",
              corpus.patterns.size(), corpus.streams.size(), corpus.seconds, inserted, built,
              opt.quick ? "quick" : "full", opt.holdout ? ", held-out set" : "");

  Bounds none;
  int failed = 0;
  PatternSet plain = MakeSet(corpus, false);
  if (rule == "library" || rule == "both") {
    Result r = Evaluate("library", corpus, plain, nullptr);
    Print("rule library (the library's own rule, default thresholds), patterns only", r, none, verbose);
  }
  if (rule == "detector" || rule == "both") {
    Analysis an;
    an.positive.resize(corpus.patterns.size());
    an.negative.assign(corpus.patterns.size(), 1e9f);
    an.negativeWhere.assign(corpus.patterns.size(), "");
    Result r = Evaluate("detector", corpus, plain, analyse ? &an : nullptr);
    Bounds b = bounds;
    b.minSpeedRecall = -1;
    failed += Print("rule detector, patterns only", r, doAssert ? b : none, verbose);
    if (analyse) PrintAnalysis(corpus, an);
    if (corpus.patterns.size() > 15 && !opt.quick) {
      // Scanning speed with 15 patterns, the size the speed target is set for.
      PatternSet fifteen = plain;
      fifteen.files.resize(15);
      fifteen.corpusIndex.resize(15);
      for (const char* which : {"library", "detector"}) {
        double audio = 0, took = 0;
        for (const Stream& st : corpus.streams) {
          const std::clock_t s0 = std::clock();
          Scan(which, fifteen, st, nullptr);
          took += static_cast<double>(std::clock() - s0) / CLOCKS_PER_SEC;
          audio += static_cast<double>(st.pcm.size()) / 44100.0;
        }
        std::printf("real-time factor with 15 patterns, rule %s: %.0fx\n", which, audio / took);
      }
    }
    if (opt.speedVariants) {
      PatternSet grouped = MakeSet(corpus, true);
      // The quick version measures the grouped set on the speed streams, the near misses and
      // the clip-free streams only.
      Result g = Evaluate("detector", corpus, grouped, nullptr, opt.quick);
      Bounds bg = bounds;
      bg.minRtf = -1;
      Bounds bq = bg;
      if (opt.quick) bq.minRecall = bq.minRecallEasy = -1;  // no such streams in this run
      failed += Print(opt.quick ? "rule detector, patterns with speed variants grouped (speed, near-miss and clip-free "
                                  "streams)"
                                : "rule detector, patterns with speed variants (+-1.5 %, +-3 %) grouped",
                      g, doAssert ? bq : none, verbose);
    }
  }
  if (doAssert) std::printf("\n%s\n", failed ? "EVALUATION BOUNDS NOT MET" : "evaluation bounds met");
  return failed ? 1 : 0;
}
