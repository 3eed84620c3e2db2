// The updater's process entry: command-line checks, modes, waiting for the
// process that started it, the worker thread, the window, the log and the
// callback launch.
//
// Usage: updater patch-dir install-dir apply-to-dir
//                [wait-pid [callback-working-dir callback-path args...]]
// wait-pid -1 selects a staged update, a wait-pid containing "/replace" a
// replace request. Returns the exit code (0 when the update succeeded, else
// 1) unless the callback application replaced the process.
#ifndef VLM_UPDATER_ENTRY_H_
#define VLM_UPDATER_ENTRY_H_

int UpdaterMain(int argc, char** argv);

// Blocks until process `pid` has ended. The process that starts the updater
// is usually not its parent, so waitpid fails with ECHILD; then the process is
// polled until it is gone or a zombie, for at most `timeout_ms` (a timeout is
// logged and the run goes on). Returns false on timeout.
bool WaitForProcess(int pid, int timeout_ms);

#endif  // VLM_UPDATER_ENTRY_H_
