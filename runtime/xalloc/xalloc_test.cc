#include "vlm/xalloc.h"

#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "vlm/vlmheap.h"

// This process runs on the C library's allocator, which has no
// vlmheap_ptr_info: a stand-in answers with a programmed record.
namespace {
vlmheap_ptr_info_t gPtrInfo;
const void* gPtrInfoAsked;
}  // namespace

extern "C" void vlmheap_ptr_info(const void* pointer, vlmheap_ptr_info_t* info) {
  gPtrInfoAsked = pointer;
  *info = gPtrInfo;
}

namespace {

const size_t kMax = SIZE_MAX;
// Sizes no allocator can serve, but that do not overflow alignment rounding.
const size_t kHuge = 0xFFFFFFFFFFFF0000;

std::string OomMessage(const char* hex) {
  return std::string("out of memory: 0x") + hex + " bytes requested\n";
}

TEST(XallocDeathTest, OutOfMemoryMessage) {
  struct Case {
    int line;
    std::function<void()> call;
    const char* hex;
  } cases[] = {
      {__LINE__, [] { vlmalloc_handle_oom(0); }, "0000000000000000"},
      {__LINE__, [] { vlmalloc_handle_oom(0x1234); }, "0000000000001234"},
      {__LINE__, [] { vlmalloc_handle_oom(kMax); }, "FFFFFFFFFFFFFFFF"},
      {__LINE__, [] { vlmalloc_handle_oom(0xABCDEF0123456789); }, "ABCDEF0123456789"},
      {__LINE__, [] { vlm_xmalloc(kMax); }, "FFFFFFFFFFFFFFFF"},
      // calloc reports the element size, not the product.
      {__LINE__, [] { vlm_xcalloc(4, size_t{1} << 62); }, "4000000000000000"},
      {__LINE__, [] { vlm_xrealloc(nullptr, kMax); }, "FFFFFFFFFFFFFFFF"},
      {__LINE__, [] { vlm_xstrndup("abc", size_t{1} << 60); }, "1000000000000000"},
      // n + 1 overflows: strndup refuses, the size reported is n.
      {__LINE__, [] { volatile size_t n = kMax; vlm_xstrndup("abc", n); }, "FFFFFFFFFFFFFFFF"},
      {__LINE__, [] { void* p; vlm_xposix_memalign(&p, 64, kHuge); }, "FFFFFFFFFFFF0000"},
      {__LINE__, [] { vlm_xmemalign(64, kHuge); }, "FFFFFFFFFFFF0000"},
      {__LINE__,
       [] {
         // A stale EINVAL must not pass for the allocation's own.
         errno = EINVAL;
         vlm_xmemalign(64, kHuge);
       },
       "FFFFFFFFFFFF0000"},
      {__LINE__, [] { vlm_xvalloc(kHuge); }, "FFFFFFFFFFFF0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case at line " << c.line);
    EXPECT_EXIT(c.call(), ::testing::KilledBySignal(SIGSEGV), OomMessage(c.hex));
  }
}

void ReportingHandler(size_t size) {
  char text[64];
  int n = snprintf(text, sizeof(text), "handler saw %zx\n", size);
  ssize_t ignored = write(STDERR_FILENO, text, static_cast<size_t>(n));
  (void)ignored;
}

TEST(XallocDeathTest, AHandlerThatReturnsDoesNotPreventTheCrash) {
  EXPECT_EXIT(
      {
        vlmalloc_set_oom_abort_handler(ReportingHandler);
        vlm_xmalloc(kMax);
      },
      ::testing::KilledBySignal(SIGSEGV),
      "handler saw ffffffffffffffff\n" + OomMessage("FFFFFFFFFFFFFFFF"));
  // A removed handler is not called.
  EXPECT_EXIT(
      {
        vlmalloc_set_oom_abort_handler(ReportingHandler);
        vlmalloc_set_oom_abort_handler(nullptr);
        vlmalloc_handle_oom(0x1234);
      },
      ::testing::KilledBySignal(SIGSEGV), "^" + OomMessage("0000000000001234"));
}

// Results that are not failures are handed back.
TEST(XallocTest, NonFailuresAreReturned) {
  void* zero = vlm_xmalloc(0);  // whatever malloc(0) gives
  free(zero);
  free(vlm_xcalloc(0, kMax));
  free(vlm_xcalloc(kMax, 0));
  void* block = vlm_xmalloc(10);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(vlm_xrealloc(block, 0), nullptr);  // freed, not a failure

  void* aligned = nullptr;
  EXPECT_EQ(vlm_xposix_memalign(&aligned, 3, 16), EINVAL);
  EXPECT_EQ(vlm_posix_memalign(&aligned, 3, 16), EINVAL);
  EXPECT_EQ(vlm_posix_memalign(&aligned, 64, kHuge), ENOMEM);  // no crash
  ASSERT_EQ(vlm_xposix_memalign(&aligned, 256, 100), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);
  free(aligned);

  errno = 0;
  EXPECT_EQ(vlm_xmemalign(kMax, 16), nullptr);  // invalid alignment
  EXPECT_EQ(errno, EINVAL);
  void* a = vlm_xmemalign(4096, 10);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4096, 0u);
  free(a);
  void* v = vlm_xvalloc(1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(v) % sysconf(_SC_PAGESIZE), 0u);
  free(v);

