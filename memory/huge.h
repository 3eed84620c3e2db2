// Huge allocations: whole chunks obtained through the chunk layer, one
// extent node each in the process-wide huge tree (by start address). The
// huge lock guards the tree and the statistics and is never held across a
// chunk operation or a fill.
#ifndef VLM_MEMORY_HUGE_H_
#define VLM_MEMORY_HUGE_H_

#include <pthread.h>

#include <cstddef>

#include "memory/chunk.h"

namespace vellum::heap {

struct HugeState {
  pthread_mutex_t lock;
  ExtentAddrTree tree;
  size_t allocated;  // sum of recorded sizes
  size_t mapped;     // sum of chunk-rounded sizes
};
extern HugeState gHuge;

void HugeInit();
// `size` above the large classes, `align` a power of two of at least a
// chunk. Null when out of memory.
void* HugeAlloc(size_t size, size_t align, bool zero);
// Frees the huge allocation starting at `ptr`. An address that starts no
// live huge allocation is ignored.
void HugeFree(void* ptr);
// Recorded size of the huge allocation starting exactly at `ptr`, or 0.
size_t HugeSize(const void* ptr);
// Resizes in place when `new_size` needs as many chunks as `old_size`;
// false when the block has to move (or `ptr` is not a live allocation).
bool HugeResize(void* ptr, size_t old_size, size_t new_size);
enum class HugeMatch {
  kNone,       // no live huge allocation near ptr
  kContains,   // ptr lies in [start, start + recorded size)
  kSameChunk,  // ptr lies past the recorded size in a huge block's first chunk
};
// Looks up the live huge allocation containing `ptr` (setting its start and
// recorded size), and otherwise whether ptr's chunk starts one.
HugeMatch HugeLookup(const void* ptr, void** start, size_t* size);

}  // namespace vellum::heap

#endif  // VLM_MEMORY_HUGE_H_
