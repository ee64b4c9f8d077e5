// The dashboard's JSON API over the detections store, apart from HTTP: each call takes the
// request's path and query parameters and gives a status and a JSON body, so that the HTTP
// server (http_server.cpp) only routes, authenticates and streams.
#ifndef SIGPAT_SERVER_API_H
#define SIGPAT_SERVER_API_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "store.h"
#include "utc.h"

namespace sigpat::server {

using Query = std::multimap<std::string, std::string>;

struct ApiResponse {
  int status = 200;
  std::string body;  // JSON
};

// A JSON error body: {"error": message}.
std::string ErrorBody(const std::string& message);

// The store, opened on first use and opened again after it failed (a store that is locked or
// unreachable gives 503 until it is back). One request at a time uses it.
class StoreAccess {
 public:
  explicit StoreAccess(std::string where) : where_(std::move(where)) {}
  // Runs f(store) under the lock; StoreError propagates (and the store is reopened next time).
  template <class F>
  auto With(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_) {
      // A request waits a second at most for a database another process holds locked.
      store::StoreOptions options;
      options.waitMilliseconds = 1000;
      store_ = store::OpenStore(where_, options);
    }
    try {
      return f(*store_);
    } catch (const store::StoreError&) {
      store_.reset();
      throw;
    }
  }
  const std::string& Where() const { return where_; }

 private:
  std::string where_;
  std::mutex mutex_;
  std::unique_ptr<store::Store> store_;
};

class Api {
 public:
  explicit Api(StoreAccess& access) : access_(access) {}

  // GET /api/... with path the part after "/api/" ("stations", "detections/12", ...).
  // 400 for bad parameters, 404 for unknown paths and ids, 503 when the store fails.
  ApiResponse Get(const std::string& path, const Query& query);

  // POST /api/reconcile: the body is a schedule (CSV); parameters from, to.
  ApiResponse PostReconcile(const std::string& body, const Query& query);

  // The JSON of a detection as the API and the live stream give it.
  nlohmann::json DetectionJson(const store::DetectionRow& d, store::Store& s);
  nlohmann::json EventJson(const store::StationEventRow& e);

 private:
  nlohmann::json Stations(store::Store& s);
  nlohmann::json Patterns(store::Store& s);
  nlohmann::json Detections(store::Store& s, const Query& q);
  nlohmann::json Events(store::Store& s, const Query& q);
  nlohmann::json Counts(store::Store& s, const Query& q);
  const store::PatternRow* Pattern(store::Store& s, const std::string& hash);

  StoreAccess& access_;
  std::unordered_map<std::string, store::PatternRow> patterns_;  // by content hash
};

// A bad request parameter: the message names the parameter and what is wrong (400).
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Times in the API's parameters are read as the store reads them (store/utc.h).
using store::ParseUtc;
// Microseconds since 1970 as "2026-12-07T10:00:00.250Z" (milliseconds).
std::string FormatUtc(store::UtcMicros t);

// The station health an event leaves: "up", "dead_air", "down" or "" (an event that says
// nothing about it).
std::string HealthAfter(const std::string& event);

}  // namespace sigpat::server

#endif
