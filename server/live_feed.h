// The live event stream's fan-out: one poller reads what is new in the store (detections and
// station events after the last ids seen) every period and keeps the messages in a ring; each
// client of /api/live waits on the ring, so 200 clients cost the store (and a monitor writing
// into it) one query per period, not 200.
#ifndef SIGPAT_SERVER_LIVE_FEED_H
#define SIGPAT_SERVER_LIVE_FEED_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sigpat::server {

class LiveFeed {
 public:
  // poll() gives the new messages (server-sent event blocks, "event: ...\ndata: ...\n\n"); it is
  // called from the feed's own thread every period.
  using Poll = std::function<std::vector<std::string>()>;
  LiveFeed(Poll poll, std::chrono::milliseconds period, std::size_t keep = 2000);
  ~LiveFeed();
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  void Start();
  void Stop();  // wakes every waiting client; Wait then returns at once with stopped set

  // Adds messages without the poller (the monitor's own detections when it runs the server).
  void Publish(std::vector<std::string> messages);

  // The sequence number of the newest message: a new client starts there.
  std::uint64_t Newest();
  // The messages after `seq` (advanced past them), waiting up to `timeout` for one. A client so
  // far behind that the ring has dropped its next message gets a "reset" event first.
  std::vector<std::string> Wait(std::uint64_t& seq, std::chrono::milliseconds timeout, bool& stopped);

  int Clients() const { return clients_; }
  void ClientJoined() { ++clients_; }
  void ClientLeft() { --clients_; }

 private:
  void Run();

  Poll poll_;
  std::chrono::milliseconds period_;
  std::size_t keep_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> ring_;  // messages first_ .. first_ + size - 1
  std::uint64_t first_ = 1;
  bool stopping_ = false;
  std::thread thread_;
  std::atomic<int> clients_{0};
};

}  // namespace sigpat::server

#endif
