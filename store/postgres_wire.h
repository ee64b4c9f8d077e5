// libpq's results and parameters as small value types, for the PostgreSQL store.
#ifndef SIGPAT_STORE_POSTGRES_WIRE_H
#define SIGPAT_STORE_POSTGRES_WIRE_H

#include <libpq-fe.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace sigpat::store::pg {

class Result {
 public:
  explicit Result(PGresult* r) : r_(r) {}
  ~Result() { PQclear(r_); }
  Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  int Rows() const { return PQntuples(r_); }
  bool Null(int row, int c) const { return PQgetisnull(r_, row, c) != 0; }
  std::string Text(int row, int c) const { return std::string(PQgetvalue(r_, row, c), static_cast<std::size_t>(PQgetlength(r_, row, c))); }
  std::int64_t Int(int row, int c) const { return std::strtoll(PQgetvalue(r_, row, c), nullptr, 10); }
  double Real(int row, int c) const { return std::strtod(PQgetvalue(r_, row, c), nullptr); }
  std::optional<std::int64_t> OptInt(int row, int c) const {
    if (Null(row, c)) return std::nullopt;
    return Int(row, c);
  }

 private:
  PGresult* r_;
};

// Parameters as text ($1, $2, ...); nullopt is NULL.
class Params {
 public:
  Params& operator<<(const std::string& v) {
    values_.emplace_back(v);
    return *this;
  }
  Params& operator<<(std::int64_t v) { return *this << std::to_string(v); }
  Params& operator<<(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return *this << std::string(buf);
  }
  Params& operator<<(const std::optional<std::int64_t>& v) {
    if (v) return *this << *v;
    values_.emplace_back(std::nullopt);
    return *this;
  }
  int Count() const { return static_cast<int>(values_.size()); }
  std::vector<const char*> Pointers() const {
    std::vector<const char*> p;
    for (const auto& v : values_) p.push_back(v ? v->c_str() : nullptr);
    return p;
  }

 private:
  std::vector<std::optional<std::string>> values_;
};

}  // namespace sigpat::store::pg

#endif