  char* copy = vlm_xstrdup("text");
  EXPECT_STREQ(copy, "text");
  free(copy);
  copy = vlm_xstrndup("text", 2);
  EXPECT_STREQ(copy, "te");
  free(copy);
}

TEST(XallocTest, StrdupAndStrndup) {
  char* copy = strdup("");
  EXPECT_STREQ(copy, "");
  free(copy);
  copy = strdup("hello");
  EXPECT_STREQ(copy, "hello");
  free(copy);

  // strndup always allocates n + 1 bytes.
  struct Case {
    const char* text;
    size_t n;
    const char* expected;
  } cases[] = {{"abc", 10, "abc"}, {"abcdef", 3, "abc"}, {"abc", 0, ""}, {"", 5, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    copy = strndup(c.text, c.n);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, c.expected);
    EXPECT_GE(malloc_usable_size(copy), c.n + 1);
    // The bytes after a shorter text are zero up to n.
    for (size_t i = strlen(c.expected); i <= c.n; ++i) EXPECT_EQ(copy[i], '\0');
    free(copy);
  }

  // n + 1 would wrap to 0: refused instead of written past.
  errno = 0;
  volatile size_t wraps = kMax;  // hidden from the compiler's bound check
  EXPECT_EQ(strndup("abc", wraps), nullptr);
  EXPECT_EQ(errno, ENOMEM);

  // Only n bytes of the text are read: an unterminated one before an
  // inaccessible page is fine.
  long page = sysconf(_SC_PAGESIZE);
  char* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  memcpy(pages + page - 4, "wxyz", 4);
  copy = strndup(pages + page - 4, 4);
  EXPECT_STREQ(copy, "wxyz");
  free(copy);
  munmap(pages, 2 * page);
}

TEST(XallocTest, SizeQueries) {
  EXPECT_EQ(vlm_malloc_usable_size(nullptr), 0u);
  EXPECT_EQ(vlm_malloc_size_of(nullptr), 0u);
  void* block = malloc(100);
  EXPECT_EQ(vlm_malloc_usable_size(block), malloc_usable_size(block));
  EXPECT_EQ(vlm_malloc_size_of(block), malloc_usable_size(block));
  free(block);
}

TEST(XallocTest, EnclosingSizeCountsOnlyLiveBlocks) {
  struct Case {
    vlmheap_ptr_info_tag tag;
    size_t expected;
  } cases[] = {
      {ptr_unknown, 0},
      {ptr_live_small, 48},
      {ptr_live_large, 48},
      {ptr_live_huge, 48},
      {ptr_freed_small, 0},
      {ptr_freed_page_dirty, 0},
      {ptr_freed_page_decommitted, 0},
      {ptr_freed_page_madvised, 0},
      {ptr_freed_page_zeroed, 0},
  };
  char block[64];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    gPtrInfo = {c.tag, block, 48};
    EXPECT_EQ(vlm_malloc_enclosing_size_of(block + 5), c.expected);
    EXPECT_EQ(gPtrInfoAsked, block + 5);  // inner addresses are passed as they are
  }
}

}  // namespace
