// Test support: crash reasons and line values for death tests.
//
// A test binary linked with vlm_runtime_crash_capture reaches the crash
// primitive through a wrapper that first writes one line
//   crash line=<line value> reason=<gVlmCrashReason or (unset)>
// to standard error and then crashes for real (SIGSEGV). Calls to the crash
// primitive from inside the crash library itself are not wrapped (they never
// leave its object file), so crashes through vlmalloc_abort show only their
// own message.
#ifndef VLM_RUNTIME_TESTING_CRASH_CAPTURE_H_
#define VLM_RUNTIME_TESTING_CRASH_CAPTURE_H_

#include <string>

namespace vellum::crash_capture {

// The death-test regular expression that matches the wrapper's line for the
// given reason (nullptr: reason unset) and line value.
std::string CrashLine(int line, const char* reason);

// Escapes `text` for a death-test regular expression.
std::string EscapeRegex(const std::string& text);

}  // namespace vellum::crash_capture

#endif  // VLM_RUNTIME_TESTING_CRASH_CAPTURE_H_
