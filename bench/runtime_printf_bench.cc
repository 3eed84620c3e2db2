// PrintfTarget against vsnprintf, both writing into a 256-byte buffer, on
// common integer, string and padded-hex formats. Times are CPU time of the
// benchmark thread.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bench/runtime_bench_table.h"
#include "vlm/printf.h"

namespace {

class BufferTarget : public vellum::PrintfTarget {
 public:
  char buffer[256];
  size_t used = 0;

  void Reset() {
    used = 0;
    emittedCount = 0;
  }

 protected:
  bool writeChunk(const char* text, size_t length) override {
    if (length > sizeof(buffer) - 1 - used) return false;
    memcpy(buffer + used, text, length);
    used += length;
    buffer[used] = '\0';
    return true;
  }
};

BufferTarget gTarget;
char gBuffer[256];
volatile int gSink;

__attribute__((noinline)) void Ours(const char* format, ...) {
  va_list args;
  va_start(args, format);
  gTarget.Reset();
  gTarget.vprint(format, args);
  va_end(args);
  gSink = gTarget.buffer[0];
}

__attribute__((noinline)) void Theirs(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(gBuffer, sizeof(gBuffer), format, args);
  va_end(args);
  gSink = gBuffer[0];
}

// A case formats with varying arguments so that neither side can cache.
#define BENCH_CASE(label, format, ...)                                  \
  vlm_bench::Case {                                                     \
    label, {                                                            \
      {"PrintfTarget", [](long n) {                                     \
         double start = vlm_bench::CpuNanos();                          \
         for (long i = 0; i < n; ++i) Ours(format, __VA_ARGS__);        \
         return vlm_bench::CpuNanos() - start;                          \
       }},                                                              \
      {"vsnprintf", [](long n) {                                        \
         double start = vlm_bench::CpuNanos();                          \
         for (long i = 0; i < n; ++i) Theirs(format, __VA_ARGS__);      \
         return vlm_bench::CpuNanos() - start;                          \
       }},                                                              \
    }                                                                   \
  }

const char* const kNames[4] = {"alpha", "a somewhat longer name", "x", "network.http.cache"};

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 15;
  long iterations = argc > 2 ? atol(argv[2]) : 20000;
  std::vector<vlm_bench::Case> cases = {
      BENCH_CASE("%d", "%d", static_cast<int>(i * 7919 - 500000)),
      BENCH_CASE("%lu", "%lu", static_cast<unsigned long>(i) * 0x9e3779b97f4aULL),
      BENCH_CASE("%s", "%s", kNames[i & 3]),
      BENCH_CASE("%-24s|", "%-24s|", kNames[i & 3]),
      BENCH_CASE("%08x", "%08x", static_cast<unsigned>(i * 2654435761u)),
      BENCH_CASE("%016lX", "%016lX", static_cast<unsigned long>(i) << 20),
      BENCH_CASE("mixed line", "id=%d name=%s hex=%08x size=%zu\n", static_cast<int>(i),
                 kNames[i & 3], static_cast<unsigned>(i * 31), static_cast<size_t>(i) * 4096),
      // Ordinary characters go to writeChunk one at a time.
      BENCH_CASE("24 literal chars + %d", "literal text of 24 chars%d", static_cast<int>(i)),
      BENCH_CASE("%.3f (C library)", "%.3f", static_cast<double>(i) / 7),
  };
  vlm_bench::RunTable("printf engine", "ns", cases, rounds, iterations);
  return 0;
}
