// Interleaved-round timing and the side-by-side table of the runtime
// benchmarks: every round times each case once for each peer, in turn, so
// that drift of the machine hits all peers alike; the table shows the
// median, min and max over the rounds, and the ratio of the medians.
#ifndef VLM_BENCH_RUNTIME_BENCH_TABLE_H_
#define VLM_BENCH_RUNTIME_BENCH_TABLE_H_

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vlm_bench {

// Wall time: for cases with several threads.
inline double NowNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// The calling thread's CPU time: on a shared machine the wall time of a
// single-threaded case mostly measures the neighbours.
inline double CpuNanos() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

struct Peer {
  std::string name;
  // Runs `iterations` operations and returns the nanoseconds they took.
  std::function<double(long iterations)> run;
};

struct Case {
  std::string name;
  std::vector<Peer> peers;  // the first is ours, the ratio is against it
};

inline void RunTable(const char* title, const char* unit, std::vector<Case>& cases,
                     int rounds, long iterations) {
  std::vector<std::vector<std::vector<double>>> samples(cases.size());
  for (size_t c = 0; c < cases.size(); ++c) samples[c].resize(cases[c].peers.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t c = 0; c < cases.size(); ++c) {
      for (size_t p = 0; p < cases[c].peers.size(); ++p) {
        samples[c][p].push_back(cases[c].peers[p].run(iterations) / iterations);
      }
    }
  }
  std::printf("\n%s (%s per operation; median [min-max] of %d interleaved rounds of %ld)\n",
              title, unit, rounds, iterations);
  for (size_t c = 0; c < cases.size(); ++c) {
    std::printf("%-28s", cases[c].name.c_str());
    double ours = 0;
    for (size_t p = 0; p < cases[c].peers.size(); ++p) {
      std::vector<double>& s = samples[c][p];
      std::sort(s.begin(), s.end());
      double median = s[s.size() / 2];
      if (p == 0) ours = median;
      std::printf("  %s %7.1f [%6.1f-%6.1f]", cases[c].peers[p].name.c_str(), median,
                  s.front(), s.back());
      if (p > 0) std::printf(" (x%.2f)", median / ours);
    }
    std::printf("\n");
  }
  std::printf("(xN: the peer's median over ours; above 1 means ours is faster)\n");
}

}  // namespace vlm_bench

#endif  // VLM_BENCH_RUNTIME_BENCH_TABLE_H_
