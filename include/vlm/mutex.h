// Mutexes, condition variables and the profiler's label callbacks.
//
// MutexImpl and ConditionVariableImpl are thin wrappers over POSIX threads
// with one policy: a thread call that fails is never tolerated. It ends the
// process with a crash whose reason names the failing call (see crash.h), so
// none of these operations reports an error to its caller. Condition variable
// time-outs are measured on the monotonic clock, so changes of the wall clock
// neither shorten nor lengthen a wait. Nothing here allocates. The objects
// add no locking of their own; they are what threads synchronise with.
#ifndef VLM_MUTEX_H_
#define VLM_MUTEX_H_

#include <pthread.h>
#include <stdint.h>

#include "vlm/time_stamp.h"

// The profiler's per-thread label stack (owned by the profiler).
class PseudoStack;

namespace vellum {

// Called when a label scope is entered: label text, dynamic text, the scope's
// own address and its line number; returns the stack the label went onto.
using ProfilerLabelEnter = PseudoStack* (*)(const char* label,
                                            const char* dynamic_string,
                                            void* scope_address, uint32_t line);
// Called when the scope ends, with what the enter callback returned.
using ProfilerLabelExit = void (*)(PseudoStack* stack);

// Stores both callbacks, replacing earlier ones (null removes them). Plain
// stores: register before labels are used.
void RegisterProfilerLabelEnterExit(ProfilerLabelEnter enter,
                                    ProfilerLabelExit exit);

// The result of a timed wait. Woken does not mean the condition was
// signalled: spurious wake-ups are passed on.
enum class WaitResult : int { Woken = 0, TimedOut = 1 };

namespace detail {

class ConditionVariableImpl;

// An adaptive (briefly spinning) non-recursive POSIX mutex.
class MutexImpl {
 public:
  MutexImpl();
  ~MutexImpl();
  MutexImpl(const MutexImpl&) = delete;
  MutexImpl& operator=(const MutexImpl&) = delete;

  void lock();
  void unlock();

 private:
  friend class ConditionVariableImpl;
  pthread_mutex_t* platformData() { return &platform_data_; }

  pthread_mutex_t platform_data_;
};

// A POSIX condition variable on CLOCK_MONOTONIC. wait and wait_for must be
// called with `lock` held by the calling thread and return with it held.
class ConditionVariableImpl {
 public:
  ConditionVariableImpl();
  ~ConditionVariableImpl();
  ConditionVariableImpl(const ConditionVariableImpl&) = delete;
  ConditionVariableImpl& operator=(const ConditionVariableImpl&) = delete;

  void notify_one();
  void notify_all();
  void wait(MutexImpl& lock);
  // Waits at most `rel_time` (TimeDuration::Forever() waits like wait; zero
  // or negative durations time out at once unless already signalled).
  WaitResult wait_for(MutexImpl& lock, const TimeDuration& rel_time);

 private:
  pthread_cond_t platform_data_;
};

}  // namespace detail
}  // namespace vellum

#endif  // VLM_MUTEX_H_
