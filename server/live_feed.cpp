// One poller, many waiting clients (live_feed.h).
#include "live_feed.h"

namespace sigpat::server {

LiveFeed::LiveFeed(Poll poll, std::chrono::milliseconds period, std::size_t keep)
    : poll_(std::move(poll)), period_(period), keep_(keep) {}

LiveFeed::~LiveFeed() { Stop(); }

void LiveFeed::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void LiveFeed::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LiveFeed::Publish(std::vector<std::string> messages) {
  if (messages.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::string& m : messages) ring_.push_back(std::move(m));
    while (ring_.size() > keep_) {
      ring_.pop_front();
      ++first_;
    }
  }
  changed_.notify_all();
}

std::uint64_t LiveFeed::Newest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_ + ring_.size() - 1;
}

std::vector<std::string> LiveFeed::Wait(std::uint64_t& seq, std::chrono::milliseconds timeout, bool& stopped) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return stopping_ || first_ + ring_.size() - 1 > seq; });
  stopped = stopping_;
  std::vector<std::string> out;
  if (seq + 1 < first_) {
    out.push_back("event: reset\ndata: {}\n\n");
    seq = first_ - 1;
  }
  for (std::uint64_t s = seq + 1; s < first_ + ring_.size(); ++s) out.push_back(ring_[s - first_]);
  seq = first_ + ring_.size() - 1;
  return out;
}

void LiveFeed::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    Publish(poll_());
    lock.lock();
    changed_.wait_for(lock, period_, [&] { return stopping_; });
  }
}

}  // namespace sigpat::server
