// Allocator introspection: statistics, pointer classification and purging.
//
// The two records are shared with code outside this program: their field
// order and widths are fixed. All functions are thread-safe, take the
// allocator's locks briefly, never allocate, and are meaningful only after
// the allocator has been initialised (any earlier allocation does that).
#ifndef VLM_VLMHEAP_H_
#define VLM_VLMHEAP_H_

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  // Reserved flags, always 0.
  bool opt_junk;
  bool opt_zero;
  size_t arena_count;
  size_t quantum;            // 16
  size_t quantum_class_max;  // 512
  size_t large_class_max;    // 1040384
  size_t chunk_size;         // 1048576
  size_t page_size;          // 4096
  size_t dirty_page_limit;   // in pages
  size_t mapped;
  size_t allocated;
  size_t waste;
  size_t dirty;
  size_t bookkeeping;
  size_t bin_unused;
} vlmheap_stats_t;

typedef enum {
  ptr_unknown = 0,
  ptr_live_small = 1,
  ptr_live_large = 2,
  ptr_live_huge = 3,
  ptr_freed_small = 4,
  ptr_freed_page_dirty = 5,
  ptr_freed_page_decommitted = 6,
  ptr_freed_page_madvised = 7,
  ptr_freed_page_zeroed = 8,
} vlmheap_ptr_info_tag;

typedef struct {
  vlmheap_ptr_info_tag tag;
  void* addr;
  size_t size;
} vlmheap_ptr_info_t;

void vlmheap_stats(vlmheap_stats_t* stats);
void vlmheap_ptr_info(const void* ptr, vlmheap_ptr_info_t* info);
void vlmheap_free_dirty_pages(void);
void vlmheap_purge_freed_pages(void);
// Non-zero gives the calling thread a new private arena (every such call
// creates another one); zero puts the thread back on the default arena.
// Blocks stay valid whichever thread frees them. Call only after the first
// allocation of the process.
void vlmheap_thread_local_arena(int enabled);

#ifdef __cplusplus
}
#endif

#endif  // VLM_VLMHEAP_H_
