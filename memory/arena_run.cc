// Page runs of arena chunks: allocation with best fit, splitting, freeing
// with coalescing, the spare chunk, purging, trimming and extension.
#include <string.h>

#include "memory/arena.h"
#include "memory/chunk.h"
#include "memory/os.h"

namespace vellum::heap {

namespace {

inline void SetSize(PageMapEntry* e, size_t size) { e->bits = RunSizeWord(size, e->bits); }

ChunkHeader* NewChunk(Arena* arena) {
  bool zeroed = false;
  void* mem = ChunkAlloc(kChunkSize, kChunkSize, false, &zeroed);
  if (mem == nullptr) return nullptr;
  ChunkHeader* chunk = static_cast<ChunkHeader*>(mem);
  arena->stats.mapped += kChunkSize;
  arena->stats.committed_pages += kHeaderPages;
  chunk->arena = arena;
  chunk->dirty_link = RbNode{};
  chunk->dirty_pages = 0;
  chunk->map[0] = PageMapEntry{};
  chunk->map[1] = PageMapEntry{};
  uintptr_t flags = zeroed ? (kPageDecommitted | kPageZeroed) : kPageMadvised;
  for (size_t i = kHeaderPages; i < kChunkPages; ++i) {
    chunk->map[i].link = RbNode{};
    chunk->map[i].bits = flags;
  }
  chunk->map[kHeaderPages].bits = RunSizeWord(kLargeMax, flags);
  chunk->map[kChunkPages - 1].bits = RunSizeWord(kLargeMax, flags);
  return chunk;
}

// Takes n pages from the free run starting at page p of `chunk`. The run is
// in the available-run tree unless it is the whole free area of a chunk just
// taken as the spare or obtained new (entering it only to take it out again
// would leave the tree as it was).
void SplitRun(Arena* arena, ChunkHeader* chunk, size_t p, size_t n, bool large,
              bool zero, bool in_tree = true) {
  PageMapEntry* map = chunk->map;
  size_t total = RunSizeOf(map[p].bits) >> kPageShift;
  if (in_tree) arena->avail.Remove(&map[p].link);
  if (total > n) {
    size_t rest = (total - n) << kPageShift;
    SetSize(&map[p + n], rest);
    SetSize(&map[p + total - 1], rest);
    arena->avail.Insert(&map[p + n].link);
  }
  bool had_dirty = chunk->dirty_pages != 0;
  uintptr_t run_word = SmallRunWord(PageAddress(chunk, p));
  for (size_t i = p; i < p + n; ++i) {
    uintptr_t bits = map[i].bits;
    if (bits & (kPageDecommitted | kPageMadvised)) ++arena->stats.committed_pages;
    if (zero && !(bits & kPageZeroed)) memset(PageAddress(chunk, i), 0, kPageSize);
    if (bits & kPageDirty) {
      --chunk->dirty_pages;
      --arena->dirty_pages;
    }
    map[i].bits = large ? LargeRunWord(0) : run_word;
  }
  if (large) map[p].bits = LargeRunWord(n << kPageShift);
  if (had_dirty && chunk->dirty_pages == 0) arena->dirty_chunks.Remove(&chunk->dirty_link);
}

// Pages of a free chunk that count as committed (not decommitted/madvised).
size_t CommittedPagesOf(ChunkHeader* chunk) {
  size_t n = 0;
  for (size_t i = kHeaderPages; i < kChunkPages; ++i) {
    if (!(chunk->map[i].bits & (kPageDecommitted | kPageMadvised))) ++n;
  }
  return n;
}

void ReleaseSpare(Arena* arena) {
  ChunkHeader* spare = arena->spare;
  if (spare->dirty_pages != 0) {
    arena->dirty_chunks.Remove(&spare->dirty_link);
    arena->dirty_pages -= spare->dirty_pages;
  }
  // Dirty pages and pages freed clean without being used since both still
  // count as committed; neither survives the chunk.
  arena->stats.committed_pages -= CommittedPagesOf(spare) + kHeaderPages;
  arena->stats.mapped -= kChunkSize;
  arena->spare = nullptr;
  ChunkDealloc(spare, kChunkSize, kChunkArena);
}

}  // namespace

int BySizeThenAddress::Compare(const RbNode* a, const RbNode* b) {
  size_t sa = RunSizeOf(EntryOf(a)->bits);
  size_t sb = RunSizeOf(EntryOf(b)->bits);
  if (sa != sb) return sa < sb ? -1 : 1;
  return a < b ? -1 : a > b ? 1 : 0;
}

void* RunAllocLocked(Arena* arena, size_t size, bool large, bool zero) {
  RbNode* found = arena->avail.SearchNotBelow([size](const RbNode* n) {
    size_t s = RunSizeOf(EntryOf(n)->bits);
    return size <= s ? -1 : 1;
  });
  if (found != nullptr) {
    PageMapEntry* e = EntryOf(found);
    ChunkHeader* chunk = ChunkOf(e);
    size_t p = static_cast<size_t>(e - chunk->map);
    SplitRun(arena, chunk, p, size >> kPageShift, large, zero);
    return PageAddress(chunk, p);
  }
  ChunkHeader* chunk;
  if (arena->spare != nullptr) {
    chunk = arena->spare;
    arena->spare = nullptr;
  } else {
    chunk = NewChunk(arena);
    if (chunk == nullptr) return nullptr;
  }
  SplitRun(arena, chunk, kHeaderPages, size >> kPageShift, large, zero, false);
  return PageAddress(chunk, kHeaderPages);
}

void RunFreeLocked(Arena* arena, void* run, bool dirty) {
  ChunkHeader* chunk = ChunkOf(run);
  PageMapEntry* map = chunk->map;
  size_t p = PageIndex(run);
  size_t size;
  if (map[p].bits & kPageLarge) {
    size = RunSizeOf(map[p].bits);
  } else {
    size = static_cast<RunHeader*>(run)->bin->run_size;
  }
  size_t n = size >> kPageShift;
  if (dirty) {
    for (size_t i = p; i < p + n; ++i) map[i].bits = kPageDirty;
    if (chunk->dirty_pages == 0) arena->dirty_chunks.Insert(&chunk->dirty_link);
    chunk->dirty_pages += n;
    arena->dirty_pages += n;
  } else {
    for (size_t i = p; i < p + n; ++i) map[i].bits &= ~(kPageAllocated | kPageLarge);
  }
  SetSize(&map[p], size);
  SetSize(&map[p + n - 1], size);
  if (p + n < kChunkPages && !(map[p + n].bits & kPageAllocated)) {
    size_t next = RunSizeOf(map[p + n].bits);
    arena->avail.Remove(&map[p + n].link);
    size += next;
    n = size >> kPageShift;
    SetSize(&map[p], size);
    SetSize(&map[p + n - 1], size);
  }
  if (p >= kHeaderPages + 1 && !(map[p - 1].bits & kPageAllocated)) {
    size_t prev = RunSizeOf(map[p - 1].bits);
    size_t start = p - (prev >> kPageShift);
    arena->avail.Remove(&map[start].link);
    size += prev;
    p = start;
    n = size >> kPageShift;
    SetSize(&map[p], size);
    SetSize(&map[p + n - 1], size);
  }
  if (p == kHeaderPages && size == kLargeMax) {
    // The chunk is completely free: it becomes the spare, which is in no
    // tree of free runs.
    if (arena->spare != nullptr) ReleaseSpare(arena);
    arena->spare = chunk;
  } else {
    arena->avail.Insert(&map[p].link);
  }
  if (arena->dirty_pages > gDirtyPageLimit) PurgeLocked(arena, gDirtyPageLimit >> 1);
}

void PurgeLocked(Arena* arena, size_t target) {
  while (arena->dirty_pages > target) {
    RbNode* last = arena->dirty_chunks.Last();
    if (last == nullptr) return;
    ChunkHeader* chunk = ChunkOfDirtyLink(last);
    PageMapEntry* map = chunk->map;
    for (size_t i = kChunkPages - 1; i >= kHeaderPages && chunk->dirty_pages != 0; --i) {
      if (!(map[i].bits & kPageDirty)) continue;
      map[i].bits = (map[i].bits & ~kPageDirty) | kPageMadvised;
      size_t low = i;
      while (low > kHeaderPages && (map[low - 1].bits & kPageDirty)) {
        --low;
        map[low].bits = (map[low].bits & ~kPageDirty) | kPageMadvised;
      }
      size_t pages = i - low + 1;
      OsDiscard(PageAddress(chunk, low), pages << kPageShift);
      chunk->dirty_pages -= pages;
      arena->dirty_pages -= pages;
      arena->stats.committed_pages -= pages;
      if (arena->dirty_pages <= target) break;
      i = low;
    }
    if (chunk->dirty_pages == 0) arena->dirty_chunks.Remove(&chunk->dirty_link);
  }
}

void* RunTrimHeadLocked(Arena* arena, void* run, size_t old_size, size_t keep) {
  ChunkHeader* chunk = ChunkOf(run);
  size_t p = PageIndex(run);
  size_t head = old_size - keep;
  chunk->map[p].bits = LargeRunWord(head);
  chunk->map[p + (head >> kPageShift)].bits = LargeRunWord(keep);
  RunFreeLocked(arena, run, false);
  return static_cast<char*>(run) + head;
}

void RunTrimTailLocked(Arena* arena, void* run, size_t old_size, size_t keep, bool dirty) {
  ChunkHeader* chunk = ChunkOf(run);
  size_t p = PageIndex(run);
  chunk->map[p].bits = LargeRunWord(keep);
  chunk->map[p + (keep >> kPageShift)].bits = LargeRunWord(old_size - keep);
  RunFreeLocked(arena, static_cast<char*>(run) + keep, dirty);
}

bool RunExtendLocked(Arena* arena, void* run, size_t old_size, size_t new_size) {
  ChunkHeader* chunk = ChunkOf(run);
  size_t p = PageIndex(run);
  size_t q = p + (old_size >> kPageShift);
  size_t extra = new_size - old_size;
  if (q >= kChunkPages || (chunk->map[q].bits & kPageAllocated) ||
      RunSizeOf(chunk->map[q].bits) < extra) {
    return false;
  }
  SplitRun(arena, chunk, q, extra >> kPageShift, true, false);
  chunk->map[p].bits = LargeRunWord(new_size);
  chunk->map[q].bits = LargeRunWord(0);
  arena->stats.large_allocated += extra;
  return true;
}

}  // namespace vellum::heap
