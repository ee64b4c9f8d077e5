// Stopping sigpat by signal. SIGINT, SIGTERM and SIGHUP only raise a flag: a scan stops reading,
// lets every recognizer finish (candidates still waiting for confirmation are reported),
// writes its last lines whole and exits with 128 + the signal number (130, 143, 129).
// Writes that the file size limit stops (SIGXFSZ) fail with an error instead of killing the
// process, so that they are reported like any other failed write.
#ifndef SIGPAT_SIGNALS_H
#define SIGPAT_SIGNALS_H

namespace sigpat {

// Installs the handlers (without SA_RESTART: a blocking read returns early).
void InstallStopSignals();
// The signal that asked to stop, 0 when none did.
int StopSignal();
inline bool StopRequested() { return StopSignal() != 0; }
// The exit status after a stop: 128 + the signal; status unchanged when no signal came.
int StopStatus(int status);
// Testing aid: raise the flag as a signal would.
void RequestStop(int signal);
// Long-running commands (monitor): from now on SIGHUP asks for a reload instead of a stop.
void ReloadOnHangup();
// True once after each SIGHUP that asked for a reload.
bool TakeReloadRequest();

}  // namespace sigpat

#endif
