// OpenStore and the detection key, common to both databases.
#include "store.h"

#include <dlfcn.h>
#include <unistd.h>

#include <vector>

#include "../common/own_directory.h"
#include "content_hash.h"
#include "sqlite_store.h"

namespace sigpat::store {

// The PostgreSQL store, when linked in (its tests, the module itself); else it is loaded from
// the module beside the program on first use, so that a process that does not use PostgreSQL
// does not load libpq and what it pulls in (OpenSSL, Kerberos, LDAP: about 5 ms at every start).
std::unique_ptr<Store> OpenPostgresStore(const std::string& url, const StoreOptions& options) __attribute__((weak));

namespace {

#ifdef SP_STORE_POSTGRES_MODULE
using OpenFunction = Store* (*)(const std::string& url, const StoreOptions& options, std::string& error);

OpenFunction LoadPostgresModule(std::string& problem) {
  static OpenFunction open = nullptr;
  static std::string loadProblem;
  static bool tried = false;
  if (!tried) {
    tried = true;
    const std::string dir = OwnDirectory();
    loadProblem = "the PostgreSQL module " SP_STORE_POSTGRES_MODULE " is not installed beside sigpat";
    for (const std::string& path : {dir + "/" SP_STORE_POSTGRES_MODULE, dir + "/" SP_STORE_POSTGRES_RELDIR "/" SP_STORE_POSTGRES_MODULE}) {
      if (::access(path.c_str(), F_OK) != 0) continue;
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        const char* why = ::dlerror();
        loadProblem = why != nullptr ? why : path + ": cannot be loaded";
        break;
      }
      open = reinterpret_cast<OpenFunction>(::dlsym(handle, "sigpat_store_open_postgres"));
      if (open == nullptr) loadProblem = path + ": is not sigpat's PostgreSQL module";
      break;
    }
  }
  problem = loadProblem;
  return open;
}
#endif

}  // namespace

bool IsPostgresUrl(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> OpenStore(const std::string& where) { return OpenStore(where, StoreOptions{}); }

std::unique_ptr<Store> OpenStore(const std::string& where, const StoreOptions& options) {
  if (where.empty()) throw StoreError("no database given (a file name or a postgresql:// URL)");
  if (IsPostgresUrl(where)) {
    if (OpenPostgresStore != nullptr) return OpenPostgresStore(where, options);
#ifdef SP_STORE_POSTGRES_MODULE
    std::string problem;
    if (OpenFunction open = LoadPostgresModule(problem)) {
      std::string error;
      Store* store = open(where, options, error);
      if (store == nullptr) throw StoreError(error);
      return std::unique_ptr<Store>(store);
    }
    throw StoreError(problem);
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

std::vector<std::int64_t> Store::PutPatterns(const std::vector<PatternRow>& rows) {
  std::vector<std::int64_t> ids;
  for (const PatternRow& p : rows) ids.push_back(PutPattern(p));
  return ids;
}

std::vector<std::int64_t> Store::AddDetections(const std::vector<DetectionRow>& rows) {
  std::vector<std::int64_t> ids;
  for (const DetectionRow& d : rows) ids.push_back(AddDetection(d));
  return ids;
}

}  // namespace sigpat::store
