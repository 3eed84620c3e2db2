#include "memory/arena_check.h"

#include <map>
#include <sstream>

#include "memory/rb_tree_check.h"

namespace vellum::heap {

namespace {

constexpr uintptr_t kFreeFlagMask = kPageZeroed | kPageDirty | kPageDecommitted | kPageMadvised;

struct Totals {
  size_t committed = 0;
  size_t dirty = 0;
  size_t small = 0;
  size_t large = 0;
  size_t free_runs = 0;
  std::map<Bin*, size_t> runs_per_bin;
};

}  // namespace

std::string CheckArena(Arena* arena, std::set<ChunkHeader*> chunks) {
  std::ostringstream err;
  for (const std::string& e : {CheckRbTree(arena->avail), CheckRbTree(arena->dirty_chunks)}) {
    if (!e.empty()) return "arena tree: " + e;
  }
  std::set<PageMapEntry*> avail;
  arena->avail.ForEach([&](RbNode* n) {
    avail.insert(EntryOf(n));
    chunks.insert(ChunkOf(n));
  });
  std::set<ChunkHeader*> dirty_tree;
  arena->dirty_chunks.ForEach([&](RbNode* n) {
    dirty_tree.insert(ChunkOfDirtyLink(n));
    chunks.insert(ChunkOfDirtyLink(n));
  });
  if (arena->spare != nullptr) chunks.insert(arena->spare);
  std::map<RunHeader*, Bin*> bin_tree_runs;
  for (Bin& bin : arena->bins) {
    std::string e = CheckRbTree(bin.runs);
    if (!e.empty()) return "bin tree: " + e;
    bin.runs.ForEach([&](RbNode* n) { bin_tree_runs[RunOfPage(EntryOf(n)->bits)] = &bin; });
  }

  Totals t;
  for (ChunkHeader* chunk : chunks) {
    if (chunk->arena != arena) return "chunk of another arena";
    PageMapEntry* map = chunk->map;
    if (map[0].bits != 0 || map[1].bits != 0) return "header page entry not 0";
    t.committed += kHeaderPages;
    size_t chunk_dirty = 0;
    bool prev_free = false;
    for (size_t p = kHeaderPages; p < kChunkPages;) {
      uintptr_t bits = map[p].bits;
      size_t high = RunSizeOf(bits);
      if (bits & kPageLarge) {
        if (!(bits & kPageAllocated) || high == 0 || high % kPageSize != 0) return "bad large run";
        size_t n = high >> kPageShift;
        if (p + n > kChunkPages) return "large run past chunk end";
        for (size_t i = p + 1; i < p + n; ++i) {
          if (map[i].bits != LargeRunWord(0)) {
            err << "inner large page " << i << " bits " << std::hex << map[i].bits;
            return err.str();
          }
        }
        t.large += high;
        t.committed += n;
        p += n;
        prev_free = false;
      } else if (bits & kPageAllocated) {
        RunHeader* run = RunOfPage(bits);
        if (reinterpret_cast<char*>(run) != PageAddress(chunk, p)) return "small run address";
        Bin* bin = run->bin;
        if (bin < arena->bins || bin >= arena->bins + kNumBins) return "run of a foreign bin";
        size_t n = bin->run_size >> kPageShift;
        for (size_t i = p; i < p + n; ++i) {
          if (map[i].bits != bits) return "small run page word";
        }
        uint32_t free_count = 0;
        for (uint32_t w = 0; w < bin->bitmap_words; ++w) {
          uint32_t word = run->bitmap[w];
          if (w == bin->bitmap_words - 1 && bin->regions % 32 != 0 &&
              (word >> (bin->regions % 32)) != 0) {
            return "bitmap bit past the last region";
          }
          if (w < run->next_word && word != 0) return "free region below the lowest useful word";
          free_count += static_cast<uint32_t>(__builtin_popcount(word));
        }
        if (free_count != run->free_regions) return "free region count";
        if (free_count == bin->regions) return "completely free run still allocated";
        bool is_current = bin->current == run;
        bool in_tree = bin_tree_runs.count(run) != 0;
        if (in_tree && bin_tree_runs[run] != bin) return "run in the wrong bin tree";
        if (free_count == 0 && in_tree) return "full run in a bin tree";
        if (free_count != 0 && is_current == in_tree) return "non-full run not current xor in tree";
        bin_tree_runs.erase(run);
        t.small += (bin->regions - free_count) * bin->region_size;
        ++t.runs_per_bin[bin];
        t.committed += n;
        p += n;
        prev_free = false;
      } else {
        if (prev_free) return "two free runs touch";
        if (high == 0 || p + (high >> kPageShift) > kChunkPages) {
          err << "free run at page " << p << " size " << high;
          return err.str();
        }
        size_t n = high >> kPageShift;
        if (RunSizeOf(map[p + n - 1].bits) != high) return "free run last entry size";
        for (size_t i = p; i < p + n; ++i) {
          uintptr_t b = map[i].bits;
          if (b & (kPageAllocated | kPageLarge)) return "allocated page inside a free run";
          if ((b & kPageFlags & ~kFreeFlagMask) != 0) return "unknown flag on a free page";
          if (b & kPageDirty) {
            ++chunk_dirty;
            ++t.committed;
          } else if (!(b & (kPageDecommitted | kPageMadvised))) {
            ++t.committed;  // freed clean, still counted
          }
        }
        bool listed = avail.erase(&map[p]) != 0;
        if (chunk == arena->spare) {
          if (listed || n != kChunkPages - kHeaderPages) return "spare in the available tree";
        } else if (!listed) {
          err << "free run at page " << p << " not in the available tree";
          return err.str();
        }
        p += n;
        prev_free = true;
      }
    }
    if (chunk_dirty != chunk->dirty_pages) return "chunk dirty page count";
    if ((chunk_dirty != 0) != (dirty_tree.count(chunk) != 0)) return "dirty-chunk tree membership";
    t.dirty += chunk_dirty;
  }
  if (!avail.empty()) return "available tree holds a stale entry";
  if (!bin_tree_runs.empty()) return "bin tree holds a run that is not allocated";
  if (t.dirty != arena->dirty_pages) return "arena dirty page count";
  if (arena->dirty_pages > gDirtyPageLimit) return "dirty pages above the limit";
  if (t.committed != arena->stats.committed_pages) {
    err << "committed pages " << arena->stats.committed_pages << " counted " << t.committed;
    return err.str();
  }
  if (chunks.size() * kChunkSize != arena->stats.mapped) return "mapped bytes";
  if (t.small != arena->stats.small_allocated) return "small allocated bytes";
  if (t.large != arena->stats.large_allocated) return "large allocated bytes";
  for (Bin& bin : arena->bins) {
    if (bin.run_count != t.runs_per_bin[&bin]) return "bin run count";
    if (bin.current != nullptr && bin.current->bin != &bin) return "current run of another bin";
  }
  return "";
}

}  // namespace vellum::heap
