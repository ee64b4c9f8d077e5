// The local spool of a PostgreSQL store: rows that could not be written while the server was
// unreachable, one JSON object a line, appended and fsync'd before the write returns; replayed
// (every row carries what makes a second write change nothing) and emptied once the server is
// back. Processes sharing a spool take turns under an flock.
#ifndef SIGPAT_STORE_SPOOL_H
#define SIGPAT_STORE_SPOOL_H

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store.h"

namespace sigpat::store {

class Spool {
 public:
  explicit Spool(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  // Appends one row and syncs it to disk; throws StoreError naming the spool.
  void Append(const nlohmann::json& row);
  // Gives every whole row to `apply` in order, in runs of rows of one "kind" of at most `batch`
  // rows each (a run can be written in one transaction), then empties the spool; a run `apply`
  // throws on stops it there (the spool is kept whole: every row carries what makes a second
  // write change nothing). Returns the rows given.
  std::size_t Replay(std::size_t batch, const std::function<void(const std::vector<nlohmann::json>&)>& apply);
  // Rows waiting.
  std::size_t Count() const;

  // The spool of a database when none is chosen: in the cache directory (SIGNALPATTERN_CACHE,
  // else $XDG_CACHE_HOME/signalpattern, else ~/.cache/signalpattern), named after it.
  static std::string DefaultPath(const std::string& database);

 private:
  std::string path_;
};

nlohmann::json ToJson(const DetectionRow& d);
DetectionRow DetectionFromJson(const nlohmann::json& j);

}  // namespace sigpat::store

#endif
