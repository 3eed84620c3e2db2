#include "memory/arena.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "memory/arena_check.h"
#include "memory/chunk.h"
#include "memory/heap.h"

namespace vellum::heap {
namespace {

// Each test works on an arena of its own.
class ArenaTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AllocatorInit());
    arena_ = ArenaCreate();
    ASSERT_NE(arena_, nullptr);
    saved_limit_ = gDirtyPageLimit;
  }
  void TearDown() override { gDirtyPageLimit = saved_limit_; }

  void* Alloc(size_t size, bool zero = false) {
    void* p = ArenaMalloc(arena_, size, zero);
    EXPECT_NE(p, nullptr);
    if (p != nullptr) live_.insert(p);
    return p;
  }
  void Free(void* p) {
    live_.erase(p);
    ArenaFree(p);
  }
  void ExpectConsistent() {
    std::set<ChunkHeader*> chunks;
    for (void* p : live_) chunks.insert(ChunkOf(p));
    EXPECT_EQ(CheckArena(arena_, chunks), "");
  }
  uintptr_t Bits(void* p, size_t page_offset = 0) {
    return ChunkOf(p)->map[PageIndex(p) + page_offset].bits;
  }

  Arena* arena_ = nullptr;
  std::set<void*> live_;
  size_t saved_limit_ = 0;
};

TEST_F(ArenaTest, FirstAllocationCreatesOneChunk) {
  void* p = Alloc(8);
  EXPECT_EQ(arena_->stats.mapped, kChunkSize);
  EXPECT_EQ(arena_->stats.committed_pages, 2u + 1u);  // header + one-page run
  EXPECT_EQ(arena_->stats.small_allocated, 8u);
  EXPECT_EQ(PageIndex(p), 2u);
  void* q = Alloc(3 * kPageSize);
  EXPECT_EQ(arena_->stats.committed_pages, 2u + 1u + 3u);
  EXPECT_EQ(arena_->stats.large_allocated, 3 * kPageSize);
  EXPECT_EQ(ArenaUsableSize(p), 8u);
  EXPECT_EQ(ArenaUsableSize(q), 3 * kPageSize);
  ExpectConsistent();
}

TEST_F(ArenaTest, TinyRegionsFillARunLowestFirst) {
  std::vector<char*> blocks;
  for (int i = 0; i < 502; ++i) blocks.push_back(static_cast<char*>(Alloc(i % 8 + 1)));
  char* run = blocks[0] - 88;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(run) % kPageSize, 0u);
  for (int i = 0; i < 501; ++i) ASSERT_EQ(blocks[i], run + 88 + 8 * i) << i;
  // The 502nd starts a second run.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[501]) % kPageSize, 88u);
  EXPECT_NE(ChunkOf(blocks[501])->map[PageIndex(blocks[501])].bits, Bits(run));
  EXPECT_EQ(arena_->bins[0].run_count, 2u);
  ExpectConsistent();
}

TEST_F(ArenaTest, FreedRegionsSteerAllocationsToLowRuns) {
  // Three full runs of the 2048-byte bin (65 regions each) and a fourth.
  const int kPerRun = 65;
  std::vector<char*> b;
  for (int i = 0; i < 3 * kPerRun + 1; ++i) b.push_back(static_cast<char*>(Alloc(2048)));
  char* run[4];
  for (int r = 0; r < 4; ++r) run[r] = b[r * kPerRun] - 2048;
  Bin* bin = &arena_->bins[34];
  ASSERT_EQ(bin->current, reinterpret_cast<RunHeader*>(run[3]));
  ASSERT_TRUE(run[1] < run[3] && run[2] < run[3]);
  // A full run below the current one becomes current; the old current run
  // (with free regions) goes to the tree.
  Free(b[kPerRun + 5]);
  EXPECT_EQ(bin->current, reinterpret_cast<RunHeader*>(run[1]));
  ExpectConsistent();
  // A full run above the current one goes to the tree.
  Free(b[2 * kPerRun + 7]);
  EXPECT_EQ(bin->current, reinterpret_cast<RunHeader*>(run[1]));
  ExpectConsistent();
  // The current run serves first, then the lowest run of the tree.
  EXPECT_EQ(Alloc(2048), b[kPerRun + 5]);
  EXPECT_EQ(Alloc(2048), b[2 * kPerRun + 7]);
  EXPECT_EQ(bin->current, reinterpret_cast<RunHeader*>(run[2]));
  EXPECT_EQ(Alloc(2048), run[3] + 2048 + 2048);  // then run 3's next region
  ExpectConsistent();
}

