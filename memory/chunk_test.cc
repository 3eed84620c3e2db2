#include "memory/chunk.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "memory/heap.h"
#include "memory/heap_config.h"
#include "memory/os.h"

namespace vellum::heap {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

bool Mapped(const void* addr, size_t size) {
  std::vector<unsigned char> vec((size + kPageSize - 1) / kPageSize);
  return mincore(const_cast<void*>(addr), size, vec.data()) == 0;
}

// Whether the global recycle trees hold [addr, addr + size).
bool Recorded(const char* addr, size_t size) {
  bool found = false;
  gRecycler.by_addr.ForEach([&](RbNode* n) {
    ExtentNode* e = ExtentFromAddrLink(n);
    const char* start = static_cast<const char*>(e->addr);
    if (start <= addr && addr + size <= start + e->size) found = true;
  });
  return found;
}

// A recycler of its own, so that these tests see only their ranges.
class RecyclerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AllocatorInit());
    RecyclerInit(&r_);
  }
  void TearDown() override {
    // Give every remaining range back to the system.
    while (RbNode* n = r_.by_addr.First()) {
      ExtentNode* e = ExtentFromAddrLink(n);
      r_.by_addr.Remove(n);
      r_.by_size.Remove(&e->size_link);
      munmap(e->addr, e->size);
      ExtentNodeFree(e);
    }
  }
  // Fresh mapping of `chunks` chunks, aligned to `align`.
  char* Map(size_t chunks, size_t align = kMiB) {
    return static_cast<char*>(ChunkAlloc(chunks * kMiB, align, true, nullptr));
  }
  std::vector<std::pair<void*, size_t>> Ranges() {
    std::vector<std::pair<void*, size_t>> out;
    r_.by_addr.ForEach([&](RbNode* n) {
      out.push_back({ExtentFromAddrLink(n)->addr, ExtentFromAddrLink(n)->size});
    });
    return out;
  }
  Recycler r_;
};

TEST_F(RecyclerTest, AdjacentRangesMergeAndAreTakenWholeAndZeroed) {
  char* m = Map(3);
  memset(m, 7, 3 * kMiB);
  RecyclerRecord(&r_, m + 2 * kMiB, kMiB, kChunkArena);  // forward neighbour first
  RecyclerRecord(&r_, m, kMiB, kChunkArena);
  EXPECT_EQ(Ranges().size(), 2u);
  RecyclerRecord(&r_, m + kMiB, kMiB, kChunkHuge);  // merges both ways
  ASSERT_EQ(Ranges().size(), 1u);
  EXPECT_EQ(Ranges()[0], std::make_pair(static_cast<void*>(m), 3 * kMiB));
  EXPECT_EQ(r_.recycled_bytes, 3 * kMiB);
  bool zeroed = false;
  EXPECT_EQ(RecyclerTake(&r_, 3 * kMiB, kMiB, &zeroed), m);
  EXPECT_TRUE(zeroed);  // every range was madvised when recorded
  EXPECT_EQ(m[0] + m[3 * kMiB - 1], 0);
  EXPECT_EQ(r_.recycled_bytes, 0u);
  EXPECT_TRUE(r_.by_size.empty());
  munmap(m, 3 * kMiB);
}

TEST_F(RecyclerTest, SplitLeavesTheTrailAndPrefersLowerAddresses) {
  char* a = Map(3);
  char* b = Map(3);
  char* low = a < b ? a : b;
  char* high = a < b ? b : a;
  RecyclerRecord(&r_, high, 3 * kMiB, kChunkZeroed);
  RecyclerRecord(&r_, low, 3 * kMiB, kChunkZeroed);
  EXPECT_EQ(RecyclerTake(&r_, kMiB, kMiB, nullptr), low);
  EXPECT_EQ(r_.recycled_bytes, 5 * kMiB);
  // The 2 MiB trail of the lower range is the best fit now.
  EXPECT_EQ(RecyclerTake(&r_, 2 * kMiB, kMiB, nullptr), low + kMiB);
  EXPECT_EQ(RecyclerTake(&r_, kMiB, kMiB, nullptr), high);
  EXPECT_EQ(Ranges(), (std::vector<std::pair<void*, size_t>>{{high + kMiB, 2 * kMiB}}));
  EXPECT_EQ(RecyclerTake(&r_, 4 * kMiB, kMiB, nullptr), nullptr);
  munmap(low, 3 * kMiB);
  munmap(high, kMiB);
}

