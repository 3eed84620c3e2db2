// Arena creation, the small and large paths, and the block operations that
// the entry points build on.
#include <string.h>

#include "memory/arena.h"
#include "memory/chunk.h"
#include "memory/os.h"

namespace vellum::heap {

namespace {

// Division-free region index. A region size that is not a power of two
// (those take a shift) and at most kIndexMulMaxSize (the quantum-spaced
// sizes 48 to 464; every larger class is a power of two) takes the index of
// an offset d as d x m >> kIndexMulShift, m = 2^kIndexMulShift / size + 1.
// Then m x size = 2^kIndexMulShift + e with 0 < e <= size, so region k's
// offset gives k x 2^kIndexMulShift + k x e, and k x e <= d < kLargeMax <
// 2^kIndexMulShift: the shift drops it and the index is exact.
constexpr uint32_t kIndexMulShift = 21;
constexpr size_t kIndexMulMaxSize = 466;
static_assert(kLargeMax < (size_t{1} << kIndexMulShift));

void InitBin(Bin* bin, const BinGeometry& g) {
  bin->current = nullptr;
  bin->runs.Init();
  bin->region_size = g.region_size;
  bin->run_size = g.run_size;
  bin->regions = g.regions;
  bin->bitmap_words = g.bitmap_words;
  bin->first_region = g.first_region;
  bin->index_shift = 0;
  bin->index_mul = 0;
  size_t size = g.region_size;
  if ((size & (size - 1)) == 0) {
    bin->index_shift = static_cast<uint32_t>(__builtin_ctzl(size));
  } else if (size <= kIndexMulMaxSize) {
    bin->index_mul = static_cast<uint32_t>((size_t{1} << kIndexMulShift) / size + 1);
  }
  bin->run_count = 0;
}

inline uint32_t RegionIndex(const Bin* bin, uint32_t offset) {
  if (bin->index_shift != 0) return offset >> bin->index_shift;
  if (bin->index_mul != 0) {
    return static_cast<uint32_t>((uint64_t{offset} * bin->index_mul) >> kIndexMulShift);
  }
  return offset / static_cast<uint32_t>(bin->region_size);
}

// A run for `bin` with a free region: the lowest run of the bin run tree,
// or a new run. Null when no run can be had. Kept out of line so that the
// common small paths stay short.
__attribute__((noinline)) RunHeader* NextRun(Arena* arena, Bin* bin) {
  RbNode* lowest = bin->runs.First();
  if (lowest != nullptr) {
    bin->runs.Remove(lowest);
    PageMapEntry* e = EntryOf(lowest);
    RunHeader* run = RunOfPage(e->bits);
    bin->current = run;
    return run;
  }
  RunHeader* run = static_cast<RunHeader*>(RunAllocLocked(arena, bin->run_size, false, false));
  if (run == nullptr) {
    bin->current = nullptr;
    return nullptr;
  }
  run->bin = bin;
  uint32_t words = bin->bitmap_words;
  for (uint32_t w = 0; w + 1 < words; ++w) run->bitmap[w] = ~uint32_t{0};
  uint32_t rest = bin->regions - 32 * (words - 1);
  run->bitmap[words - 1] = rest == 32 ? ~uint32_t{0} : (uint32_t{1} << rest) - 1;
  run->next_word = 0;
  run->free_regions = bin->regions;
  ++bin->run_count;
  bin->current = run;
  return run;
}

inline void* SmallAlloc(Arena* arena, size_t size, bool zero) {
  Bin* bin = &arena->bins[SmallBin(size)];
  // One register for the bin across the lock call, rather than the parts of
  // its index that the compiler would otherwise keep and recombine.
  __asm__("" : "+r"(bin));
  pthread_mutex_lock(&arena->lock);
  RunHeader* run = bin->current;
  if (__builtin_expect(run == nullptr || run->free_regions == 0, 0)) {
    run = NextRun(arena, bin);
    if (run == nullptr) {
      pthread_mutex_unlock(&arena->lock);
      return nullptr;
    }
  }
  uint32_t w = run->next_word;
  while (run->bitmap[w] == 0) ++w;
  uint32_t bit = static_cast<uint32_t>(__builtin_ctz(run->bitmap[w]));
  run->bitmap[w] &= run->bitmap[w] - 1;
  run->next_word = w;
  --run->free_regions;
  char* region = reinterpret_cast<char*>(run) + bin->first_region +
                 (size_t{w} * 32 + bit) * bin->region_size;
  arena->stats.small_allocated += bin->region_size;
  pthread_mutex_unlock(&arena->lock);
  if (zero) memset(region, 0, bin->region_size);
  return region;
}

__attribute__((noinline)) void* LargeAlloc(Arena* arena, size_t size, bool zero) {
  size = (size + kPageMask) & ~kPageMask;
  LockGuard guard(&arena->lock);
  void* run = RunAllocLocked(arena, size, true, zero);
  if (run != nullptr) arena->stats.large_allocated += size;
  return run;
}

// The run of a freed region became completely free, or was full before:
// releases it, or moves it to where the bin will take regions from next.
__attribute__((noinline)) void SmallFreeRunChange(Arena* arena, ChunkHeader* chunk, Bin* bin,
                                                  RunHeader* run) {
  if (run->free_regions == bin->regions) {
    if (bin->current == run) {
      bin->current = nullptr;
    } else if (bin->regions > 1) {
      bin->runs.Remove(&chunk->map[PageIndex(run)].link);
    }
    RunFreeLocked(arena, run, true);
    --bin->run_count;
    return;
  }
  // The run was full. Keep allocations on the lowest-addressed runs.
  RunHeader* current = bin->current;
  if (current == nullptr) {
    bin->current = run;
  } else if (run < current) {
    if (current->free_regions != 0) {
      bin->runs.Insert(&ChunkOf(current)->map[PageIndex(current)].link);
    }
    bin->current = run;
  } else {
    bin->runs.Insert(&chunk->map[PageIndex(run)].link);
  }
}

inline void SmallFree(Arena* arena, ChunkHeader* chunk, void* ptr, uintptr_t bits) {
  RunHeader* run = RunOfPage(bits);
  Bin* bin = run->bin;
  memset(ptr, kFreeFill, bin->region_size);
  uint32_t offset = static_cast<uint32_t>(static_cast<char*>(ptr) -
                                          reinterpret_cast<char*>(run) - bin->first_region);
  uint32_t index = RegionIndex(bin, offset);
  uint32_t w = index >> 5;
  if (w < run->next_word) run->next_word = w;
  run->bitmap[w] |= uint32_t{1} << (index & 31);
  uint32_t free_regions = ++run->free_regions;
  arena->stats.small_allocated -= bin->region_size;
  if (__builtin_expect(free_regions == bin->regions ||
                           (free_regions == 1 && run != bin->current), 0)) {
    SmallFreeRunChange(arena, chunk, bin, run);
  }
}

__attribute__((noinline)) void LargeFree(Arena* arena, void* ptr, uintptr_t bits) {
  size_t size = RunSizeOf(bits);
  memset(ptr, kFreeFill, size);
  arena->stats.large_allocated -= size;
  RunFreeLocked(arena, ptr, true);
}

}  // namespace

Arena* ArenaCreate() {
  Arena* arena = static_cast<Arena*>(BaseAlloc(sizeof(Arena)));
  if (arena == nullptr) return nullptr;
  InitAdaptiveMutex(&arena->lock);
  arena->stats = ArenaStats{};
  arena->dirty_chunks.Init();
  arena->spare = nullptr;
  arena->dirty_pages = 0;
  arena->avail.Init();
  for (size_t i = 0; i < kNumBins; ++i) InitBin(&arena->bins[i], kBinTable.bins[i]);
  return arena;
}

void* ArenaMalloc(Arena* arena, size_t size, bool zero) {
  if (size <= kSmallMax) return SmallAlloc(arena, size == 0 ? 1 : size, zero);
  return LargeAlloc(arena, size, zero);
}

void ArenaFree(void* ptr) {
  ChunkHeader* chunk = ChunkOf(ptr);
  Arena* arena = chunk->arena;
  size_t page = PageIndex(ptr);
  pthread_mutex_lock(&arena->lock);
  uintptr_t bits = chunk->map[page].bits;
  if (bits & kPageLarge) {
    LargeFree(arena, ptr, bits);
  } else {
    SmallFree(arena, chunk, ptr, bits);
  }
  pthread_mutex_unlock(&arena->lock);
}

size_t ArenaUsableSize(const void* ptr) {
  uintptr_t bits = ChunkOf(ptr)->map[PageIndex(ptr)].bits;
  if (!(bits & kPageAllocated)) return 0;
  if (bits & kPageLarge) return RunSizeOf(bits);
  return RunOfPage(bits)->bin->region_size;
}

void ArenaPurge(Arena* arena, bool all) {
  LockGuard guard(&arena->lock);
  PurgeLocked(arena, all ? 0 : gDirtyPageLimit >> 1);
}

void* ArenaAlignedLarge(Arena* arena, size_t size, size_t align, size_t run_size) {
  LockGuard guard(&arena->lock);
  char* run = static_cast<char*>(RunAllocLocked(arena, run_size, true, false));
  if (run == nullptr) return nullptr;
  size_t off = reinterpret_cast<uintptr_t>(run) & (align - 1);
  char* block = run;
  size_t have = run_size;
  if (off != 0) {
    block = static_cast<char*>(RunTrimHeadLocked(arena, run, run_size, run_size - (align - off)));
    have -= align - off;
  }
  if (have > size) RunTrimTailLocked(arena, block, have, size, false);
  arena->stats.large_allocated += size;
  return block;
}

bool ArenaResizeLarge(void* ptr, size_t old_size, size_t new_size) {
  if (new_size == old_size) return true;
  Arena* arena = ChunkOf(ptr)->arena;
  LockGuard guard(&arena->lock);
  if (new_size < old_size) {
    RunTrimTailLocked(arena, ptr, old_size, new_size, true);
    arena->stats.large_allocated -= old_size - new_size;
    return true;
  }
  return RunExtendLocked(arena, ptr, old_size, new_size);
}

}  // namespace vellum::heap
