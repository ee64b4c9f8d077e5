// The dashboard's web server: the page (built into the binary), the JSON API under /api/, the
// evidence audio (with range requests, so the browser can seek) and the live event stream
// (/api/live, server-sent events). Read-only over the store.
//
// Without a token it listens on loopback addresses only; with one, every request but the login
// form needs it: "Authorization: Bearer TOKEN" from API clients, or the cookie the login form
// sets (HttpOnly, SameSite=Strict) in the browser.
#ifndef SIGPAT_SERVER_DASHBOARD_H
#define SIGPAT_SERVER_DASHBOARD_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace sigpat::server {

struct DashboardOptions {
  std::string db;                        // the store (SQLite file or postgresql:// URL)
  std::string listen = "127.0.0.1:8080"; // HOST:PORT ([v6]:PORT); port 0 picks a free one
  std::string evidenceDir;               // evidence files' directory ("" none)
  std::string token;                     // "" none (loopback only)
  std::chrono::milliseconds poll{500};   // how often the live feed looks for new rows
  int threads = 256;                     // connections served at once (each live client holds one)
};

// HOST and PORT of a --listen value; false with `error` set when it is not one.
bool ParseListen(const std::string& text, std::string& host, int& port, std::string& error);
bool IsLoopback(const std::string& host);
// The token of a --token-file: its first line without surrounding blanks. Throws
// std::runtime_error naming the file when it cannot be read, is empty or holds characters a
// cookie cannot carry.
std::string ReadTokenFile(const std::string& path);

class Dashboard {
 public:
  // Throws std::runtime_error (the message names the problem) for a listen address that is not
  // loopback without a token.
  explicit Dashboard(DashboardOptions options);
  ~Dashboard();
  Dashboard(const Dashboard&) = delete;
  Dashboard& operator=(const Dashboard&) = delete;

  // Binds the address and starts the live feed; returns the port. Throws std::runtime_error
  // naming the address when it cannot be bound.
  int Bind();
  // Serves until Stop() (from another thread or a signal watcher).
  void Run();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sigpat::server

#endif
