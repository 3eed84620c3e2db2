// quire::Decimal: arithmetic and text conversion, operations per second, on
// a fixed mix of operands (integers, short fractions, 18-digit values).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "vlm/decimal.h"

namespace {

using quire::Decimal;

const std::vector<std::string>& Texts() {
  static const std::vector<std::string> texts = {
      "1", "0.1", "-2.5", "123456789", "3.14159265358979", "1e21", "-0.000123", "42",
      "999999999999999999", "1.23e-8", "7", "0.333333333333333", "-65536", "2.75", "1e-300",
      "5e300",
  };
  return texts;
}

const std::vector<Decimal>& Values() {
  static const std::vector<Decimal> values = [] {
    std::vector<Decimal> v;
    for (const std::string& t : Texts()) v.push_back(Decimal::fromString(t));
    return v;
  }();
  return values;
}

template <typename Op>
void RunBinary(benchmark::State& state, Op op) {
  const auto& v = Values();
  const size_t n = v.size();
  size_t i = 0;
  for (auto _ : state) {
    Decimal r = op(v[i % n], v[(i * 7 + 3) % n]);
    benchmark::DoNotOptimize(r);
    ++i;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_Decimal_Add(benchmark::State& state) {
  RunBinary(state, [](const Decimal& a, const Decimal& b) { return a + b; });
}
BENCHMARK(BM_Decimal_Add);

void BM_Decimal_Multiply(benchmark::State& state) {
  RunBinary(state, [](const Decimal& a, const Decimal& b) { return a * b; });
}
BENCHMARK(BM_Decimal_Multiply);

void BM_Decimal_Divide(benchmark::State& state) {
  RunBinary(state, [](const Decimal& a, const Decimal& b) { return a / b; });
}
BENCHMARK(BM_Decimal_Divide);

void BM_Decimal_ToString(benchmark::State& state) {
  const auto& v = Values();
  size_t i = 0;
  for (auto _ : state) {
    std::string s = v[i++ % v.size()].toString();
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Decimal_ToString);

void BM_Decimal_FromString(benchmark::State& state) {
  const auto& t = Texts();
  size_t i = 0;
  for (auto _ : state) {
    Decimal d = Decimal::fromString(t[i++ % t.size()]);
    benchmark::DoNotOptimize(d);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Decimal_FromString);

}  // namespace
