// The relatives found among a catalogue kept on disk between runs (relatives.h), beside the
// self-calibration's entries: one entry per pattern, named by a hash of the pattern's levels, the
// comparison's version and the build of the library, listing the patterns it was compared with
// in full (by their own hash) and the relation found, or none. A pattern that changes has another
// name and is compared anew; its old entry is no longer read. Pairs that the quick look rules
// out are not kept (looked at anew each time: cheaper than reading them).
//
// Entries are read strictly (the magic line, the key, the pairs, a check over all of it) and
// refused whole otherwise; they are written through a temporary file renamed into place. Nothing
// here throws: a cache that cannot be read or written is no cache.
#ifndef SP_DETECTOR_RELATIVES_CACHE_H
#define SP_DETECTOR_RELATIVES_CACHE_H

#include <cstdint>
#include <string>
#include <vector>

#include "relatives.h"

namespace spdet {

// One pair as one pattern's entry keeps it: the other's key, and both sides of the relation
// (this pattern's first) when they are relatives. `other` of the relations is not kept.
struct CachedPair {
  std::uint64_t other = 0;
  bool related = false;
  Relation mine, theirs;
};

// The entry file of a pattern's key in a cache directory ("" for no directory).
std::string RelativesEntryName(const std::string& directory, std::uint64_t key, double blocksPerSecond);
// Reads an entry: false when there is none or it is not exactly what WriteRelativesEntry writes.
bool ReadRelativesEntry(const std::string& name, std::uint64_t key, std::vector<CachedPair>& pairs);
// Writes an entry whole or not at all, making its directory when needed.
bool WriteRelativesEntry(const std::string& name, std::uint64_t key, const std::vector<CachedPair>& pairs);

}  // namespace spdet

#endif
