# Allocator benchmarks: micro-benchmarks of the arena paths (internal
# interface) and, for the preload library, workloads run under LD_PRELOAD by
# bench/allocator.sh.
find_package(benchmark REQUIRED)
if(NOT VLM_SANITIZE)
  vlm_executable(bench_allocator_micro SRCS allocator_micro.cc
                 DEPS vlm_memory benchmark::benchmark)
endif()

# The LD_PRELOAD workloads: plain C, linked against nothing of ours.
add_executable(bench_allocator_workload allocator_workload.c)
target_compile_options(bench_allocator_workload PRIVATE -O2 ${VLM_WARNINGS})
target_link_libraries(bench_allocator_workload PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
