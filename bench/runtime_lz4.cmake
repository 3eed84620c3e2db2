# The LZ4 wrapper against direct calls of the LZ4 library.
find_package(benchmark REQUIRED)
vlm_executable(vlm_bench_runtime_lz4 SRCS runtime_lz4_bench.cc
  DEPS vlm_runtime_lz4 benchmark::benchmark benchmark::benchmark_main)
