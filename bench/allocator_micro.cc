// Micro-benchmarks of the allocator's arena paths through its internal
// interface, with the C library's malloc/free in the same process as the
// peer. Run through bench/allocator.sh (or directly with Google Benchmark's
// flags).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "memory/arena.h"
#include "memory/heap.h"

namespace {

using vellum::heap::Arena;

Arena* BenchArena() {
  static Arena* arena = [] {
    vellum::heap::AllocatorInit();
    return vellum::heap::ArenaCreate();
  }();
  return arena;
}

// One allocate/free pair of range(0) bytes per iteration.
void BM_ArenaPair(benchmark::State& state) {
  Arena* arena = BenchArena();
  size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = vellum::heap::ArenaMalloc(arena, size, false);
    benchmark::DoNotOptimize(p);
    vellum::heap::ArenaFree(p);
  }
}

void BM_LibcPair(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = malloc(size);
    benchmark::DoNotOptimize(p);
    free(p);
  }
}

// 1000 allocations, then 1000 frees in allocation order: exercises the run
// selection and the free path across many runs.
void BM_ArenaBatch(benchmark::State& state) {
  Arena* arena = BenchArena();
  size_t size = static_cast<size_t>(state.range(0));
  std::vector<void*> ptrs(1000);
  for (auto _ : state) {
    for (void*& p : ptrs) p = vellum::heap::ArenaMalloc(arena, size, false);
    for (void* p : ptrs) vellum::heap::ArenaFree(p);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_LibcBatch(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  std::vector<void*> ptrs(1000);
  for (auto _ : state) {
    for (void*& p : ptrs) p = malloc(size);
    for (void* p : ptrs) free(p);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

#define SIZES Arg(8)->Arg(64)->Arg(496)->Arg(2048)->Arg(8192)->Arg(65536)->Arg(1040384)
BENCHMARK(BM_ArenaPair)->SIZES;
BENCHMARK(BM_LibcPair)->SIZES;
BENCHMARK(BM_ArenaBatch)->Arg(64)->Arg(496)->Arg(8192);
BENCHMARK(BM_LibcBatch)->Arg(64)->Arg(496)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
