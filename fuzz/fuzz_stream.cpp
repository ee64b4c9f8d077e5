// Fuzz target: a network stream as a monitored station reads it: sigpat's FFmpeg input
// (FFmpeg's HTTP client with the ICY headers and in-band metadata of Icecast/SHOUTcast
// servers, the demuxers and decoders, HLS playlists and the stream clock that reads them)
// through the tool's audio input, from a server on 127.0.0.1 that answers with the input.
//
// The input is the server's answers, separated by lines "@@@": the k-th answer (the raw
// response: status line, headers such as icy-metaint, and the body) is what a request for /k
// gets; the stream is /0, playlists name the others. Contract: the stream is refused with the
// tool's error naming the URL, or read to its end (at most about 0.4 s: a live playlist goes
// on), in chunks no larger than asked; the stream clock gives no time or a date; nothing
// crashes, hangs or leaks.
//
// Names are resolved for 127.0.0.1 only, so that no URL the fuzzer writes reaches beyond this
// machine.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_input.h"
#include "messages.h"

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
  using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::strcmp(node, "127.0.0.1") != 0) return EAI_NONAME;
  return real(node, service, hints, res);
}

namespace {

// The answers of the current input, served by a thread that lives as long as the process.
class Server {
 public:
  Server() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      std::abort();
    port_ = ntohs(a.sin_port);
    std::thread([this] { Serve(); }).detach();
  }
  int port() const { return port_; }
  void SetAnswers(std::vector<std::string> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = std::move(answers);
  }

 private:
  void Serve() {
    for (;;) {
      const int c = ::accept(listener_, nullptr, nullptr);
      if (c < 0) continue;
      // The request line, up to the end of the headers (or what came within a second).
      std::string request;
      char buf[2048];
      pollfd p{c, POLLIN, 0};
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && ::poll(&p, 1, 1000) > 0) {
        const ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      std::size_t k = 0;
      const std::size_t path = request.find(" /");
      if (path != std::string::npos) k = std::strtoul(request.c_str() + path + 2, nullptr, 10);
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!answers_.empty()) answer = answers_[k % answers_.size()];
      }
      for (std::size_t at = 0; at < answer.size();) {
        const ssize_t n = ::send(c, answer.data() + at, answer.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::shutdown(c, SHUT_RDWR);
      ::close(c);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> answers_;
};

// Sets the stop flag a while after Arm, like a monitor being stopped.
class Watchdog {
 public:
  Watchdog() {
    std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        if (armed_) {
          if (changed_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_) stop_ = true;
        } else {
          changed_.wait(lock);
        }
      }
    }).detach();
  }
  const std::atomic<bool>* Arm(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
    armed_ = true;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    changed_.notify_all();
    return &stop_;
  }
  void Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::atomic<bool> stop_{false};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Server& server = *new Server;  // never destroyed: its thread runs to the exit
  static Watchdog& watchdog = *new Watchdog;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> answers;
  for (std::size_t at = 0;;) {
    const std::size_t next = text.find("\n@@@\n", at);
    answers.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos || answers.size() == 16) break;
    at = next + 5;
  }
  server.SetAnswers(std::move(answers));

  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/0";
  sigpat::AudioOptions options;
  options.networkTimeout = 2.0;
  const std::atomic<bool>* stop = watchdog.Arm(0.4);
  static const bool verbose = std::getenv("SPFUZZ_VERBOSE") != nullptr;
  try {
    std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(url, options, stop);
    std::vector<std::int16_t> buf(4096);
    std::size_t read = 0;
    for (std::size_t got; read < (1u << 20) && (got = in->Read(buf.data(), buf.size())) > 0; read += got) {
      if (got > buf.size()) std::abort();
      const double clock = in->StreamClock(static_cast<double>(read));
      if (!(clock == -1.0 || (clock >= 0.0 && clock < 253402300799.0 + 3600.0))) std::abort();
      if (verbose) std::printf("%zu samples, clock %.3f\n", read + got, clock);
    }
  } catch (const sigpat::Error& e) {
    if (verbose) std::printf("%s\n", e.what());
    if (std::string(e.what()).rfind(url + ": ", 0) != 0) std::abort();
  }
  watchdog.Disarm();
  return 0;
}
