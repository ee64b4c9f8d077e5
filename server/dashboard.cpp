// The dashboard's web server (dashboard.h) on cpp-httplib.
#include "dashboard.h"

#include <httplib.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "api.h"
#include "live_feed.h"
#include "page_files.h"

namespace sigpat::server {

using nlohmann::json;

namespace {

const char kCookie[] = "sigpat_token";

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

bool SameText(const std::string& a, const std::string& b) {  // without an early exit
  unsigned diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i % (b.size() + 1)]);
  return diff == 0;
}

std::string CookieValue(const httplib::Request& req, const std::string& name) {
  const std::string cookies = req.get_header_value("Cookie");
  std::size_t at = 0;
  while (at < cookies.size()) {
    std::size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string part = cookies.substr(at, end - at);
    std::size_t b = part.find_first_not_of(' ');
    if (b != std::string::npos) part = part.substr(b);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
      return part.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

const char* MimeOf(const std::string& name) {
  auto ends = [&](const char* ext) { return name.ends_with(ext); };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".opus") || ends(".ogg") || ends(".oga")) return "audio/ogg";
  if (ends(".mp3")) return "audio/mpeg";
  if (ends(".flac")) return "audio/flac";
  if (ends(".wav")) return "audio/wav";
  return "application/octet-stream";
}

// The login form: the only page served without the token.
std::string LoginPage(bool wrong) {
  return std::string(
             "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>sigpat: log in</title>"
             "<style>body{font-family:sans-serif;max-width:22em;margin:4em auto;padding:0 1em}"
             "input{font-size:1em;width:100%;box-sizing:border-box;margin:.3em 0;padding:.4em}"
             ".bad{color:#b00}</style></head><body><h1>sigpat dashboard</h1>") +
         (wrong ? "<p class=\"bad\" id=\"login-error\">That token is not right.</p>" : "") +
         "<form method=\"post\" action=\"/login\" id=\"login\"><label for=\"token\">Access token</label>"
         "<input type=\"password\" name=\"token\" id=\"token\" autocomplete=\"current-password\" autofocus>"
         "<input type=\"submit\" value=\"Log in\"></form></body></html>";
}

void SecurityHeaders(httplib::Response& res) {
  res.set_header("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' data:; media-src 'self'; style-src 'self' 'unsafe-inline'; "
                 "script-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", "no-store");
}

void JsonReply(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, "application/json; charset=utf-8");
}

// The evidence file a request names, inside the evidence directory: "" when the name is not a
// plain relative path (absolute, "..", ".", empty parts, backslashes, NUL) or leads out of the
// directory through a link.
std::string EvidencePath(const std::string& dir, const std::string& name, std::string& why) {
  if (name.empty() || name.front() == '/' || name.find('\\') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    why = "not a relative file name";
    return "";
  }
  std::size_t at = 0;
  while (at <= name.size()) {
    std::size_t end = name.find('/', at);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") {
      why = "a path with empty, \".\" or \"..\" parts";
      return "";
    }
    at = end + 1;
  }
  char base[PATH_MAX], full[PATH_MAX];
  if (!realpath(dir.c_str(), base) || !realpath((dir + "/" + name).c_str(), full)) {
    why = "no such evidence file";
    return "";
  }
  const std::string b = std::string(base) + "/", f = full;
  struct stat st{};
  if (f.compare(0, b.size(), b) != 0 || stat(full, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "no such evidence file";
    return "";
  }
  return f;
}

}  // namespace

bool ParseListen(const std::string& text, std::string& host, int& port, std::string& error) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    error = "--listen must be HOST:PORT (e.g. 127.0.0.1:8080), not \"" + text + "\"";
    return false;
  }
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string portText = text.substr(colon + 1);
  char* end = nullptr;
  long p = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end != '\0' || p < 0 || p > 65535 || host.empty()) {
    error = "--listen must be HOST:PORT with a port from 0 to 65535, not \"" + text + "\"";
    return false;
  }
  port = static_cast<int>(p);
  return true;
}

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

std::string ReadTokenFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": cannot read the token file");
  std::string line;
  std::getline(in, line);
  const std::size_t b = line.find_first_not_of(" \t\r"), e = line.find_last_not_of(" \t\r");
  line = b == std::string::npos ? "" : line.substr(b, e - b + 1);
  if (line.size() < 8) throw std::runtime_error(path + ": the token (first line) must have at least 8 characters");
  for (char c : line)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("-._~+/=").find(c) == std::string::npos)
      throw std::runtime_error(path + ": the token may hold letters, digits and - . _ ~ + / = only");
  return line;
}

