# MutexImpl against pthread_mutex_t and std::mutex (see bench/run.sh).
vlm_executable(bench_runtime_mutex SRCS runtime_mutex_bench.cc
               DEPS vlm_runtime_sync Threads::Threads)
