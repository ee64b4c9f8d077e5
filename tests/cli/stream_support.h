// Live streams for the monitor tests: a program in the background, stream_server.py on
// 127.0.0.1, JSON status lines and waiting for a condition.
#ifndef SIGPAT_TEST_STREAM_SUPPORT_H
#define SIGPAT_TEST_STREAM_SUPPORT_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "sigpat_runner.h"

namespace streamtest {

using nlohmann::json;

inline double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

// "2026-12-06T21:57:18.123Z" -> seconds since 1970.
inline double ParseUtc(const std::string& text) {
  std::tm tm{};
  int ms = 0;
  EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &ms),
            7)
      << text;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<double>(timegm(&tm)) + ms / 1000.0;
}

inline std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) lines.push_back(json::parse(l));
  return lines;
}

inline std::vector<json> Events(const std::vector<json>& status, const std::string& event, const std::string& station = "") {
  std::vector<json> found;
  for (const auto& j : status)
    if (j.value("event", "") == event && (station.empty() || j.value("station", "") == station)) found.push_back(j);
  return found;
}

// Polls until the condition holds; false after `seconds`.
inline bool WaitFor(const std::function<bool()>& condition, double seconds) {
  for (const double end = Now() + seconds; Now() < end;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  return condition();
}

// A program running in the background, its output in files.
class Background {
 public:
  Background(const std::string& command, std::string out, std::string err) : out_(std::move(out)), err_(std::move(err)) {
    pid_ = fork();
    if (pid_ == 0) {
      const std::string shell = "exec " + command + " >" + out_ + " 2>" + err_ + " </dev/null";
      execl("/bin/sh", "sh", "-c", shell.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Background() {
    if (pid_ > 0) Kill(SIGKILL);
  }
  void Signal(int signal) const { kill(pid_, signal); }
  // Exit status (128 + signal when killed); -1 after `seconds` without an exit.
  int Wait(double seconds) {
    int raw = 0;
    for (const double end = Now() + seconds; Now() < end;) {
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  int Kill(int signal) {
    Signal(signal);
    return Wait(10);
  }
  std::string out() const { return ReadText(out_); }
  std::string err() const { return ReadText(err_); }

 private:
  pid_t pid_ = -1;
  std::string out_, err_;
};

// stream_server.py on 127.0.0.1 serving a directory; restartable on the same port.
class Server {
 public:
  Server(std::string dir, std::string portFile, double rate)
      : dir_(std::move(dir)), portFile_(std::move(portFile)), rate_(rate) {
    Start(0);
  }
  void Start(int port) {
    std::filesystem::remove(portFile_);
    process_ = std::make_unique<Background>(std::string(PYTHON3_EXE) + " " + STREAM_SERVER + " " + dir_ + " " +
                                                portFile_ + " --port " + std::to_string(port) + " --rate " +
                                                std::to_string(rate_),
                                            "/dev/null", portFile_ + ".err");
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(portFile_); }, 10)) << ReadText(portFile_ + ".err");
    port_ = std::stoi(ReadText(portFile_));
  }
  void Kill() { process_.reset(); }
  void Restart() { Start(port_); }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }
  // The times the live streams started, in order.
  std::vector<double> StreamStarts() const {
    std::vector<double> t;
    std::istringstream in(ReadText(portFile_ + ".log"));
    for (std::string l; std::getline(in, l);) t.push_back(std::stod(l));
    return t;
  }

 private:
  std::string dir_, portFile_;
  double rate_;
  int port_ = 0;
  std::unique_ptr<Background> process_;
};

}  // namespace streamtest

#endif
