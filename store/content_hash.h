// SHA-256 (Nettle), lower-case hex: what identifies a pattern by its bytes and
// makes detection keys of a fixed length.
#ifndef SIGPAT_STORE_CONTENT_HASH_H
#define SIGPAT_STORE_CONTENT_HASH_H

#include <string>

namespace sigpat::store {

std::string Sha256Hex(const std::string& bytes);
// The SHA-256 of a file's bytes; throws StoreError naming the file when it cannot be read.
std::string HashFile(const std::string& path);

}  // namespace sigpat::store

#endif
