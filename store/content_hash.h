// SHA-256 (Nettle), lower-case hex: what identifies a pattern by its bytes and
// makes detection keys of a fixed length.
#ifndef SIGPAT_STORE_CONTENT_HASH_H
#define SIGPAT_STORE_CONTENT_HASH_H

#include <cstddef>
#include <string>

namespace sigpat::store {

std::string Sha256Hex(const std::string& bytes);
// The SHA-256 of a file's bytes; throws StoreError naming the file when it cannot be read.
std::string HashFile(const std::string& path);
// HashFile, kept in the cache directory (SIGNALPATTERN_CACHE, else $XDG_CACHE_HOME/signalpattern,
// else ~/.cache/signalpattern; "off" for none) under a name made of the file's path, size,
// modification and change times and file number: a pattern set loaded again is not read whole
// again (hashing 200 patterns was nine tenths of what the store added to a scan). A hash is kept
// only for a file unchanged for 2 s, so that a change within the file system's clock step
// cannot hide behind an old entry; a cache that cannot be read or written is no cache. The first
// entry a process writes prunes the cache (PruneHashCache, at most kHashCacheEntries).
std::string HashFileCached(const std::string& path);

// Removes from the cache directory `dir` the entries whose file is gone or no longer has the key
// the entry was made for (other size, times or file number: the file was rewritten, replaced or
// touched), entries of an unknown form, temporary files left for an hour, and beyond `maxEntries`
// the live entries written longest ago. Files not named as entries are left alone.
constexpr std::size_t kHashCacheEntries = 20000;
void PruneHashCache(const std::string& dir, std::size_t maxEntries);

}  // namespace sigpat::store

#endif
