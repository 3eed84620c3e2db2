// The infallible allocation family and the out-of-memory path.
#include "vlm/xalloc.h"

#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "vlm/crash.h"

namespace {

void (*gOomAbortHandler)(size_t size) = nullptr;

}  // namespace

void vlmalloc_set_oom_abort_handler(void (*handler)(size_t size)) { gOomAbortHandler = handler; }

void vlmalloc_handle_oom(size_t size) {
  if (gOomAbortHandler) gOomAbortHandler(size);
  // Composed in place: the allocator has just failed, so nothing here may
  // allocate.
  char message[] = "out of memory: 0x0000000000000000 bytes requested";
  static const char kHexDigits[] = "0123456789ABCDEF";
  char* digit = message + strlen("out of memory: 0x") + 15;
  for (size_t value = size; value != 0; value >>= 4) *digit-- = kHexDigits[value & 0xf];
  vlmalloc_abort(message);
}

extern "C" {

void* vlm_xmalloc(size_t size) {
  void* p = malloc(size);
  if (!p && size != 0) vlmalloc_handle_oom(size);
  return p;
}

void* vlm_xcalloc(size_t count, size_t size) {
  void* p = calloc(count, size);
  if (!p && count != 0 && size != 0) vlmalloc_handle_oom(size);
  return p;
}

void* vlm_xrealloc(void* pointer, size_t size) {
  void* p = realloc(pointer, size);
  if (!p && size != 0) vlmalloc_handle_oom(size);
  return p;
}

char* vlm_xstrdup(const char* text) {
  char* p = strdup(text);
  if (!p) vlmalloc_handle_oom(0);
  return p;
}

char* vlm_xstrndup(const char* text, size_t n) {
  char* p = strndup(text, n);
  if (!p) vlmalloc_handle_oom(n);
  return p;
}

int vlm_xposix_memalign(void** out, size_t alignment, size_t size) {
  int result = posix_memalign(out, alignment, size);
  if (result == ENOMEM) vlmalloc_handle_oom(size);
  return result;
}

int vlm_posix_memalign(void** out, size_t alignment, size_t size) {
  return posix_memalign(out, alignment, size);
}

void* vlm_xmemalign(size_t alignment, size_t size) {
  // Cleared first: only this call's EINVAL may make a null acceptable.
  errno = 0;
  void* p = memalign(alignment, size);
  if (!p && errno != EINVAL) vlmalloc_handle_oom(size);
  return p;
}

void* vlm_xvalloc(size_t size) {
  void* p = valloc(size);
  if (!p) vlmalloc_handle_oom(size);
  return p;
}

// The process's strdup and strndup, on the process allocator.
char* strdup(const char* text) noexcept {
  size_t length = strlen(text);
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy) {
    memcpy(copy, text, length);
    copy[length] = '\0';
  }
  return copy;
}

char* strndup(const char* text, size_t n) noexcept {
  // n + 1 bytes whatever the text's length; a size that wraps is refused
  // rather than allocated short and written past.
  if (n == SIZE_MAX) {
    errno = ENOMEM;
    return nullptr;
  }
  char* copy = static_cast<char*>(malloc(n + 1));
  if (copy) {
    strncpy(copy, text, n);
    copy[n] = '\0';
  }
  return copy;
}

}  // extern "C"
