// The store in an SQLite file (through SQLite's C library).
#ifndef SIGPAT_STORE_SQLITE_STORE_H
#define SIGPAT_STORE_SQLITE_STORE_H

#include <memory>
#include <string>

#include "store.h"

namespace sigpat::store {

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, const StoreOptions& options);

}  // namespace sigpat::store

#endif
