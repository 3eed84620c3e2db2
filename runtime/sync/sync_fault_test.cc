// Every POSIX call of the mutex and condition variable is wrapped (see
// CMakeLists.txt); an armed wrapper fails its call once, in a death-test
// child, and the test checks the crash reason, the line value and, for the
// mutex, the perror line.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <limits>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/crash/crash_testing.h"
#include "vlm/mutex.h"

namespace {

const char* gFailCall = "";
int gFailCode = 0;
timespec gFakeNow;  // used when gFailCall is "clock_gettime value"

bool Armed(const char* name) { return strcmp(gFailCall, name) == 0; }

}  // namespace

#define WRAP(name, params, args)                  \
  extern "C" int __real_##name params;            \
  extern "C" int __wrap_##name params {           \
    if (Armed(#name)) return gFailCode;           \
    return __real_##name args;                    \
  }

WRAP(pthread_mutexattr_init, (pthread_mutexattr_t * a), (a))
WRAP(pthread_mutexattr_settype, (pthread_mutexattr_t * a, int t), (a, t))
WRAP(pthread_mutex_init, (pthread_mutex_t * m, const pthread_mutexattr_t* a), (m, a))
WRAP(pthread_mutexattr_destroy, (pthread_mutexattr_t * a), (a))
WRAP(pthread_mutex_destroy, (pthread_mutex_t * m), (m))
WRAP(pthread_mutex_lock, (pthread_mutex_t * m), (m))
WRAP(pthread_mutex_unlock, (pthread_mutex_t * m), (m))
WRAP(pthread_condattr_init, (pthread_condattr_t * a), (a))
WRAP(pthread_condattr_setclock, (pthread_condattr_t * a, clockid_t c), (a, c))
WRAP(pthread_cond_init, (pthread_cond_t * c, const pthread_condattr_t* a), (c, a))
WRAP(pthread_condattr_destroy, (pthread_condattr_t * a), (a))
WRAP(pthread_cond_destroy, (pthread_cond_t * c), (c))
WRAP(pthread_cond_signal, (pthread_cond_t * c), (c))
WRAP(pthread_cond_broadcast, (pthread_cond_t * c), (c))
WRAP(pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))

// With gFakeNow in use the deadline is recorded and the wait times out.
timespec gLastDeadline;
extern "C" int __real_pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m,
                                             const struct timespec* t);
extern "C" int __wrap_pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m,
                                             const struct timespec* t) {
  if (Armed("pthread_cond_timedwait")) return gFailCode;
  if (Armed("clock_gettime value")) {
    gLastDeadline = *t;
    return ETIMEDOUT;
  }
  return __real_pthread_cond_timedwait(c, m, t);
}

extern "C" int __real_clock_gettime(clockid_t clock, struct timespec* ts);
extern "C" int __wrap_clock_gettime(clockid_t clock, struct timespec* ts) {
  if (Armed("clock_gettime")) return -1;
  if (Armed("clock_gettime value")) {
    *ts = gFakeNow;
    return 0;
  }
  return __real_clock_gettime(clock, ts);
}

namespace vellum {
namespace {

using detail::ConditionVariableImpl;
using detail::MutexImpl;

void Arm(const char* name, int code = EINVAL) {
  gFailCode = code;
  gFailCall = name;
}

// Objects whose destructors must not run after a failed operation returned
// (it never does; the storage keeps the compiler quiet about that).
template <typename T>
T* Make() {
  alignas(T) static unsigned char storage[sizeof(T)];
  return new (storage) T;
}

struct Case {
  int source_line;
  const char* call;  // the wrapped call that fails
  std::function<void()> operation;
  const char* reason;
  int line;
  bool prints;  // the mutex prints the message with perror first
};

const char* const kInvalid = "Invalid argument";

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case at line " << c.source_line << ": " << c.call);
    std::string expected;
    if (c.prints) {
      // The reason is "VLM_CRASH(" message ")".
      std::string message(c.reason + 10, strlen(c.reason) - 11);
      expected = message + ": " + kInvalid + "\n";
    }
    expected += std::string("crash: signal=11 addr=0 reason=") + c.reason +
                " line=" + std::to_string(c.line) + "\n";
    EXPECT_EXIT(vellum::testing::ReportCrashesAndExit({c.operation}),
                ::testing::ExitedWithCode(0), ::testing::HasSubstr(expected));
  }
}

