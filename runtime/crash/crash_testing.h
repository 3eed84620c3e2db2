// Test support for crash paths: runs code in a death-test child, catches each
// crash it causes and reports it on standard error as one line
//   crash: signal=11 addr=0 reason=<gVlmCrashReason or <null>> line=<value>
// where `line` is the value the crash primitive stored at address zero, read
// back from the faulting instruction. Tests match these lines with
// EXPECT_EXIT(..., testing::ExitedWithCode(0), regex).
#ifndef VLM_RUNTIME_CRASH_CRASH_TESTING_H_
#define VLM_RUNTIME_CRASH_CRASH_TESTING_H_

#include <functional>
#include <initializer_list>

namespace vellum::testing {

// Runs each step in turn; a step that crashes is reported and the next one
// runs. Then ends the process with status 0. Crash state is never reset, so
// later steps see what earlier crashes left behind.
[[noreturn]] void ReportCrashesAndExit(std::initializer_list<std::function<void()>> steps);

}  // namespace vellum::testing

// In a GoogleTest body: the sanitizers report the crash primitive's store to address zero
// before it faults: crash paths are checked in the ordinary build.
#ifdef VLM_SANITIZED_BUILD
#define SKIP_CRASH_TESTS_UNDER_SANITIZERS() \
  GTEST_SKIP() << "crash paths are checked in the ordinary build"
#else
#define SKIP_CRASH_TESTS_UNDER_SANITIZERS() \
  do {                                      \
  } while (0)
#endif

#endif  // VLM_RUNTIME_CRASH_CRASH_TESTING_H_