TEST_F(RecyclerTest, AlignedTakeNeedsSizePlusAlignmentLessAChunk) {
  // A 4 MiB window that starts on an odd MiB.
  char* m = Map(6, 4 * kMiB) + kMiB;
  munmap(m - kMiB, kMiB);
  munmap(m + 4 * kMiB, kMiB);
  RecyclerRecord(&r_, m, 2 * kMiB, kChunkZeroed);
  // 2 MiB aligned to 2 MiB needs 3 MiB of range.
  EXPECT_EQ(RecyclerTake(&r_, 2 * kMiB, 2 * kMiB, nullptr), nullptr);
  RecyclerRecord(&r_, m + 2 * kMiB, 2 * kMiB, kChunkZeroed);
  char* got = static_cast<char*>(RecyclerTake(&r_, 2 * kMiB, 2 * kMiB, nullptr));
  EXPECT_EQ(got, m + kMiB);
  // Lead and trail both stay recorded.
  EXPECT_EQ(Ranges(), (std::vector<std::pair<void*, size_t>>{{m, kMiB}, {m + 3 * kMiB, kMiB}}));
  EXPECT_EQ(r_.recycled_bytes, 2 * kMiB);
  munmap(got, 2 * kMiB);
}

TEST_F(RecyclerTest, RangeWithoutARecordIsUnmapped) {
  char* m = Map(2);
  gExtentNodeFailures = 1;
  RecyclerRecord(&r_, m, kMiB, kChunkZeroed);
  EXPECT_EQ(gExtentNodeFailures, 0u);
  EXPECT_FALSE(Mapped(m, kMiB));
  EXPECT_EQ(r_.recycled_bytes, 0u);
  // Merging forward needs no new node.
  RecyclerRecord(&r_, m + kMiB, kMiB / 2 * 2, kChunkZeroed);
  munmap(m, kMiB);  // nothing there; keeps the test tidy on failure
}

TEST_F(RecyclerTest, TrailWithoutARecordIsUnmappedAndUncounted) {
  char* m = Map(6, 4 * kMiB) + kMiB;  // odd-MiB start
  munmap(m - kMiB, kMiB);
  RecyclerRecord(&r_, m, 5 * kMiB, kChunkZeroed);
  size_t global_before = gRecycler.recycled_bytes;
  gExtentNodeFailures = 1;
  // Lead 1 MiB, result 2 MiB, trail 2 MiB: the trail needs a second node.
  EXPECT_EQ(RecyclerTake(&r_, 2 * kMiB, 2 * kMiB, nullptr), nullptr);
  EXPECT_EQ(Ranges(), (std::vector<std::pair<void*, size_t>>{{m, kMiB}}));
  EXPECT_EQ(r_.recycled_bytes, kMiB);
  EXPECT_FALSE(Mapped(m + 3 * kMiB, 2 * kMiB));
  // The chosen range went back through chunk deallocation.
  EXPECT_EQ(gRecycler.recycled_bytes, global_before + 2 * kMiB);
  EXPECT_TRUE(Recorded(m + kMiB, 2 * kMiB));
}

