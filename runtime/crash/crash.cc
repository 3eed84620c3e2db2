// Crash reporting: the crash primitive and its exported variants (the
// process's own abort is in abort.cc). Nothing here allocates or takes a lock.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/crash/crash_internal.h"

extern "C" {
const char* gVlmCrashReason = nullptr;
}

namespace {

char gCrashPrintfReason[1024];
std::atomic<int> gCrashPrintfBusy{0};


}  // namespace

namespace vellum {

void WriteStderr(const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(STDERR_FILENO, text, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
}

// The store to address zero is the point: sanitizer builds must not replace
// it by their own report.
__attribute__((no_sanitize("undefined", "address"))) void FaultWithLine(int line) {
  // The fault of this store is the crash. The address goes through an empty
  // asm so that the compiler cannot see it is null: a store it knows to hit
  // address zero is undefined, and it would replace the store by a trap that
  // loses the line value. The volatile store cannot be removed or reordered.
  volatile int* zero = nullptr;
  __asm__ volatile("" : "+r"(zero));
  *zero = line;
  abort();
}

void CrashPlain() {
  gVlmCrashReason = "VLM_CRASH()";
  FaultWithLine(9);
}

}  // namespace vellum

extern "C" void VLM_CrashOOL(int line, const char* reason) {
  gVlmCrashReason = reason;
  vellum::FaultWithLine(line);
}

extern "C" void VLM_CrashPrintf(int line, const char* format, ...) {
  int expected = 0;
  if (!gCrashPrintfBusy.compare_exchange_strong(expected, 1)) {
    // Another thread is already crashing and owns the buffer.
    vellum::FaultWithLine(line);
  }
  va_list args;
  va_start(args, format);
  int length = vsnprintf(gCrashPrintfReason, sizeof(gCrashPrintfReason), format, args);
  va_end(args);
  if (static_cast<unsigned>(length) >= sizeof(gCrashPrintfReason)) {
    vellum::FaultWithLine(58);
  }
  gVlmCrashReason = gCrashPrintfReason;
  vellum::FaultWithLine(line);
}

void vlmalloc_abort(const char* message) {
  vellum::WriteStderr(message, strlen(message));
  vellum::WriteStderr("\n", 1);
  gVlmCrashReason = "VLM_CRASH()";
  vellum::FaultWithLine(33);
}
