/* Allocator workloads for comparing allocators through LD_PRELOAD.
 *
 * usage: allocator_workload MODE [THREADS]
 *   churn     single thread, browser-like size mix, ~50 MB live
 *   threads   THREADS threads replacing blocks in a shared slot table, so
 *             most frees are cross-thread; "threads-private" first asks for
 *             a private arena in every thread when the allocator has them
 *   realloc   buffers grown by doubling realloc from 16 B to 8 MiB
 *   frag      ~1 GB of small blocks, a random 90 % freed (RSS noted), then
 *             blocks of other sizes (half the remaining live volume) allocated
 *             into the holes
 *   pair64    one 64-byte malloc/free pair per operation ("pair64-live"
 *             keeps one other 64-byte block alive meanwhile)
 * Prints one line of key=value pairs: ops, seconds, maxrss_kb (peak),
 * rss_kb (at the end of the work, before anything is freed for exit),
 * rss_after_free_kb (frag: after the 90 % were freed) and malloc_from (the
 * object that really serves malloc).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static uint64_t Next(uint64_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 7;
  *s ^= *s << 17;
  return *s;
}

/* A field of /proc/self/status in KiB: VmRSS now, VmHWM the peak. Unlike
 * getrusage's maximum, neither includes the parent's memory from before the
 * exec of this program. */
static long StatusKb(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  char line[256];
  long kb = 0;
  size_t len = strlen(field);
  if (f == NULL) return 0;
  while (fgets(line, sizeof(line), f) != NULL) {
    if (strncmp(line, field, len) == 0 && line[len] == ':') kb = atol(line + len + 1);
  }
  fclose(f);
  return kb;
}

/* Writes one byte per page so that the block is really resident. */
static void Touch(char* p, size_t size) {
  for (size_t i = 0; i < size; i += 4096) p[i] = (char)i;
  p[size - 1] = 1;
}

static size_t BrowserSize(uint64_t* rng) {
  uint64_t r = Next(rng) % 10000;
  if (r < 8000) return 16 + Next(rng) % 113;           /* 16-128 B */
  if (r < 9700) return 129 + Next(rng) % (4096 - 128);  /* up to 4 KiB */
  if (r < 9995) return 4097 + Next(rng) % (256 * 1024 - 4096);
  return (1 << 20) + Next(rng) % (3 << 20);            /* 1-4 MiB, rare */
}

static long Churn(void) {
  enum { kSlots = 6000 };
  static char* slots[kSlots];
  uint64_t rng = 88172645463325252ull;
  long ops = 1000000;
  for (long i = 0; i < ops; ++i) {
    size_t k = Next(&rng) % kSlots;
    free(slots[k]);
    size_t size = BrowserSize(&rng);
    slots[k] = malloc(size);
    Touch(slots[k], size);
  }
  return ops;
}

enum { kSharedSlots = 8192 };
static _Atomic(char*) gShared[kSharedSlots];
static int gPrivate;

static void* ThreadBody(void* arg) {
  uint64_t rng = 0x9E3779B97F4A7C15ull * (uintptr_t)arg + 1;
  if (gPrivate) {
    void (*set)(int) = (void (*)(int))dlsym(RTLD_DEFAULT, "vlmheap_thread_local_arena");
    if (set != NULL) set(1);
  }
  for (long i = 0; i < 500000; ++i) {
    size_t size = Next(&rng) % 100 < 95 ? 16 + Next(&rng) % 113 : 129 + Next(&rng) % 3968;
    char* p = malloc(size);
    p[0] = 1;
    free(atomic_exchange(&gShared[Next(&rng) % kSharedSlots], p));
  }
  return NULL;
}

static long Threads(int n) {
  pthread_t t[64];
  if (n > 64) n = 64;
  for (int i = 0; i < n; ++i) pthread_create(&t[i], NULL, ThreadBody, (void*)(uintptr_t)(i + 1));
  for (int i = 0; i < n; ++i) pthread_join(t[i], NULL);
  return 500000L * n;
}

static long Realloc(void) {
  long ops = 0;
  for (int round = 0; round < 50; ++round) {
    char* p = NULL;
    /* A growing vector: every doubling is filled up before the next. */
    for (size_t size = 16; size <= (8u << 20); size *= 2) {
      p = realloc(p, size);
      Touch(p + size / 2, size / 2);
      ++ops;
    }
    free(p);
  }
  return ops;
}

static char** gFrag;
static long gRssAfterFree;
static long Frag(void) {
  const size_t kTotal = (size_t)1 << 30;
  size_t n = kTotal / 136; /* average block of the size mix below */
  gFrag = malloc(n * sizeof(char*));
  uint64_t rng = 12345;
  for (size_t i = 0; i < n; ++i) {
    size_t size = 16 + Next(&rng) % 241;
    gFrag[i] = malloc(size);
    gFrag[i][0] = 1;
  }
  for (size_t i = 0; i < n; ++i) {
    if (Next(&rng) % 10 != 0) {
      free(gFrag[i]);
      gFrag[i] = NULL;
    }
  }
  gRssAfterFree = StatusKb("VmRSS");
  /* A size shift: new blocks of other sizes, half the volume still live. */
  for (size_t i = 0; i < n / 40; ++i) {
    if (gFrag[i] == NULL) {
      size_t size = 300 + Next(&rng) % 700;
      gFrag[i] = malloc(size);
      gFrag[i][0] = 1;
    }
  }
  return (long)n;
}

static long Pair64(int keep_neighbour) {
  long ops = 5000000;
  /* With a live neighbour the run never empties: the fast path alone. */
  void* volatile neighbour = keep_neighbour ? malloc(64) : NULL;
  for (long i = 0; i < ops; ++i) {
    void* volatile p = malloc(64);
    free(p);
  }
  free(neighbour);
  return ops;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s churn|threads|threads-private|realloc|frag|pair64|pair64-live [threads]\n",
            argv[0]);
    return 2;
  }
  const char* mode = argv[1];
  int threads = argc > 2 ? atoi(argv[2]) : 2;
  Dl_info info;
  void* sym = dlsym(RTLD_DEFAULT, "malloc");
  const char* from = sym != NULL && dladdr(sym, &info) && info.dli_fname ? info.dli_fname : "?";
  free(malloc(1));
  double start = Now();
  long ops;
  if (strcmp(mode, "churn") == 0) {
    ops = Churn();
  } else if (strcmp(mode, "threads") == 0 || strcmp(mode, "threads-private") == 0) {
    gPrivate = strcmp(mode, "threads-private") == 0;
    ops = Threads(threads);
  } else if (strcmp(mode, "realloc") == 0) {
    ops = Realloc();
  } else if (strcmp(mode, "frag") == 0) {
    ops = Frag();
  } else if (strcmp(mode, "pair64") == 0 || strcmp(mode, "pair64-live") == 0) {
    ops = Pair64(strcmp(mode, "pair64-live") == 0);
  } else {
    fprintf(stderr, "unknown mode %s\n", mode);
    return 2;
  }
  double seconds = Now() - start;
  long rss = StatusKb("VmRSS");
  printf("ops=%ld seconds=%.6f maxrss_kb=%ld rss_kb=%ld rss_after_free_kb=%ld malloc_from=%s\n",
         ops, seconds, StatusKb("VmHWM"), rss, gRssAfterFree ? gRssAfterFree : rss, from);
  return 0;
}
