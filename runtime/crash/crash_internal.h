// The crash primitive behind every crash of the process (not exported).
#ifndef VLM_RUNTIME_CRASH_CRASH_INTERNAL_H_
#define VLM_RUNTIME_CRASH_CRASH_INTERNAL_H_

#include "vlm/crash.h"

namespace vellum {

// Stores `line` at address zero (the resulting fault is the crash), then
// calls abort in case the store returned. Set gVlmCrashReason first.
[[noreturn]] void FaultWithLine(int line);

// Crashes with reason "VLM_CRASH()" and line value 9. For the allocator's
// start-up check of the page size.
[[noreturn]] void CrashPlain();

}  // namespace vellum

#endif  // VLM_RUNTIME_CRASH_CRASH_INTERNAL_H_