TEST(SyncFaultDeathTest, MutexCallsThatFailCrash) {
  SKIP_CRASH_TESTS_UNDER_SANITIZERS();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* p = "VLM_CRASH(vellum::detail::MutexImpl::";
  std::string r[7] = {
      std::string(p) + "MutexImpl: pthread_mutexattr_init failed)",
      std::string(p) + "MutexImpl: pthread_mutexattr_settype failed)",
      std::string(p) + "MutexImpl: pthread_mutex_init failed)",
      std::string(p) + "MutexImpl: pthread_mutexattr_destroy failed)",
      std::string(p) + "~MutexImpl: pthread_mutex_destroy failed)",
      std::string(p) + "lock: pthread_mutex_lock failed)",
      std::string(p) + "unlock: pthread_mutex_unlock failed)",
  };
  auto construct = [](const char* call) {
    return [call] {
      Arm(call);
      Make<MutexImpl>();
    };
  };
  RunCases({
      {__LINE__, "pthread_mutexattr_init", construct("pthread_mutexattr_init"), r[0].c_str(), 49, true},
      {__LINE__, "pthread_mutexattr_settype", construct("pthread_mutexattr_settype"), r[1].c_str(), 52, true},
      {__LINE__, "pthread_mutex_init", construct("pthread_mutex_init"), r[2].c_str(), 57, true},
      {__LINE__, "pthread_mutexattr_destroy", construct("pthread_mutexattr_destroy"), r[3].c_str(), 61, true},
      {__LINE__, "pthread_mutex_destroy",
       [] {
         MutexImpl* m = Make<MutexImpl>();
         Arm("pthread_mutex_destroy");
         m->~MutexImpl();
       },
       r[4].c_str(), 68, true},
      {__LINE__, "pthread_mutex_lock",
       [] {
         MutexImpl* m = Make<MutexImpl>();
         Arm("pthread_mutex_lock");
         m->lock();
       },
       r[5].c_str(), 75, true},
      {__LINE__, "pthread_mutex_unlock",
       [] {
         MutexImpl* m = Make<MutexImpl>();
         m->lock();
         Arm("pthread_mutex_unlock");
         m->unlock();
       },
       r[6].c_str(), 82, true},
  });
}

// Runs `op` on a fresh condition variable with its mutex locked; `arm` runs
// just before it.
std::function<void()> OnLockedCondition(std::function<void()> arm,
                                        std::function<void(ConditionVariableImpl*, MutexImpl*)> op) {
  return [arm, op] {
    MutexImpl* m = Make<MutexImpl>();
    ConditionVariableImpl* cv = Make<ConditionVariableImpl>();
    m->lock();
    arm();
    op(cv, m);
  };
}

std::function<void()> ArmCall(const char* name) {
  return [name] { Arm(name); };
}

std::function<void()> ArmNow(int64_t sec, long nsec) {
  return [sec, nsec] {
    gFakeNow.tv_sec = sec;
    gFakeNow.tv_nsec = nsec;
    Arm("clock_gettime value");
  };
}

