// The 1024-byte fallback of the transfer buffers. The fallback lasts for the
// process, so these cases run in order in their own binary. malloc is wrapped
// at link time: while armed, allocations of the large buffer size fail.
#include <gtest/gtest.h>

#include <cstdlib>

#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"
#include "updater/formats/upq_test_util.h"

extern "C" void* __real_malloc(size_t size);

namespace {

bool gFailLarge = false;
bool gFailSmall = false;
int gLargeRequests = 0;

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  if (size == kUpqTransferBufferSize) {
    ++gLargeRequests;
    if (gFailLarge) return nullptr;
  }
  if (size == kUpqSmallTransferBufferSize && gFailSmall) return nullptr;
  return __real_malloc(size);
}

namespace {

using namespace upq_test;

TEST(UpqSmallBuffers, FallbackIsUsedAndKeptForLaterOpens) {
  TempDir dir;
  // Decoded sizes around multiples of 1024, and an entry whose stored size
  // needs many small reads.
  const Bytes sizes[] = {ToBytes("x"), TextBytes(1024, 1), TextBytes(4096, 2),
                         TextBytes(1025, 3), RandomBytes(10000, 4)};
  std::vector<RawEntry> entries;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    entries.push_back({"e" + std::to_string(i), XzEncode(sizes[i])});
  }
  std::string path = dir / "a.upq";
  WriteFile(path, BuildArchive(entries));

  // The first Open tries the large size once per buffer and falls back.
  gFailLarge = true;
  ASSERT_EQ(gArchiveReader.Open(path.c_str()), 0);
  EXPECT_EQ(gLargeRequests, 2);
  gFailLarge = false;
  gArchiveReader.Close();

  // From now on only small buffers are allocated; when even those fail
  // there is no memory for the transfer buffers.
  gFailSmall = true;
  gLargeRequests = 0;
  EXPECT_EQ(gArchiveReader.Open(path.c_str()), 11);
  EXPECT_EQ(gLargeRequests, 0);
  gFailSmall = false;

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(gArchiveReader.Open(path.c_str()), 0);
    EXPECT_EQ(gLargeRequests, 0);
    for (size_t i = 0; i < std::size(sizes); ++i) {
      std::string out = dir / "out";
      ASSERT_EQ(gArchiveReader.ExtractToPath(entries[i].name.c_str(), out.c_str()), 0)
          << gArchiveReader.LastError();
      EXPECT_EQ(ReadFile(out), sizes[i]);
    }
    gArchiveReader.Close();
  }
}

}  // namespace
