// The relatives found among a catalogue kept on disk between runs (relatives.h), beside the
// self-calibration's entries: one entry per pattern, named by a hash of the pattern's levels, the
// comparison's version and the build of the library, listing the patterns it was compared with
// in full (by their own hash, in the order of the hashes) and the relation found, or none: every
// pair of it with another pattern of the catalogue last set up that passed the quick look. A
// pattern that changes has another name and is compared anew; its old entry is no longer read.
// Pairs that the quick look rules out are not kept; the record of the catalogue swept (below)
// says whose entries are complete, so that a new process looks only at the pairs of new patterns.
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
// Reads an entry: false when there is none or it is not exactly what WriteRelativesEntry writes;
// check (when not null) gets the entry's check value.
bool ReadRelativesEntry(const std::string& name, std::uint64_t key, std::vector<CachedPair>& pairs,
                        std::uint64_t* check = nullptr);
// Writes an entry whole or not at all, making its directory when needed.
bool WriteRelativesEntry(const std::string& name, std::uint64_t key, const std::vector<CachedPair>& pairs);
// The check value of the entry these pairs make (what ReadRelativesEntry gives back); 0 on failure.
std::uint64_t RelativesEntryCheck(std::uint64_t key, const std::vector<CachedPair>& pairs);

// The catalogue last swept with this cache directory: its members' keys, each with the check value
// of the member's entry that lists every pair of it with another member that passed the quick look
// (0: no such entry). One record per directory, build and block rate; the last sweep's replaces it.
// A member whose entry now has another check (rewritten for another catalogue, damaged, gone) is not
// taken as swept: its pairs get the quick look anew.
struct SweptMember {
  std::uint64_t key = 0;
  std::uint64_t entry = 0;
};
std::string SweptCatalogueName(const std::string& directory, double blocksPerSecond);
// Reads the record: false when there is none or it is not exactly what WriteSweptCatalogue writes.
bool ReadSweptCatalogue(const std::string& name, std::vector<SweptMember>& members);
// Writes the record whole or not at all.
bool WriteSweptCatalogue(const std::string& name, const std::vector<SweptMember>& members);

}  // namespace spdet

#endif
