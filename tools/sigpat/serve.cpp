// sigpat serve: the dashboard's web server over a detections store (server/dashboard.h).
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "dashboard.h"
#include "messages.h"
#include "signals.h"
#include "store.h"

namespace sigpat {

namespace {

// The server's options from the command line, checked; the dashboard bound and its address
// printed. Throws Error.
std::unique_ptr<server::Dashboard> OpenDashboard(const ServeArgs& args) {
  server::DashboardOptions options;
  options.db = args.db;
  options.listen = args.listen;
  options.evidenceDir = args.evidenceDir;
  struct stat st{};
  if (!store::IsPostgresUrl(args.db) && stat(args.db.c_str(), &st) != 0)
    throw Error(args.db + ": no such store (run scan or monitor with --db first)");
  if (!args.evidenceDir.empty() && (stat(args.evidenceDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    throw Error(args.evidenceDir + ": no such evidence directory");
  try {
    if (!args.tokenFile.empty()) options.token = server::ReadTokenFile(args.tokenFile);
    auto dashboard = std::make_unique<server::Dashboard>(options);
    const int port = dashboard->Bind();
    std::string host, error;
    int unused = 0;
    server::ParseListen(args.listen, host, unused, error);
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::lock_guard<std::mutex> lock(OutputLock());
    std::printf("sigpat: serving %s on http://%s:%d/\n", args.db.c_str(), host.c_str(), port);
    std::fflush(stdout);
    return dashboard;
  } catch (const std::runtime_error& e) {
    throw Error(e.what());
  }
}

}  // namespace

int RunServe(const ServeArgs& args) {
  std::unique_ptr<server::Dashboard> dashboard = OpenDashboard(args);
  // Signals only raise a flag: a watcher stops the server when one came.
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!StopRequested() && !done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dashboard->Stop();
  });
  dashboard->Run();
  done = true;
  watcher.join();
  return kExitOk;
}

std::shared_ptr<void> ServeInBackground(const ServeArgs& args) {
  struct Running {
    std::unique_ptr<server::Dashboard> dashboard;
    std::thread thread;
    ~Running() {  // also when opening the dashboard failed
      if (dashboard) dashboard->Stop();
      if (thread.joinable()) thread.join();
    }
  };
  auto running = std::make_shared<Running>();
  running->dashboard = OpenDashboard(args);
  running->thread = std::thread([d = running->dashboard.get()] { d->Run(); });
  return running;
}

}  // namespace sigpat
