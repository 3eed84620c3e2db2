// The updater's process-wide state and the status file writer.
//
// The entry fills the state from the command line before the worker thread
// starts; afterwards it is only read, except gUpdateSucceeded (written by the
// worker, read by the main thread after joining it).
#ifndef VLM_UPDATER_STATE_H_
#define VLM_UPDATER_STATE_H_

#include <signal.h>

#include "updater/result.h"

extern char gPatchDir[kMaxPath];
extern char gInstallDir[kMaxPath];
extern char gWorkingDir[kMaxPath];
extern bool gStagedUpdate;
extern bool gReplaceRequest;
extern bool gUpdateSucceeded;
// The signal (SIGTERM, SIGHUP or SIGINT) that asked the run to stop, or 0.
// Set by the entry's handler; the run polls it at safe points.
extern volatile sig_atomic_t gStopSignal;

// The directory whose files the manifest actions change: gWorkingDir in a
// staged update, else gInstallDir.
const char* GetTargetDir();

// Replaces the content of "<gPatchDir>/update.status" with `status` (no line
// end added). Returns true when the whole text was written. Logs nothing.
bool SetUpdateStatus(const char* status);

#endif  // VLM_UPDATER_STATE_H_
