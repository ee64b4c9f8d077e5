// The relatives found among a catalogue kept on disk between runs (relatives.h), beside the
// self-calibration's entries: one record per catalogue set up (relatives-catalogues/), named by a
// hash of its members' content keys, the version of the relation rules, the build of the library
// and the block rate. A record lists the catalogue's members and every pair of two of them found
// related, with the relation, in the order the set-up took them; a pair it lacks is not related
// (ruled out by the quick look or by the comparison). (The format still carries each pair's
// related flag: records once listed the unrelated pairs compared too, as "0" lines.) A new
// process set up on a catalogue with a record takes all its pairs from it; one on a catalogue
// without a record takes the record that shares most members with it (estimated from each
// record's sample of its smallest keys) and looks only at the pairs of the patterns that record
// lacks.
//
// Several processes share a directory: each writes its catalogue's record through a temporary
// file renamed into place, and touches the one it used; beyond kMaxCatalogueRecords records are
// removed, small catalogues' first, then the least recently used. A record is read strictly (the
// magic line, the rules and build, the members in order, the sample, the pairs, a check over all
// of it) and refused whole otherwise, or when another version of the rules or another build
// wrote it. Nothing here throws: a cache that cannot be read or written is no cache.
#ifndef SP_DETECTOR_RELATIVES_CACHE_H
#define SP_DETECTOR_RELATIVES_CACHE_H

#include <cstdint>
#include <string>
#include <vector>

#include "relatives.h"

namespace spdet {

// One pair of a catalogue: the two members' keys, and both sides of the relation (first's side,
// then second's) when they are relatives. `other` of the relations is not kept.
struct CataloguePair {
  std::uint64_t first = 0, second = 0;
  bool related = false;
  Relation ab, ba;
};

struct CatalogueRecord {
  std::uint64_t rules = 0;  // the version of the relation rules that found the pairs
  std::uint64_t build = 0;  // the library build that wrote the record
  double blocksPerSecond = 0.0;
  std::vector<std::uint64_t> members;  // the members' keys, ascending, each once
  std::vector<CataloguePair> pairs;
};

// Records kept in one cache directory (beyond it the least recently used go, the records of
// catalogues under kCheapCatalogue members first: those are swept again in moments, and a station's
// large catalogue must not lose its record to a few small scans).
constexpr int kMaxCatalogueRecords = 8;
constexpr std::uint64_t kCheapCatalogue = 256;

// The version of the relation rules this build applies (relatives.cpp).
std::uint64_t RelationRulesVersion();
// The record file of a catalogue (members ascending, each once) in a cache directory; "" for no
// directory or an unknown build.
std::string CatalogueRecordName(const std::string& directory, const std::vector<std::uint64_t>& members,
                                double blocksPerSecond);
// Reads a record: false when there is none, it is not exactly what WriteCatalogueRecord writes,
// or its rules or build are not this build's.
bool ReadCatalogueRecord(const std::string& name, CatalogueRecord& record);
// Writes a record whole or not at all (temporary file and rename), making its directory.
bool WriteCatalogueRecord(const std::string& name, const CatalogueRecord& record);
// The record in the directory, other than `except`, that shares most members with these (members
// ascending), estimated from the records' samples; "" when none shares any.
std::string NearestCatalogueRecord(const std::string& directory, const std::vector<std::uint64_t>& members,
                                   double blocksPerSecond, const std::string& except);
// Marks a record as just used; false when it is gone.
bool TouchCatalogueRecord(const std::string& name);
// Removes the records of the record's folder beyond kMaxCatalogueRecords (small catalogues' first,
// then the least recently used), temporary files left by writers that stopped over an hour ago,
// and the cache layouts of earlier builds beside the folder.
void TrimCatalogueRecords(const std::string& name);

}  // namespace spdet

#endif
