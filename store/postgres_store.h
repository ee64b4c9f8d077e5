// The store in a PostgreSQL database (through libpq), with a local spool for the time the
// server cannot be reached.
#ifndef SIGPAT_STORE_POSTGRES_STORE_H
#define SIGPAT_STORE_POSTGRES_STORE_H

#include <memory>
#include <string>

#include "store.h"

namespace sigpat::store {

// Connects (the server must be reachable now), migrates the schema and writes what a spool
// left by an earlier run holds.
std::unique_ptr<Store> OpenPostgresStore(const std::string& url, const StoreOptions& options);
// The URL without its password, for messages.
std::string UrlWithoutPassword(const std::string& url);

}  // namespace sigpat::store

#endif
