#include "runtime/testing/crash_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "runtime/crash/crash_internal.h"

extern "C" {
[[noreturn]] void __real__ZN6vellum13FaultWithLineEi(int line);

[[noreturn]] void __wrap__ZN6vellum13FaultWithLineEi(int line) {
  char text[1200];
  int n = snprintf(text, sizeof(text), "crash line=%d reason=%s\n", line,
                   gVlmCrashReason ? gVlmCrashReason : "(unset)");
  if (n > 0) {
    size_t length = static_cast<size_t>(n) < sizeof(text)
                        ? static_cast<size_t>(n) : sizeof(text) - 1;
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
  }
  __real__ZN6vellum13FaultWithLineEi(line);
}
}

namespace vellum::crash_capture {

std::string EscapeRegex(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (strchr(".[]{}()\\*+?^$|", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

std::string CrashLine(int line, const char* reason) {
  return EscapeRegex("crash line=" + std::to_string(line) +
                     " reason=" + (reason ? reason : "(unset)") + "\n");
}

}  // namespace vellum::crash_capture
