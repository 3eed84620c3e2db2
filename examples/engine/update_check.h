// The example engine's update check: an update that was downloaded into the
// installation's patch directory (updates/0, with update.status "pending") is
// applied by starting the updater and leaving, so the updater can change the
// installation and start the browser again.
#ifndef VLM_EXAMPLES_ENGINE_UPDATE_CHECK_H_
#define VLM_EXAMPLES_ENGINE_UPDATE_CHECK_H_

// Reports on a finished update, or starts the updater for a pending one.
// Returns true when the updater was started and the engine should exit now.
// `say` prints one line of the engine's output.
bool StartPendingUpdate(int argc, char** argv, void (*say)(const char* format, ...));

#endif  // VLM_EXAMPLES_ENGINE_UPDATE_CHECK_H_
