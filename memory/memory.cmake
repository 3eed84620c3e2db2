# The process allocator. Replaces malloc for tarvelin (and for libvlmalloc.so),
# so it stays out of sanitizer builds.
set(VLM_MEMORY_SRCS
  arena_alloc.cc
  arena_run.cc
  base.cc
  chunk.cc
  entry.cc
  fork.cc
  hooks.c
  heap_init.cc
  huge.cc
  heap_stats.cc
  options.cc
  os.cc
  registry.cc
)
vlm_library(vlm_memory TARVELIN NOT_SANITIZED SRCS ${VLM_MEMORY_SRCS}
            DEPS vlm_runtime_crash Threads::Threads)
# Nothing in the allocator throws; without unwind tables for exceptions the
# preload library needs no C++ runtime.
set(VLM_MEMORY_FLAGS "$<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions;-fno-rtti;-fno-semantic-interposition>")
if(TARGET vlm_memory)
  target_compile_options(vlm_memory PRIVATE ${VLM_MEMORY_FLAGS})
endif()

# Internal tests: the allocator's layers through its internal interface,
# in a process whose own allocator is still the C library's.
vlm_test(memory_internal_test LABEL memory NOT_SANITIZED TIMEOUT 120
  SRCS rb_tree_test.cc heap_config_test.cc chunk_test.cc arena_test.cc
       arena_random_test.cc arena_check.cc
  DEPS vlm_memory)

# libvlmalloc.so: the same allocator as a preload library, so that any
# program can run on it (LD_PRELOAD) and be measured against other
# allocators. Exports only the allocation names and the vlmheap_ functions.
if(NOT VLM_SANITIZE)
  add_library(vlmalloc SHARED ${VLM_MEMORY_SRCS})
  target_include_directories(vlmalloc PRIVATE ${PROJECT_SOURCE_DIR}/include
                                              ${PROJECT_SOURCE_DIR})
  target_compile_options(vlmalloc PRIVATE ${VLM_WARNINGS} ${VLM_MEMORY_FLAGS})
  target_link_libraries(vlmalloc PRIVATE vlm_runtime_crash Threads::Threads)
  target_link_options(vlmalloc PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/vlmalloc.map
    -Wl,--as-needed -Wl,-z,defs)
  set_target_properties(vlmalloc PROPERTIES LINK_DEPENDS
                        ${CMAKE_CURRENT_SOURCE_DIR}/vlmalloc.map)
endif()

# Entry-point tests: a process whose own allocator is ours (GoogleTest runs
# on it too), calling the real exported names.
vlm_test(memory_entry_test LABEL memory NOT_SANITIZED TIMEOUT 120
  SRCS entry_test.cc heap_stats_test.cc thread_test.cc
  DEPS "$<LINK_LIBRARY:WHOLE_ARCHIVE,vlm_memory>" vlm_runtime_crash)
if(TARGET memory_entry_test)
  set_target_properties(memory_entry_test PROPERTIES ENABLE_EXPORTS ON)
endif()