TEST(Chunk, FreshChunksAreAlignedZeroedAndRegistered) {
  ASSERT_TRUE(AllocatorInit());
  for (size_t align : {kMiB, 4 * kMiB, 64 * kMiB}) {
    SCOPED_TRACE(align);
    // Nothing recorded is this big, so the range is a fresh mapping.
    bool zeroed = false;
    char* c = static_cast<char*>(ChunkAlloc(200 * kMiB, align, false, &zeroed));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % align, 0u);
    EXPECT_TRUE(zeroed);
    EXPECT_TRUE(RegistryContains(c));
    EXPECT_TRUE(RegistryContains(c + kMiB - 1));
    EXPECT_FALSE(RegistryContains(c + kMiB));  // only the first chunk
    // Above the limit the range is unmapped, not recorded.
    size_t saved = gRecycler.recycled_bytes;
    gRecycler.recycled_bytes = kRecycleLimit;
    ChunkDealloc(c, 200 * kMiB, kChunkHuge);
    gRecycler.recycled_bytes = saved;
    EXPECT_FALSE(RegistryContains(c));
    EXPECT_FALSE(Mapped(c, 200 * kMiB));
  }
  int local = 0;
  EXPECT_FALSE(RegistryContains(&local));
  EXPECT_FALSE(RegistryContains(nullptr));
  EXPECT_FALSE(RegistryContains(reinterpret_cast<void*>(~uintptr_t{0})));
}

TEST(Chunk, JustBelowTheLimitARangeIsRecordedWhole) {
  ASSERT_TRUE(AllocatorInit());
  char* c = static_cast<char*>(ChunkAlloc(8 * kMiB, kMiB, false, nullptr));
  ASSERT_NE(c, nullptr);
  size_t saved = gRecycler.recycled_bytes;
  gRecycler.recycled_bytes = kRecycleLimit - 1;
  ChunkDealloc(c, 8 * kMiB, kChunkHuge);
  EXPECT_EQ(gRecycler.recycled_bytes, kRecycleLimit - 1 + 8 * kMiB);
  EXPECT_TRUE(Mapped(c, 8 * kMiB));
  gRecycler.recycled_bytes = saved + 8 * kMiB;
  EXPECT_TRUE(Recorded(c, 8 * kMiB));
  // Same size again: served from the recorded ranges (neighbours may have
  // merged with it, so the address can differ).
  bool zeroed = false;
  void* again = ChunkAlloc(8 * kMiB, kMiB, false, &zeroed);
  EXPECT_TRUE(zeroed);
  EXPECT_EQ(gRecycler.recycled_bytes, saved);
  ChunkDealloc(again, 8 * kMiB, kChunkHuge);
}

TEST(Chunk, FailedUnmapIsReported) {
  // An address that is not page-aligned makes munmap fail with EINVAL.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(2);
  dup2(fds[1], 2);
  errno = 0;
  OsUnmap(reinterpret_cast<void*>(kPageSize + 1), kPageSize);
  int err = errno;
  dup2(saved, 2);
  close(saved);
  close(fds[1]);
  char buf[256] = {};
  ssize_t n = read(fds[0], buf, sizeof(buf) - 1);
  close(fds[0]);
  ASSERT_GT(n, 0);
  EXPECT_STREQ(buf, "<vlmheap>: (malloc) Error in munmap(): Invalid argument\n");
  EXPECT_EQ(err, EINVAL);  // the message leaves errno alone
}

TEST(Base, AllocationsAreAlignedZeroedAndAccounted) {
  ASSERT_TRUE(AllocatorInit());
  size_t committed = gBase.committed_bytes;
  char* a = static_cast<char*>(BaseAlloc(1));
  char* b = static_cast<char*>(BaseAlloc(100));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(b[i], 0);
  EXPECT_GE(gBase.committed_bytes, committed);
  // A request larger than a chunk gets a base chunk of its own.
  size_t mapped = gBase.mapped_bytes;
  char* big = static_cast<char*>(BaseAlloc(3 * kMiB / 2));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(gBase.mapped_bytes, mapped + 2 * kMiB);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % kMiB, 0u);
  // Extent nodes are recycled LIFO.
  ExtentNode* n = ExtentNodeAlloc();
  ExtentNodeFree(n);
  EXPECT_EQ(ExtentNodeAlloc(), n);
  ExtentNodeFree(n);
}

}  // namespace
}  // namespace vellum::heap
