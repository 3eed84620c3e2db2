// MutexImpl: every failing POSIX call prints its message with perror and
// crashes with the message as the reason.
#include <errno.h>
#include <stdio.h>

#include "vlm/crash.h"
#include "vlm/mutex.h"

#define MUTEX_PREFIX "vellum::detail::MutexImpl::"

// `message` must be a string literal: the reason is built at compile time.
#define MUTEX_CHECK(call, message, line)            \
  do {                                              \
    int rv_ = (call);                               \
    if (rv_ != 0) {                                 \
      errno = rv_;                                  \
      perror(message);                              \
      VLM_CrashOOL(line, "VLM_CRASH(" message ")"); \
    }                                               \
  } while (0)

namespace vellum::detail {

MutexImpl::MutexImpl() {
  pthread_mutexattr_t attr;
  MUTEX_CHECK(pthread_mutexattr_init(&attr),
              MUTEX_PREFIX "MutexImpl: pthread_mutexattr_init failed", 49);
  MUTEX_CHECK(pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP),
              MUTEX_PREFIX "MutexImpl: pthread_mutexattr_settype failed", 52);
  MUTEX_CHECK(pthread_mutex_init(&platform_data_, &attr),
              MUTEX_PREFIX "MutexImpl: pthread_mutex_init failed", 57);
  MUTEX_CHECK(pthread_mutexattr_destroy(&attr),
              MUTEX_PREFIX "MutexImpl: pthread_mutexattr_destroy failed", 61);
}

MutexImpl::~MutexImpl() {
  MUTEX_CHECK(pthread_mutex_destroy(&platform_data_),
              MUTEX_PREFIX "~MutexImpl: pthread_mutex_destroy failed", 68);
}

void MutexImpl::lock() {
  MUTEX_CHECK(pthread_mutex_lock(&platform_data_),
              MUTEX_PREFIX "lock: pthread_mutex_lock failed", 75);
}

void MutexImpl::unlock() {
  MUTEX_CHECK(pthread_mutex_unlock(&platform_data_),
              MUTEX_PREFIX "unlock: pthread_mutex_unlock failed", 82);
}

}  // namespace vellum::detail
