// Chunk allocation and the recycle trees.
#include "memory/chunk.h"

#include <cstdint>

#include "memory/heap_config.h"
#include "memory/os.h"

namespace vellum::heap {

Recycler gRecycler = {PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, {}, {}, 0};

int ExtentBySize::Compare(const RbNode* a, const RbNode* b) {
  const ExtentNode* x = ExtentFromSizeLink(a);
  const ExtentNode* y = ExtentFromSizeLink(b);
  if (x->size != y->size) return x->size < y->size ? -1 : 1;
  if (x->addr != y->addr) return x->addr < y->addr ? -1 : 1;
  return 0;
}

int ExtentByAddr::Compare(const RbNode* a, const RbNode* b) {
  const ExtentNode* x = ExtentFromAddrLink(a);
  const ExtentNode* y = ExtentFromAddrLink(b);
  if (x->addr != y->addr) return x->addr < y->addr ? -1 : 1;
  return 0;
}

void RecyclerInit(Recycler* r) {
  InitAdaptiveMutex(&r->lock);
  r->by_size.Init();
  r->by_addr.Init();
  r->recycled_bytes = 0;
}

static uintptr_t AlignUp(uintptr_t v, uintptr_t align) { return (v + align - 1) & ~(align - 1); }

void* RecyclerTake(Recycler* r, size_t size, size_t align, bool* zeroed) {
  size_t need = size + align - kChunkSize;
  if (need < size) return nullptr;
  pthread_mutex_lock(&r->lock);
  // Best fit; among equal sizes the lowest address (the probe carries 0).
  RbNode* found = r->by_size.SearchNotBelow([need](const RbNode* n) {
    const ExtentNode* e = ExtentFromSizeLink(n);
    if (need != e->size) return need < e->size ? -1 : 1;
    return -1;
  });
  if (found == nullptr) {
    pthread_mutex_unlock(&r->lock);
    return nullptr;
  }
  ExtentNode* node = ExtentFromSizeLink(found);
  uintptr_t base = reinterpret_cast<uintptr_t>(node->addr);
  size_t range = node->size;
  ChunkKind kind = node->kind;
  uintptr_t result = AlignUp(base, align);
  size_t lead = result - base;
  size_t trail = range - lead - size;
  if (zeroed != nullptr) *zeroed = kind == kChunkZeroed;
  r->by_size.Remove(&node->size_link);
  r->by_addr.Remove(&node->addr_link);
  bool node_used = false;
  if (lead != 0) {
    node->size = lead;
    r->by_size.Insert(&node->size_link);
    r->by_addr.Insert(&node->addr_link);
    node_used = true;
    if (trail != 0) {
      pthread_mutex_unlock(&r->lock);
      ExtentNode* second = ExtentNodeAlloc();
      if (second == nullptr) {
        // Nothing left to describe the trail: everything but the lead has
        // left the trees, so the counter drops by that much; the trail is
        // unmapped and the chosen range is given back. The caller then maps
        // fresh memory.
        pthread_mutex_lock(&r->lock);
        r->recycled_bytes -= range - lead;
        pthread_mutex_unlock(&r->lock);
        OsUnmap(reinterpret_cast<void*>(result + size), trail);
        ChunkDealloc(reinterpret_cast<void*>(result), size, kind);
        return nullptr;
      }
      pthread_mutex_lock(&r->lock);
      second->addr = reinterpret_cast<void*>(result + size);
      second->size = trail;
      second->kind = kind;
      r->by_size.Insert(&second->size_link);
      r->by_addr.Insert(&second->addr_link);
    }
  } else if (trail != 0) {
    node->addr = reinterpret_cast<void*>(result + size);
    node->size = trail;
    r->by_size.Insert(&node->size_link);
    r->by_addr.Insert(&node->addr_link);
    node_used = true;
  }
  r->recycled_bytes -= size;
  pthread_mutex_unlock(&r->lock);
  if (!node_used) ExtentNodeFree(node);
  return reinterpret_cast<void*>(result);
}

void RecyclerRecord(Recycler* r, void* addr, size_t size, ChunkKind kind) {
  if (kind != kChunkZeroed && OsDiscard(addr, size)) kind = kChunkZeroed;
  ExtentNode* spare = ExtentNodeAlloc();
  ExtentNode* absorbed = nullptr;
  pthread_mutex_lock(&r->lock);
  char* end = static_cast<char*>(addr) + size;
  RbNode* next = r->by_addr.SearchNotBelow([end](const RbNode* n) {
    const ExtentNode* e = ExtentFromAddrLink(n);
    if (end != e->addr) return end < static_cast<char*>(e->addr) ? -1 : 1;
    return 0;
  });
  ExtentNode* node = next != nullptr ? ExtentFromAddrLink(next) : nullptr;
  if (node != nullptr && node->addr == end) {
    // Merge forward; the node keeps its place in the address tree.
    r->by_size.Remove(&node->size_link);
    node->addr = addr;
    node->size += size;
    if (node->kind != kind) node->kind = kChunkRecycled;
  } else {
    if (spare == nullptr) {
      // No record can describe the range: give it back to the system
      // rather than losing track of its address space.
      pthread_mutex_unlock(&r->lock);
      OsUnmap(addr, size);
      return;
    }
    node = spare;
    spare = nullptr;
    node->addr = addr;
    node->size = size;
    node->kind = kind;
    r->by_addr.Insert(&node->addr_link);
  }
  r->by_size.Insert(&node->size_link);
  RbNode* prev_link = r->by_addr.Prev(&node->addr_link);
  if (prev_link != nullptr) {
    ExtentNode* prev = ExtentFromAddrLink(prev_link);
    if (static_cast<char*>(prev->addr) + prev->size == node->addr) {
      r->by_size.Remove(&prev->size_link);
      r->by_addr.Remove(&prev->addr_link);
      r->by_size.Remove(&node->size_link);
      node->addr = prev->addr;
      node->size += prev->size;
      if (node->kind != prev->kind) node->kind = kChunkRecycled;
      r->by_size.Insert(&node->size_link);
      absorbed = prev;
    }
  }
  r->recycled_bytes += size;
  pthread_mutex_unlock(&r->lock);
  if (spare != nullptr) ExtentNodeFree(spare);
  if (absorbed != nullptr) ExtentNodeFree(absorbed);
}

// Gives a range back: recorded while the counter is below the limit,
// otherwise unmapped.
static void ReleaseRange(void* chunk, size_t size, ChunkKind kind) {
  size_t recycled = __atomic_load_n(&gRecycler.recycled_bytes, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (recycled >= kRecycleLimit) {
    OsUnmap(chunk, size);
  } else {
    RecyclerRecord(&gRecycler, chunk, size, kind);
  }
}

static void* MapAligned(size_t size, size_t align) {
  void* p = OsMap(size);
  if (p == nullptr) return nullptr;
  uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  if ((addr & (align - 1)) == 0) return p;
  OsUnmap(p, size);
  size_t over = size + align - kPageSize;
  if (over < size) return nullptr;
  p = OsMap(over);
  if (p == nullptr) return nullptr;
  addr = reinterpret_cast<uintptr_t>(p);
  uintptr_t result = AlignUp(addr, align);
  size_t lead = result - addr;
  size_t trail = over - lead - size;
  if (lead != 0) OsUnmap(p, lead);
  if (trail != 0) OsUnmap(reinterpret_cast<void*>(result + size), trail);
  return reinterpret_cast<void*>(result);
}

void* ChunkAlloc(size_t size, size_t align, bool base, bool* zeroed) {
  void* result = nullptr;
  if (!base) result = RecyclerTake(&gRecycler, size, align, zeroed);
  if (result == nullptr) {
    result = MapAligned(size, align);
    if (result == nullptr) return nullptr;
    if (zeroed != nullptr) *zeroed = true;
  }
  if (!base && !RegistrySet(result, result)) {
    RegistrySet(result, nullptr);
    ReleaseRange(result, size, kChunkUnknown);
    return nullptr;
  }
  return result;
}

void ChunkDealloc(void* chunk, size_t size, ChunkKind kind) {
  RegistrySet(chunk, nullptr);
  ReleaseRange(chunk, size, kind);
}

}  // namespace vellum::heap
