// Process-wide allocator state: initialisation, the arena list, the calling
// thread's arena and the fork handlers. This is the allocator's internal
// interface: the entry points and the tests build on it; nothing here is
// exported from the program.
//
// Lock order of the whole allocator (a thread holding several took them in
// this order): initialisation lock; arena-list lock; one arena lock; registry
// lock or recycle lock (never both); base lock; huge lock.
#ifndef VLM_MEMORY_HEAP_H_
#define VLM_MEMORY_HEAP_H_

#include <pthread.h>

#include <cstdint>

#include "memory/arena.h"

namespace vellum::heap {

struct ArenaList {
  pthread_mutex_t lock;
  Arena** arenas;  // capacity a multiple of 16; entries past count are null
  uint32_t count;
};
extern ArenaList gArenaList;

// Set once every structure is ready; published with release ordering.
extern bool gInitialised;

// The calling thread's arena; null until its first allocation. Initial-exec
// TLS: reaching it never calls into the dynamic loader (or malloc).
extern __thread Arena* tThreadArena __attribute__((tls_model("initial-exec")));

// Runs the one-time initialisation; idempotent and thread-safe.
bool AllocatorInitSlow();
inline bool AllocatorInit() {
  if (__atomic_load_n(&gInitialised, __ATOMIC_ACQUIRE)) return true;
  return AllocatorInitSlow();
}

// Builds an arena and appends it to the list. On failure writes the arena
// error message and returns the first arena (null during initialisation).
Arena* ArenaCreateRegistered();

Arena* ChooseArenaSlow();
inline Arena* ChooseArena() {
  Arena* arena = tThreadArena;
  return arena != nullptr ? arena : ChooseArenaSlow();
}

// The fork handlers, registered with pthread_atfork once initialisation is
// complete. Prepare takes every allocator lock in the lock order; the parent
// releases them, the child creates them afresh.
void ForkPrepare();
void ForkParent();
void ForkChild();

}  // namespace vellum::heap

#endif  // VLM_MEMORY_HEAP_H_
