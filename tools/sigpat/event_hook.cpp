#include "event_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "wall_clock.h"

namespace sigpat {

bool IsHealthEvent(const std::string& event) {
  return event == "dead_air" || event == "dead_air_end" || event == "no_data" || event == "ended" ||
         event == "disconnected" || event == "gap" || event == "failed" || event == "behind" || event == "dropped";
}

EventHook::EventHook(std::string command, double timeoutSeconds, Problem problem)
    : command_(std::move(command)), timeout_(timeoutSeconds), problem_(std::move(problem)) {
  thread_ = std::thread([this] { Work(); });
}

EventHook::~EventHook() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void EventHook::Post(const std::string& event, const std::string& json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
      ++dropped_;
      return;
    }
    queue_.emplace_back(event, json);
  }
  changed_.notify_all();
}

void EventHook::Work() {
  while (true) {
    std::pair<std::string, std::string> item;
    std::size_t dropped = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      // Stopping: what is queued gets one time limit in all, not one each.
      if (closing_ && closedAt_ < 0.0) closedAt_ = WallClockNow();
      if (closing_ && WallClockNow() - closedAt_ > timeout_) {
        dropped_ += queue_.size();
        queue_.clear();
        lock.unlock();
        if (problem_) problem_("", std::to_string(dropped_) + " events were not given to the command: the monitor stopped");
        return;
      }
      item = std::move(queue_.front());
      queue_.pop_front();
      std::swap(dropped, dropped_);
    }
    if (dropped > 0 && problem_)
      problem_(item.first, std::to_string(dropped) + " events were not given to the command: it fell behind");
    const std::string error = Run(item.second);
    if (!error.empty() && problem_) problem_(item.first, error);
  }
}

std::string EventHook::Run(const std::string& json) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::string("cannot start the command: ") + std::strerror(errno);
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    ::close(in[0]);
    ::close(in[1]);
    return std::string("cannot start the command: ") + std::strerror(err);
  }
  if (pid == 0) {
    // The child: its own process group (so that a command past its time limit goes with what it
    // started), the event on standard input, signals as a new program expects them.
    ::setpgid(0, 0);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);  // what it prints never mixes with the detections
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execl("/bin/sh", "sh", "-c", command_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(in[0]);
  // The line is far smaller than a pipe's buffer: written without waiting (a command that does
  // not read it gets EPIPE, which is no failure of ours).
  const std::string line = json + "\n";
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  [[maybe_unused]] const ssize_t wrote = ::write(in[1], line.data(), line.size());
  ::close(in[1]);
  const double deadline = WallClockNow() + timeout_;
  int raw = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &raw, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return std::string("cannot wait for the command: ") + std::strerror(errno);
    if (WallClockNow() >= deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      char text[96];
      std::snprintf(text, sizeof text, "the command took longer than %g s and was killed", timeout_);
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(raw) && WEXITSTATUS(raw) == 0) return "";
  if (WIFEXITED(raw)) return "the command failed (exit status " + std::to_string(WEXITSTATUS(raw)) + ")";
  return "the command was killed by signal " + std::to_string(WTERMSIG(raw));
}

}  // namespace sigpat
