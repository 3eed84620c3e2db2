// Huge allocations.
#include "memory/huge.h"

#include <string.h>

#include "memory/heap_config.h"
#include "memory/os.h"

namespace vellum::heap {

HugeState gHuge = {PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, {}, 0, 0};

namespace {

inline size_t ChunkCeiling(size_t n) { return (n + kChunkMask) & ~kChunkMask; }

ExtentNode* FindExactLocked(const void* ptr) {
  RbNode* n = gHuge.tree.Search([ptr](const RbNode* node) {
    const void* a = ExtentFromAddrLink(node)->addr;
    return ptr < a ? -1 : ptr > a ? 1 : 0;
  });
  return n != nullptr ? ExtentFromAddrLink(n) : nullptr;
}

}  // namespace

void HugeInit() {
  InitAdaptiveMutex(&gHuge.lock);
  gHuge.allocated = 0;
  gHuge.mapped = 0;
  gHuge.tree.Init();
}

void* HugeAlloc(size_t size, size_t align, bool zero) {
  size_t mapped = ChunkCeiling(size);
  if (mapped == 0 || mapped < size) return nullptr;
  ExtentNode* node = ExtentNodeAlloc();
  if (node == nullptr) return nullptr;
  bool zeroed = false;
  void* ptr = ChunkAlloc(mapped, align, false, &zeroed);
  if (ptr == nullptr) {
    ExtentNodeFree(node);
    return nullptr;
  }
  if (zero && !zeroed) memset(ptr, 0, mapped);
  node->addr = ptr;
  node->size = (size + kPageMask) & ~kPageMask;
  node->kind = kChunkHuge;
  LockGuard guard(&gHuge.lock);
  gHuge.tree.Insert(&node->addr_link);
  gHuge.allocated += node->size;
  gHuge.mapped += mapped;
  return ptr;
}

void HugeFree(void* ptr) {
  ExtentNode* node;
  {
    LockGuard guard(&gHuge.lock);
    node = FindExactLocked(ptr);
    if (node == nullptr) return;
    gHuge.tree.Remove(&node->addr_link);
    gHuge.allocated -= node->size;
    gHuge.mapped -= ChunkCeiling(node->size);
  }
  ChunkDealloc(ptr, ChunkCeiling(node->size), kChunkHuge);
  ExtentNodeFree(node);
}

size_t HugeSize(const void* ptr) {
  LockGuard guard(&gHuge.lock);
  ExtentNode* node = FindExactLocked(ptr);
  return node != nullptr ? node->size : 0;
}

bool HugeResize(void* ptr, size_t old_size, size_t new_size) {
  if (ChunkCeiling(new_size) != ChunkCeiling(old_size)) return false;
  if (new_size < old_size) {
    memset(static_cast<char*>(ptr) + new_size, kFreeFill, old_size - new_size);
  }
  size_t recorded = (new_size + kPageMask) & ~kPageMask;
  if (recorded > old_size) {
    LockGuard guard(&gHuge.lock);
    ExtentNode* node = FindExactLocked(ptr);
    if (node == nullptr) return false;
    gHuge.allocated += recorded - node->size;
    node->size = recorded;
  }
  return true;
}

HugeMatch HugeLookup(const void* ptr, void** start, size_t* size) {
  LockGuard guard(&gHuge.lock);
  RbNode* n = gHuge.tree.root();
  const RbNode* nil = gHuge.tree.nil();
  while (n != nil) {
    const ExtentNode* e = ExtentFromAddrLink(n);
    const char* a = static_cast<const char*>(e->addr);
    if (a <= ptr && ptr < a + e->size) {
      *start = e->addr;
      *size = e->size;
      return HugeMatch::kContains;
    }
    n = a > ptr ? n->left : n->right();
  }
  const void* chunk = reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(ptr) & ~kChunkMask);
  return FindExactLocked(chunk) != nullptr ? HugeMatch::kSameChunk : HugeMatch::kNone;
}

}  // namespace vellum::heap