struct Dashboard::Impl {
  DashboardOptions options;
  std::string host;
  int port = 0;
  StoreAccess access;
  Api api;
  httplib::Server http;
  std::unique_ptr<LiveFeed> feed;
  // The live feed's position in the store, and whether the store answered the last poll.
  std::int64_t lastDetection = -1, lastEvent = -1;
  int storeUp = -1;
  // Run and Stop from different threads: Stop before Run makes Run return at once.
  std::mutex runMutex;
  bool stopped = false;
  std::atomic<int> runState{0};  // 0 not run, 1 running (or about to), 2 returned

  explicit Impl(DashboardOptions o) : options(std::move(o)), access(options.db), api(access) {}

  bool Authorized(const httplib::Request& req) const {
    if (options.token.empty()) return true;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.starts_with("Bearer ") && SameText(auth.substr(7), options.token)) return true;
    const std::string cookie = CookieValue(req, kCookie);
    return !cookie.empty() && SameText(cookie, options.token);
  }

  std::vector<std::string> Poll() {
    std::vector<std::string> out;
    try {
      access.With([&](store::Store& s) {
        if (lastDetection < 0) {
          store::DetectionFilter newest;
          newest.limit = 1;
          auto rows = s.DetectionsById(newest, true, 0);
          lastDetection = rows.empty() ? 0 : rows.front().id;
          lastEvent = 0;
          for (const auto& e : s.LastEventPerStation()) lastEvent = std::max(lastEvent, e.id);
        }
        store::DetectionFilter f;
        f.afterId = lastDetection;
        f.limit = 500;
        for (const auto& d : s.DetectionsById(f, false, 0)) {
          out.push_back("event: detection\ndata: " + Dump(api.DetectionJson(d, s)) + "\n\n");
          lastDetection = std::max(lastDetection, d.id);
        }
        for (const auto& e : s.EventsAfter(lastEvent, 500)) {
          out.push_back("event: station\ndata: " + Dump(api.EventJson(e)) + "\n\n");
          lastEvent = std::max(lastEvent, e.id);
        }
      });
      if (storeUp != 1) out.insert(out.begin(), "event: store\ndata: {\"ok\":true}\n\n");
      storeUp = 1;
    } catch (const std::exception& e) {
      if (storeUp != 0)
        out.push_back("event: store\ndata: " + Dump(json{{"ok", false}, {"error", std::string("the store is not available: ") + e.what()}}) + "\n\n");
      storeUp = 0;
    }
    return out;
  }

  void Routes() {
    const int threads = options.threads;
    http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http.set_keep_alive_timeout(30);
    http.set_tcp_nodelay(true);  // replies are written whole: no wait for the client's delayed ACK
    http.set_read_timeout(10);
    http.set_write_timeout(10);

    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      SecurityHeaders(res);
      if (req.path == "/login" || Authorized(req)) return httplib::Server::HandlerResponse::Unhandled;
      if (req.path.starts_with("/api/")) {
        res.set_header("WWW-Authenticate", "Bearer");
        JsonReply(res, 401, ErrorBody("a token is required: send \"Authorization: Bearer TOKEN\""));
      } else {
        res.status = 401;
        res.set_content(LoginPage(false), "text/html; charset=utf-8");
      }
      return httplib::Server::HandlerResponse::Handled;
    });

    http.Post("/login", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string given = req.has_param("token") ? req.get_param_value("token") : "";
      if (options.token.empty() || !SameText(given, options.token)) {
        res.status = options.token.empty() ? 404 : 401;
        res.set_content(LoginPage(!options.token.empty()), "text/html; charset=utf-8");
        return;
      }
      res.set_header("Set-Cookie", std::string(kCookie) + "=" + options.token + "; Path=/; HttpOnly; SameSite=Strict");
      res.set_redirect("/", 303);
    });
    http.Get("/login", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(LoginPage(false), "text/html; charset=utf-8");
    });

    // The page.
    http.Get(R"(/([A-Za-z0-9_.-]*))", [](const httplib::Request& req, httplib::Response& res) {
      std::string name = req.matches[1];
      if (name.empty()) name = "index.html";
      for (const PageFile& f : PageFiles())
        if (name == f.name) {
          res.set_content(f.data, f.size, MimeOf(name));
          return;
        }
      res.status = 404;
      res.set_content("not found", "text/plain");
    });

    http.Get(R"(/api/evidence/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
      if (options.evidenceDir.empty()) return JsonReply(res, 404, ErrorBody("no evidence directory was given (--evidence)"));
      std::string why;
      const std::string path = EvidencePath(options.evidenceDir, req.matches[1], why);
      if (path.empty()) return JsonReply(res, why == "no such evidence file" ? 404 : 400, ErrorBody("evidence: " + why));
      auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
      struct stat st{};
      if (!*file || stat(path.c_str(), &st) != 0) return JsonReply(res, 404, ErrorBody("evidence: no such evidence file"));
      res.set_header("Accept-Ranges", "bytes");
      res.set_content_provider(static_cast<std::size_t>(st.st_size), MimeOf(path),
                               [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 char buf[65536];
                                 file->clear();
                                 file->seekg(static_cast<std::streamoff>(offset));
                                 while (length > 0) {
                                   file->read(buf, static_cast<std::streamsize>(std::min(length, sizeof buf)));
                                   const std::size_t n = static_cast<std::size_t>(file->gcount());
                                   if (n == 0 || !sink.write(buf, n)) return false;
                                   length -= n;
                                 }
                                 return true;
                               });
    });

    http.Get("/api/live", [this](const httplib::Request&, httplib::Response& res) {
      auto seq = std::make_shared<std::uint64_t>(feed->Newest());
      auto first = std::make_shared<bool>(true);
      feed->ClientJoined();
      res.set_header("X-Accel-Buffering", "no");
      res.set_chunked_content_provider(
          "text/event-stream",
          [this, seq, first](std::size_t, httplib::DataSink& sink) {
            if (*first) {  // at once, so that the client knows it is connected
              *first = false;
              return sink.write("retry: 2000\n\n", 13);
            }
            std::string chunk;
            bool stopped = false;
            for (const std::string& m : feed->Wait(*seq, std::chrono::seconds(15), stopped)) chunk += m;
            if (stopped) return false;
            if (chunk.empty()) chunk = ": keep-alive\n\n";
            return sink.write(chunk.data(), chunk.size());
          },
          [this](bool) { feed->ClientLeft(); });
    });

    http.set_payload_max_length(16 << 20);  // schedules of a few hundred thousand bookings
    http.Post("/api/reconcile", [this](const httplib::Request& req, httplib::Response& res) {
      ApiResponse r = api.PostReconcile(req.body, req.params);
      JsonReply(res, r.status, r.body);
    });

    http.Get(R"(/api/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
      ApiResponse r = api.Get(req.matches[1], req.params);
      JsonReply(res, r.status, r.body);
    });

    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (res.body.empty() && req.path.starts_with("/api/"))
        JsonReply(res, res.status, ErrorBody(res.status == 404 ? "no such API call: " + req.path : "request refused"));
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
      JsonReply(res, 500, ErrorBody("internal error"));
    });
  }
};

