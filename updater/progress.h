// Progress reporting between the worker thread and the progress window.
//
// The worker stores the progress (a percentage) and the quit request; the
// window's timer on the main thread reads them. One writer each, so relaxed
// atomics suffice.
#ifndef VLM_UPDATER_PROGRESS_H_
#define VLM_UPDATER_PROGRESS_H_

#include <atomic>

extern std::atomic<float> gProgress;
extern std::atomic<bool> gQuitRequested;

// Stores the progress value (0 to 100). Called from the worker thread.
void UpdateProgressUI(float percent);
// Asks the progress window to close. Called from the worker thread.
void QuitProgressUI();

// The window itself (GTK; see progress_ui.cc).
int InitProgressUI(int* argc, char*** argv);
int ShowProgressUI();

#endif  // VLM_UPDATER_PROGRESS_H_