TEST_F(ArenaTest, FreedMemoryReadsAsFillBytes) {
  char* small = static_cast<char*>(Alloc(100));  // 112-byte class
  char* keep = static_cast<char*>(Alloc(100));   // keeps the run alive
  memset(small, 1, 100);
  char* large = static_cast<char*>(Alloc(3 * kPageSize + 1));
  char* guard = static_cast<char*>(Alloc(kPageSize * 2));
  memset(large, 1, 4 * kPageSize);
  Free(small);
  Free(large);
  for (size_t i = 0; i < 112; ++i) ASSERT_EQ(static_cast<unsigned char>(small[i]), kFreeFill) << i;
  for (size_t i = 0; i < 4 * kPageSize; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(large[i]), kFreeFill) << i;
  }
  EXPECT_EQ(Bits(large) & kPageFlags, kPageDirty);
  // Zeroed requests on reused memory read as zero.
  char* z = static_cast<char*>(Alloc(100, true));
  EXPECT_EQ(z, small);
  for (size_t i = 0; i < 112; ++i) ASSERT_EQ(z[i], 0);
  char* zl = static_cast<char*>(Alloc(4 * kPageSize, true));
  EXPECT_EQ(zl, large);
  for (size_t i = 0; i < 4 * kPageSize; ++i) ASSERT_EQ(zl[i], 0);
  (void)keep;
  (void)guard;
  ExpectConsistent();
}

TEST_F(ArenaTest, FreeRunsCoalesceBothWays) {
  char* a = static_cast<char*>(Alloc(1 * kPageSize));
  char* b = static_cast<char*>(Alloc(2 * kPageSize));
  char* c = static_cast<char*>(Alloc(3 * kPageSize));
  char* d = static_cast<char*>(Alloc(1 * kPageSize));
  ASSERT_EQ(b, a + kPageSize);
  ASSERT_EQ(c, b + 2 * kPageSize);
  ASSERT_EQ(d, c + 3 * kPageSize);
  Free(a);
  Free(c);
  ExpectConsistent();
  Free(b);  // merges with c forward and a backward
  EXPECT_EQ(RunSizeOf(Bits(a)), 6 * kPageSize);
  EXPECT_EQ(RunSizeOf(Bits(a, 5)), 6 * kPageSize);
  EXPECT_EQ(arena_->dirty_pages, 6u);
  ExpectConsistent();
  // Best fit: the 6-page hole is taken before the rest of the chunk.
  EXPECT_EQ(Alloc(5 * kPageSize), a);
  ExpectConsistent();
}

TEST_F(ArenaTest, EqualFreeRunsLowestFirst) {
  char* x = static_cast<char*>(Alloc(2 * kPageSize));
  char* g1 = static_cast<char*>(Alloc(kPageSize));
  char* y = static_cast<char*>(Alloc(2 * kPageSize));
  char* g2 = static_cast<char*>(Alloc(kPageSize));
  Free(y);
  Free(x);
  EXPECT_EQ(Alloc(2 * kPageSize), x);
  EXPECT_EQ(Alloc(2 * kPageSize), y);
  (void)g1;
  (void)g2;
  ExpectConsistent();
}

TEST_F(ArenaTest, CompletelyFreeChunkBecomesTheSpare) {
  char* first = static_cast<char*>(Alloc(kLargeMax));
  char* second = static_cast<char*>(Alloc(kLargeMax));
  EXPECT_EQ(PageIndex(first), 2u);
  EXPECT_EQ(arena_->stats.mapped, 2 * kChunkSize);
  Free(first);
  EXPECT_EQ(arena_->spare, ChunkOf(first));
  EXPECT_TRUE(RegistryContains(first));
  ExpectConsistent();
  // Freeing the second chunk releases the first spare to the chunk layer.
  size_t recycled = gRecycler.recycled_bytes;
  Free(second);
  EXPECT_EQ(arena_->spare, ChunkOf(second));
  EXPECT_FALSE(RegistryContains(first));
  EXPECT_EQ(gRecycler.recycled_bytes, recycled + kChunkSize);
  EXPECT_EQ(arena_->stats.mapped, kChunkSize);
  ExpectConsistent();
  // The spare serves a whole-chunk request.
  EXPECT_EQ(Alloc(kLargeMax), second);
  EXPECT_EQ(arena_->spare, nullptr);
  ExpectConsistent();
}

