// One-time initialisation, the arena list and the thread arena.
#include <stdlib.h>
#include <string.h>

#include "memory/chunk.h"
#include "memory/heap.h"
#include "memory/huge.h"
#include "memory/os.h"
#include "runtime/crash/crash_internal.h"

namespace vellum::heap {

ArenaList gArenaList = {PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, nullptr, 0};
bool gInitialised = false;
__thread Arena* tThreadArena __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

pthread_mutex_t gInitLock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
constexpr uint32_t kListGrowth = 16;

void ArenaError() { WriteMessage("<vlmheap>", ": (malloc) Error initializing arena\n"); }

}  // namespace

Arena* ArenaCreateRegistered() {
  Arena* arena = ArenaCreate();
  LockGuard guard(&gArenaList.lock);
  Arena* first = gArenaList.arenas != nullptr ? gArenaList.arenas[0] : nullptr;
  if (arena == nullptr) {
    if (first != nullptr) ArenaError();
    return first;
  }
  uint32_t count = gArenaList.count;
  if (count % kListGrowth == 0) {
    Arena** grown =
        static_cast<Arena**>(BaseAlloc(sizeof(Arena*) * (count + kListGrowth)));
    if (grown == nullptr) {
      if (first == nullptr) return nullptr;
      ArenaError();
      return first;
    }
    // Base memory is zero: the new tail is already null.
    if (count != 0) memcpy(grown, gArenaList.arenas, sizeof(Arena*) * count);
    gArenaList.arenas = grown;
  }
  gArenaList.arenas[count] = arena;
  gArenaList.count = count + 1;
  return arena;
}

Arena* ChooseArenaSlow() {
  Arena* arena;
  {
    LockGuard guard(&gArenaList.lock);
    arena = gArenaList.arenas[0];
  }
  tThreadArena = arena;
  return arena;
}

bool AllocatorInitSlow() {
  LockGuard guard(&gInitLock);
  if (__atomic_load_n(&gInitialised, __ATOMIC_ACQUIRE)) return true;
  size_t page = OsPageSize();
  if (page == 0 || kPageSize % page != 0) {
    WriteMessage("<vlmheap>", "Compile-time page size does not divide the runtime one.\n");
    CrashPlain();
  }
  ApplyMallocOptions(getenv("MALLOC_OPTIONS"), &gDirtyPageLimit);
  RecyclerInit(&gRecycler);
  HugeInit();
  gBase.free_nodes = nullptr;
  InitAdaptiveMutex(&gBase.lock);
  InitAdaptiveMutex(&gArenaList.lock);
  Arena* first = ArenaCreateRegistered();
  if (first == nullptr || gArenaList.arenas == nullptr || gArenaList.arenas[0] == nullptr) {
    return false;
  }
  tThreadArena = gArenaList.arenas[0];
  if (gRegistry == nullptr && !RegistryCreate()) return false;
  __atomic_store_n(&gInitialised, true, __ATOMIC_RELEASE);
  pthread_atfork(ForkPrepare, ForkParent, ForkChild);
  return true;
}

}  // namespace vellum::heap
