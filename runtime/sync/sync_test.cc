#include <signal.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/sync/label_scope.h"
#include "runtime/crash/crash_testing.h"
#include "vlm/mutex.h"

namespace vellum {
namespace {

using detail::ConditionVariableImpl;
using detail::MutexImpl;

int64_t MonotonicNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

TEST(MutexTest, SerialisesThreads) {
  MutexImpl mutex;
  int64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        mutex.lock();
        ++counter;
        mutex.unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(MutexDeathTest, DestroyingALockedMutexCrashes) {
  SKIP_CRASH_TESTS_UNDER_SANITIZERS();
  // The C library refuses to destroy a locked mutex with EBUSY.
  EXPECT_EXIT(vellum::testing::ReportCrashesAndExit({[] {
                alignas(MutexImpl) unsigned char storage[sizeof(MutexImpl)];
                MutexImpl* mutex = new (storage) MutexImpl;
                mutex->lock();
                mutex->~MutexImpl();
              }}),
              ::testing::ExitedWithCode(0),
              ::testing::HasSubstr(
                  "vellum::detail::MutexImpl::~MutexImpl: pthread_mutex_destroy failed: "
                  "Device or resource busy\n"
                  "crash: signal=11 addr=0 reason=VLM_CRASH(vellum::detail::MutexImpl::"
                  "~MutexImpl: pthread_mutex_destroy failed) line=68\n"));
}

// wait_for with durations that are over before the wait starts.
TEST(ConditionVariableTest, NonPositiveDurationsTimeOutAtOnce) {
  MutexImpl mutex;
  ConditionVariableImpl cv;
  for (int64_t ticks : {int64_t{0}, int64_t{-1}, int64_t{-5000000000},
                        std::numeric_limits<int64_t>::min()}) {
    SCOPED_TRACE(ticks);
    mutex.lock();
    int64_t start = MonotonicNanos();
    EXPECT_EQ(cv.wait_for(mutex, TimeDuration::FromTicks(ticks)), WaitResult::TimedOut);
    EXPECT_LT(MonotonicNanos() - start, 5000000000);  // generous: the machine may be busy
    mutex.unlock();
  }
}

TEST(ConditionVariableTest, TimedWaitLastsAtLeastTheDuration) {
  MutexImpl mutex;
  ConditionVariableImpl cv;
  // 30 ms; also a duration with whole seconds and a fraction would be too
  // slow for a unit test, the arithmetic is covered in the fault test.
  mutex.lock();
  int64_t start = MonotonicNanos();
  WaitResult result;
  do {
    result = cv.wait_for(mutex, TimeDuration::FromTicks(30000000));
  } while (result == WaitResult::Woken);  // spurious wake-ups
  EXPECT_GE(MonotonicNanos() - start, 30000000);
  mutex.unlock();
}

// A waiter with the forever duration is woken by notify and never times out;
// notify_all wakes every waiter, notify_one at least one.
TEST(ConditionVariableTest, NotifyWakesWaiters) {
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "notify_all" : "notify_one");
    MutexImpl mutex;
    ConditionVariableImpl cv;
    int generation = 0;
    std::atomic<int> waiting{0};
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&] {
        mutex.lock();
        int seen = generation;
        ++waiting;
        while (generation == seen) {
          EXPECT_EQ(cv.wait_for(mutex, TimeDuration::Forever()), WaitResult::Woken);
        }
        ++woken;
        mutex.unlock();
      });
    }
    while (waiting.load() < 3) std::this_thread::yield();
    mutex.lock();
    ++generation;
    mutex.unlock();
    if (all) {
      cv.notify_all();
    } else {
      // One at a time, until every waiter has been released.
      while (woken.load() < 3) {
        cv.notify_one();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(woken.load(), 3);
  }
}

TEST(ConditionVariableTest, TimedWaitIsWokenBeforeItsDeadline) {
  MutexImpl mutex;
  ConditionVariableImpl cv;
  bool ready = false;
  std::thread notifier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    mutex.lock();
    ready = true;
    cv.notify_one();
    mutex.unlock();
  });
  mutex.lock();
  int64_t start = MonotonicNanos();
  while (!ready) {
    // 60 seconds: only a missed wake-up would let this time out.
    ASSERT_EQ(cv.wait_for(mutex, TimeDuration::FromTicks(60000000000)), WaitResult::Woken);
  }
  EXPECT_LT(MonotonicNanos() - start, 30000000000);
  mutex.unlock();
  notifier.join();
}

struct LabelCalls {
  const char* label = nullptr;
  const char* dynamic_string = nullptr;
  void* address = nullptr;
  uint32_t line = 0;
  PseudoStack* exited = nullptr;
  int enters = 0;
  int exits = 0;
};
LabelCalls gLabelCalls;
PseudoStack* gEnterResult = nullptr;

PseudoStack* RecordEnter(const char* label, const char* dynamic_string, void* address,
                         uint32_t line) {
  gLabelCalls.label = label;
  gLabelCalls.dynamic_string = dynamic_string;
  gLabelCalls.address = address;
  gLabelCalls.line = line;
  ++gLabelCalls.enters;
  return gEnterResult;
}

void RecordExit(PseudoStack* stack) {
  gLabelCalls.exited = stack;
  ++gLabelCalls.exits;
}

TEST(LabelScopeTest, CallsTheRegisteredCallbacks) {
  PseudoStack* fake_stack = reinterpret_cast<PseudoStack*>(0x1230);
  struct Case {
    bool registered;
    PseudoStack* enter_result;
    int enters, exits;
  } cases[] = {
      {false, fake_stack, 0, 0},  // nothing registered: nothing is called
      {true, fake_stack, 1, 1},
      {true, nullptr, 1, 0},  // a null stack is not handed to exit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registered);
    gLabelCalls = LabelCalls();
    gEnterResult = c.enter_result;
    if (c.registered) {
      RegisterProfilerLabelEnterExit(RecordEnter, RecordExit);
    } else {
      RegisterProfilerLabelEnterExit(nullptr, nullptr);
    }
    void* address;
    {
      LabelScope scope("label", "dynamic", 42);
      address = &scope;
      EXPECT_EQ(scope.stack(), c.registered ? c.enter_result : nullptr);
      EXPECT_EQ(gLabelCalls.exits, 0);
    }
    EXPECT_EQ(gLabelCalls.enters, c.enters);
    EXPECT_EQ(gLabelCalls.exits, c.exits);
    if (c.enters) {
      EXPECT_STREQ(gLabelCalls.label, "label");
      EXPECT_STREQ(gLabelCalls.dynamic_string, "dynamic");
      EXPECT_EQ(gLabelCalls.address, address);
      EXPECT_EQ(gLabelCalls.line, 42u);
    }
    if (c.exits) {
      EXPECT_EQ(gLabelCalls.exited, c.enter_result);
    }
  }
  RegisterProfilerLabelEnterExit(nullptr, nullptr);
}

}  // namespace
}  // namespace vellum
