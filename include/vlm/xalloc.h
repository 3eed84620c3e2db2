// Infallible allocation and allocation size queries.
//
// The vlm_x functions never return null for a non-empty request: when the
// process allocator fails they call vlmalloc_handle_oom, which ends the
// process with "out of memory: 0x<size in 16 upper-case hex digits> bytes
// requested" on standard error (through vlmalloc_abort, see crash.h). All
// memory comes from the process allocator and is released with free. The
// functions are as thread-safe as that allocator; the out-of-memory handler
// is a plain process-wide pointer, meant to be set once at start-up.
//
// The process's own strdup and strndup (declared in <string.h>) allocate
// from the same allocator; strndup(text, n) always allocates n + 1 bytes and
// returns null with errno ENOMEM when n + 1 does not fit in a size_t.
#ifndef VLM_XALLOC_H_
#define VLM_XALLOC_H_

#include <stddef.h>

extern "C" {

// malloc; crashes on failure unless `size` is 0 (then returns what malloc(0)
// returns).
void* vlm_xmalloc(size_t size);
// calloc; crashes on failure unless `count` or `size` is 0.
void* vlm_xcalloc(size_t count, size_t size);
// realloc; crashes on failure unless `size` is 0.
void* vlm_xrealloc(void* pointer, size_t size);
char* vlm_xstrdup(const char* text);
char* vlm_xstrndup(const char* text, size_t n);
// posix_memalign; crashes when it reports ENOMEM, returns every other result
// (0, EINVAL for a bad alignment).
int vlm_xposix_memalign(void** out, size_t alignment, size_t size);
// posix_memalign itself, without the crash.
int vlm_posix_memalign(void** out, size_t alignment, size_t size);
// memalign; crashes on failure unless the alignment was invalid (then
// returns null with errno EINVAL).
void* vlm_xmemalign(size_t alignment, size_t size);
// valloc; crashes on any failure, also for size 0.
void* vlm_xvalloc(size_t size);

// The usable size of a block returned by the allocator; 0 for null.
size_t vlm_malloc_usable_size(const void* pointer);
size_t vlm_malloc_size_of(const void* pointer);
// The size of the live block containing `pointer`, which may point anywhere
// inside it; 0 when it lies in no live block of the allocator.
size_t vlm_malloc_enclosing_size_of(const void* pointer);

}  // extern "C"

// Calls the out-of-memory handler, if one is set, with `size`; if it
// returns, writes the out-of-memory message for `size` and crashes.
[[noreturn]] void vlmalloc_handle_oom(size_t size);
// Sets the handler vlmalloc_handle_oom calls first (null removes it).
void vlmalloc_set_oom_abort_handler(void (*handler)(size_t size));

#endif  // VLM_XALLOC_H_
