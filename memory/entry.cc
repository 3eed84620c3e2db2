// The allocation entry points, exported under the C library's names so that
// they serve every allocation of the process.
//
// The C library's headers are not included here: their declarations carry
// attributes and noexcept clauses of their own, and the mangled
// memalign needs an assembler name anyway.
#include <errno.h>
#include <string.h>

#include <cstddef>
#include <cstdint>

#include "memory/arena.h"
#include "memory/chunk.h"
#include "memory/heap.h"
#include "memory/huge.h"

using namespace vellum::heap;

#define VLM_EXPORT extern "C" __attribute__((visibility("default")))

VLM_EXPORT void* malloc(size_t size) noexcept;
VLM_EXPORT void* calloc(size_t count, size_t size) noexcept;
VLM_EXPORT void* realloc(void* ptr, size_t size) noexcept;
VLM_EXPORT void free(void* ptr) noexcept;
VLM_EXPORT void* memalign(size_t alignment, size_t size) noexcept;
VLM_EXPORT void* VlmMemalignMangled(size_t alignment, size_t size) noexcept
    __asm__("_Z8memalignmm");
VLM_EXPORT int posix_memalign(void** result, size_t alignment, size_t size) noexcept;
VLM_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept;
VLM_EXPORT void* valloc(size_t size) noexcept;
VLM_EXPORT void* pvalloc(size_t size) noexcept;
VLM_EXPORT void* reallocarray(void* ptr, size_t count, size_t size) noexcept;
VLM_EXPORT size_t malloc_usable_size(void* ptr) noexcept;
VLM_EXPORT size_t malloc_good_size(size_t size) noexcept;

namespace {

inline bool InArenaChunk(const void* p) { return (reinterpret_cast<uintptr_t>(p) & kChunkMask) != 0; }

// Shared by malloc and the moving half of realloc.
inline void* Allocate(size_t size, bool zero) {
  if (size <= kLargeMax) return ArenaMalloc(ChooseArena(), size, zero);
  return HugeAlloc(size, kChunkSize, zero);
}

// Same small class: the block stays (large blocks compare pages in realloc).
bool SameSmallClass(size_t n, size_t u) {
  return n <= kSmallMax && u <= kSmallMax && SmallBin(n) == SmallBin(u);
}

inline void FillTail(void* ptr, size_t from, size_t to) {
  if (from < to) memset(static_cast<char*>(ptr) + from, kFreeFill, to - from);
}

// Block of `n` bytes aligned to `a` (a power of two); null when out of memory
// or when the size rounding overflows.
void* AlignedAllocate(size_t a, size_t n) {
  if (n == 0) n = 1;
  if (a <= 8) a = 8;
  if (n > SIZE_MAX - (a - 1)) return nullptr;
  size_t c = (n + a - 1) & ~(a - 1);
  if (c <= kPageSize || (a <= kPageSize && c <= kLargeMax)) {
    return ArenaMalloc(ChooseArena(), c, false);
  }
  if (a > SIZE_MAX - kPageMask || n > SIZE_MAX - kPageMask) return nullptr;
  a = (a + kPageMask) & ~kPageMask;
  c = (n + kPageMask) & ~kPageMask;
  if (c > SIZE_MAX - a) return nullptr;
  size_t run = c >= a ? c + a - kPageSize : 2 * a - kPageSize;
  if (run <= kLargeMax) return ArenaAlignedLarge(ChooseArena(), c, a, run);
  return HugeAlloc(c, a > kChunkSize ? a : kChunkSize, false);
}

inline bool PowerOfTwo(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

}  // namespace

void* malloc(size_t size) noexcept {
  if (!AllocatorInit()) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = Allocate(size == 0 ? 1 : size, false);
  if (p == nullptr) errno = ENOMEM;
  return p;
}

void* calloc(size_t count, size_t size) noexcept {
  size_t total;
  if (!AllocatorInit() || __builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = Allocate(total == 0 ? 1 : total, true);
  if (p == nullptr) errno = ENOMEM;
  return p;
}

void free(void* ptr) noexcept {
  if (InArenaChunk(ptr)) {
    ArenaFree(ptr);
  } else if (ptr != nullptr) {
    HugeFree(ptr);
  }
}

void* realloc(void* ptr, size_t size) noexcept {
  size_t n = size == 0 ? 1 : size;
  if (ptr == nullptr) return malloc(n);
  bool huge_block = !InArenaChunk(ptr);
  size_t u = huge_block ? HugeSize(ptr) : ArenaUsableSize(ptr);
  if (u == 0) {
    // Not a live block of ours: nothing can be resized or copied.
    errno = EINVAL;
    return nullptr;
  }
  if (n > kLargeMax) {
    if (u > kLargeMax && HugeResize(ptr, u, n)) return ptr;
  } else if (SameSmallClass(n, u)) {
    FillTail(ptr, n, u);
    return ptr;
  } else if (n > kSmallMax && u > kSmallMax && u <= kLargeMax) {
    size_t r = (n + kPageMask) & ~kPageMask;
    if (r == u) {
      FillTail(ptr, n, u);
      return ptr;
    }
    if (r < u) {
      FillTail(ptr, n, u);
      ArenaResizeLarge(ptr, u, r);
      return ptr;
    }
    if (ArenaResizeLarge(ptr, u, r)) return ptr;
  }
  void* moved = Allocate(n, false);
  if (moved == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(moved, ptr, n < u ? n : u);
  free(ptr);
  return moved;
}

void* memalign(size_t alignment, size_t size) noexcept {
  if (!AllocatorInit()) return nullptr;
  if (!PowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  return AlignedAllocate(alignment, size);
}

void* VlmMemalignMangled(size_t alignment, size_t size) noexcept {
  return memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
  if (alignment < sizeof(void*) || !PowerOfTwo(alignment)) return EINVAL;
  int saved = errno;
  void* p = memalign(alignment, size);
  errno = saved;
  if (p == nullptr) return ENOMEM;
  *result = p;
  return 0;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  if (alignment == 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (size % alignment != 0) return nullptr;
  return memalign(alignment, size);
}

void* valloc(size_t size) noexcept { return memalign(kPageSize, size); }

void* pvalloc(size_t size) noexcept {
  if (size > SIZE_MAX - kPageMask) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t rounded = (size + kPageMask) & ~kPageMask;
  return memalign(kPageSize, rounded == 0 ? kPageSize : rounded);
}

void* reallocarray(void* ptr, size_t count, size_t size) noexcept {
  size_t total;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(ptr, total);
}

size_t malloc_usable_size(void* ptr) noexcept {
  if (reinterpret_cast<uintptr_t>(ptr) < kChunkSize || !RegistryContains(ptr)) return 0;
  if (InArenaChunk(ptr)) return ArenaUsableSize(ptr);
  return HugeSize(ptr);
}

size_t malloc_good_size(size_t size) noexcept {
  // ClassSize gives 0 where the page rounding overflows: such a size comes
  // back as it is.
  size_t good = ClassSize(size);
  return good != 0 ? good : size;
}
