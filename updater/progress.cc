// The progress value and quit request shared by the worker and the window.
#include "updater/progress.h"

std::atomic<float> gProgress{0.0f};
std::atomic<bool> gQuitRequested{false};

void UpdateProgressUI(float percent) { gProgress.store(percent, std::memory_order_relaxed); }

void QuitProgressUI() { gQuitRequested.store(true, std::memory_order_relaxed); }
