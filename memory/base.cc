// Base allocator: the allocator's own records, carved from fresh mappings.
#include <cstdint>

#include "memory/chunk.h"
#include "memory/heap_config.h"
#include "memory/os.h"

namespace vellum::heap {

BaseState gBase = {PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, nullptr, nullptr, nullptr,
                   nullptr, 0, 0, nullptr};

static uintptr_t RoundUp(uintptr_t v, uintptr_t to) { return (v + to - 1) & ~(to - 1); }

void* BaseAlloc(size_t n) {
  size_t csize = RoundUp(n, 64);
  if (csize < n) return nullptr;
  LockGuard guard(&gBase.lock);
  if (gBase.chunk == nullptr ||
      static_cast<size_t>(gBase.end - gBase.cursor) < csize) {
    size_t chunk_size = RoundUp(csize, kChunkSize);
    if (chunk_size < csize) return nullptr;
    char* chunk = static_cast<char*>(ChunkAlloc(chunk_size, kChunkSize, true, nullptr));
    if (chunk == nullptr) return nullptr;
    // The rest of the old base chunk is abandoned.
    gBase.chunk = chunk;
    gBase.cursor = chunk;
    gBase.end = chunk + chunk_size;
    gBase.mapped_bytes += chunk_size;
    size_t commit = RoundUp(csize, kPageSize);
    gBase.committed = chunk + commit;
    gBase.committed_bytes += commit;
  }
  char* result = gBase.cursor;
  gBase.cursor += csize;
  if (gBase.committed < gBase.cursor) {
    char* boundary = reinterpret_cast<char*>(
        RoundUp(reinterpret_cast<uintptr_t>(gBase.cursor), kPageSize));
    gBase.committed_bytes += static_cast<size_t>(boundary - gBase.committed);
    gBase.committed = boundary;
  }
  return result;
}

size_t gExtentNodeFailures = 0;

ExtentNode* ExtentNodeAlloc() {
  if (__builtin_expect(gExtentNodeFailures != 0, 0)) {
    --gExtentNodeFailures;
    return nullptr;
  }
  {
    LockGuard guard(&gBase.lock);
    ExtentNode* node = gBase.free_nodes;
    if (node != nullptr) {
      gBase.free_nodes = *reinterpret_cast<ExtentNode**>(node);
      return node;
    }
  }
  return static_cast<ExtentNode*>(BaseAlloc(sizeof(ExtentNode)));
}

void ExtentNodeFree(ExtentNode* node) {
  LockGuard guard(&gBase.lock);
  *reinterpret_cast<ExtentNode**>(node) = gBase.free_nodes;
  gBase.free_nodes = node;
}

}  // namespace vellum::heap
