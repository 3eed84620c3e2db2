// The allocation entry points through their exported names, in a process
// whose allocator is ours.
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "memory/heap_config.h"
#include "memory/huge.h"
#include "vlm/vlmheap.h"

// These tests compare addresses across realloc and pass absurd sizes on
// purpose.
#pragma GCC diagnostic ignored "-Wuse-after-free"
#pragma GCC diagnostic ignored "-Walloc-size-larger-than="

extern "C" size_t malloc_good_size(size_t size);
void* memalign(unsigned long alignment, unsigned long size);  // _Z8memalignmm

namespace vellum::heap {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

bool IsOurs(const void* p) {
  vlmheap_ptr_info_t info;
  vlmheap_ptr_info(p, &info);
  return info.tag == ptr_live_small || info.tag == ptr_live_large || info.tag == ptr_live_huge;
}

bool AllBytes(const void* p, size_t from, size_t to, unsigned char value) {
  for (size_t i = from; i < to; ++i) {
    if (static_cast<const unsigned char*>(p)[i] != value) return false;
  }
  return true;
}

TEST(Entry, ProcessAllocatorIsOurs) {
  // Allocations of the C library itself come from us too.
  char* s = strdup("hello");
  EXPECT_TRUE(IsOurs(s));
  free(s);
  void* plain = ::memalign(64, 100);  // the C name, not the mangled one
  EXPECT_TRUE(IsOurs(plain));
  free(plain);
  void* mangled = memalign(64ul, 100ul);
  EXPECT_TRUE(IsOurs(mangled));
  free(mangled);
}

TEST(Entry, MallocAndCallocSizes) {
  void* a = malloc(0);
  void* b = malloc(0);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(malloc_usable_size(a), 8u);
  free(a);
  free(b);
  struct Case {
    int line;
    size_t n, usable;
  } cases[] = {
      {__LINE__, 8, 8},       {__LINE__, 9, 16},          {__LINE__, 512, 512},
      {__LINE__, 513, 1024},  {__LINE__, 1025, 2048},     {__LINE__, 2049, 4096},
      {__LINE__, kLargeMax, kLargeMax},
      {__LINE__, kLargeMax + 1, 1044480},  // huge: 255 pages in one chunk
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    void* p = malloc(c.n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(malloc_usable_size(p), c.usable);
    memset(p, 1, c.n);
    free(p);
  }
  unsigned char* z = static_cast<unsigned char*>(calloc(0, 5));
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(malloc_usable_size(z), 8u);
  EXPECT_TRUE(AllBytes(z, 0, 8, 0));
  free(z);
  errno = 0;
  EXPECT_EQ(calloc(size_t{1} << 32, size_t{1} << 32), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  errno = 0;
  EXPECT_EQ(malloc(SIZE_MAX - 100), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  // Recycled memory comes back zeroed from calloc, small, large and huge.
  for (size_t n : {size_t{100}, size_t{20000}, 3 * kMiB}) {
    void* dirty = malloc(n);
    memset(dirty, 0x5A, n);
    free(dirty);
    unsigned char* c = static_cast<unsigned char*>(calloc(1, n));
    EXPECT_TRUE(AllBytes(c, 0, n, 0)) << n;
    free(c);
  }
}

TEST(Entry, ReallocKeepsOrMovesByClass) {
  struct Case {
    int line;
    size_t from, to;
    bool in_place;
  } cases[] = {
      {__LINE__, 100, 110, true},    // both 112
      {__LINE__, 100, 120, false},   // 112 -> 128
      {__LINE__, 5, 0, true},        // 0 is 1: the 8-byte class
      {__LINE__, 8, 9, false},
      {__LINE__, 600, 1000, true},   // both 1024
      {__LINE__, 600, 1100, false},  // 1024 -> 2048
      {__LINE__, 2048, 2049, false}, // small -> large
      {__LINE__, 10000, 5000, true}, // 12288 run trimmed to 8192
      {__LINE__, 10000, 12288, true},
      {__LINE__, 5000, 100, false},  // large -> small
      {__LINE__, 2 * kMiB, 1536 * 1024, true},
      {__LINE__, 3 * kMiB, 2560 * 1024, true},
      {__LINE__, 3 * kMiB, 2 * kMiB, false},  // fewer chunks
      {__LINE__, 2 * kMiB, 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    unsigned char* p = static_cast<unsigned char*>(malloc(c.from));
    ASSERT_NE(p, nullptr);
    size_t u = malloc_usable_size(p);
    for (size_t i = 0; i < c.from; ++i) p[i] = static_cast<unsigned char>(i * 13);
    unsigned char* q = static_cast<unsigned char*>(realloc(p, c.to));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q == p, c.in_place);
    size_t keep = c.from < c.to ? c.from : c.to;
    for (size_t i = 0; i < keep; ++i) ASSERT_EQ(q[i], static_cast<unsigned char>(i * 13)) << i;
    size_t to = c.to == 0 ? 1 : c.to;
    if (q == p && to < u && c.from <= kLargeMax) {
      // The tail that shrank away reads as fill bytes (a trimmed large tail
      // is freed; check only the part still in the block).
      size_t end = malloc_usable_size(q);
      EXPECT_TRUE(AllBytes(q, to, end, kFreeFill));
    }
    free(q);
  }
}

TEST(Entry, ReallocLargeGrowsInPlaceOnlyIntoFreePages) {
  char* a = static_cast<char*>(malloc(10000));
  char* guard = static_cast<char*>(malloc(3 * 4096));
  if (guard == a + 12288) {
    // The pages behind a are taken: growing moves the block.
    char* b = static_cast<char*>(realloc(a, 20000));
    EXPECT_NE(b, a);
    free(b);
  } else {
    free(a);
  }
  free(guard);
  char* c = static_cast<char*>(malloc(kLargeMax));  // a fresh chunk
  ASSERT_TRUE(realloc(c, 5000) == c);
  // Its tail is free now: growing again stays in place.
  EXPECT_EQ(realloc(c, 20000), c);
  EXPECT_EQ(malloc_usable_size(c), 20480u);
  free(c);
}

TEST(Entry, HugeReallocKeepsTheRecordedSize) {
  char* p = static_cast<char*>(malloc(2 * kMiB));
  ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % kMiB, 0u);
  EXPECT_EQ(realloc(p, 1536 * 1024), p);
  EXPECT_EQ(malloc_usable_size(p), 2 * kMiB);
  EXPECT_TRUE(AllBytes(p, 1536 * 1024, 2 * kMiB, kFreeFill));
  EXPECT_EQ(realloc(p, 2 * kMiB), p);
  char* q = static_cast<char*>(realloc(p, 2560 * 1024));
  EXPECT_NE(q, p);
  EXPECT_EQ(malloc_usable_size(q), 2560u * 1024);
  free(q);
}

TEST(Entry, AlignedAllocationArguments) {
  void* p = nullptr;
  struct Case {
    int line;
    size_t align;
    int result;
  } posix[] = {{__LINE__, 0, EINVAL}, {__LINE__, 4, EINVAL}, {__LINE__, 24, EINVAL},
               {__LINE__, 8, 0},      {__LINE__, 4096, 0},   {__LINE__, 2 * kMiB, 0}};
  for (const Case& c : posix) {
    SCOPED_TRACE(c.line);
    void* out = &p;
    errno = 0;
    EXPECT_EQ(posix_memalign(&out, c.align, 100), c.result);
    EXPECT_EQ(errno, 0);
    if (c.result == 0) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(out) % c.align, 0u);
      free(out);
    } else {
      EXPECT_EQ(out, &p);  // not written on failure
    }
  }
  EXPECT_EQ(aligned_alloc(64, 100), nullptr);
  void* a = aligned_alloc(64, 128);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
  EXPECT_EQ(malloc_usable_size(a), 128u);
  free(a);
  // Left open by the contract: a safe null with EINVAL.
  errno = 0;
  EXPECT_EQ(aligned_alloc(0, 16), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(::memalign(24, 100), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(::memalign(kPageSize, SIZE_MAX - 10), nullptr);
  errno = 0;
  EXPECT_EQ(reallocarray(nullptr, SIZE_MAX / 2, 3), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  void* r = reallocarray(nullptr, 10, 10);
  EXPECT_EQ(malloc_usable_size(r), 112u);
  free(r);
}

TEST(Entry, AlignedGeometry) {
  struct Case {
    int line;
    size_t align, size, usable;
  } cases[] = {
      {__LINE__, 8192, 100, 4096},  // from a 12288-byte run
      {__LINE__, 16, 48, 48},       {__LINE__, 64, 100, 128},
      {__LINE__, 256, 300, 512},    {__LINE__, 4096, 1, 4096},
      {__LINE__, 65536, 70000, 73728},
      {__LINE__, 512 * 1024, 600 * 1024, 600 * 1024},  // run too big: huge
      {__LINE__, 2 * kMiB, kMiB, kMiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    char* p = static_cast<char*>(::memalign(c.align, c.size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.align, 0u);
    EXPECT_EQ(malloc_usable_size(p), c.usable);
    memset(p, 2, c.size);
    free(p);
  }
  char* v = static_cast<char*>(valloc(10));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(v) % 4096, 0u);
  free(v);
  char* pv = static_cast<char*>(pvalloc(4097));
  EXPECT_EQ(malloc_usable_size(pv), 8192u);
  free(pv);
}

TEST(Entry, GoodSizesAndForeignAddresses) {
  struct Case {
    size_t n, good;
  } cases[] = {{0, 8},       {1, 8},          {8, 8},           {9, 16},       {512, 512},
               {513, 1024},  {1025, 2048},    {2049, 4096},     {kLargeMax + 1, 1044480},
               // The largest size that rounds to pages; above it the page
               // rounding would overflow and the size comes back as it is.
               {SIZE_MAX - 4095, SIZE_MAX - 4095}, {SIZE_MAX - 4094, SIZE_MAX - 4094},
               {SIZE_MAX, SIZE_MAX}};
  for (const Case& c : cases) EXPECT_EQ(malloc_good_size(c.n), c.good) << c.n;
  int local = 0;
  EXPECT_EQ(malloc_usable_size(&local), 0u);
  EXPECT_EQ(malloc_usable_size(nullptr), 0u);
  EXPECT_EQ(malloc_usable_size(reinterpret_cast<void*>(4096)), 0u);
  // A 1 MiB-aligned address that is no live huge block: free ignores it and
  // realloc refuses it.
  char* h = static_cast<char*>(malloc(3 * kMiB));
  free(h);
  free(h);
  errno = 0;
  EXPECT_EQ(realloc(h, 10), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
}  // namespace vellum::heap
