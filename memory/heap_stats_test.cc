// Statistics, pointer information and purging through the exported names.
#include <stdlib.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "memory/arena.h"
#include "memory/chunk.h"
#include "memory/heap.h"
#include "memory/huge.h"
#include "vlm/vlmheap.h"

// Freed addresses are classified on purpose.
#pragma GCC diagnostic ignored "-Wuse-after-free"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vellum::heap {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

vlmheap_ptr_info_t Info(const void* p) {
  vlmheap_ptr_info_t info{static_cast<vlmheap_ptr_info_tag>(99), &info, 12345};
  vlmheap_ptr_info(p, &info);
  return info;
}

// Classifies first: the test framework's own allocations may reuse pages.
void ExpectInfo(int line, const void* p, vlmheap_ptr_info_tag tag, const void* addr, size_t size) {
  vlmheap_ptr_info_t info = Info(p);
  SCOPED_TRACE(line);
  EXPECT_EQ(info.tag, tag);
  EXPECT_EQ(info.addr, addr);
  EXPECT_EQ(info.size, size);
}

TEST(Introspect, RecordLayout) {
  EXPECT_EQ(offsetof(vlmheap_stats_t, arena_count), 8u);
  EXPECT_EQ(offsetof(vlmheap_stats_t, bin_unused), 8u + 12 * 8);
  EXPECT_EQ(sizeof(vlmheap_stats_t), 8u + 13 * 8);
  EXPECT_EQ(offsetof(vlmheap_ptr_info_t, addr), 8u);
  EXPECT_EQ(sizeof(vlmheap_ptr_info_t), 24u);
}

TEST(Introspect, PointerTags) {
  char* small = static_cast<char*>(malloc(100));
  char* neighbour = static_cast<char*>(malloc(100));  // keeps the run alive
  ExpectInfo(__LINE__, small, ptr_live_small, small, 112);
  ExpectInfo(__LINE__, small + 50, ptr_live_small, small, 112);
  free(small);
  ExpectInfo(__LINE__, small, ptr_freed_small, small, 112);
  // The run header is no region.
  char* run = reinterpret_cast<char*>(RunOfPage(ChunkOf(neighbour)->map[PageIndex(neighbour)].bits));
  ExpectInfo(__LINE__, run + 8, ptr_unknown, nullptr, 0);

  char* large = static_cast<char*>(malloc(5 * 4096));
  ExpectInfo(__LINE__, large + 2 * 4096 + 17, ptr_live_large, large, 20480);
  char* guard = static_cast<char*>(malloc(4096));
  free(large);
  ExpectInfo(__LINE__, large + 4096, ptr_freed_page_dirty, large + 4096, 4096);
  vlmheap_free_dirty_pages();
  vlmheap_ptr_info_t purged = Info(large + 4096);
  vlmheap_stats_t st;
  vlmheap_stats(&st);
  EXPECT_EQ(st.dirty, 0u);
  EXPECT_EQ(purged.tag, ptr_freed_page_madvised);
  EXPECT_EQ(purged.addr, large + 4096);

  char* huge = static_cast<char*>(malloc(2 * kMiB + 100));
  ExpectInfo(__LINE__, huge + kMiB + 5, ptr_live_huge, huge, 2 * kMiB + 4096);
  // Past the recorded size but inside the block's first chunk of a
  // one-chunk huge block: the chunk has no page map.
  char* one = static_cast<char*>(malloc(kLargeMax + 1));
  ExpectInfo(__LINE__, one + kLargeMax + 4096 + 10, ptr_unknown, nullptr, 0);
  ExpectInfo(__LINE__, one + 10, ptr_live_huge, one, kLargeMax + 4096);
  free(one);
  free(huge);

  int local = 0;
  ExpectInfo(__LINE__, &local, ptr_unknown, nullptr, 0);
  ExpectInfo(__LINE__, nullptr, ptr_unknown, nullptr, 0);
  ExpectInfo(__LINE__, reinterpret_cast<void*>(kMiB - 1), ptr_unknown, nullptr, 0);
  ExpectInfo(__LINE__, ChunkOf(neighbour), ptr_unknown, nullptr, 0);  // chunk header
  free(neighbour);
  free(guard);
}

TEST(Introspect, FreshAndTrimmedPages) {
  // A private arena gets a fresh chunk: its untouched pages are decommitted
  // (tested before zeroed).
  vlmheap_thread_local_arena(1);
  char* p = static_cast<char*>(malloc(3 * 4096));
  ExpectInfo(__LINE__, p + 3 * 4096, ptr_freed_page_decommitted, p + 3 * 4096, 4096);
  // Pages trimmed off an aligned block carry no flag: unknown, no crash.
  char* a = static_cast<char*>(memalign(64 * 1024, 4096));
  ASSERT_NE(a, nullptr);
  char* head = a - 4096;
  ASSERT_EQ(ChunkOf(head), ChunkOf(a));
  ASSERT_EQ(ChunkOf(head)->map[PageIndex(head)].bits & kPageFlags, 0u);
  ExpectInfo(__LINE__, head, ptr_unknown, nullptr, 0);
  free(a);
  free(p);
  vlmheap_thread_local_arena(0);
}

TEST(Introspect, StatisticsAddUp) {
  vlmheap_stats_t st;
  vlmheap_stats(&st);
  EXPECT_FALSE(st.opt_junk);
  EXPECT_FALSE(st.opt_zero);
  EXPECT_GE(st.arena_count, 1u);
  EXPECT_EQ(st.quantum, 16u);
  EXPECT_EQ(st.quantum_class_max, 512u);
  EXPECT_EQ(st.large_class_max, 1040384u);
  EXPECT_EQ(st.chunk_size, 1048576u);
  EXPECT_EQ(st.page_size, 4096u);
  EXPECT_EQ(st.dirty_page_limit, 256u);
  void* blocks[100];
  for (int i = 0; i < 100; ++i) blocks[i] = malloc(static_cast<size_t>(i) * 97 + 1);
  for (int i = 0; i < 100; i += 3) free(blocks[i]);
  vlmheap_stats(&st);
  // With the huge blocks left out, everything committed in arenas is
  // accounted for exactly once.
  size_t committed = 0;
  for (uint32_t i = 0; i < gArenaList.count; ++i) {
    committed += gArenaList.arenas[i]->stats.committed_pages * 4096;
  }
  size_t huge_allocated = gHuge.allocated;
  EXPECT_EQ(st.waste + (st.allocated - huge_allocated) + st.dirty + st.bin_unused +
                (st.bookkeeping - gBase.committed_bytes),
            committed);
  EXPECT_GE(st.mapped, st.allocated);
  for (int i = 0; i < 100; ++i) {
    if (i % 3 != 0) free(blocks[i]);
  }
  vlmheap_purge_freed_pages();  // nothing to do, must not fail
}

}  // namespace
}  // namespace vellum::heap
