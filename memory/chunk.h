// Chunk layer: address ranges obtained from the system in whole chunks,
// the recycle trees that keep freed ranges for reuse, the base allocator
// for the allocator's own records, and the chunk registry.
//
// Lock order inside this layer: the registry lock may be held while the base
// lock is taken; the recycle lock is never held together with another lock
// of this layer.
#ifndef VLM_MEMORY_CHUNK_H_
#define VLM_MEMORY_CHUNK_H_

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "memory/rb_tree.h"

namespace vellum::heap {

// What a range's pages are known to contain.
enum ChunkKind : uint32_t {
  kChunkUnknown = 0,
  kChunkZeroed = 1,
  kChunkArena = 2,
  kChunkHuge = 3,
  kChunkRecycled = 4,
};

// One free range (recycle trees) or one live huge allocation (huge tree,
// address link only).
struct ExtentNode {
  RbNode size_link;
  RbNode addr_link;
  void* addr;
  size_t size;
  ChunkKind kind;
};

struct ExtentBySize {
  static int Compare(const RbNode* a, const RbNode* b);
};
struct ExtentByAddr {
  static int Compare(const RbNode* a, const RbNode* b);
};
using ExtentSizeTree = RbTree<ExtentBySize>;
using ExtentAddrTree = RbTree<ExtentByAddr>;

inline ExtentNode* ExtentFromSizeLink(const RbNode* n) {
  return RbOwner<ExtentNode, &ExtentNode::size_link>(n);
}
inline ExtentNode* ExtentFromAddrLink(const RbNode* n) {
  return RbOwner<ExtentNode, &ExtentNode::addr_link>(n);
}

// ---- Base allocator ----

struct BaseState {
  pthread_mutex_t lock;
  char* cursor;
  char* end;
  char* committed;  // accounting only
  char* chunk;
  size_t mapped_bytes;
  size_t committed_bytes;
  ExtentNode* free_nodes;  // LIFO through the node's first word
};
extern BaseState gBase;

// Zero-filled, 64-byte aligned, never freed; null when no memory.
void* BaseAlloc(size_t n);
// Free list first, else a fresh node from the base allocator; may be null.
ExtentNode* ExtentNodeAlloc();
void ExtentNodeFree(ExtentNode* node);
// Fault injection for tests: while non-zero, ExtentNodeAlloc fails and
// counts it down.
extern size_t gExtentNodeFailures;

// ---- Recycle trees ----

struct Recycler {
  pthread_mutex_t lock;
  ExtentSizeTree by_size;
  ExtentAddrTree by_addr;
  size_t recycled_bytes;  // written under the lock, read without it
};
extern Recycler gRecycler;

void RecyclerInit(Recycler* r);
// Takes `size` bytes aligned to `align` out of a recorded range; null when
// none is big enough. Sets *zeroed when the range was known to be zero.
void* RecyclerTake(Recycler* r, size_t size, size_t align, bool* zeroed);
// Records [addr, addr + size) for reuse, merging with neighbours. A range
// that cannot be recorded for want of a node is unmapped.
void RecyclerRecord(Recycler* r, void* addr, size_t size, ChunkKind kind);

// ---- Chunk allocation ----

// `size` a multiple of the chunk size, `align` a power of two of at least a
// chunk. With `base` set the range is fresh from the system and not
// registered. Null on failure.
void* ChunkAlloc(size_t size, size_t align, bool base, bool* zeroed);
// Unregisters `chunk` and records or unmaps [chunk, chunk + size).
void ChunkDealloc(void* chunk, size_t size, ChunkKind kind);

// ---- Chunk registry ----

constexpr uint32_t kRegistryHeight = 15;

struct Registry {
  pthread_mutex_t lock;
  void** root;
  uint32_t height;
  uint32_t level_bits[kRegistryHeight];
};
extern Registry* gRegistry;

// Creates the registry record and its root from the base allocator.
bool RegistryCreate();
// Sets the leaf of `chunk` to `value` (null or the chunk itself), creating
// interior nodes on the way; false when a node cannot be had.
bool RegistrySet(void* chunk, void* value);
// Whether the chunk containing `addr` is registered (lock-free).
bool RegistryContains(const void* addr);

}  // namespace vellum::heap

#endif  // VLM_MEMORY_CHUNK_H_
