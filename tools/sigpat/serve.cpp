// sigpat serve: the dashboard's web server over a detections store (server/dashboard.h).
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "dashboard.h"
#include "messages.h"
#include "signals.h"
#include "store.h"

namespace sigpat {

int RunServe(const ServeArgs& args) {
  server::DashboardOptions options;
  options.db = args.db;
  options.listen = args.listen;
  options.evidenceDir = args.evidenceDir;
  const bool url = store::IsPostgresUrl(args.db);
  struct stat st{};
  if (!url && stat(args.db.c_str(), &st) != 0) throw Error(args.db + ": no such store (run scan or monitor with --db first)");
  if (!args.evidenceDir.empty() && (stat(args.evidenceDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    throw Error(args.evidenceDir + ": no such evidence directory");
  try {
    if (!args.tokenFile.empty()) options.token = server::ReadTokenFile(args.tokenFile);
    server::Dashboard dashboard(options);
    const int port = dashboard.Bind();
    std::string host, error;
    int unused = 0;
    server::ParseListen(args.listen, host, unused, error);
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    {
      std::lock_guard<std::mutex> lock(OutputLock());
      std::printf("sigpat: serving %s on http://%s:%d/\n", args.db.c_str(), host.c_str(), port);
      std::fflush(stdout);
    }
    // Signals only raise a flag: a watcher stops the server when one came.
    bool done = false;
    std::thread watcher([&] {
      while (!StopRequested() && !__atomic_load_n(&done, __ATOMIC_ACQUIRE))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      dashboard.Stop();
    });
    dashboard.Run();
    __atomic_store_n(&done, true, __ATOMIC_RELEASE);
    watcher.join();
  } catch (const std::runtime_error& e) {
    throw Error(e.what());
  }
  return kExitOk;
}

}  // namespace sigpat
