// Helpers shared by the arithmetic and the text conversion of Decimal.
#ifndef RUNTIME_DECIMAL_DECIMAL_INTERNAL_H_
#define RUNTIME_DECIMAL_DECIMAL_INTERNAL_H_

#include <cstdint>

namespace quire {
namespace decimal_internal {

constexpr uint64_t kMaxCoefficient = 999999999999999999ull;  // 10^18 - 1

// 10^n for n in 0..19 (10^19 is the largest power of ten in 64 bits).
constexpr uint64_t kPowersOfTen[20] = {
    1ull,
    10ull,
    100ull,
    1000ull,
    10000ull,
    100000ull,
    1000000ull,
    10000000ull,
    100000000ull,
    1000000000ull,
    10000000000ull,
    100000000000ull,
    1000000000000ull,
    10000000000000ull,
    100000000000000ull,
    1000000000000000ull,
    10000000000000000ull,
    100000000000000000ull,
    1000000000000000000ull,
    10000000000000000000ull,
};

// Number of decimal digits of `x`; 0 for 0.
inline int CountDigits(uint64_t x) {
  int n = 0;
  while (n < 20 && x >= kPowersOfTen[n]) ++n;
  return n;
}

}  // namespace decimal_internal
}  // namespace quire

#endif  // RUNTIME_DECIMAL_DECIMAL_INTERNAL_H_
