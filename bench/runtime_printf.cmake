# PrintfTarget against the C library's vsnprintf (see bench/run.sh).
vlm_executable(bench_runtime_printf SRCS runtime_printf_bench.cc
               DEPS vlm_runtime_printf)
