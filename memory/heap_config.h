// Fixed geometry of the allocator: page and chunk sizes, size classes and
// the bin table, plus the one tunable value (the dirty page limit) and the
// MALLOC_OPTIONS parser that changes it.
//
// The bin table is computed at build time by the run-size rule and checked
// against the literal table below by a static assertion.
#ifndef VLM_MEMORY_HEAP_CONFIG_H_
#define VLM_MEMORY_HEAP_CONFIG_H_

#include <cstddef>
#include <cstdint>

namespace vellum::heap {

constexpr size_t kPageShift = 12;
constexpr size_t kPageSize = size_t{1} << kPageShift;
constexpr size_t kPageMask = kPageSize - 1;
constexpr size_t kChunkShift = 20;
constexpr size_t kChunkSize = size_t{1} << kChunkShift;
constexpr size_t kChunkMask = kChunkSize - 1;
constexpr size_t kChunkPages = kChunkSize >> kPageShift;  // 256
constexpr size_t kHeaderPages = 2;
constexpr size_t kLargeMax = kChunkSize - kHeaderPages * kPageSize;  // 0xFE000
constexpr size_t kQuantum = 16;
constexpr size_t kTinySize = 8;
constexpr size_t kQuantumMax = 512;
constexpr size_t kSmallMax = 2048;
constexpr size_t kNumBins = 35;
constexpr size_t kDefaultDirtyLimit = 256;  // pages per arena
constexpr size_t kRecycleLimit = size_t{128} << 20;
constexpr unsigned char kFreeFill = 0xE5;

struct BinGeometry {
  size_t region_size;
  size_t run_size;
  uint32_t regions;       // regions per run
  uint32_t bitmap_words;  // 32-bit words of the region bitmap
  uint32_t first_region;  // header bytes before region 0
  bool operator==(const BinGeometry&) const = default;
};

// Fits a candidate run of `run_size` bytes for `region_size` regions.
constexpr BinGeometry FitRun(size_t region_size, size_t run_size) {
  uint32_t r = static_cast<uint32_t>((run_size - 24) / region_size + 1);
  uint32_t w;
  size_t h;
  do {
    --r;
    w = (r + 31) / 32;
    h = run_size - r * region_size;
  } while (24 + 4 * (w - 1) > h);
  return {region_size, run_size, r, w, static_cast<uint32_t>(h)};
}

// The run-size rule: grow the run a page at a time while the header overhead
// stays above 61/4096, starting from `min_run`.
constexpr BinGeometry ChooseRun(size_t region_size, size_t min_run) {
  BinGeometry kept = FitRun(region_size, min_run);
  for (;;) {
    BinGeometry next = FitRun(region_size, kept.run_size + kPageSize);
    if (next.run_size <= kLargeMax && 488 * region_size > 6144 &&
        (size_t{next.first_region} << 12) > 61 * next.run_size) {
      kept = next;
    } else {
      return kept;
    }
  }
}

constexpr size_t BinRegionSize(size_t bin) {
  return bin == 0 ? 8 : bin <= 32 ? bin * 16 : size_t{512} << (bin - 32);
}

struct BinTable {
  BinGeometry bins[kNumBins];
};

constexpr BinTable ComputeBinTable() {
  BinTable t{};
  t.bins[0] = {8, 4096, 501, 16, 88};
  size_t min_run = kPageSize;
  for (size_t i = 1; i < kNumBins; ++i) {
    t.bins[i] = ChooseRun(BinRegionSize(i), min_run);
    min_run = t.bins[i].run_size;
  }
  return t;
}

inline constexpr BinTable kBinTable = ComputeBinTable();

// Bin of a small request (1 to 2048 bytes; 0 is served as 1).
inline size_t SmallBin(size_t n) {
  if (n <= kTinySize) return 0;
  if (n <= kQuantumMax) return (n + kQuantum - 1) >> 4;
  return n <= 1024 ? 33 : 34;
}

// Class size of a request: what the block really receives. Sizes above the
// large classes give the huge recorded size (a multiple of 4096). Overflow
// of the page rounding gives 0.
inline size_t ClassSize(size_t n) {
  if (n <= kTinySize) return kTinySize;
  if (n <= kQuantumMax) return (n + kQuantum - 1) & ~(kQuantum - 1);
  if (n <= 1024) return 1024;
  if (n <= kSmallMax) return kSmallMax;
  return (n + kPageMask) & ~kPageMask;
}

// Dirty pages an arena may keep before it purges (pages).
extern size_t gDirtyPageLimit;

// Applies the letters of a MALLOC_OPTIONS value to `*limit`, writing the
// unsupported-character message for other letters. A run of digits at the
// very end, with no letter after it, is ignored.
void ApplyMallocOptions(const char* value, size_t* limit);

}  // namespace vellum::heap

#endif  // VLM_MEMORY_HEAP_CONFIG_H_
