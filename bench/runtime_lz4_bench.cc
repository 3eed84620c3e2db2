// vellum::Compression::LZ4 against the same LZ4 library calls made directly,
// on 64 KiB of text-like data.
#include <benchmark/benchmark.h>

#define LZ4_DISABLE_DEPRECATE_WARNINGS
#include <lz4.h>

#include <random>
#include <string>

#include "vlm/lz4.h"

namespace {

using vellum::Compression::LZ4;

const std::string& Input() {
  static const std::string input = [] {
    static const char* kWords[] = {"update ", "archive ", "manifest ", "patch\n", "engine ",
                                   "0x7f3a ", "tarvelin ", "{\"k\": 12} "};
    std::mt19937 rng(3);
    std::string s;
    while (s.size() < (64 << 10)) s += kWords[rng() % 8];
    s.resize(64 << 10);
    return s;
  }();
  return input;
}

const std::string& Packed() {
  static const std::string packed = [] {
    std::string out(LZ4::maxCompressedSize(Input().size()), '\0');
    out.resize(LZ4::compress(Input().data(), Input().size(), out.data()));
    return out;
  }();
  return packed;
}

void BM_Compress_Wrapper(benchmark::State& state) {
  const std::string& in = Input();
  std::string out(LZ4::maxCompressedSize(in.size()), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(LZ4::compress(in.data(), in.size(), out.data()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Compress_Wrapper);

void BM_Compress_Direct(benchmark::State& state) {
  const std::string& in = Input();
  std::string out(LZ4_compressBound(static_cast<int>(in.size())), '\0');
  for (auto _ : state) {
    LZ4_stream_t lz4state;
    benchmark::DoNotOptimize(LZ4_compress_fast_extState(&lz4state, in.data(), out.data(),
                                                        static_cast<int>(in.size()),
                                                        static_cast<int>(out.size()), 1));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Compress_Direct);

void BM_DecompressSafe_Wrapper(benchmark::State& state) {
  const std::string& packed = Packed();
  std::string out(Input().size(), '\0');
  for (auto _ : state) {
    size_t produced;
    benchmark::DoNotOptimize(
        LZ4::decompress(packed.data(), packed.size(), out.data(), out.size(), &produced));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}
BENCHMARK(BM_DecompressSafe_Wrapper);

void BM_DecompressSafe_Direct(benchmark::State& state) {
  const std::string& packed = Packed();
  std::string out(Input().size(), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(LZ4_decompress_safe(packed.data(), out.data(),
                                                 static_cast<int>(packed.size()),
                                                 static_cast<int>(out.size())));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}
BENCHMARK(BM_DecompressSafe_Direct);

void BM_DecompressFast_Wrapper(benchmark::State& state) {
  const std::string& packed = Packed();
  std::string out(Input().size(), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(LZ4::decompress(packed.data(), out.data(), out.size()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}
BENCHMARK(BM_DecompressFast_Wrapper);

void BM_DecompressFast_Direct(benchmark::State& state) {
  const std::string& packed = Packed();
  std::string out(Input().size(), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        LZ4_decompress_fast(packed.data(), out.data(), static_cast<int>(out.size())));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}
BENCHMARK(BM_DecompressFast_Direct);

}  // namespace