Dashboard::Dashboard(DashboardOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  std::string error;
  if (!ParseListen(impl_->options.listen, impl_->host, impl_->port, error)) throw std::runtime_error(error);
  if (!IsLoopback(impl_->host) && impl_->options.token.empty())
    throw std::runtime_error("--listen " + impl_->options.listen +
                             ": listening beyond this machine needs a token (--token-file)");
  impl_->feed = std::make_unique<LiveFeed>([this] { return impl_->Poll(); }, impl_->options.poll);
  impl_->Routes();
}

Dashboard::~Dashboard() { Stop(); }

int Dashboard::Bind() {
  int port = impl_->port;
  if (port == 0) {
    port = impl_->http.bind_to_any_port(impl_->host);
    if (port < 0) throw std::runtime_error("--listen " + impl_->options.listen + ": cannot listen there");
  } else if (!impl_->http.bind_to_port(impl_->host, port)) {
    throw std::runtime_error("--listen " + impl_->options.listen + ": cannot listen there (in use, or not an address of this machine)");
  }
  impl_->feed->Start();
  return port;
}

void Dashboard::Run() {
  {
    std::lock_guard<std::mutex> lock(impl_->runMutex);
    if (impl_->stopped) return;
    impl_->runState = 1;
  }
  impl_->http.listen_after_bind();
  impl_->runState = 2;
}

void Dashboard::Stop() {
  if (!impl_) return;
  int state;
  {
    std::lock_guard<std::mutex> lock(impl_->runMutex);
    impl_->stopped = true;
    state = impl_->runState;
  }
  impl_->feed->Stop();
  // A Run that has begun may not be listening yet: the server can only be stopped once it is.
  if (state == 1)
    while (!impl_->http.is_running() && impl_->runState != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  impl_->http.stop();
}

}  // namespace sigpat::server
