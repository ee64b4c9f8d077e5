// The manifest of a broadcast corpus (tools/eval/broadcast/make_corpus.py): the clean clips to
// make patterns from, the near misses, and every programme with its processing and ground
// truth. Positions are samples at 44100 Hz in the processed programme file.
#ifndef SP_EVAL_BROADCAST_MANIFEST_H
#define SP_EVAL_BROADCAST_MANIFEST_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace speval {

struct BroadcastClip {
  std::string name;
  std::string kind;        // ident, sweeper, advert, excerpt
  std::string file;        // absolute path of the clean clip (WAV)
  std::string nearMissOf;  // near misses: the clip it nearly is
  std::int64_t samples = 0;
  // Versioned campaigns: the campaign, and per relative the stretch (seconds of this clip) where
  // the two differ.
  std::string campaign;
  std::map<std::string, std::pair<double, double>> differs;
};

struct BroadcastOccurrence {
  std::string clip;
  std::string kind;
  std::int64_t begin = 0;
  std::int64_t length = 0;
  double talkOverSeconds = 0;  // insertions: seconds of DJ talk over the clip
  double seen = 1;             // insertions: fraction of the clip played (< 1: cut short)
  std::string nearMissOf;      // near misses: the clip it must not be reported as
};

struct BroadcastProgramme {
  std::string file;  // absolute path
  std::string processing;
  bool clipFree = false;
  std::int64_t samples = 0;
  std::vector<BroadcastOccurrence> insertions;
  std::vector<BroadcastOccurrence> nearMisses;
};

struct BroadcastManifest {
  std::string dir;  // the corpus directory (relative files are taken from it)
  std::string set;  // dev or holdout
  bool quick = false;
  std::vector<BroadcastClip> clips;
  std::vector<BroadcastClip> nearMisses;
  std::vector<BroadcastProgramme> programmes;
};

// Reads DIR/manifest.json. Returns false with a one-line message naming the file and the
// problem (missing, not JSON, a field missing or of the wrong type, an insertion of an unknown
// clip or outside its programme).
bool ReadBroadcastManifest(const std::string& dir, BroadcastManifest& manifest, std::string& error);

}  // namespace speval

#endif
