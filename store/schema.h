// The store's schema, as migration steps: a database records the version it is at
// (schema_version) and each step brings it one version on. The steps are the same for SQLite
// and PostgreSQL up to the spelling of a few types.
#ifndef SIGPAT_STORE_SCHEMA_H
#define SIGPAT_STORE_SCHEMA_H

#include <string>
#include <vector>

namespace sigpat::store {

enum class Dialect { kSqlite, kPostgres };

struct MigrationStep {
  int version;  // the version the database is at after this step
  std::vector<std::string> statements;
};

// Every step, oldest first. A database at a version past the last one was written by a newer
// sigpat and is refused.
std::vector<MigrationStep> Migrations(Dialect dialect);
int SchemaVersion();

}  // namespace sigpat::store

#endif
