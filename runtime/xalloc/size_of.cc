// Allocation size queries on the process allocator.
#include <malloc.h>

#include "vlm/vlmheap.h"
#include "vlm/xalloc.h"

// Referenced weakly: tarvelin always links the allocator, which defines it,
// but a program on another allocator (the C library's, in tests) has none
// and then finds no address inside a live block.
extern "C" void vlmheap_ptr_info(const void* pointer, vlmheap_ptr_info_t* info)
    __attribute__((weak));

extern "C" {

size_t vlm_malloc_usable_size(const void* pointer) {
  return pointer ? malloc_usable_size(const_cast<void*>(pointer)) : 0;
}

size_t vlm_malloc_size_of(const void* pointer) {
  return pointer ? malloc_usable_size(const_cast<void*>(pointer)) : 0;
}

size_t vlm_malloc_enclosing_size_of(const void* pointer) {
  if (!vlmheap_ptr_info) return 0;
  vlmheap_ptr_info_t info;
  vlmheap_ptr_info(pointer, &info);
  switch (info.tag) {
    case ptr_live_small:
    case ptr_live_large:
    case ptr_live_huge:
      return info.size;
    default:
      return 0;
  }
}

}  // extern "C"
