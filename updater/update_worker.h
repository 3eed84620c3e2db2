// The update run on the worker thread.
//
// UpdateWorker either swaps a staged installation into place (a replace
// request) or runs DoUpdate (a normal or staged update), then writes the final
// text of update.status and asks the progress window to quit. It reads the
// state of updater/state.h, which the entry filled before starting the thread,
// and sets gUpdateSucceeded on success.
#ifndef VLM_UPDATER_UPDATE_WORKER_H_
#define VLM_UPDATER_UPDATE_WORKER_H_

// Thread body: no argument, no result.
void UpdateWorker();

// Opens <patch dir>/update.upq, copies the installation into the working
// directory in a staged update, applies the manifest and removes the scratch
// directory. 0 or the first failure's code.
[[nodiscard]] int DoUpdate();

// The replace request: installation -> "<install>.bak", its "updated"
// directory -> installation, old installation removed; moved back on failure.
// 0 or the code of the failed move.
[[nodiscard]] int DoReplaceRequest();

#endif  // VLM_UPDATER_UPDATE_WORKER_H_
