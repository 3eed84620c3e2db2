// Arenas: 1 MiB chunks split into page runs. Large requests take a run of
// whole pages; small requests take a region of a run that a bin has cut into
// equal regions. Every operation on an arena runs under the arena's lock
// (the functions below take it, except the Locked ones, whose caller holds
// it). Freed memory is filled with 0xE5; dirty pages are purged with
// madvise once an arena holds more than the dirty page limit.
#ifndef VLM_MEMORY_ARENA_H_
#define VLM_MEMORY_ARENA_H_

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "memory/heap_config.h"
#include "memory/rb_tree.h"

namespace vellum::heap {

// The page word of a page-map entry: the low 12 bits are the flags below,
// the high bits (the word with the flags masked off) a page-aligned value
// whose meaning depends on the page:
//
//   page                              high bits          flags
//   chunk header page                 0                  none
//   first or last page of a free run  run size in bytes  its own free-page flags
//   inner page of a free run          stale              its own free-page flags
//   first page of a large run         run size in bytes  allocated, large
//   other pages of a large run        0                  allocated, large
//   any page of a small-class run     run address        allocated
//
// A run size is the run's page count shifted left by kPageShift. The high
// bits are read with RunSizeOf or RunOfPage and words are built with
// RunSizeWord, LargeRunWord and SmallRunWord; flags are tested directly.
constexpr uintptr_t kPageAllocated = 0x01;    // page of a run in use (large or small)
constexpr uintptr_t kPageLarge = 0x02;        // page of a large run
// The free-page flags:
constexpr uintptr_t kPageZeroed = 0x04;       // known to hold only zeros
constexpr uintptr_t kPageDirty = 0x08;        // used and not purged yet
constexpr uintptr_t kPageDecommitted = 0x20;  // not counted as committed
constexpr uintptr_t kPageMadvised = 0x40;     // given back with madvise
constexpr uintptr_t kPageFlags = 0xFFF;

struct PageMapEntry {
  RbNode link;  // available-run tree or a bin run tree (first page only)
  uintptr_t bits;
};

// Run size of a page word: first page of a large run, first or last page of
// a free run (0 on the other pages of a large run).
constexpr size_t RunSizeOf(uintptr_t bits) { return bits & ~kPageFlags; }
// Word of a free run's first or last page: `size` with the flags of `bits`.
constexpr uintptr_t RunSizeWord(size_t size, uintptr_t bits) { return size | (bits & kPageFlags); }
// Word of a large run's first page (`size`), or of its other pages (0).
constexpr uintptr_t LargeRunWord(size_t size) { return size | kPageAllocated | kPageLarge; }

struct Arena;

struct ChunkHeader {
  Arena* arena;
  RbNode dirty_link;
  size_t dirty_pages;
  PageMapEntry map[kChunkPages];
};
static_assert(sizeof(ChunkHeader) <= kHeaderPages * kPageSize);

struct Bin;

struct RunHeader {
  Bin* bin;
  uint32_t next_word;  // lowest bitmap word that may have a free region
  uint32_t free_regions;
  uint32_t bitmap[];  // bit set = region free
};
static_assert(sizeof(RunHeader) + kBitmapWordBytes <= kRunHeaderMin);
static_assert(sizeof(RunHeader::bitmap[0]) == kBitmapWordBytes);

// Run of a page word of a small-class run.
inline RunHeader* RunOfPage(uintptr_t bits) {
  return reinterpret_cast<RunHeader*>(bits & ~kPageFlags);
}
// Word of every page of the small-class run `run`.
inline uintptr_t SmallRunWord(const void* run) {
  return reinterpret_cast<uintptr_t>(run) | kPageAllocated;
}

// Orders nodes by their own address (bin run trees, dirty-chunk tree).
struct ByAddress {
  static int Compare(const RbNode* a, const RbNode* b) { return a < b ? -1 : a > b ? 1 : 0; }
};
// Orders free runs by size, then by the address of their first entry.
struct BySizeThenAddress {
  static int Compare(const RbNode* a, const RbNode* b);
};

struct Bin {
  RunHeader* current;
  RbTree<ByAddress> runs;  // other non-full runs
  size_t region_size;
  size_t run_size;
  uint32_t regions;
  uint32_t bitmap_words;
  uint32_t first_region;
  // Region index of an offset: a shift, a multiply-and-shift, or (when both
  // are 0) a division.
  uint32_t index_shift;
  uint32_t index_mul;
  size_t run_count;
};

struct ArenaStats {
  size_t mapped;           // bytes of chunks owned, header pages included
  size_t committed_pages;  // pages in use or dirty, header pages included
  size_t small_allocated;
  size_t large_allocated;
};

struct Arena {
  pthread_mutex_t lock;
  ArenaStats stats;
  RbTree<ByAddress> dirty_chunks;  // through ChunkHeader::dirty_link
  ChunkHeader* spare;
  size_t dirty_pages;
  RbTree<BySizeThenAddress> avail;  // first entries of free runs
  Bin bins[kNumBins];
};

inline ChunkHeader* ChunkOf(const void* p) {
  return reinterpret_cast<ChunkHeader*>(reinterpret_cast<uintptr_t>(p) & ~kChunkMask);
}
inline size_t PageIndex(const void* p) {
  return (reinterpret_cast<uintptr_t>(p) & kChunkMask) >> kPageShift;
}
inline PageMapEntry* EntryOf(const RbNode* link) {
  return RbOwner<PageMapEntry, &PageMapEntry::link>(link);
}
inline ChunkHeader* ChunkOfDirtyLink(const RbNode* link) {
  return RbOwner<ChunkHeader, &ChunkHeader::dirty_link>(link);
}
inline char* PageAddress(ChunkHeader* chunk, size_t page) {
  return reinterpret_cast<char*>(chunk) + (page << kPageShift);
}

// Builds a new arena record from the base allocator; null on failure.
Arena* ArenaCreate();

// Small or large block of `size` bytes (1 to kLargeMax); null when no
// memory. With `zero` the block reads as zeros.
void* ArenaMalloc(Arena* arena, size_t size, bool zero);

// Frees a block of an arena chunk (non-zero offset in its chunk) into the
// chunk's owning arena.
void ArenaFree(void* ptr);

// Usable size of a live block of an arena chunk (no lock).
size_t ArenaUsableSize(const void* ptr);

// Purges dirty pages down to half the limit, or all of them.
void ArenaPurge(Arena* arena, bool all);

// Block of `size` bytes (a multiple of 4096, above 4096) aligned to `align`
// (a multiple of 4096) carved from an over-sized run of `run_size` bytes;
// null when no run can be had.
void* ArenaAlignedLarge(Arena* arena, size_t size, size_t align, size_t run_size);

// Resizes the large block `ptr` of `old_size` bytes to `new_size` (both
// multiples of 4096) in place: shrinking frees the tail as dirty pages,
// growing takes the free run behind the block. False when it cannot grow.
bool ArenaResizeLarge(void* ptr, size_t old_size, size_t new_size);

// ---- Run primitives; the caller holds the arena lock ----

// Run of `size` bytes (multiple of 4096, at most kLargeMax); null when none.
void* RunAllocLocked(Arena* arena, size_t size, bool large, bool zero);
// Frees a run (size from the page map or the bin), dirty or clean.
void RunFreeLocked(Arena* arena, void* run, bool dirty);
// Keeps the last `keep` bytes of a large run of `old_size`, freeing the head
// clean; returns the new start.
void* RunTrimHeadLocked(Arena* arena, void* run, size_t old_size, size_t keep);
// Keeps the first `keep` bytes, freeing the tail dirty or clean.
void RunTrimTailLocked(Arena* arena, void* run, size_t old_size, size_t keep, bool dirty);
// Grows a large run into the free run after it; false when that is not free
// or too small.
bool RunExtendLocked(Arena* arena, void* run, size_t old_size, size_t new_size);
void PurgeLocked(Arena* arena, size_t target);

}  // namespace vellum::heap

#endif  // VLM_MEMORY_ARENA_H_
