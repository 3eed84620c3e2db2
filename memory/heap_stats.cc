// Statistics, pointer classification, purging and the thread-arena switch,
// exported under their C names.
#include "vlm/vlmheap.h"

#include <cstdint>

#include "memory/arena.h"
#include "memory/chunk.h"
#include "memory/heap.h"
#include "memory/huge.h"
#include "memory/os.h"

using namespace vellum::heap;

#define VLM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void SetInfo(vlmheap_ptr_info_t* info, vlmheap_ptr_info_tag tag, const void* addr, size_t size) {
  info->tag = tag;
  info->addr = const_cast<void*>(addr);
  info->size = size;
}

// Classifies an address inside a registered arena chunk.
void ArenaPtrInfo(const void* ptr, vlmheap_ptr_info_t* info) {
  ChunkHeader* chunk = ChunkOf(ptr);
  size_t page = PageIndex(ptr);
  if (page < kHeaderPages) return SetInfo(info, ptr_unknown, nullptr, 0);
  uintptr_t bits = chunk->map[page].bits;
  const void* page_start = PageAddress(chunk, page);
  if (!(bits & kPageAllocated)) {
    if (bits & kPageDirty) return SetInfo(info, ptr_freed_page_dirty, page_start, kPageSize);
    if (bits & kPageDecommitted) {
      return SetInfo(info, ptr_freed_page_decommitted, page_start, kPageSize);
    }
    if (bits & kPageMadvised) return SetInfo(info, ptr_freed_page_madvised, page_start, kPageSize);
    if (bits & kPageZeroed) return SetInfo(info, ptr_freed_page_zeroed, page_start, kPageSize);
    // Freed clean and not used since (trimmed off an aligned block).
    return SetInfo(info, ptr_unknown, nullptr, 0);
  }
  if (bits & kPageLarge) {
    size_t p = page;
    while (RunSizeOf(chunk->map[p].bits) == 0) {
      if (p == kHeaderPages || !(chunk->map[p - 1].bits & kPageLarge)) {
        return SetInfo(info, ptr_unknown, nullptr, 0);
      }
      --p;
    }
    if (!(chunk->map[p].bits & kPageLarge)) return SetInfo(info, ptr_unknown, nullptr, 0);
    return SetInfo(info, ptr_live_large, PageAddress(chunk, p), RunSizeOf(chunk->map[p].bits));
  }
  const RunHeader* run = RunOfPage(bits);
  const Bin* bin = run->bin;
  const char* first = reinterpret_cast<const char*>(run) + bin->first_region;
  const char* x = static_cast<const char*>(ptr);
  if (x < first) return SetInfo(info, ptr_unknown, nullptr, 0);
  size_t index = static_cast<size_t>(x - first) / bin->region_size;
  if (index >= bin->regions) return SetInfo(info, ptr_unknown, nullptr, 0);
  const char* region = first + index * bin->region_size;
  bool free_bit = (run->bitmap[index >> 5] >> (index & 31)) & 1;
  SetInfo(info, free_bit ? ptr_freed_small : ptr_live_small, region, bin->region_size);
}

}  // namespace

VLM_EXPORT void vlmheap_ptr_info(const void* ptr, vlmheap_ptr_info_t* info) {
  // Before the first allocation nothing can be ours.
  if (reinterpret_cast<uintptr_t>(ptr) < kChunkSize ||
      !__atomic_load_n(&gInitialised, __ATOMIC_ACQUIRE)) {
    return SetInfo(info, ptr_unknown, nullptr, 0);
  }
  void* start = nullptr;
  size_t size = 0;
  switch (HugeLookup(ptr, &start, &size)) {
    case HugeMatch::kContains:
      return SetInfo(info, ptr_live_huge, start, size);
    case HugeMatch::kSameChunk:
      // Past the recorded size of a huge block: its chunk has no page map.
      return SetInfo(info, ptr_unknown, nullptr, 0);
    case HugeMatch::kNone:
      break;
  }
  if (!RegistryContains(ptr)) return SetInfo(info, ptr_unknown, nullptr, 0);
  ArenaPtrInfo(ptr, info);
}

VLM_EXPORT void vlmheap_stats(vlmheap_stats_t* stats) {
  *stats = vlmheap_stats_t{};
  stats->arena_count = __atomic_load_n(&gArenaList.count, __ATOMIC_RELAXED);
  stats->quantum = kQuantum;
  stats->quantum_class_max = kQuantumMax;
  stats->large_class_max = kLargeMax;
  stats->chunk_size = kChunkSize;
  stats->page_size = kPageSize;
  stats->dirty_page_limit = gDirtyPageLimit;
  size_t huge_mapped;
  {
    LockGuard guard(&gHuge.lock);
    huge_mapped = gHuge.mapped;
    stats->allocated += gHuge.allocated;
  }
  size_t base_mapped;
  {
    LockGuard guard(&gBase.lock);
    base_mapped = gBase.mapped_bytes;
    stats->bookkeeping += gBase.committed_bytes;
  }
  {
    LockGuard list_guard(&gArenaList.lock);
    for (uint32_t i = 0; i < gArenaList.count; ++i) {
      Arena* arena = gArenaList.arenas[i];
      if (arena == nullptr) continue;
      ArenaStats a;
      size_t dirty, unused = 0, headers = 0;
      {
        LockGuard guard(&arena->lock);
        a = arena->stats;
        dirty = arena->dirty_pages;
        for (const Bin& bin : arena->bins) {
          bin.runs.ForEach([&](RbNode* n) {
            const RunHeader* run = RunOfPage(EntryOf(n)->bits);
            unused += run->free_regions * bin.region_size;
          });
          if (bin.current != nullptr) unused += bin.current->free_regions * bin.region_size;
          headers += bin.run_count * bin.first_region;
        }
      }
      size_t allocated = a.small_allocated + a.large_allocated;
      stats->mapped += a.mapped;
      stats->allocated += allocated;
      stats->dirty += dirty * kPageSize;
      stats->waste += a.committed_pages * kPageSize - allocated - dirty * kPageSize - unused - headers;
      stats->bin_unused += unused;
      stats->bookkeeping += headers;
    }
  }
  size_t chunk_headers = (stats->mapped / kChunkSize) * kHeaderPages * kPageSize;
  stats->mapped += huge_mapped + base_mapped;
  stats->bookkeeping += chunk_headers;
  stats->waste -= chunk_headers;
}

VLM_EXPORT void vlmheap_free_dirty_pages(void) {
  LockGuard list_guard(&gArenaList.lock);
  for (uint32_t i = 0; i < gArenaList.count; ++i) {
    Arena* arena = gArenaList.arenas[i];
    if (arena == nullptr) continue;
    LockGuard guard(&arena->lock);
    PurgeLocked(arena, 0);
  }
}

// Purged pages go back with madvise(MADV_DONTNEED) at once: nothing is left
// to force.
VLM_EXPORT void vlmheap_purge_freed_pages(void) {}

VLM_EXPORT void vlmheap_thread_local_arena(int enabled) {
  if (enabled) {
    if (!__atomic_load_n(&gInitialised, __ATOMIC_ACQUIRE)) return;
    tThreadArena = ArenaCreateRegistered();
  } else {
    LockGuard guard(&gArenaList.lock);
    // Called before any allocation: the thread picks the default arena on
    // its first allocation anyway.
    tThreadArena = gArenaList.arenas != nullptr ? gArenaList.arenas[0] : nullptr;
  }
}
