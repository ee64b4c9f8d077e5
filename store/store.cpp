// OpenStore and the detection key, common to both databases.
#include "store.h"

#include "content_hash.h"
#include "sqlite_store.h"
#ifdef SP_STORE_WITH_POSTGRES
#include "postgres_store.h"
#endif

namespace sigpat::store {

bool IsPostgresUrl(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> OpenStore(const std::string& where) { return OpenStore(where, StoreOptions{}); }

std::unique_ptr<Store> OpenStore(const std::string& where, const StoreOptions& options) {
  if (where.empty()) throw StoreError("no database given (a file name or a postgresql:// URL)");
  if (IsPostgresUrl(where)) {
#ifdef SP_STORE_WITH_POSTGRES
    return OpenPostgresStore(where, options);
#else
    throw StoreError("this sigpat was built without PostgreSQL (libpq)");
#endif
  }
  return OpenSqliteStore(where, options);
}

std::string DetectionKey(const DetectionRow& d) {
  // Each field with its length in front, so that no two different detections spell the same.
  std::string text;
  const auto add = [&text](const std::string& field) { text += std::to_string(field.size()) + ":" + field + ";"; };
  add(d.station);
  add(d.patternHash);
  if (d.beginUtc) add("utc-ms " + std::to_string((*d.beginUtc >= 0 ? *d.beginUtc + 500 : *d.beginUtc - 500) / 1000));
  else add("sample " + std::to_string(d.beginSample));
  return Sha256Hex(text);
}

}  // namespace sigpat::store
