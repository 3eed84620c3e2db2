// ConditionVariableImpl on CLOCK_MONOTONIC. Failing POSIX calls crash with
// the assertion text as the reason; nothing is printed.
#include <errno.h>
#include <stdint.h>
#include <time.h>

#include "vlm/crash.h"
#include "vlm/mutex.h"

namespace vellum::detail {
namespace {

constexpr long kNanoSecPerSec = 1000000000;

void WaitUntilWoken(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  if (pthread_cond_wait(cond, mutex) != 0) VLM_CrashOOL(119, "VLM_RELEASE_ASSERT(r == 0)");
}

// The absolute CLOCK_MONOTONIC deadline `seconds` + `nanoseconds` from now.
timespec DeadlineAfter(int64_t seconds, uint64_t nanoseconds) {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) VLM_CrashOOL(148, "VLM_RELEASE_ASSERT(!r)");
  if (now.tv_nsec >= kNanoSecPerSec) {
    VLM_CrashOOL(44, "VLM_RELEASE_ASSERT(lhs->tv_nsec < NanoSecPerSec)");
  }
  int64_t sec;
  if (__builtin_add_overflow(static_cast<int64_t>(now.tv_sec), seconds, &sec)) {
    VLM_CrashOOL(59, "VLM_RELEASE_ASSERT(sec.isValid())");
  }
  uint64_t nsec = static_cast<uint64_t>(now.tv_nsec) + nanoseconds;
  if (nsec >= static_cast<uint64_t>(kNanoSecPerSec)) {
    nsec -= kNanoSecPerSec;
    if (__builtin_add_overflow(sec, int64_t{1}, &sec)) {
      VLM_CrashOOL(59, "VLM_RELEASE_ASSERT(sec.isValid())");
    }
  }
  timespec deadline;
  deadline.tv_sec = sec;
  deadline.tv_nsec = static_cast<long>(nsec);
  return deadline;
}

}  // namespace

ConditionVariableImpl::ConditionVariableImpl() {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) VLM_CrashOOL(76, "VLM_RELEASE_ASSERT(!r0)");
  if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0) {
    VLM_CrashOOL(79, "VLM_RELEASE_ASSERT(!r1)");
  }
  if (pthread_cond_init(&platform_data_, &attr) != 0) VLM_CrashOOL(82, "VLM_RELEASE_ASSERT(!r2)");
  if (pthread_condattr_destroy(&attr) != 0) VLM_CrashOOL(85, "VLM_RELEASE_ASSERT(!r3)");
}

ConditionVariableImpl::~ConditionVariableImpl() {
  if (pthread_cond_destroy(&platform_data_) != 0) VLM_CrashOOL(95, "VLM_RELEASE_ASSERT(r == 0)");
}

void ConditionVariableImpl::notify_one() {
  if (pthread_cond_signal(&platform_data_) != 0) VLM_CrashOOL(102, "VLM_RELEASE_ASSERT(r == 0)");
}

void ConditionVariableImpl::notify_all() {
  if (pthread_cond_broadcast(&platform_data_) != 0) {
    VLM_CrashOOL(109, "VLM_RELEASE_ASSERT(r == 0)");
  }
}

void ConditionVariableImpl::wait(MutexImpl& lock) {
  WaitUntilWoken(&platform_data_, lock.platformData());
}

WaitResult ConditionVariableImpl::wait_for(MutexImpl& lock, const TimeDuration& rel_time) {
  if (rel_time.IsForever()) {
    WaitUntilWoken(&platform_data_, lock.platformData());
    return WaitResult::Woken;
  }
  int64_t ticks = rel_time.ToTicks();
  if (ticks < 0) ticks = 0;
  // Seconds as a double (what TimeDuration::ToSeconds gives), split into
  // whole seconds and the nanoseconds of the fraction.
  double seconds = static_cast<double>(ticks) / 1e9;
  int64_t whole_seconds = static_cast<int64_t>(seconds);
  uint64_t nanoseconds =
      static_cast<uint64_t>(seconds * 1000.0 * 1000.0 * 1000.0) % kNanoSecPerSec;
  timespec deadline = DeadlineAfter(whole_seconds, nanoseconds);
  int r = pthread_cond_timedwait(&platform_data_, lock.platformData(), &deadline);
  if (r == 0) return WaitResult::Woken;
  if (r == ETIMEDOUT) return WaitResult::TimedOut;
  VLM_CrashOOL(163, "VLM_RELEASE_ASSERT(r == 110)");
}

}  // namespace vellum::detail
