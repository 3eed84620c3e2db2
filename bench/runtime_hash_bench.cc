// SHA-1 throughput on 256 MiB in memory, ours against OpenSSL's (run with
// OPENSSL_ia32cap=:~0x20000000 for OpenSSL without the SHA extensions, as
// bench/runtime_bench.py does), and HashBytes throughput.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vlm/hash.h"
#include "vlm/sha1.h"

namespace {

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> v(size_t(256) << 20);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i + 8 <= v.size(); i += 8) {
      uint64_t x = rng();
      for (int k = 0; k < 8; ++k) v[i + k] = static_cast<uint8_t>(x >> (8 * k));
    }
    return v;
  }();
  return data;
}

// Fed in 1 MiB pieces, as a caller hashing a file would.
constexpr size_t kPiece = size_t(1) << 20;

void BM_SHA1_Vellum(benchmark::State& state) {
  const auto& data = Data();
  for (auto _ : state) {
    vellum::SHA1Sum sum;
    for (size_t at = 0; at < data.size(); at += kPiece) sum.update(data.data() + at, kPiece);
    vellum::SHA1Sum::Hash out;
    sum.finish(out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_SHA1_Vellum)->Unit(benchmark::kMillisecond);

void BM_SHA1_OpenSSL(benchmark::State& state) {
  const auto& data = Data();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    for (size_t at = 0; at < data.size(); at += kPiece) EVP_DigestUpdate(ctx, data.data() + at, kPiece);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, out, &n);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_SHA1_OpenSSL)->Unit(benchmark::kMillisecond);

void BM_HashBytes(benchmark::State& state) {
  const auto& data = Data();
  const size_t size = static_cast<size_t>(state.range(0));
  size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vellum::HashBytes(data.data() + at, size));
    at = (at + size) % (size_t(64) << 20);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_HashBytes)->Arg(16)->Arg(4096)->Arg(1 << 20);

}  // namespace