TEST_F(ArenaTest, PurgeWorksDownFromTheTopToHalfTheLimit) {
  // Two chunks, each with 23 runs of 10 pages separated by one-page guards.
  std::vector<char*> runs[2];
  for (auto& r : runs) {
    for (int i = 0; i < 23; ++i) {
      r.push_back(static_cast<char*>(Alloc(10 * kPageSize)));
      Alloc(kPageSize);
    }
  }
  ASSERT_NE(ChunkOf(runs[0][0]), ChunkOf(runs[1][0]));
  int low = ChunkOf(runs[0][0]) < ChunkOf(runs[1][0]) ? 0 : 1;
  int high = 1 - low;
  for (char* r : runs[low]) Free(r);
  EXPECT_EQ(arena_->dirty_pages, 230u);
  Free(runs[high][0]);
  Free(runs[high][1]);
  EXPECT_EQ(arena_->dirty_pages, 250u);
  size_t committed = arena_->stats.committed_pages;
  Free(runs[high][2]);  // 260 > 256: purge to 128
  // The high chunk goes first (30 pages), then the low chunk's top spans of
  // ten pages until at most 128 remain: 230 - 11 * 10 = 120.
  EXPECT_EQ(arena_->dirty_pages, 120u);
  EXPECT_EQ(arena_->stats.committed_pages, committed - 140);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Bits(runs[high][i]) & kPageFlags, kPageMadvised);
  for (int i = 0; i < 23; ++i) {
    uintptr_t want = i < 12 ? kPageDirty : kPageMadvised;
    EXPECT_EQ(Bits(runs[low][i], 9) & kPageFlags, want) << i;
  }
  ExpectConsistent();
}

TEST_F(ArenaTest, ZeroLimitPurgesEveryFreedPage) {
  gDirtyPageLimit = 0;
  char* a = static_cast<char*>(Alloc(5 * kPageSize));
  Alloc(kPageSize);
  Free(a);
  EXPECT_EQ(arena_->dirty_pages, 0u);
  EXPECT_EQ(Bits(a) & kPageFlags, kPageMadvised);
  ExpectConsistent();
}

TEST_F(ArenaTest, LargeRunsTrimAndExtendInPlace) {
  char* a = static_cast<char*>(Alloc(3 * kPageSize));
  // Shrink: the tail goes back as dirty pages.
  ASSERT_TRUE(ArenaResizeLarge(a, 3 * kPageSize, 2 * kPageSize));
  EXPECT_EQ(ArenaUsableSize(a), 2 * kPageSize);
  EXPECT_EQ(Bits(a, 2) & kPageFlags, kPageDirty);
  ExpectConsistent();
  // Grow into the free pages behind it.
  ASSERT_TRUE(ArenaResizeLarge(a, 2 * kPageSize, 5 * kPageSize));
  EXPECT_EQ(ArenaUsableSize(a), 5 * kPageSize);
  EXPECT_EQ(arena_->stats.large_allocated, 5 * kPageSize);
  ExpectConsistent();
  // A run right behind it blocks growth.
  char* b = static_cast<char*>(Alloc(kPageSize));
  ASSERT_EQ(b, a + 5 * kPageSize);
  EXPECT_FALSE(ArenaResizeLarge(a, 5 * kPageSize, 6 * kPageSize));
  ExpectConsistent();
}

TEST_F(ArenaTest, AlignedLargeBlocksTrimCleanPages) {
  struct Case {
    size_t size, align;
  } cases[] = {{kPageSize, 2 * kPageSize}, {3 * kPageSize, 16 * kPageSize},
               {8 * kPageSize, 8 * kPageSize}, {kPageSize, 64 * kPageSize}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.align);
    size_t run = c.size >= c.align ? c.size + c.align - kPageSize : 2 * c.align - kPageSize;
    char* p = static_cast<char*>(ArenaAlignedLarge(arena_, c.size, c.align, run));
    ASSERT_NE(p, nullptr);
    live_.insert(p);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.align, 0u);
    EXPECT_EQ(ArenaUsableSize(p), c.size);
    memset(p, 3, c.size);
    ExpectConsistent();
  }
  for (void* p : std::set<void*>(live_)) Free(p);
  ExpectConsistent();
}

}  // namespace
}  // namespace vellum::heap
