// The crash primitive behind every crash of the process (not exported).
#ifndef VLM_RUNTIME_CRASH_CRASH_INTERNAL_H_
#define VLM_RUNTIME_CRASH_CRASH_INTERNAL_H_

#include "vlm/crash.h"

#include <cstddef>

namespace vellum {

// Writes all of `text` to standard error with raw write(2) calls, retrying
// short writes and EINTR; errors are dropped. Allocates nothing: the crash
// path and the allocator's messages use it.
void WriteStderr(const char* text, size_t length);

// Stores `line` at address zero (the resulting fault is the crash), then
// calls abort in case the store returned. Set gVlmCrashReason first.
[[noreturn]] void FaultWithLine(int line);

// Crashes with reason "VLM_CRASH()" and line value 9. For the allocator's
// start-up check of the page size.
[[noreturn]] void CrashPlain();

}  // namespace vellum

#endif  // VLM_RUNTIME_CRASH_CRASH_INTERNAL_H_
