// Chunk registry: a radix tree over chunk numbers, read without locks.
#include <cstdint>

#include "memory/chunk.h"
#include "memory/heap_config.h"
#include "memory/os.h"

namespace vellum::heap {

Registry* gRegistry = nullptr;

namespace {

constexpr uint32_t kRootBits = 2;
constexpr uint32_t kLevelBits = 3;

inline size_t LevelIndex(uintptr_t key, uint32_t consumed, uint32_t bits) {
  return static_cast<size_t>((key << consumed) >> (64 - bits));
}

}  // namespace

bool RegistryCreate() {
  Registry* r = static_cast<Registry*>(BaseAlloc(sizeof(Registry)));
  if (r == nullptr) return false;
  r->root = static_cast<void**>(BaseAlloc(sizeof(void*) << kRootBits));
  if (r->root == nullptr) return false;
  InitAdaptiveMutex(&r->lock);
  r->height = kRegistryHeight;
  r->level_bits[0] = kRootBits;
  for (uint32_t i = 1; i < kRegistryHeight; ++i) r->level_bits[i] = kLevelBits;
  __atomic_store_n(&gRegistry, r, __ATOMIC_RELEASE);
  return true;
}

bool RegistrySet(void* chunk, void* value) {
  Registry* r = gRegistry;
  if (r == nullptr) return false;
  uintptr_t key = reinterpret_cast<uintptr_t>(chunk);
  LockGuard guard(&r->lock);
  void** node = r->root;
  uint32_t consumed = 0;
  for (uint32_t level = 0; level + 1 < r->height; ++level) {
    uint32_t bits = r->level_bits[level];
    void** slot = &node[LevelIndex(key, consumed, bits)];
    void** child = static_cast<void**>(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
    if (child == nullptr) {
      // Base memory is zero-filled; publish the node only when complete.
      child = static_cast<void**>(BaseAlloc(sizeof(void*) << r->level_bits[level + 1]));
      if (child == nullptr) return false;
      __atomic_store_n(slot, child, __ATOMIC_RELEASE);
    }
    node = child;
    consumed += bits;
  }
  uint32_t bits = r->level_bits[r->height - 1];
  __atomic_store_n(&node[LevelIndex(key, consumed, bits)], value, __ATOMIC_RELEASE);
  return true;
}

bool RegistryContains(const void* addr) {
  Registry* r = __atomic_load_n(&gRegistry, __ATOMIC_ACQUIRE);
  if (r == nullptr) return false;
  uintptr_t key = reinterpret_cast<uintptr_t>(addr) & ~kChunkMask;
  void** node = r->root;
  uint32_t consumed = 0;
  for (uint32_t level = 0; level + 1 < r->height; ++level) {
    uint32_t bits = r->level_bits[level];
    node = static_cast<void**>(
        __atomic_load_n(&node[LevelIndex(key, consumed, bits)], __ATOMIC_ACQUIRE));
    if (node == nullptr) return false;
    consumed += bits;
  }
  uint32_t bits = r->level_bits[r->height - 1];
  void* leaf = __atomic_load_n(&node[LevelIndex(key, consumed, bits)], __ATOMIC_ACQUIRE);
  return leaf != nullptr && reinterpret_cast<uintptr_t>(leaf) == key;
}

}  // namespace vellum::heap
