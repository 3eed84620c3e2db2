// Threads, private arenas and fork, in a process whose allocator is ours.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "memory/arena.h"
#include "memory/heap.h"
#include "vlm/vlmheap.h"

namespace vellum::heap {
namespace {

struct Handoff {
  unsigned char* ptr;
  size_t size;
  unsigned char seed;
};

bool Intact(const Handoff& h) {
  for (size_t i = 0; i < h.size; ++i) {
    if (h.ptr[i] != static_cast<unsigned char>(h.seed + i)) return false;
  }
  return true;
}

// Threads allocate, hand half their blocks to a shared pool and free blocks
// that other threads allocated; every block's contents are checked first.
void CrossThreadChurn(bool private_arenas) {
  constexpr int kThreads = 4;
  std::mutex pool_lock;
  std::vector<Handoff> pool;
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      if (private_arenas) vlmheap_thread_local_arena(1);
      std::mt19937 rng(static_cast<unsigned>(t) + 1);
      std::vector<Handoff> mine;
      for (int i = 0; i < 20000; ++i) {
        if (mine.size() < 200 && rng() % 2 == 0) {
          size_t size = rng() % 8 == 0 ? rng() % 100000 + 1 : rng() % 600 + 1;
          Handoff h{static_cast<unsigned char*>(malloc(size)), size,
                    static_cast<unsigned char>(rng())};
          for (size_t k = 0; k < size; ++k) h.ptr[k] = static_cast<unsigned char>(h.seed + k);
          if (rng() % 2 == 0) {
            std::lock_guard<std::mutex> g(pool_lock);
            pool.push_back(h);
          } else {
            mine.push_back(h);
          }
        } else {
          Handoff h{};
          {
            std::lock_guard<std::mutex> g(pool_lock);
            if (!pool.empty() && rng() % 2 == 0) {
              h = pool.back();
              pool.pop_back();
            }
          }
          if (h.ptr == nullptr && !mine.empty()) {
            h = mine.back();
            mine.pop_back();
          }
          if (h.ptr == nullptr) continue;
          if (!Intact(h)) ++bad;
          free(h.ptr);
        }
      }
      for (const Handoff& h : mine) {
        if (!Intact(h)) ++bad;
        free(h.ptr);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const Handoff& h : pool) {
    if (!Intact(h)) ++bad;
    free(h.ptr);
  }
  EXPECT_EQ(bad.load(), 0);
}

TEST(Threads, CrossThreadFreesOnTheDefaultArena) { CrossThreadChurn(false); }
TEST(Threads, CrossThreadFreesOnPrivateArenas) { CrossThreadChurn(true); }

TEST(Threads, PrivateArenaBlocksBelongToIt) {
  void* shared = malloc(64);
  Arena* first = ChunkOf(shared)->arena;
  void* from_private = nullptr;
  Arena* private_arena = nullptr;
  std::thread t([&] {
    // A thread that never allocated goes back to the default arena.
    vlmheap_thread_local_arena(0);
    void* p = malloc(64);
    EXPECT_EQ(ChunkOf(p)->arena, first);
    free(p);
    vlmheap_thread_local_arena(1);
    from_private = malloc(100);
    private_arena = ChunkOf(from_private)->arena;
  });
  t.join();
  EXPECT_NE(private_arena, first);
  // Freed from a thread of the default arena, into the block's own arena.
  size_t before = private_arena->stats.small_allocated;
  free(from_private);
  EXPECT_EQ(private_arena->stats.small_allocated, before - 112);
  free(shared);
}

TEST(Threads, ArenaListGrowsBySixteen) {
  Arena** before = gArenaList.arenas;
  uint32_t count = gArenaList.count;
  std::vector<Arena*> seen(before, before + count);
  // Create arenas until the list has to grow at least once.
  uint32_t target = (count / 16 + 1) * 16 + 1;
  std::thread t([&] {
    for (uint32_t i = count; i < target; ++i) vlmheap_thread_local_arena(1);
  });
  t.join();
  EXPECT_EQ(gArenaList.count, target);
  EXPECT_NE(gArenaList.arenas, before);
  for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(gArenaList.arenas[i], seen[i]);
  // Entries past the count are null up to the capacity (a multiple of 16).
  for (uint32_t i = target; i % 16 != 0; ++i) EXPECT_EQ(gArenaList.arenas[i], nullptr);
  vlmheap_stats_t st;
  vlmheap_stats(&st);
  EXPECT_EQ(st.arena_count, target);
}

TEST(Threads, ForkWhileOtherThreadsAllocate) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      if (t == 2) vlmheap_thread_local_arena(1);
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<void*> held;
      while (!stop.load()) {
        size_t size = rng() % 4 == 0 ? rng() % 3000000 + 1 : rng() % 3000 + 1;
        held.push_back(malloc(size));
        if (held.size() > 50) {
          free(held.front());
          held.erase(held.begin());
        }
      }
      for (void* p : held) free(p);
    });
  }
  for (int round = 0; round < 20; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Every allocator lock is usable in the child at once.
      std::vector<void*> blocks;
      for (size_t size : {size_t{16}, size_t{5000}, size_t{3} << 20, size_t{700}}) {
        void* p = malloc(size);
        if (p == nullptr) _exit(2);
        memset(p, 1, size);
        blocks.push_back(p);
      }
      vlmheap_stats_t st;
      vlmheap_stats(&st);
      vlmheap_free_dirty_pages();
      for (void* p : blocks) free(p);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);
  }
  stop = true;
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace vellum::heap
