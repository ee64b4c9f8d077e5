#include "stop_signals.h"

#include <csignal>

namespace sigpat {

namespace {

volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t reloadRequests = 0;

extern "C" void OnSignal(int signal) {
  if (signal == SIGHUP) {
    reloadRequests = 1;
  } else if (stopSignal == 0) {
    stopSignal = signal;
  }
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking wait returns early
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int StopSignal() { return stopSignal; }

bool TakeReloadRequest() {
  if (reloadRequests == 0) return false;
  reloadRequests = 0;
  return true;
}

int ExitStatusForSignal(int signal) { return 128 + signal; }

}  // namespace sigpat
