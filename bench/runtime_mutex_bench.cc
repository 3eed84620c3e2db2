// MutexImpl against a plain pthread_mutex_t and std::mutex: a lock/unlock
// pair uncontended (CPU time), and with two threads contending for the same
// lock (wall time).
#include <pthread.h>

#include <mutex>
#include <thread>

#include "bench/runtime_bench_table.h"
#include "vlm/mutex.h"

namespace {

vellum::detail::MutexImpl gOurs;
pthread_mutex_t gPlain = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t gAdaptive;
std::mutex gStd;
volatile long gCounter;

template <typename Lock, typename Unlock>
void Loop(long n, Lock lock, Unlock unlock) {
  for (long i = 0; i < n; ++i) {
    lock();
    gCounter = gCounter + 1;
    unlock();
  }
}

// One thread: its CPU time.
template <typename Lock, typename Unlock>
double Pairs(long n, Lock lock, Unlock unlock) {
  double start = vlm_bench::CpuNanos();
  Loop(n, lock, unlock);
  return vlm_bench::CpuNanos() - start;
}

// Two threads each do n pairs: the wall time, per pair (2n pairs).
template <typename Lock, typename Unlock>
double ContendedPairs(long n, Lock lock, Unlock unlock) {
  double start = vlm_bench::NowNanos();
  std::thread other([&] { Loop(n, lock, unlock); });
  Loop(n, lock, unlock);
  other.join();
  return (vlm_bench::NowNanos() - start) / 2;
}

auto kOursLock = [] { gOurs.lock(); };
auto kOursUnlock = [] { gOurs.unlock(); };
auto kPlainLock = [] { pthread_mutex_lock(&gPlain); };
auto kPlainUnlock = [] { pthread_mutex_unlock(&gPlain); };
auto kAdaptiveLock = [] { pthread_mutex_lock(&gAdaptive); };
auto kAdaptiveUnlock = [] { pthread_mutex_unlock(&gAdaptive); };
auto kStdLock = [] { gStd.lock(); };
auto kStdUnlock = [] { gStd.unlock(); };

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 15;
  long iterations = argc > 2 ? atol(argv[2]) : 200000;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&gAdaptive, &attr);
  pthread_mutexattr_destroy(&attr);

  std::vector<vlm_bench::Case> cases = {
      {"lock+unlock, 1 thread",
       {{"MutexImpl", [](long n) { return Pairs(n, kOursLock, kOursUnlock); }},
        {"pthread(adaptive)", [](long n) { return Pairs(n, kAdaptiveLock, kAdaptiveUnlock); }},
        {"pthread(default)", [](long n) { return Pairs(n, kPlainLock, kPlainUnlock); }},
        {"std::mutex", [](long n) { return Pairs(n, kStdLock, kStdUnlock); }}}},
      {"lock+unlock, 2 threads",
       {{"MutexImpl", [](long n) { return ContendedPairs(n, kOursLock, kOursUnlock); }},
        {"pthread(adaptive)",
         [](long n) { return ContendedPairs(n, kAdaptiveLock, kAdaptiveUnlock); }},
        {"pthread(default)", [](long n) { return ContendedPairs(n, kPlainLock, kPlainUnlock); }},
        {"std::mutex", [](long n) { return ContendedPairs(n, kStdLock, kStdUnlock); }}}},
  };
  vlm_bench::RunTable("mutex", "ns", cases, rounds, iterations);
  return 0;
}
