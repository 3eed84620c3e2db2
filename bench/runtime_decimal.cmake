# quire::Decimal operations per second.
find_package(benchmark REQUIRED)
vlm_executable(vlm_bench_runtime_decimal SRCS runtime_decimal_bench.cc
  DEPS vlm_runtime_decimal benchmark::benchmark benchmark::benchmark_main)
