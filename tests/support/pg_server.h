// A PostgreSQL server for a test (tests/support/pg_server.sh): started on a free port of
// 127.0.0.1 as an unprivileged user, stopped and removed with the object. available() is false
// (with the reason) where PostgreSQL is not installed: the test skips.
#ifndef SIGPAT_TEST_PG_SERVER_H
#define SIGPAT_TEST_PG_SERVER_H

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_support.h"

namespace sptest {

class PgServer {
 public:
  // script: the path of pg_server.sh.
  explicit PgServer(std::string script) : script_(std::move(script)) {
    int status = 0;
    url_ = Call("start", &status);
    if (status == 77) reason_ = "PostgreSQL is not installed (apt-get install postgresql): skipped";
    else if (status != 0 || url_.rfind("postgresql://", 0) != 0) reason_ = "the PostgreSQL server did not start: " + url_;
  }
  ~PgServer() { Call("stop"); }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  bool available() const { return reason_.empty(); }
  const std::string& reason() const { return reason_; }
  // A new empty database; its URL.
  std::string CreateDatabase(const std::string& name) { return Call("createdb", nullptr, name); }
  void Kill() { Call("kill"); }  // SIGKILL, as a crash
  bool Restart() {
    int status = 0;
    Call("restart", &status);
    return status == 0;
  }

 private:
  std::string Call(const std::string& command, int* status = nullptr, const std::string& arg = "") {
    const std::string line = "sh " + script_ + " " + command + " " + state_.path() + (arg.empty() ? "" : " " + arg) + " 2>&1";
    std::string out;
    if (std::FILE* p = ::popen(line.c_str(), "r")) {
      char buf[512];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
      const int raw = ::pclose(p);
      if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1;
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  std::string script_;
  TempDir state_;
  std::string url_, reason_;
};

}  // namespace sptest

#endif
