// --on-event CMD: the user's command run for each health event of the monitor, the event's JSON
// line on its standard input. The command line is the user's own (run by /bin/sh -c); the
// event's data never enters it, only its standard input; its standard output goes to standard
// error, away from the detections. Runs on a thread of its own, one
// command at a time, from a bounded queue: a slow or failing command never holds recognition up.
// What goes wrong is reported through `problem` (a command that failed, was killed after the
// time limit, or events dropped while the queue was full) and is never fatal.
#ifndef SIGPAT_EVENT_HOOK_H
#define SIGPAT_EVENT_HOOK_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sigpat {

// The status events that run the hook: the stream's health, not the routine ones.
bool IsHealthEvent(const std::string& event);

class EventHook {
 public:
  using Problem = std::function<void(const std::string& event, const std::string& error)>;
  EventHook(std::string command, double timeoutSeconds, Problem problem);
  ~EventHook();  // runs what is queued within one time limit in all, then stops
  EventHook(const EventHook&) = delete;
  EventHook& operator=(const EventHook&) = delete;

  // Queues the event (its name and its JSON line); never waits.
  void Post(const std::string& event, const std::string& json);

  static constexpr std::size_t kMaxQueued = 256;

 private:
  void Work();
  // Runs the command once with json on its standard input; "" or what went wrong.
  std::string Run(const std::string& json);

  std::string command_;
  double timeout_;
  Problem problem_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::string, std::string>> queue_;
  std::size_t dropped_ = 0;
  bool closing_ = false;
  double closedAt_ = -1.0;
  std::thread thread_;
};

}  // namespace sigpat

#endif
