# Allocator benchmarks: micro-benchmarks of the arena paths (internal
# interface) and, for the preload library, workloads run under LD_PRELOAD by
# bench/allocator.sh.
find_package(benchmark REQUIRED)
if(NOT VLM_SANITIZE)
  vlm_executable(bench_allocator_micro SRCS allocator_micro.cc
                 DEPS vlm_memory benchmark::benchmark)
endif()
