// The infallible family and the size queries on the process allocator.
#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "vlm/vlmheap.h"
#include "vlm/xalloc.h"

namespace {

TEST(XallocHeapTest, EnclosingSizeOfLiveBlocks) {
  // Small, large and huge blocks, asked about at their start, inside and
  // at their last byte.
  for (size_t size : {size_t{24}, size_t{3000}, size_t{100000}, size_t{3} << 20}) {
    SCOPED_TRACE(size);
    char* block = static_cast<char*>(vlm_xmalloc(size));
    vlmheap_ptr_info_t info;
    vlmheap_ptr_info(block, &info);
    EXPECT_GE(info.size, size);
    EXPECT_GE(vlm_malloc_usable_size(block), size);
    EXPECT_EQ(vlm_malloc_size_of(block), vlm_malloc_usable_size(block));
    for (size_t offset : {size_t{0}, size / 2, size - 1}) {
      EXPECT_EQ(vlm_malloc_enclosing_size_of(block + offset), info.size)
          << "offset " << offset;
    }
    free(block);
  }
  // Asking about a freed block is the point here: the volatile copy keeps the
  // compiler's use-after-free warning out of it.
  char* volatile freed = static_cast<char*>(malloc(40));
  free(freed);
  EXPECT_EQ(vlm_malloc_enclosing_size_of(freed), 0u);
  int local = 0;
  EXPECT_EQ(vlm_malloc_enclosing_size_of(&local), 0u);
  EXPECT_EQ(vlm_malloc_enclosing_size_of(nullptr), 0u);
}

TEST(XallocHeapTest, StringsComeFromTheProcessAllocator) {
  char* copy = strdup("from the heap");
  vlmheap_ptr_info_t info;
  vlmheap_ptr_info(copy, &info);
  EXPECT_EQ(info.tag, ptr_live_small);
  EXPECT_EQ(info.addr, copy);
  free(copy);
  const char text[11] = "abc";
  copy = strndup(text, 10);
  EXPECT_STREQ(copy, "abc");
  EXPECT_GE(vlm_malloc_enclosing_size_of(copy + 10), 11u);
  free(copy);
}

TEST(XallocHeapDeathTest, MemalignFailureCrashesWhateverErrnoWas) {
  EXPECT_EXIT(
      {
        errno = EINVAL;
        vlm_xmemalign(64, SIZE_MAX - 4095);
      },
      ::testing::KilledBySignal(SIGSEGV),
      "out of memory: 0xFFFFFFFFFFFFF000 bytes requested\n");
  errno = 0;
  EXPECT_EQ(vlm_xmemalign(SIZE_MAX, 16), nullptr);  // invalid alignment: returned
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
