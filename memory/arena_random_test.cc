// Randomized consistency check of arenas: random allocations and frees of
// mixed sizes, in-place resizing and aligned blocks, with every block's
// contents verified before it is freed and every arena invariant checked
// after each step.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "memory/arena.h"
#include "memory/arena_check.h"
#include "memory/heap.h"

namespace vellum::heap {
namespace {

struct Block {
  unsigned char* ptr;
  size_t size;  // bytes written with the pattern
  unsigned char seed;
};

void Fill(const Block& b) {
  for (size_t i = 0; i < b.size; ++i) b.ptr[i] = static_cast<unsigned char>(b.seed + i * 7);
}

bool Intact(const Block& b) {
  for (size_t i = 0; i < b.size; ++i) {
    if (b.ptr[i] != static_cast<unsigned char>(b.seed + i * 7)) return false;
  }
  return true;
}

size_t RandomSize(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 60) return rng() % 2048 + 1;
  if (r < 90) return rng() % (64 * 1024) + 1;
  return rng() % kLargeMax + 1;
}

TEST(ArenaRandom, RandomOperationsKeepEveryInvariant) {
  ASSERT_TRUE(AllocatorInit());
  size_t saved_limit = gDirtyPageLimit;
  Arena* arenas[2] = {ArenaCreate(), ArenaCreate()};
  std::mt19937_64 rng(20261210);
  std::vector<Block> live[2];
  const size_t kLimits[] = {256, 0, 8, 64};
  for (int phase = 0; phase < 4; ++phase) {
    gDirtyPageLimit = kLimits[phase];
    // A lower limit takes effect at the next free; bring both arenas under it.
    for (Arena* arena : arenas) ArenaPurge(arena, false);
    for (int step = 0; step < 2500; ++step) {
      int a = static_cast<int>(rng() % 2);
      std::vector<Block>& blocks = live[a];
      unsigned op = rng() % 100;
      // Allocate more than free while few blocks are live.
      bool grow = blocks.size() < 50 || (blocks.size() < 400 && op < 55);
      if (grow) {
        Block b{};
        if (op % 10 == 0) {
          size_t align = kPageSize << (rng() % 6);
          size_t size = (RandomSize(rng) + kPageMask) & ~kPageMask;
          if (size <= kPageSize) size = 2 * kPageSize;
          size_t run = size >= align ? size + align - kPageSize : 2 * align - kPageSize;
          if (run > kLargeMax) continue;
          b.ptr = static_cast<unsigned char*>(ArenaAlignedLarge(arenas[a], size, align, run));
          ASSERT_NE(b.ptr, nullptr);
          ASSERT_EQ(reinterpret_cast<uintptr_t>(b.ptr) % align, 0u);
          b.size = size;
        } else {
          size_t size = RandomSize(rng);
          bool zero = op % 7 == 0;
          b.ptr = static_cast<unsigned char*>(ArenaMalloc(arenas[a], size, zero));
          ASSERT_NE(b.ptr, nullptr);
          ASSERT_GE(ArenaUsableSize(b.ptr), size);
          if (zero) {
            for (size_t i = 0; i < size; ++i) ASSERT_EQ(b.ptr[i], 0) << size;
          }
          b.size = ArenaUsableSize(b.ptr);
        }
        b.seed = static_cast<unsigned char>(rng());
        Fill(b);
        blocks.push_back(b);
      } else {
        size_t i = rng() % blocks.size();
        Block b = blocks[i];
        ASSERT_TRUE(Intact(b)) << "block " << static_cast<void*>(b.ptr) << " size " << b.size;
        if (op < 70 && b.size > kSmallMax) {
          // Resize a large block in place, keeping its contents.
          size_t want = (RandomSize(rng) + kPageMask) & ~kPageMask;
          if (want > kSmallMax && ArenaResizeLarge(b.ptr, b.size, want)) {
            blocks[i].size = want;
            if (want > b.size) {
              for (size_t k = b.size; k < want; ++k) {
                b.ptr[k] = static_cast<unsigned char>(b.seed + k * 7);
              }
            }
            ASSERT_TRUE(Intact(blocks[i]));
          }
        } else {
          // Free it, from the other arena's point of view as often as not:
          // the owner comes from the chunk.
          ArenaFree(b.ptr);
          blocks[i] = blocks.back();
          blocks.pop_back();
        }
      }
      std::set<ChunkHeader*> chunks;
      for (const Block& b : blocks) chunks.insert(ChunkOf(b.ptr));
      ASSERT_EQ(CheckArena(arenas[a], chunks), "") << "phase " << phase << " step " << step;
    }
  }
  for (int a = 0; a < 2; ++a) {
    for (const Block& b : live[a]) {
      ASSERT_TRUE(Intact(b));
      ArenaFree(b.ptr);
    }
    ASSERT_EQ(CheckArena(arenas[a], {}), "");
    EXPECT_EQ(arenas[a]->stats.small_allocated + arenas[a]->stats.large_allocated, 0u);
    EXPECT_EQ(arenas[a]->stats.mapped, kChunkSize);  // only the spare is left
  }
  gDirtyPageLimit = saved_limit;
}

}  // namespace
}  // namespace vellum::heap
