// Signals of long-running commands (monitor): SIGINT and SIGTERM ask for a clean stop, SIGHUP
// for a reload. The handlers only record the signal; the command's main loop polls for it.
#ifndef SIGPAT_STOP_SIGNALS_H
#define SIGPAT_STOP_SIGNALS_H

namespace sigpat {

// Installs the handlers (SIGPIPE is ignored too: a closed output is a write error, not death).
void InstallStopSignals();
// The stop signal received (SIGINT or SIGTERM), 0 while none.
int StopSignal();
// True once after each SIGHUP.
bool TakeReloadRequest();
// The exit status of a process stopped by the signal: 128 + its number (130, 143).
int ExitStatusForSignal(int signal);

}  // namespace sigpat

#endif
