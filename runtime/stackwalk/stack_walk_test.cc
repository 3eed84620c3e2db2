#include "vlm/stack_walk.h"

#include <dlfcn.h>
#include <pthread.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
typedef int (*StackWalkTestProbe)(void* arg);
int vlm_swtest_level1(StackWalkTestProbe probe, void* arg);
}

namespace {

struct Frame {
  uint32_t number;
  void* pc;
  void* sp;
};

void Record(uint32_t number, void* pc, void* sp, void* closure) {
  static_cast<std::vector<Frame>*>(closure)->push_back({number, pc, sp});
}

std::string SymbolOf(void* pc) {
  VlmCodeAddressDetails details;
  EXPECT_TRUE(VlmDescribeCodeAddress(pc, &details));
  return details.functionName;
}

void* StackEnd() {
  pthread_attr_t attr;
  void* base;
  size_t size;
  pthread_getattr_np(pthread_self(), &attr);
  pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  return static_cast<char*>(base) + size;
}

struct WalkRequest {
  uint32_t skip;
  uint32_t max;
  std::vector<Frame> frames;
  bool result;
};

}  // namespace

// Probes called from the innermost frame of the test library; exported so
// that their frames can be named too.
extern "C" __attribute__((noinline, visibility("default"))) int vlm_swtest_unwind_probe(
    void* arg) {
  WalkRequest* request = static_cast<WalkRequest*>(arg);
  request->result = VlmStackWalk(Record, request->skip, request->max, &request->frames, 0,
                                 nullptr);
  __asm__ volatile("" ::: "memory");
  return 0;
}

extern "C" __attribute__((noinline, visibility("default"))) int vlm_swtest_frame_probe(
    void* arg) {
  WalkRequest* request = static_cast<WalkRequest*>(arg);
  request->result = vellum::FramePointerStackWalk(
      Record, request->skip, request->max, &request->frames,
      static_cast<void**>(__builtin_frame_address(0)), StackEnd());
  __asm__ volatile("" ::: "memory");
  return 0;
}

