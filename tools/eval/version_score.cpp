#include "version_score.h"

#include <algorithm>
#include <cstdio>

namespace speval {

void VersionTally::Add(const VersionTally& t) {
  airings += t.airings, right += t.right, wrong += t.wrong, wrongBesideRight += t.wrongBesideRight;
  undecided += t.undecided, missed += t.missed;
}

namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) {
    if (!s.empty()) s += ',';
    s.append(n, 0, n.rfind(".tvs"));
  }
  return s.empty() ? "none" : s;
}

}  // namespace

VersionTally VersionFigures::Total(bool maskedOnes) const {
  VersionTally all;
  for (const auto& [campaign, t] : maskedOnes ? masked : decidable) all.Add(t);
  return all;
}

double HeardOfDifference(const BroadcastClip& c, const std::string& relative, const BroadcastOccurrence& t) {
  auto it = c.differs.find(relative);
  if (it == c.differs.end()) return 0.0;
  const double length = static_cast<double>(c.samples) / 44100.0;
  // Talk-over of an advert covers its end (make_corpus.py); a cut takes the end off.
  const double heardEnd = std::min(t.seen * length, length - t.talkOverSeconds);
  return std::max(0.0, std::min(it->second.second, heardEnd) - it->second.first);
}

void ScoreVersions(const BroadcastManifest& m, const BroadcastProgramme& p, const std::vector<sigpat::Detection>& found,
                   const std::vector<int>& clipOfFile, VersionFigures& f) {
  std::map<std::string, const BroadcastClip*> byName;
  for (const BroadcastClip& c : m.clips) byName[c.name] = &c;
  const std::string prog = p.file.substr(p.file.find_last_of('/') + 1);
  for (const BroadcastOccurrence& t : p.insertions) {
    const BroadcastClip& aired = *byName.at(t.clip);
    if (aired.campaign.empty()) continue;
    bool masked = false;
    for (const BroadcastClip& c : m.clips)
      if (c.campaign == aired.campaign && c.name != aired.name &&
          HeardOfDifference(aired, c.name, t) < VersionFigures::kMinHeardSeconds)
        masked = true;
    bool right = false, undecided = false;
    std::vector<std::string> wrong;
    for (const sigpat::Detection& d : found) {
      const DetectorReport& r = d.report;
      const int file = r.Group >= 0 ? r.Group : r.Pattern;
      if (file < 0 || file >= static_cast<int>(clipOfFile.size())) continue;
      const BroadcastClip& c = m.clips[static_cast<std::size_t>(clipOfFile[static_cast<std::size_t>(file)])];
      if (c.campaign != aired.campaign) continue;
      const std::int64_t shared = std::min(r.End, t.begin + t.length) - std::max(r.Begin, t.begin);
      if (shared * 2 < std::min(t.length, r.End - r.Begin)) continue;
      // An undecided report stands for its candidates: one that leaves out the version that aired
      // names only versions that did not, as wrong as naming one of them outright.
      if (r.Undecided && std::find(d.candidates.begin(), d.candidates.end(), aired.name + ".tvs") != d.candidates.end())
        undecided = true;
      else if (r.Undecided) wrong.push_back("undecided among " + Joined(d.candidates));
      else if (c.name == aired.name) right = true;
      else wrong.push_back(c.name);
    }
    VersionTally& tally = (masked ? f.masked : f.decidable)[aired.campaign];
    ++tally.airings;
    if (!wrong.empty()) {
      ++tally.wrong;
      tally.wrongBesideRight += right;
    } else if (right) {
      ++tally.right;
    } else if (undecided) {
      ++tally.undecided;
    } else {
      ++tally.missed;
    }
    if (!right || !wrong.empty()) {
      char line[256];
      std::snprintf(line, sizeof line, "%s: %s at %.3f s%s%s%s:", prog.c_str(), t.clip.c_str(),
                    static_cast<double>(t.begin) / 44100.0, masked ? " (masked" : "",
                    t.seen < 1 ? ", cut short" : (t.talkOverSeconds > 0 ? ", talked over" : ""), masked ? ")" : "");
      std::string s = line;
      if (right) s += " right and";
      for (const std::string& w : wrong) s += " " + w;
      if (wrong.empty()) s += undecided ? " undecided" : " missed";
      f.details.push_back(s);
    }
  }
}

void PrintVersions(const VersionFigures& f, bool details) {
  if (f.Empty()) return;
  std::printf("%-22s %7s %6s %6s %7s %9s %6s\n", "versions: campaign", "airings", "right", "wrong", "(beside", "undecided",
              "missed");
  auto row = [](const std::string& name, const VersionTally& t) {
    std::printf("%-22s %7d %6d %6d %6d) %9d %6d\n", name.c_str(), t.airings, t.right, t.wrong, t.wrongBesideRight,
                t.undecided, t.missed);
  };
  for (const auto& [campaign, t] : f.decidable) row(campaign, t);
  row("all decidable", f.Total(false));
  for (const auto& [campaign, t] : f.masked) row(campaign + " masked", t);
  row("all masked", f.Total(true));
  const VersionTally d = f.Total(false), k = f.Total(true);
  std::printf("versions: right %d of %d decidable airings (%.3f), wrong version reported at %d of %d airings "
              "(%.1f per 100), undecided %d of %d masked\n",
              d.right, d.airings, d.airings ? static_cast<double>(d.right) / d.airings : 0.0, d.wrong + k.wrong,
              d.airings + k.airings, d.airings + k.airings ? 100.0 * (d.wrong + k.wrong) / (d.airings + k.airings) : 0.0,
              k.undecided, k.airings);
  if (details)
    for (const std::string& s : f.details) std::printf("  version %s\n", s.c_str());
}

}  // namespace speval
