#include "memory/heap_config.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include <string>
#include <thread>

#include "memory/chunk.h"
#include "memory/heap.h"
#include "vlm/vlmheap.h"

namespace vellum::heap {
namespace {

TEST(HeapConfig, BinTableMatchesPublishedTable) {
  // region size, run size, regions, bitmap words, header bytes.
  static constexpr BinGeometry kRows[kNumBins] = {
      {8, 4096, 501, 16, 88},     {16, 4096, 252, 8, 64},     {32, 4096, 126, 4, 64},
      {48, 4096, 84, 3, 64},      {64, 4096, 63, 2, 64},      {80, 4096, 50, 2, 96},
      {96, 4096, 42, 2, 64},      {112, 8192, 72, 3, 128},    {128, 8192, 63, 2, 128},
      {144, 8192, 56, 2, 128},    {160, 8192, 51, 2, 32},     {176, 8192, 46, 2, 96},
      {192, 12288, 63, 2, 192},   {208, 12288, 58, 2, 224},   {224, 12288, 54, 2, 192},
      {240, 12288, 51, 2, 48},    {256, 16384, 63, 2, 256},   {272, 16384, 60, 2, 64},
      {288, 16384, 56, 2, 256},   {304, 16384, 53, 2, 272},   {320, 20480, 63, 2, 320},
      {336, 20480, 60, 2, 320},   {352, 20480, 58, 2, 64},    {368, 20480, 55, 2, 240},
      {384, 24576, 63, 2, 384},   {400, 24576, 61, 2, 176},   {416, 24576, 59, 2, 32},
      {432, 24576, 56, 2, 384},   {448, 28672, 63, 2, 448},   {464, 28672, 61, 2, 368},
      {480, 28672, 59, 2, 352},   {496, 28672, 57, 2, 400},   {512, 32768, 63, 2, 512},
      {1024, 65536, 63, 2, 1024}, {2048, 135168, 65, 3, 2048},
  };
  for (size_t i = 0; i < kNumBins; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kBinTable.bins[i].region_size, kRows[i].region_size);
    EXPECT_EQ(kBinTable.bins[i].run_size, kRows[i].run_size);
    EXPECT_EQ(kBinTable.bins[i].regions, kRows[i].regions);
    EXPECT_EQ(kBinTable.bins[i].bitmap_words, kRows[i].bitmap_words);
    EXPECT_EQ(kBinTable.bins[i].first_region, kRows[i].first_region);
  }
  // Bin 0 also follows from the rule (the size test keeps it at one page).
  EXPECT_EQ(ChooseRun(8, 4096), kRows[0]);
}

TEST(HeapConfig, SizeClassBoundaries) {
  struct Case {
    int line;
    size_t n;
    size_t bin;  // kNumBins: not a small request
    size_t size;
  } cases[] = {
      {__LINE__, 1, 0, 8},         {__LINE__, 8, 0, 8},
      {__LINE__, 9, 1, 16},        {__LINE__, 100, 7, 112},
      {__LINE__, 512, 32, 512},    {__LINE__, 513, 33, 1024},
      {__LINE__, 1024, 33, 1024},  {__LINE__, 1025, 34, 2048},
      {__LINE__, 2048, 34, 2048},  {__LINE__, 2049, kNumBins, 4096},
      {__LINE__, kLargeMax, kNumBins, kLargeMax},
      // Huge: recorded size is the request rounded to pages.
      {__LINE__, kLargeMax + 1, kNumBins, kLargeMax + kPageSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    if (c.bin < kNumBins) {
      EXPECT_EQ(SmallBin(c.n), c.bin);
      EXPECT_EQ(kBinTable.bins[c.bin].region_size, c.size);
    }
    EXPECT_EQ(ClassSize(c.n), c.size);
  }
  EXPECT_EQ(kLargeMax, 1040384u);
}

// Runs ApplyMallocOptions on a limit of 256 and returns what it wrote.
std::string ApplyCapturingStderr(const char* value, size_t* limit) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  int saved = dup(2);
  dup2(fds[1], 2);
  ApplyMallocOptions(value, limit);
  dup2(saved, 2);
  close(saved);
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  return out;
}

TEST(HeapConfig, MallocOptions) {
  const std::string kMsg = "<vlmheap>: (malloc) Unsupported character in malloc options: '";
  struct Case {
    int line;
    const char* value;
    size_t limit;
    std::string message;
  } cases[] = {
      {__LINE__, nullptr, 256, ""},
      {__LINE__, "", 256, ""},
      {__LINE__, "F", 512, ""},
      {__LINE__, "3f", 32, ""},
      {__LINE__, "10f", 0, ""},
      {__LINE__, "0F", 256, ""},
      {__LINE__, "ff2F", 256, ""},
      {__LINE__, "10fF", 1, ""},  // a limit of 0 doubles to 1
      {__LINE__, "x", 256, kMsg + "x'\n"},
      {__LINE__, "2x", 256, kMsg + "x'\n" + kMsg + "x'\n"},
      {__LINE__, "0xF", 512, ""},  // a count of 0 skips the letter
      {__LINE__, "F12", 512, ""},  // trailing digits mean nothing
      {__LINE__, "99", 256, ""},
      {__LINE__, "70F", size_t{256} << 55, ""},  // doubling to 0 leaves the limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    size_t limit = 256;
    EXPECT_EQ(ApplyCapturingStderr(c.value, &limit), c.message);
    EXPECT_EQ(limit, c.limit);
  }
}

TEST(HeapConfig, MallocOptionsDigitsStopAtTheEnd) {
  // The value ends right after the digits, at the end of a mapped page with
  // nothing readable behind it.
  long page = sysconf(_SC_PAGESIZE);
  char* mem = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  char* value = mem + page - 4;
  memcpy(value, "F12", 4);
  size_t limit = 256;
  ApplyMallocOptions(value, &limit);
  EXPECT_EQ(limit, 512u);
  munmap(mem, 2 * page);
}

void RaceInitialisation() {
  setenv("MALLOC_OPTIONS", "F", 1);
  bool ok[2] = {false, false};
  std::thread a([&] { ok[0] = AllocatorInit(); });
  std::thread b([&] { ok[1] = AllocatorInit(); });
  a.join();
  b.join();
  bool good = ok[0] && ok[1] && gArenaList.count == 1 && gDirtyPageLimit == 512 &&
              gRegistry != nullptr && ChooseArena() == gArenaList.arenas[0];
  _exit(good ? 0 : 1);
}

// Initialisation in a fresh process: two threads race for it, both succeed,
// and one arena exists afterwards; MALLOC_OPTIONS is applied once.
TEST(HeapConfigDeathTest, ConcurrentFirstInitialisation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RaceInitialisation(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vellum::heap

namespace vellum::heap {
namespace {

// The queries are meant for after the first allocation; called earlier they
// answer "nothing is ours" instead of touching unbuilt structures.
void QueryBeforeInitialisation() {
  int local = 0;
  vlmheap_ptr_info_t info{ptr_live_small, &local, 1};
  vlmheap_ptr_info(reinterpret_cast<void*>(uintptr_t{64} << 20), &info);
  bool good = info.tag == ptr_unknown && info.addr == nullptr && info.size == 0;
  vlmheap_stats_t stats;
  vlmheap_stats(&stats);
  good = good && stats.arena_count == 0 && stats.allocated == 0;
  vlmheap_thread_local_arena(1);
  vlmheap_thread_local_arena(0);
  vlmheap_free_dirty_pages();
  good = good && !gInitialised && AllocatorInit() && gArenaList.count == 1;
  _exit(good ? 0 : 1);
}

TEST(HeapConfigDeathTest, QueriesBeforeTheFirstAllocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(QueryBeforeInitialisation(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vellum::heap
