#include <signal.h>

#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "runtime/crash/crash_internal.h"
#include "runtime/crash/crash_testing.h"

namespace vellum {
namespace {

using ::testing::ExitedWithCode;
using ::testing::KilledBySignal;
using vellum::testing::ReportCrashesAndExit;

// The real thing, uncaught: a segmentation fault at address zero.
TEST(CrashDeathTest, DiesBySegmentationFault) {
  EXPECT_EXIT(VLM_CrashOOL(7, "VLM_CRASH(test)"), KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(FaultWithLine(1), KilledBySignal(SIGSEGV), "");
}

TEST(CrashDeathTest, ReasonAndLineValue) {
  struct Case {
    int line;
    std::function<void()> crash;
    const char* expected;  // regex on standard error
  } cases[] = {
      {__LINE__, [] { VLM_CrashOOL(1234, "VLM_RELEASE_ASSERT(r == 0)"); },
       "crash: signal=11 addr=0 reason=VLM_RELEASE_ASSERT\\(r == 0\\) line=1234\n"},
      {__LINE__, [] { VLM_CrashPrintf(77, "bad %s %d", "value", 5); },
       "crash: signal=11 addr=0 reason=bad value 5 line=77\n"},
      {__LINE__, [] { FaultWithLine(-5); }, "crash: signal=11 addr=0 reason=<null> line=-5\n"},
      {__LINE__, [] { CrashPlain(); }, "crash: signal=11 addr=0 reason=VLM_CRASH\\(\\) line=9\n"},
      {__LINE__, [] { vlmalloc_abort("out of chunks"); },
       "^out of chunks\ncrash: signal=11 addr=0 reason=VLM_CRASH\\(\\) line=33\n"},
      // The process's abort, reached through the C library's declaration.
      {__LINE__, [] { std::abort(); },
       "^Redirecting call to abort\\(\\) to vlmalloc_abort\n\n"
       "crash: signal=11 addr=0 reason=VLM_CRASH\\(\\) line=33\n$"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EXIT(ReportCrashesAndExit({c.crash}), ExitedWithCode(0), c.expected);
  }
}

TEST(CrashDeathTest, PrintfReasonLimit) {
  // 1023 characters fit the 1024-byte buffer; 1024 do not and leave the
  // reason unset, crashing with line value 58 instead.
  EXPECT_EXIT(
      ReportCrashesAndExit({[] { VLM_CrashPrintf(5, "%s", std::string(1023, 'x').c_str()); }}),
      ExitedWithCode(0), "reason=x{1023} line=5\n");
  EXPECT_EXIT(
      ReportCrashesAndExit({[] { VLM_CrashPrintf(5, "%s", std::string(1024, 'x').c_str()); }}),
      ExitedWithCode(0), "reason=<null> line=58\n");
}

// Only the first caller of VLM_CrashPrintf formats: any later one (another
// thread while the first is still formatting) crashes with its own line value
// and leaves the first reason in place.
TEST(CrashDeathTest, LaterPrintfCrashKeepsFirstReason) {
  EXPECT_EXIT(ReportCrashesAndExit({
                  [] { VLM_CrashPrintf(10, "first %d", 1); },
                  [] { VLM_CrashPrintf(20, "second %d", 2); },
              }),
              ExitedWithCode(0),
              "reason=first 1 line=10\ncrash: signal=11 addr=0 reason=first 1 line=20\n");
  EXPECT_EXIT(ReportCrashesAndExit({
                  [] { VLM_CrashPrintf(10, "%s", std::string(2000, 'y').c_str()); },
                  [] { VLM_CrashPrintf(20, "second"); },
              }),
              ExitedWithCode(0), "reason=<null> line=58\n.*reason=<null> line=20\n");
}

}  // namespace
}  // namespace vellum
