// Test helpers: Decimals written as text, with names for the specials.
#ifndef RUNTIME_DECIMAL_DECIMAL_TEST_UTIL_H_
#define RUNTIME_DECIMAL_DECIMAL_TEST_UTIL_H_

#include <string>

#include "vlm/decimal.h"

namespace quire {
namespace testing_util {

// "inf", "-inf" and "nan" name the specials; anything else goes through
// fromString().
inline Decimal D(const std::string& text) {
  if (text == "inf") return Decimal::infinity(Decimal::SignPositive);
  if (text == "-inf") return Decimal::infinity(Decimal::SignNegative);
  if (text == "nan") return Decimal::nan();
  return Decimal::fromString(text);
}

}  // namespace testing_util
}  // namespace quire

#endif  // RUNTIME_DECIMAL_DECIMAL_TEST_UTIL_H_
