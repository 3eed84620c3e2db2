# SHA-1 against OpenSSL's, and HashBytes throughput.
find_package(benchmark REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
vlm_executable(vlm_bench_runtime_hash SRCS runtime_hash_bench.cc
  DEPS vlm_runtime_hash OpenSSL::Crypto benchmark::benchmark benchmark::benchmark_main)
