// The safe LZ4 decompressor on untrusted blocks. Both buffers sit against
// inaccessible pages, so a read or write past either end faults even though
// the LZ4 library itself is not built with sanitizers. Every input is also
// compressed and must come back unchanged through both decompressors.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vlm/lz4.h"

namespace {

using vellum::Compression::LZ4;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "lz4 fuzz: %s\n", what);
  std::abort();
}

// `size` usable bytes with an inaccessible page right after them (or, with
// `guardBefore`, right before them).
class GuardedBuffer {
 public:
  GuardedBuffer(size_t size, bool guardBefore) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t usable = (size + page - 1) / page * page;
    mLength = usable + 2 * page;
    void* p = mmap(nullptr, mLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) Fail("mmap");
    mBase = static_cast<char*>(p);
    if (usable != 0 && mprotect(mBase + page, usable, PROT_READ | PROT_WRITE) != 0) Fail("mprotect");
    mData = guardBefore ? mBase + page : mBase + page + usable - size;
  }
  ~GuardedBuffer() { munmap(mBase, mLength); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  char* data() { return mData; }

 private:
  char* mBase;
  char* mData;
  size_t mLength;
};

void DecompressUntrusted(const uint8_t* block, size_t size, size_t capacity, bool guardBefore) {
  GuardedBuffer input(size, guardBefore);
  std::memcpy(input.data(), block, size);
  GuardedBuffer output(capacity, guardBefore);
  size_t produced = 12345;
  const bool ok = LZ4::decompress(input.data(), size, output.data(), capacity, &produced);
  if (ok ? produced > capacity : produced != 0) Fail("safe decompress misreports its size");
}

void RoundTrip(const uint8_t* data, size_t size) {
  const char* source = reinterpret_cast<const char*>(data);
  const size_t bound = LZ4::maxCompressedSize(size);
  GuardedBuffer packed(bound, false);
  const size_t n = LZ4::compress(source, size, packed.data());
  if (n == 0 || n > bound) Fail("compress failed");

  GuardedBuffer fast(size, false);
  if (!LZ4::decompress(packed.data(), fast.data(), size)) Fail("fast decompress failed");
  if (size != 0 && std::memcmp(fast.data(), data, size) != 0) Fail("fast round trip differs");

  GuardedBuffer safe(size, false);
  size_t produced = 0;
  if (!LZ4::decompress(packed.data(), n, safe.data(), size, &produced) || produced != size) {
    Fail("safe decompress failed");
  }
  if (size != 0 && std::memcmp(safe.data(), data, size) != 0) Fail("safe round trip differs");

  // A limit below the compressed size fails without writing past it.
  if (n > 1) {
    GuardedBuffer limited(n - 1, false);
    if (LZ4::compressLimitedOutput(source, size, limited.data(), n - 1) != 0) {
      Fail("compressLimitedOutput ignored its limit");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  // The first two bytes choose the output capacity; the rest is the block.
  size_t capacity = 0;
  const uint8_t* block = data;
  size_t blockSize = size;
  if (size >= 2) {
    capacity = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
    block += 2;
    blockSize -= 2;
  }
  DecompressUntrusted(block, blockSize, capacity, false);
  DecompressUntrusted(block, blockSize, capacity, true);
  RoundTrip(data, size);
  return 0;
}
