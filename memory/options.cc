// MALLOC_OPTIONS and the dirty page limit.
#include <cstdint>

#include "memory/heap_config.h"
#include "memory/os.h"

namespace vellum::heap {

size_t gDirtyPageLimit = kDefaultDirtyLimit;

void ApplyMallocOptions(const char* value, size_t* limit) {
  if (value == nullptr) return;
  const char* p = value;
  while (*p != '\0') {
    uint32_t count = 1;
    if (*p >= '0' && *p <= '9') {
      count = 0;
      while (*p >= '0' && *p <= '9') {
        count = count * 10 + static_cast<uint32_t>(*p - '0');
        ++p;
      }
      // Digits at the very end stand for nothing.
      if (*p == '\0') return;
    }
    char letter = *p++;
    for (uint32_t i = 0; i < count; ++i) {
      switch (letter) {
        case 'F':
          if (*limit == 0) {
            *limit = 1;
          } else if ((*limit << 1) != 0) {
            *limit <<= 1;
          }
          break;
        case 'f':
          *limit >>= 1;
          break;
        default: {
          char text[2] = {letter, '\0'};
          WriteMessage("<vlmheap>", ": (malloc) Unsupported character in malloc options: '",
                       text, "'\n");
        }
      }
    }
  }
}

}  // namespace vellum::heap
