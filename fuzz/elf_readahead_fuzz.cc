// The loader reads up to 4096 bytes of a listed library and parses its ELF
// header and program headers from them: any content must be handled without
// reading outside those bytes.
#include <cstddef>
#include <cstdint>

#include "launcher/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > vellum::launcher::kPathBufferSize) size = vellum::launcher::kPathBufferSize;
  uint64_t length = vellum::launcher::ElfReadAheadLength(data, size);
  // Without a complete 64-bit ELF header there is nothing to read ahead.
  if (length != 0 && size < 64) __builtin_trap();
  return 0;
}
