// Fixed geometry of the allocator: page and chunk sizes, size classes and
// the bin table, plus the one tunable value (the dirty page limit) and the
// MALLOC_OPTIONS parser that changes it.
//
// The bin table is computed at build time by the run-size rule;
// heap_config_test.cc checks it against the published table.
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

constexpr size_t kDefaultDirtyLimit = 256;  // pages per arena
constexpr size_t kRecycleLimit = size_t{128} << 20;
constexpr unsigned char kFreeFill = 0xE5;

// Small size classes: one tiny class (bin 0), the quantum-spaced classes up
// to kQuantumMax (bins 1 to kQuantumBins), then the two sub-page classes
// kSubPageMin and kSmallMax (the last two bins).
constexpr size_t kTinySize = 8;
constexpr size_t kQuantumShift = 4;
constexpr size_t kQuantum = size_t{1} << kQuantumShift;  // 16
constexpr size_t kQuantumMax = 512;
constexpr size_t kQuantumBins = kQuantumMax / kQuantum;  // 32
constexpr size_t kSubPageMin = 2 * kQuantumMax;          // 1024
constexpr size_t kSmallMax = 2048;
constexpr size_t kNumBins = 1 + kQuantumBins + 2;  // 35

// Run header space of the run-size rule: kRunHeaderMin bytes with one
// bitmap word (4 more than a RunHeader needs; the published table counts
// 24), kBitmapWordBytes more for each further word of kBitmapWordBits
// regions.
constexpr size_t kRunHeaderMin = 24;
constexpr size_t kBitmapWordBytes = 4;
constexpr uint32_t kBitmapWordBits = 32;
// A run grows while its header takes more than kRunOverheadTarget parts in
// 2^kRunOverheadShift (61/4096) of it.
constexpr size_t kRunOverheadTarget = 61;
constexpr size_t kRunOverheadShift = 12;

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
  uint32_t r = static_cast<uint32_t>((run_size - kRunHeaderMin) / region_size + 1);
  uint32_t w;
  size_t h;
  do {
    --r;
    w = (r + kBitmapWordBits - 1) / kBitmapWordBits;
    h = run_size - r * region_size;
  } while (kRunHeaderMin + kBitmapWordBytes * (w - 1) > h);
  return {region_size, run_size, r, w, static_cast<uint32_t>(h)};
}

// The run-size rule: grow the run a page at a time while the header overhead
// stays above the target, starting from `min_run`. The middle test
// (488 x region size > 6144) fails only for regions of 12 bytes or less: it
// keeps the 8-byte bin at one page.
constexpr BinGeometry ChooseRun(size_t region_size, size_t min_run) {
  BinGeometry kept = FitRun(region_size, min_run);
  for (;;) {
    BinGeometry next = FitRun(region_size, kept.run_size + kPageSize);
    if (next.run_size <= kLargeMax && 488 * region_size > 6144 &&
        (size_t{next.first_region} << kRunOverheadShift) > kRunOverheadTarget * next.run_size) {
      kept = next;
    } else {
      return kept;
    }
  }
}

constexpr size_t BinRegionSize(size_t bin) {
  if (bin == 0) return kTinySize;
  if (bin <= kQuantumBins) return bin * kQuantum;
  return kQuantumMax << (bin - kQuantumBins);
}

struct BinTable {
  BinGeometry bins[kNumBins];
};

constexpr BinTable ComputeBinTable() {
  BinTable t{};
  // Bin 0 is fixed at one page (the rule gives the same).
  t.bins[0] = FitRun(BinRegionSize(0), kPageSize);
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
  if (n <= kQuantumMax) return (n + kQuantum - 1) >> kQuantumShift;
  return n <= kSubPageMin ? kQuantumBins + 1 : kQuantumBins + 2;
}

// Class size of a request: what the block really receives. Sizes above the
// large classes give the huge recorded size (a multiple of 4096). Overflow
// of the page rounding gives 0.
inline size_t ClassSize(size_t n) {
  if (n <= kTinySize) return kTinySize;
  if (n <= kQuantumMax) return (n + kQuantum - 1) & ~(kQuantum - 1);
  if (n <= kSubPageMin) return kSubPageMin;
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
