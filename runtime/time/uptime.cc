// The process's age, from the kernel's records of start times.
//
// A freshly created thread's start time is recorded by the kernel in the same
// clock-tick units as the process's own start time, so the difference of the
// two is the process's age without mixing clocks.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "runtime/time/time_internal.h"
#include "vlm/crash.h"

namespace vellum {
namespace time_internal {

const char* gProcSelfDir = "/proc/self";

uint64_t ReadStartTime(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return 0;
  char text[512];
  size_t length = fread(text, 1, sizeof(text) - 1, file);
  fclose(file);
  if (length == 0) return 0;
  text[length] = '\0';

  // The command name may itself hold parentheses and blanks: it ends at the
  // last ")".
  const char* name_end = strrchr(text, ')');
  if (name_end == nullptr) return 0;
  // After ") " come the state letter and eighteen numbers; the start time is
  // the twentieth value after the name.
  if (name_end[1] == '\0') return 0;
  unsigned long long start = 0;
  if (sscanf(name_end + 2,
             "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d "
             "%*d %*d %*d %llu",
             &start) != 1) {
    return 0;
  }
  return start;
}

}  // namespace time_internal

namespace {

void* UptimeThread(void* arg) {
  uint64_t* result = static_cast<uint64_t*>(arg);
  *result = 0;
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) return nullptr;

  char task_path[40];
  snprintf(task_path, sizeof(task_path), "%s/task/%d/stat", time_internal::gProcSelfDir,
           static_cast<int>(syscall(SYS_gettid)));
  task_path[sizeof(task_path) - 1] = '\0';
  char process_path[40];
  snprintf(process_path, sizeof(process_path), "%s/stat", time_internal::gProcSelfDir);
  process_path[sizeof(process_path) - 1] = '\0';

  uint64_t thread_start = time_internal::ReadStartTime(task_path);
  uint64_t process_start = time_internal::ReadStartTime(process_path);
  if (thread_start != 0 && process_start != 0) {
    *result = (thread_start - process_start) * 1000000000ull / static_cast<uint64_t>(hz);
  }
  return nullptr;
}

}  // namespace

uint64_t TimeStamp::ComputeProcessUptime() {
  uint64_t nanoseconds = 0;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, UptimeThread, &nanoseconds) != 0) {
    VLM_CrashOOL(295, "VLM_CRASH(Failed to create process uptime thread.)");
  }
  pthread_join(thread, nullptr);
  return nanoseconds / 1000;
}

}  // namespace vellum
