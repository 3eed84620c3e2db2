// The updater's process-wide state and the status file writer.
//
// The entry fills the state from the command line before the worker thread
// starts; afterwards it is only read, except gUpdateSucceeded (written by the
// worker, read by the main thread after joining it).
#ifndef VLM_UPDATER_STATE_H_
#define VLM_UPDATER_STATE_H_

#include "updater/result.h"

extern char gPatchDir[kMaxPath];
extern char gInstallDir[kMaxPath];
extern char gWorkingDir[kMaxPath];
extern bool gStagedUpdate;
extern bool gReplaceRequest;
extern bool gUpdateSucceeded;

// The directory whose files the manifest actions change: gWorkingDir in a
// staged update, else gInstallDir.
const char* GetTargetDir();

// Replaces the content of "<gPatchDir>/update.status" with `status` (no line
// end added). Returns true when the whole text was written. Logs nothing.
bool SetUpdateStatus(const char* status);

#endif  // VLM_UPDATER_STATE_H_
