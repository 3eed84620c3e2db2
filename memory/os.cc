// Raw system calls and message output for the allocator.
#include "memory/os.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "runtime/crash/crash_internal.h"

namespace vellum::heap {

void* OsMap(size_t size) {
  long r = syscall(SYS_mmap, nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (r == -1) return nullptr;
  return reinterpret_cast<void*>(r);
}

void OsUnmap(void* addr, size_t size) {
  if (syscall(SYS_munmap, addr, size) == 0) return;
  char buf[64];
  // GNU strerror_r returns the text, which may or may not be in buf.
  const char* text = strerror_r(errno, buf, sizeof(buf));
  if (text == nullptr) return;
  WriteMessage("<vlmheap>", ": (malloc) Error in munmap(): ", text, "\n");
}

bool OsDiscard(void* addr, size_t size) {
  return madvise(addr, size, MADV_DONTNEED) == 0;
}

size_t OsPageSize() {
  long r = sysconf(_SC_PAGESIZE);
  return r > 0 ? static_cast<size_t>(r) : 0;
}

void WriteMessage(const char* a, const char* b, const char* c, const char* d) {
  // Errors of the writes themselves are not reported; errno is preserved so
  // that a message never changes what the caller reports.
  int saved = errno;
  const char* pieces[] = {a, b, c, d};
  for (const char* piece : pieces) {
    if (piece == nullptr) break;
    vellum::WriteStderr(piece, strlen(piece));
  }
  errno = saved;
}

void InitAdaptiveMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    *mutex = pthread_mutex_t{};
    return;
  }
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

}  // namespace vellum::heap
