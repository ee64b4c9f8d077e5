// How well the index of coarse spectral shapes (index/shape_index.h) would choose which patterns
// of a catalogue to compare: every clip and near miss of a broadcast set is indexed by its keys,
// every programme is probed with its own keys, and an insertion counts as let through when a run
// of votes for its clip lies at its alignment (within two blocks) while it plays. Prints, per
// processing chain and per kind of clip, the insertions let through, and what the probing costs:
// postings voted on per time block, and candidate runs per minute beside the true ones. With
// --catalogue, the pattern files of a directory are indexed too, as a market's catalogue the
// programmes do not play (bench/make_patterns.sh): what the index lets through at that scale.
// With --reverb, every clip is also indexed by the keys of its levels as a room of that many
// milliseconds of RT60 smears them (the detector's reverberant view, detector/reverb_view.h).
//
//   sp_index_eval SETDIR [--catalogue DIR] [--reverb MS] [--chunk N] [--steps N] [--min-votes N] [--max-gap N]
//                 [--max-postings N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio_input.h"
#include "broadcast_manifest.h"
#include "../detector/reverb_view.h"
#include "messages.h"
#include "scanner.h"
#include "sp_helpers.h"
#include "shape_index.h"
#include "time_spectrum.h"

namespace {

constexpr std::int64_t kHold = 8;  // blocks a pattern stays on after its end (the pre-selection's hold)

struct Tally {
  int inserted = 0, through = 0;
};

sigpat::TimeSpectrum SpectrumOf(const std::string& file) {
  std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(file, sigpat::AudioOptions{});
  return sigpat::ComputeTimeSpectrum(*in);
}

// A pattern file's levels in dB, oldest block first (the file keeps the newest first).
std::vector<float> PatternLevels(const std::string& file, std::size_t& blocks) {
  SignalTVSEx p;
  sigpat::LoadPattern(file, p);
  const int nband = p.Nband, nblock = p.Nblock;
  std::vector<float> db(static_cast<std::size_t>(nblock) * nband);
  for (int t = 0; t < nblock; ++t)
    for (int b = 0; b < nband; ++b)
      db[static_cast<std::size_t>(t) * nband + b] = PowToDB(p.Spectrum[static_cast<std::size_t>(nblock - 1 - t) * nband + b]);
  blocks = static_cast<std::size_t>(nblock);
  return db;
}

void Print(const char* title, const std::map<std::string, Tally>& rows) {
  std::printf("%-16s %8s %8s %7s\n", title, "inserted", "through", "share");
  for (const auto& [name, t] : rows)
    std::printf("%-16s %8d %8d %7.3f\n", name.c_str(), t.inserted, t.through, t.inserted ? double(t.through) / t.inserted : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sp_index_eval SETDIR [--chunk N] [--steps N] [--min-votes N] [--max-gap N] [--max-postings N]\n");
    return 2;
  }
  spindex::KeyTuning keys;
  spindex::VoteTuning votes;
  std::string catalogue;
  int reverbMs = 0;
  for (int a = 2; a + 1 < argc; a += 2) {
    const std::string opt = argv[a];
    const int v = std::atoi(argv[a + 1]);
    if (opt == "--catalogue") catalogue = argv[a + 1];
    else if (opt == "--reverb") reverbMs = v;
    else if (opt == "--chunk") keys.Chunk = v;
    else if (opt == "--steps") keys.Steps = v;
    else if (opt == "--min-votes") votes.MinVotes = v;
    else if (opt == "--max-gap") votes.MaxGap = v;
    else if (opt == "--max-postings") votes.MaxPostings = v;
    else {
      std::fprintf(stderr, "sp_index_eval: unknown option %s\n", opt.c_str());
      return 2;
    }
  }
  speval::BroadcastManifest m;
  std::string error;
  if (!speval::ReadBroadcastManifest(argv[1], m, error)) {
    std::fprintf(stderr, "sp_index_eval: %s\n", error.c_str());
    return 1;
  }
  try {
    spindex::ShapeIndex index;
    std::map<std::string, std::uint32_t> streamOf;
    std::map<std::uint32_t, std::uint32_t> sameAs;  // a clip's reverberant keys: stream of its plain ones
    std::map<std::string, std::string> kindOf;
    std::vector<std::int64_t> lengthOf;  // blocks of each indexed stream
    const auto add = [&](const std::vector<std::uint32_t>& k) {
      lengthOf.push_back(static_cast<std::int64_t>(k.size()));
      return index.Add(k);
    };
    for (const auto* list : {&m.clips, &m.nearMisses})
      for (const speval::BroadcastClip& c : *list) {
        const sigpat::TimeSpectrum s = SpectrumOf(c.file);
        streamOf[c.name] = add(spindex::MakeKeys(s.levels.data(), s.blocks(), keys));
        kindOf[c.name] = c.kind;
        if (reverbMs > 0) {
          std::vector<float> smeared = s.levels;
          spdet::SmearLevels(smeared.data(), static_cast<int>(s.blocks()), s.bands,
                             static_cast<float>(sigpat::kSpectrumBlockSamples) / 44100.0f, reverbMs / 1000.0f, 0.0f);
          sameAs[add(spindex::MakeKeys(smeared.data(), s.blocks(), keys))] = streamOf[c.name];
        }
      }
    std::size_t others = 0;
    if (!catalogue.empty()) {
      std::vector<std::string> files;
      for (const auto& e : std::filesystem::directory_iterator(catalogue))
        if (e.path().extension() == ".tvs") files.push_back(e.path().string());
      std::sort(files.begin(), files.end());
      for (const std::string& f : files) {
        std::size_t n = 0;
        const std::vector<float> levels = PatternLevels(f, n);
        add(spindex::MakeKeys(levels.data(), n, keys));
        ++others;
      }
    }
    index.Build();
    std::map<std::string, Tally> byChain, byKind;
    Tally all;
    double blocks = 0, voted = 0, runs = 0, trueRuns = 0, seconds = 0, activeBlocks = 0;
    for (const speval::BroadcastProgramme& p : m.programmes) {
      const sigpat::TimeSpectrum s = SpectrumOf(p.file);
      const std::vector<std::uint32_t> k = spindex::MakeKeys(s.levels.data(), s.blocks(), keys);
      std::vector<spindex::Vote> v = index.Probe(k, 0, votes);
      blocks += static_cast<double>(s.blocks());
      seconds += static_cast<double>(s.samples) / 44100.0;
      voted += static_cast<double>(v.size());
      for (spindex::Vote& x : v)
        if (const auto plain = sameAs.find(x.stream); plain != sameAs.end()) x.stream = plain->second;
      const std::vector<spindex::Candidate> found = spindex::Candidates(std::move(v), votes);
      runs += static_cast<double>(found.size());
      // Each run would switch its pattern on from its first vote until the pattern's end has passed
      // plus the hold (the pre-selection's 8 blocks): the patterns on at a block, on average.
      std::map<std::uint32_t, std::vector<std::pair<std::int64_t, std::int64_t>>> on;
      for (const spindex::Candidate& r : found) {
        const std::int64_t endsAt = lengthOf[r.stream] - 1 - r.offset;
        on[r.stream].push_back({r.first, std::max<std::int64_t>(r.last, endsAt) + kHold});
      }
      for (auto& [stream, spans] : on) {
        std::sort(spans.begin(), spans.end());
        std::int64_t from = -1, to = -2;
        for (const auto& [a, b] : spans) {
          if (a > to + 1) {
            if (to >= from) activeBlocks += static_cast<double>(to - from + 1);
            from = a;
            to = b;
          } else {
            to = std::max(to, b);
          }
        }
        if (to >= from) activeBlocks += static_cast<double>(to - from + 1);
      }
      std::vector<char> used(found.size(), 0);
      for (const speval::BroadcastOccurrence& o : p.insertions) {
        const auto stream = streamOf.find(o.clip);
        if (stream == streamOf.end()) continue;
        // The clip's block 0 at the programme's block where the insertion begins (both time-spectra
        // take the engine's delay off alike: block k of each starts 576 k samples into its input).
        const std::int64_t at = (o.begin + sigpat::kSpectrumBlockSamples / 2) / sigpat::kSpectrumBlockSamples;
        const std::int64_t end = at + o.length / sigpat::kSpectrumBlockSamples;
        bool through = false;
        for (std::size_t c = 0; c < found.size(); ++c) {
          const spindex::Candidate& r = found[c];
          if (r.stream != stream->second) continue;
          if (static_cast<std::int64_t>(r.last) < at || static_cast<std::int64_t>(r.first) > end) continue;
          // Played 7 % faster or slower, a copy's blocks drift from the clip's by 7 in 100.
          const std::int64_t into = std::max<std::int64_t>(0, static_cast<std::int64_t>(r.first) - at);
          if (std::llabs(r.offset + at) > 2 + into * 7 / 100) continue;
          through = true;
          used[c] = 1;
        }
        for (Tally* t : {&byChain[p.processing], &byKind[o.kind], &all}) {
          ++t->inserted;
          t->through += through ? 1 : 0;
        }
      }
      trueRuns += static_cast<double>(std::count(used.begin(), used.end(), 1));
    }
    Print("processing", byChain);
    Print("clip kind", byKind);
    std::printf("let through %d of %d insertions (%.3f); key: chunk %d, steps %d; runs of %d votes, gap %d, postings <= %d\n",
                all.through, all.inserted, all.inserted ? double(all.through) / all.inserted : 0.0, keys.Chunk, keys.Steps,
                votes.MinVotes, votes.MaxGap, votes.MaxPostings);
    std::printf("index: %zu clips of the set, %zu other patterns, %.1f MB\n", streamOf.size(), others,
                static_cast<double>(index.Bytes()) / 1e6);
    std::printf("cost: %.3f postings voted on per time block; %.1f candidate runs per minute, %.1f of them true; %zu postings indexed\n",
                blocks > 0 ? voted / blocks : 0.0, seconds > 0 ? runs * 60.0 / seconds : 0.0,
                seconds > 0 ? trueRuns * 60.0 / seconds : 0.0, index.Postings());
    std::printf("patterns switched on at a time: %.1f on average (of %zu indexed)\n", blocks > 0 ? activeBlocks / blocks : 0.0,
                streamOf.size() + others);
  } catch (const sigpat::Error& e) {
    std::fprintf(stderr, "sp_index_eval: %s\n", e.what());
    return 1;
  }
  return 0;
}
