/* The C library's allocation hook variables, statically pointing at this
 * allocator's entry points, so that a C library that still consults them
 * forwards its own allocation functions here. Never changed at run time. */
#include <stddef.h>

void* malloc(size_t size);
void free(void* ptr);
void* realloc(void* ptr, size_t size);
void* memalign(size_t alignment, size_t size);

#define VLM_EXPORT __attribute__((visibility("default")))

VLM_EXPORT void* (*__malloc_hook)(size_t, const void*) =
    (void* (*)(size_t, const void*))(void*)malloc;
VLM_EXPORT void (*__free_hook)(void*, const void*) = (void (*)(void*, const void*))(void*)free;
VLM_EXPORT void* (*__realloc_hook)(void*, size_t, const void*) =
    (void* (*)(void*, size_t, const void*))(void*)realloc;
VLM_EXPORT void* (*__memalign_hook)(size_t, size_t, const void*) =
    (void* (*)(size_t, size_t, const void*))(void*)memalign;