TEST(StackWalkTest, UnwinderWalksThroughKnownFrames) {
  struct Case {
    uint32_t skip, max;
    std::vector<std::string> names;
  } cases[] = {
      {0, 4, {"vlm_swtest_unwind_probe", "vlm_swtest_level3", "vlm_swtest_level2",
              "vlm_swtest_level1"}},
      {0, 1, {"vlm_swtest_unwind_probe"}},
      {2, 2, {"vlm_swtest_level2", "vlm_swtest_level1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "skip " << c.skip << " max " << c.max);
    WalkRequest request{c.skip, c.max, {}, false};
    vlm_swtest_level1(vlm_swtest_unwind_probe, &request);
    EXPECT_TRUE(request.result);
    ASSERT_EQ(request.frames.size(), c.names.size());
    for (size_t i = 0; i < c.names.size(); ++i) {
      EXPECT_EQ(request.frames[i].number, i + 1);
      EXPECT_EQ(request.frames[i].sp, nullptr);
      EXPECT_EQ(SymbolOf(request.frames[i].pc), c.names[i]);
    }
  }
  // Without a limit the walk goes on to the outermost frame.
  WalkRequest all{0, 0, {}, false};
  vlm_swtest_level1(vlm_swtest_unwind_probe, &all);
  EXPECT_GT(all.frames.size(), 5u);
}

TEST(StackWalkTest, FramePointerWalkThroughKnownFrames) {
  // The probe's frame reports the return address into level3, and so on.
  struct Case {
    uint32_t skip, max;
    std::vector<std::string> names;
  } cases[] = {
      {0, 3, {"vlm_swtest_level3", "vlm_swtest_level2", "vlm_swtest_level1"}},
      {1, 2, {"vlm_swtest_level2", "vlm_swtest_level1"}},
      {0, 1, {"vlm_swtest_level3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "skip " << c.skip << " max " << c.max);
    WalkRequest request{c.skip, c.max, {}, false};
    vlm_swtest_level1(vlm_swtest_frame_probe, &request);
    EXPECT_TRUE(request.result);
    ASSERT_EQ(request.frames.size(), c.names.size());
    void* previous_sp = nullptr;
    for (size_t i = 0; i < c.names.size(); ++i) {
      EXPECT_EQ(request.frames[i].number, i + 1);
      EXPECT_EQ(SymbolOf(request.frames[i].pc), c.names[i]);
      EXPECT_GT(request.frames[i].sp, previous_sp);  // up the stack
      previous_sp = request.frames[i].sp;
    }
  }
}

// Chains laid out by hand in an array that stands for the stack.
TEST(StackWalkTest, FramePointerWalkStopsAtBadLinks) {
  alignas(16) void* stack[16];
  void* const kEnd = &stack[16];
  auto ret = [](int i) { return reinterpret_cast<void*>(0x1000 + i); };
  // Three frames at words 0, 4 and 8; frame k's saved frame pointer is
  // set per case, its return address is ret(k).
  struct Case {
    int line;
    void* links[3];
    void* stack_end;
    uint32_t skip, max;
    size_t reported;
  } cases[] = {
      {__LINE__, {&stack[4], &stack[8], nullptr}, kEnd, 0, 0, 2},  // ends at a null link
      {__LINE__, {&stack[4], &stack[8], &stack[12]}, kEnd, 0, 0, 3},
      {__LINE__, {&stack[4], &stack[8], &stack[12]}, kEnd, 1, 0, 2},
      {__LINE__, {&stack[4], &stack[8], &stack[12]}, kEnd, 0, 2, 2},
      {__LINE__, {&stack[4], &stack[8], &stack[12]}, kEnd, 5, 0, 0},  // all skipped
      {__LINE__, {&stack[4], &stack[2], &stack[12]}, kEnd, 0, 0, 1},  // goes down
      {__LINE__, {&stack[4], &stack[4], &stack[12]}, kEnd, 0, 0, 1},  // stays
      {__LINE__, {&stack[4], reinterpret_cast<char*>(&stack[8]) + 2, nullptr}, kEnd, 0, 0,
       1},  // not a multiple of 4
      {__LINE__, {&stack[4], &stack[8], &stack[12]}, &stack[7], 0, 0, 1},  // past the end
      // The next frame starts below the end but its return address does not.
      {__LINE__, {&stack[4], &stack[8], &stack[15]}, kEnd, 0, 0, 2},
      {__LINE__, {&stack[4], &stack[8], &stack[14]}, kEnd, 0, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case at line " << c.line);
    for (void*& word : stack) word = nullptr;
    for (int k = 0; k < 3; ++k) {
      stack[4 * k] = c.links[k];
      stack[4 * k + 1] = ret(k);
    }
    std::vector<Frame> frames;
    bool result = vellum::FramePointerStackWalk(Record, c.skip, c.max, &frames, &stack[0],
                                                c.stack_end);
    EXPECT_EQ(result, c.reported > 0);
    ASSERT_EQ(frames.size(), c.reported);
    for (size_t i = 0; i < frames.size(); ++i) {
      int k = static_cast<int>(i + c.skip);
      EXPECT_EQ(frames[i].number, i + 1);
      EXPECT_EQ(frames[i].pc, ret(k));
      EXPECT_EQ(frames[i].sp, &stack[4 * k + 2]);
    }
  }
  std::vector<Frame> frames;
  EXPECT_FALSE(vellum::FramePointerStackWalk(Record, 0, 0, &frames, nullptr, kEnd));
  // A first frame whose words reach past the end is not read.
  stack[14] = &stack[15];
  EXPECT_FALSE(vellum::FramePointerStackWalk(Record, 0, 0, &frames, &stack[15], kEnd));
  EXPECT_TRUE(frames.empty());
}

TEST(CodeAddressTest, DescribesAndFormatsAnExportedFunction) {
  void* pc = reinterpret_cast<char*>(&vlm_swtest_level1) + 5;
  VlmCodeAddressDetails details;
  memset(&details, 'x', sizeof(details));
  ASSERT_TRUE(VlmDescribeCodeAddress(pc, &details));
  EXPECT_STREQ(details.functionName, "vlm_swtest_level1");
  EXPECT_EQ(details.functionOffset, 5);
  EXPECT_NE(strstr(details.libraryPath, "libvlm_stackwalk_testlib.so"), nullptr);
  Dl_info info;
  ASSERT_NE(dladdr(pc, &info), 0);
  EXPECT_EQ(details.libraryOffset, static_cast<char*>(pc) - static_cast<char*>(info.dli_fbase));
  EXPECT_STREQ(details.sourceFile, "");
  EXPECT_EQ(details.sourceLine, 0u);

  char line[600];
  int n = VlmFormatCodeAddressDetails(line, sizeof(line), 3, pc, &details);
  char expected[600];
  snprintf(expected, sizeof(expected), "#03: vlm_swtest_level1[%s +0x%lx]",
           details.libraryPath, static_cast<unsigned long>(details.libraryOffset));
  EXPECT_STREQ(line, expected);
  EXPECT_EQ(n, static_cast<int>(strlen(expected)));

  // An address in no loaded object.
  ASSERT_TRUE(VlmDescribeCodeAddress(reinterpret_cast<void*>(0x10), &details));
  EXPECT_STREQ(details.libraryPath, "");
  EXPECT_STREQ(details.functionName, "");
  EXPECT_EQ(details.libraryOffset, 0);
  EXPECT_EQ(details.functionOffset, 0);
  VlmFormatCodeAddressDetails(line, sizeof(line), 7, nullptr, &details);
  EXPECT_STREQ(line, "#07: \?\?\? (\?\?\?:\?\?\?)");
}

TEST(CodeAddressTest, FormatsTheThreeLineForms) {
  struct Case {
    int line;
    uint32_t frame;
    const char* function;
    const char* library;
    ptrdiff_t offset;
    const char* file;
    uint32_t line_number;
    const char* expected;
  } cases[] = {
      {__LINE__, 1, "fn", "lib.so", 0x1a, "a.cc", 12, "#01: fn (a.cc:12)"},  // file wins
      {__LINE__, 12, "fn", "lib.so", 0x1a, "", 12, "#12: fn[lib.so +0x1a]"},
      {__LINE__, 3, nullptr, "lib.so", 0, nullptr, 0, "#03: ???[lib.so +0x0]"},
      {__LINE__, 3, "", "/x/lib.so", 0xffff, nullptr, 0, "#03: ???[/x/lib.so +0xffff]"},
      {__LINE__, 4, nullptr, nullptr, 0, "f.cc", 9, "#04: \?\?\? (f.cc:9)"},
      {__LINE__, 100, "fn", "", 5, "", 0, "#100: \?\?\? (\?\?\?:\?\?\?)"},
      {__LINE__, 0, "fn", nullptr, 5, nullptr, 0, "#00: \?\?\? (\?\?\?:\?\?\?)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case at line " << c.line);
    char buffer[128];
    int n = VlmFormatCodeAddress(buffer, sizeof(buffer), c.frame, nullptr, c.function,
                                 c.library, c.offset, c.file, c.line_number);
    EXPECT_STREQ(buffer, c.expected);
    EXPECT_EQ(n, static_cast<int>(strlen(c.expected)));
  }
  // A short buffer truncates and reports the full length, like snprintf.
  char small[8];
  EXPECT_EQ(VlmFormatCodeAddress(small, sizeof(small), 1, nullptr, "function", "lib", 1,
                                 nullptr, 0),
            static_cast<int>(strlen("#01: function[lib +0x1]")));
  EXPECT_STREQ(small, "#01: fu");
  StackWalkInitCriticalAddress();
}
