// Platform glue of the allocator: raw mapping system calls, madvise, the
// message writer and the adaptive mutexes. Nothing here allocates; the
// mapping calls go straight to the kernel so that no C library wrapper can
// call back into the allocator.
#ifndef VLM_MEMORY_OS_H_
#define VLM_MEMORY_OS_H_

#include <pthread.h>

#include <cstddef>

namespace vellum::heap {

// Fresh private anonymous read-write mapping of `size` bytes, or null.
void* OsMap(size_t size);

// Unmaps [addr, addr + size); on failure writes the munmap error message to
// standard error and leaves the mapping in place.
void OsUnmap(void* addr, size_t size);

// madvise(MADV_DONTNEED); true on success.
bool OsDiscard(void* addr, size_t size);

// Run-time page size reported by the system.
size_t OsPageSize();

// Writes the pieces to standard error with write(2), each in full, without
// buffering; null pieces end the list.
void WriteMessage(const char* a, const char* b = nullptr,
                  const char* c = nullptr, const char* d = nullptr);

// Makes `mutex` a fresh, unlocked adaptive mutex. If the attribute cannot be
// set up the mutex is left as the default (zero) mutex.
void InitAdaptiveMutex(pthread_mutex_t* mutex);

class LockGuard {
 public:
  explicit LockGuard(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~LockGuard() { pthread_mutex_unlock(mutex_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace vellum::heap

#endif  // VLM_MEMORY_OS_H_
