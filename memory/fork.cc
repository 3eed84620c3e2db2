// Fork handlers: every allocator lock that another thread might hold at the
// moment of fork is taken before it (in the lock order) and released in the
// parent or re-created in the child, so that the child can allocate at once.
// The registry and recycle locks are covered too: a fork while another
// thread recycles chunks must not leave them held in the child.
#include "memory/chunk.h"
#include "memory/heap.h"
#include "memory/huge.h"
#include "memory/os.h"

namespace vellum::heap {

namespace {

template <typename F>
void ForEachArena(F f) {
  for (uint32_t i = 0; i < gArenaList.count; ++i) {
    if (gArenaList.arenas[i] != nullptr) f(gArenaList.arenas[i]);
  }
}

}  // namespace

void ForkPrepare() {
  pthread_mutex_lock(&gArenaList.lock);
  ForEachArena([](Arena* a) { pthread_mutex_lock(&a->lock); });
  pthread_mutex_lock(&gRegistry->lock);
  pthread_mutex_lock(&gRecycler.lock);
  pthread_mutex_lock(&gBase.lock);
  pthread_mutex_lock(&gHuge.lock);
}

void ForkParent() {
  pthread_mutex_unlock(&gHuge.lock);
  pthread_mutex_unlock(&gBase.lock);
  pthread_mutex_unlock(&gRecycler.lock);
  pthread_mutex_unlock(&gRegistry->lock);
  ForEachArena([](Arena* a) { pthread_mutex_unlock(&a->lock); });
  pthread_mutex_unlock(&gArenaList.lock);
}

void ForkChild() {
  InitAdaptiveMutex(&gHuge.lock);
  InitAdaptiveMutex(&gBase.lock);
  InitAdaptiveMutex(&gRecycler.lock);
  InitAdaptiveMutex(&gRegistry->lock);
  ForEachArena([](Arena* a) { InitAdaptiveMutex(&a->lock); });
  InitAdaptiveMutex(&gArenaList.lock);
}

}  // namespace vellum::heap