TEST(SyncFaultDeathTest, ConditionVariableCallsThatFailCrash) {
  SKIP_CRASH_TESTS_UNDER_SANITIZERS();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto construct = [](const char* call) {
    return [call] {
      Arm(call);
      Make<ConditionVariableImpl>();
    };
  };
  auto wait_for = [](int64_t ticks) {
    return [ticks](ConditionVariableImpl* cv, MutexImpl* m) {
      cv->wait_for(*m, TimeDuration::FromTicks(ticks));
    };
  };
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  RunCases({
      {__LINE__, "pthread_condattr_init", construct("pthread_condattr_init"), "VLM_RELEASE_ASSERT(!r0)", 76, false},
      {__LINE__, "pthread_condattr_setclock", construct("pthread_condattr_setclock"), "VLM_RELEASE_ASSERT(!r1)", 79, false},
      {__LINE__, "pthread_cond_init", construct("pthread_cond_init"), "VLM_RELEASE_ASSERT(!r2)", 82, false},
      {__LINE__, "pthread_condattr_destroy", construct("pthread_condattr_destroy"), "VLM_RELEASE_ASSERT(!r3)", 85, false},
      {__LINE__, "pthread_cond_destroy",
       OnLockedCondition(ArmCall("pthread_cond_destroy"),
                         [](ConditionVariableImpl* cv, MutexImpl*) { cv->~ConditionVariableImpl(); }),
       "VLM_RELEASE_ASSERT(r == 0)", 95, false},
      {__LINE__, "pthread_cond_signal",
       OnLockedCondition(ArmCall("pthread_cond_signal"),
                         [](ConditionVariableImpl* cv, MutexImpl*) { cv->notify_one(); }),
       "VLM_RELEASE_ASSERT(r == 0)", 102, false},
      {__LINE__, "pthread_cond_broadcast",
       OnLockedCondition(ArmCall("pthread_cond_broadcast"),
                         [](ConditionVariableImpl* cv, MutexImpl*) { cv->notify_all(); }),
       "VLM_RELEASE_ASSERT(r == 0)", 109, false},
      {__LINE__, "pthread_cond_wait",
       OnLockedCondition(ArmCall("pthread_cond_wait"),
                         [](ConditionVariableImpl* cv, MutexImpl* m) { cv->wait(*m); }),
       "VLM_RELEASE_ASSERT(r == 0)", 119, false},
      // The forever duration waits like wait.
      {__LINE__, "pthread_cond_wait (forever)",
       OnLockedCondition(ArmCall("pthread_cond_wait"), wait_for(kMax)),
       "VLM_RELEASE_ASSERT(r == 0)", 119, false},
      {__LINE__, "pthread_cond_timedwait",
       OnLockedCondition(ArmCall("pthread_cond_timedwait"), wait_for(1000)),
       "VLM_RELEASE_ASSERT(r == 110)", 163, false},
      {__LINE__, "clock_gettime",
       OnLockedCondition(ArmCall("clock_gettime"), wait_for(1000)),
       "VLM_RELEASE_ASSERT(!r)", 148, false},
      {__LINE__, "clock_gettime (bad nanoseconds)",
       OnLockedCondition(ArmNow(5, 1000000000), wait_for(1000)),
       "VLM_RELEASE_ASSERT(lhs->tv_nsec < NanoSecPerSec)", 44, false},
      // Overflow in the addition of the whole seconds ...
      {__LINE__, "clock_gettime (seconds overflow)",
       OnLockedCondition(ArmNow(kMax, 0), wait_for(1000000000)),
       "VLM_RELEASE_ASSERT(sec.isValid())", 59, false},
      // ... and in the carry from the nanoseconds.
      {__LINE__, "clock_gettime (carry overflow)",
       OnLockedCondition(ArmNow(kMax, 999999999), wait_for(500000000)),
       "VLM_RELEASE_ASSERT(sec.isValid())", 59, false},
  });
}

// The deadline handed to pthread_cond_timedwait: now plus the duration, with
// the nanosecond carry.
TEST(SyncFaultTest, DeadlineIsNowPlusTheDuration) {
  struct Case {
    int64_t now_sec;
    long now_nsec;
    int64_t ticks;
    int64_t sec;
    long nsec;
  } cases[] = {
      {100, 0, 0, 100, 0},
      {100, 500, -7, 100, 500},  // negative: zero time
      {100, 999999999, 1, 101, 0},  // carry
      {100, 600000000, 1500000000, 102, 100000000},
      {0, 0, 3000000000, 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ticks);
    MutexImpl m;
    ConditionVariableImpl cv;
    m.lock();
    gFakeNow.tv_sec = c.now_sec;
    gFakeNow.tv_nsec = c.now_nsec;
    Arm("clock_gettime value");
    EXPECT_EQ(cv.wait_for(m, TimeDuration::FromTicks(c.ticks)), WaitResult::TimedOut);
    Arm("");
    m.unlock();
    EXPECT_EQ(gLastDeadline.tv_sec, c.sec);
    EXPECT_EQ(gLastDeadline.tv_nsec, c.nsec);
  }
}

}  // namespace
}  // namespace vellum
