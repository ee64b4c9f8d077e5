#include "broadcast_eval.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

#include "PatternDetector.h"
#include "pattern_making.h"
#include "messages.h"
#include "scanner.h"

namespace speval {

double BroadcastFigures::MedianTimingMs() const {
  if (timingMs.empty()) return 0;
  std::vector<double> t = timingMs;
  std::sort(t.begin(), t.end());
  const std::size_t n = t.size();
  return n % 2 ? t[n / 2] : 0.5 * (t[n / 2 - 1] + t[n / 2]);
}

double BroadcastFigures::TimingPercentileMs(double p) const {
  if (timingMs.empty()) return 0;
  std::vector<double> t = timingMs;
  std::sort(t.begin(), t.end());
  return t[std::min(t.size() - 1, static_cast<std::size_t>(p * static_cast<double>(t.size())))];
}

std::vector<std::string> MakeBroadcastPatterns(const BroadcastManifest& m, const BroadcastOptions& o,
                                               std::vector<int>& clipOfFile) {
  const std::string& work = o.work;
  mkdir(work.c_str(), 0755);
  std::vector<std::string> files, variants;
  std::vector<int> variantClip;
  clipOfFile.clear();
  for (std::size_t c = 0; c < m.clips.size(); ++c) {
    sigpat::CreateArgs args;
    args.input = m.clips[c].file;
    args.output = work + "/" + m.clips[c].name + ".tvs";
    args.speeds = o.speeds;
    try {
      files.push_back(sigpat::CreatePatternFile(args));
      clipOfFile.push_back(static_cast<int>(c));
      if (!o.speeds.empty())
        for (const std::string& v : sigpat::CreateSpeedVariants(args, files.back())) {
          variants.push_back(v);
          variantClip.push_back(static_cast<int>(c));
        }
    } catch (const std::exception& e) {
      throw std::runtime_error(m.clips[c].name + ": cannot make its pattern: " + e.what());
    }
  }
  files.insert(files.end(), variants.begin(), variants.end());
  clipOfFile.insert(clipOfFile.end(), variantClip.begin(), variantClip.end());
  return files;
}

namespace {

std::int64_t Overlap(std::int64_t b1, std::int64_t e1, std::int64_t b2, std::int64_t e2) {
  return std::min(e1, e2) - std::max(b1, b2);
}

// An undecided report (versions) stands for each of its candidates.
bool AmongCandidates(const sigpat::Detection& d, const std::string& clip) {
  return d.report.Undecided && std::find(d.candidates.begin(), d.candidates.end(), clip + ".tvs") != d.candidates.end();
}

std::string At(const std::string& what, std::int64_t begin) {
  char buf[48];
  std::snprintf(buf, sizeof buf, " at %.3f s", static_cast<double>(begin) / 44100.0);
  return what + buf;
}

}  // namespace

void ScoreProgramme(const BroadcastManifest& m, const BroadcastProgramme& p, std::vector<sigpat::Detection> found,
                    const std::vector<int>& clipOfFile, const BroadcastOptions& o, BroadcastFigures& f) {
  const std::int64_t tol = static_cast<std::int64_t>(std::llround(o.toleranceSeconds * 44100.0));
  const std::string prog = p.file.substr(p.file.find_last_of('/') + 1);
  std::sort(found.begin(), found.end(),
            [](const sigpat::Detection& a, const sigpat::Detection& b) { return a.report.Begin < b.report.Begin; });
  std::vector<char> used(p.insertions.size(), 0);
  std::vector<float> seenFound(p.insertions.size(), 1.0f);
  for (const sigpat::Detection& d : found) {
    const DetectorReport& r = d.report;
    ++f.detections;
    const int file = r.Group >= 0 ? r.Group : r.Pattern;
    const int c = file >= 0 && file < static_cast<int>(clipOfFile.size()) ? clipOfFile[static_cast<std::size_t>(file)] : -1;
    const std::string name = c >= 0 ? m.clips[static_cast<std::size_t>(c)].name : "?";
    int best = -1;
    bool repeat = false, misplaced = false;
    for (std::size_t k = 0; k < p.insertions.size(); ++k) {
      const BroadcastOccurrence& t = p.insertions[k];
      if (t.clip != name && !AmongCandidates(d, t.clip)) continue;
      if (std::llabs(r.Begin - t.begin) <= tol) {
        if (used[k]) repeat = true;
        else if (best < 0 || std::llabs(r.Begin - t.begin) < std::llabs(r.Begin - p.insertions[static_cast<std::size_t>(best)].begin))
          best = static_cast<int>(k);
      } else if (Overlap(r.Begin, r.End, t.begin, t.begin + t.length) * 2 >= std::min(t.length, r.End - r.Begin)) {
        misplaced = true;
      }
    }
    if (best >= 0) {
      used[static_cast<std::size_t>(best)] = 1;
      seenFound[static_cast<std::size_t>(best)] = r.Seen;
      ++f.truePositives;
      const BroadcastOccurrence& t = p.insertions[static_cast<std::size_t>(best)];
      f.timingMs.push_back(std::fabs(static_cast<double>(r.Begin - t.begin)) / 44.1);
      if (t.seen >= 1 && r.Seen >= 1.0f) {
        const double off = static_cast<double>(r.End - (t.begin + t.length)) / 44.1;
        f.endMs.push_back(std::fabs(off));
        if (o.keepDetails && std::fabs(off) > 50.0) {
          char line[96];
          std::snprintf(line, sizeof line, ": end %+.0f ms (%s, stretch %+.2f %%)", off, d.Match(), static_cast<double>(r.Stretch));
          f.endsOff.push_back(prog + ": " + At(name, t.begin) + line);
        }
      }
      continue;
    }
    std::string why;
    bool near = false;
    for (const BroadcastOccurrence& n : p.nearMisses)
      if (n.nearMissOf == name && Overlap(r.Begin, r.End, n.begin, n.begin + n.length) * 2 >= std::min(n.length, r.End - r.Begin))
        near = true;
    if (repeat) ++f.repeats, why = "repeat";
    else if (misplaced) ++f.misplaced, why = "misplaced";
    else if (near) ++f.nearMissReports, why = "near miss";
    else if (p.clipFree) ++f.clipFreeReports, why = "clip-free";
    else ++f.elsewhere, why = "elsewhere";
    if (o.keepDetails) {
      char score[128];
      if (r.Score >= 0)
        std::snprintf(score, sizeof score, " (%s %.3f, threshold %.3f)", d.Match(), static_cast<double>(r.Score),
                      static_cast<double>(r.Threshold));
      else
        std::snprintf(score, sizeof score, " (deviation %.3f)", static_cast<double>(r.RelDev));
      f.falses.push_back(prog + ": " + why + ": " + At(name, r.Begin) + score);
    }
  }
  for (std::size_t k = 0; k < p.insertions.size(); ++k) {
    const BroadcastOccurrence& t = p.insertions[k];
    const bool partial = used[k] && seenFound[k] < 1.0f;
    if (t.seen < 1) {
      ++f.cutShort.inserted;
      f.cutShort.found += used[k];
      f.cutAsPartial += partial;
      if (partial) f.seenError.push_back(std::fabs(seenFound[k] - t.seen));
    } else {
      for (BroadcastTally* tally : {&f.all, &f.byProcessing[p.processing], &f.byClipKind[t.kind]}) {
        ++tally->inserted;
        tally->found += used[k];
      }
      f.wholeAsPartial += partial;
    }
    if (t.talkOverSeconds > 0) {
      ++f.talkOver.inserted;
      f.talkOver.found += used[k];
    }
    if (used[k] && o.keepDetails && (t.seen < 1) != partial) {
      char line[96];
      std::snprintf(line, sizeof line, ": aired %.3f, reported %.3f", t.seen < 1 ? t.seen : 1.0,
                    static_cast<double>(seenFound[k]));
      f.endsOff.push_back(prog + ": " + At(t.clip, t.begin) + line);
    }
    if (!used[k] && o.keepDetails) {
      char cut[48] = "";
      if (t.seen < 1) std::snprintf(cut, sizeof cut, " (cut after %.0f %%)", 100.0 * t.seen);
      f.misses.push_back(prog + ": " + At(t.clip, t.begin) + (t.talkOverSeconds > 0 ? " (talked over)" : "") + cut);
    }
  }
  f.nearMissesPresent += static_cast<int>(p.nearMisses.size());
  ScoreVersions(m, p, found, clipOfFile, f.versions);
}

BroadcastFigures EvaluateBroadcast(const BroadcastManifest& m, const std::vector<std::string>& patternFiles,
                                   const std::vector<int>& clipOfFile, const std::string& rule,
                                   const BroadcastOptions& o) {
  BroadcastFigures f;
  f.rule = rule;
  f.patterns = static_cast<int>(patternFiles.size());
  sigpat::ScanOptions so;
  so.rule = rule;
  so.detailCheck = o.detailCheck;
  if (rule == "detector") so.makeRule = [&o]() { return sigpat::MakeDetectorRule(o.tune); };
  sigpat::Scanner scanner(patternFiles, so);
  for (const BroadcastProgramme& p : m.programmes) {
    std::vector<sigpat::Detection> found;
    const std::clock_t t0 = std::clock();
    // Errors name the file (sigpat::Error).
    std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(p.file, sigpat::AudioOptions{});
    f.detailRejected += scanner.Scan(*in, [&found](const sigpat::Detection& d) { found.push_back(d); }).detailRejected;
    f.scanSeconds += static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    const double seconds = static_cast<double>(p.samples) / 44100.0;
    f.audioSeconds += seconds;
    if (p.clipFree) f.clipFreeSeconds += seconds;
    if (o.listAll)
      for (const sigpat::Detection& d : found) {
        char line[256], seen[24] = "";
        if (d.report.Seen < 1.0f) std::snprintf(seen, sizeof seen, " seen %.3f", static_cast<double>(d.report.Seen));
        std::snprintf(line, sizeof line, " %s at %lld score %.6f threshold %.6f %s%s", d.name.c_str(),
                      static_cast<long long>(d.report.Begin), d.report.Score, d.report.Threshold, d.Match(), seen);
        f.listed.push_back(p.file.substr(p.file.find_last_of('/') + 1) + ":" + line);
      }
    ScoreProgramme(m, p, std::move(found), clipOfFile, o, f);
  }
  return f;
}

}  // namespace speval
