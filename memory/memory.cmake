# The process allocator. Replaces malloc for tarvelin (and for libvlmalloc.so),
# so it stays out of sanitizer builds.
set(VLM_MEMORY_SRCS
  arena_alloc.cc
  arena_run.cc
  base.cc
  chunk.cc
  fork.cc
  heap_init.cc
  huge.cc
  options.cc
  os.cc
  registry.cc
)
vlm_library(vlm_memory TARVELIN NOT_SANITIZED SRCS ${VLM_MEMORY_SRCS}
            DEPS vlm_runtime_crash Threads::Threads)

# Internal tests: the allocator's layers through its internal interface,
# in a process whose own allocator is still the C library's.
vlm_test(memory_internal_test LABEL memory NOT_SANITIZED TIMEOUT 120
  SRCS rb_tree_test.cc heap_config_test.cc chunk_test.cc arena_test.cc
       arena_random_test.cc arena_check.cc
  DEPS vlm_memory)
