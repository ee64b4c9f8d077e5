#include "signals.h"

#include <signal.h>

#include <csignal>
#include <initializer_list>

namespace sigpat {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;
volatile std::sig_atomic_t g_reloadOnHangup = 0;
volatile std::sig_atomic_t g_reloadRequests = 0;

extern "C" void OnStopSignal(int signal) {
  if (signal == SIGHUP && g_reloadOnHangup != 0) {
    g_reloadRequests = 1;
    return;
  }
  if (g_stopSignal == 0) g_stopSignal = signal;
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGXFSZ, SIG_IGN);
}

int StopSignal() { return static_cast<int>(g_stopSignal); }

int StopStatus(int status) { return g_stopSignal != 0 ? 128 + static_cast<int>(g_stopSignal) : status; }

void RequestStop(int signal) { g_stopSignal = signal; }

void ReloadOnHangup() { g_reloadOnHangup = 1; }

bool TakeReloadRequest() {
  if (g_reloadRequests == 0) return false;
  g_reloadRequests = 0;
  return true;
}

}  // namespace sigpat
