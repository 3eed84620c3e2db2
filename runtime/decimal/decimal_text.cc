// quire::Decimal conversions to and from text and doubles.
#include <double-conversion/double-conversion.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/decimal/decimal_internal.h"
#include "vlm/decimal.h"

namespace quire {

using decimal_internal::CountDigits;
using decimal_internal::kPowersOfTen;

namespace {

// An exponent above this value (raised by the point shifts, see EDigit)
// settles the outcome: no 18 significant digits bring the number back into
// the exponent range, so the parse can stop there.
constexpr int kExponentCap = 1041;
// Leading zeros and cut-off digits are counted up to this value only, which
// already puts any number outside the exponent range, so that no length of
// text can overflow the counts.
constexpr int kCountCap = 1 << 20;
// toString() shows at most this many significant digits of a fraction.
constexpr int kPrintedDigits = 15;

enum class ParseState { Start, Sign, Zero, Digit, Dot, DotDigit, E, ESign, EDigit };

}  // namespace

Decimal Decimal::fromString(const std::string& text) {
  uint64_t accumulator = 0;
  int digits = 0;        // digits in the accumulator
  int afterPoint = 0;    // digits after the point: leading zeros and those
                         // in the accumulator
  int extraDigits = 0;   // integer digits cut off beyond 18
  Sign sign = SignPositive;
  int exponent = 0;
  bool exponentNegative = false;
  ParseState state = ParseState::Start;

  for (const char ch : text) {
    const bool isDigit = ch >= '0' && ch <= '9';
    const int digit = ch - '0';
    switch (state) {
      case ParseState::Start:
      case ParseState::Sign:
        if (ch >= '1' && ch <= '9') {
          accumulator = digit;
          digits = 1;
          state = ParseState::Digit;
        } else if (ch == '0') {
          state = ParseState::Zero;
        } else if (state == ParseState::Start && (ch == '+' || ch == '-')) {
          sign = ch == '-' ? SignNegative : SignPositive;
          state = ParseState::Sign;
        } else if (state == ParseState::Start && ch == '.') {
          state = ParseState::Dot;
        } else {
          return nan();
        }
        break;

      case ParseState::Zero:
        if (ch >= '1' && ch <= '9') {
          accumulator = digit;
          digits = 1;
          state = ParseState::Digit;
        } else if (ch == '0') {
          // Leading zeros carry no digits.
        } else if (ch == '.') {
          state = ParseState::Dot;
        } else if (ch == 'e' || ch == 'E') {
          state = ParseState::E;
        } else {
          return nan();
        }
        break;

      case ParseState::Digit:
        if (isDigit) {
          if (digits < kPrecision) {
            accumulator = accumulator * 10 + digit;
            ++digits;
          } else if (extraDigits < kCountCap) {
            ++extraDigits;
          }
        } else if (ch == '.') {
          state = ParseState::Dot;
        } else if (ch == 'e' || ch == 'E') {
          state = ParseState::E;
        } else {
          return nan();
        }
        break;

      case ParseState::Dot:
      case ParseState::DotDigit:
        if (isDigit) {
          if (accumulator == 0 && digit == 0) {
            // A leading zero only moves the point: it takes none of the 18
            // digits, so that "0.000001234..." keeps as many significant
            // digits as "1.234...e-6".
            if (afterPoint < kCountCap) ++afterPoint;
          } else if (digits < kPrecision) {
            accumulator = accumulator * 10 + digit;
            ++digits;
            ++afterPoint;
          }
          // Fraction digits beyond the 18 are dropped.
          state = ParseState::DotDigit;
        } else if (ch == 'e' || ch == 'E') {
          state = ParseState::E;
        } else {
          return nan();
        }
        break;

      case ParseState::E:
        if (ch == '+' || ch == '-') {
          exponentNegative = ch == '-';
          state = ParseState::ESign;
          break;
        }
        [[fallthrough]];
      case ParseState::ESign:
        if (!isDigit) return nan();
        exponent = digit;
        state = ParseState::EDigit;
        break;

      case ParseState::EDigit:
        if (!isDigit) return nan();
        exponent = exponent * 10 + digit;
        // Past this value the outcome is settled whatever follows, and the
        // rest of the text is not looked at. Digits cut off before the point
        // and leading zeros after it shift the value, so they raise the
        // threshold (both are 0 in ordinary texts).
        if (exponent > kExponentCap + afterPoint + extraDigits) {
          if (accumulator == 0) return zero(sign);
          return exponentNegative ? zero(SignPositive) : infinity(sign);
        }
        break;
    }
  }

  switch (state) {
    case ParseState::Zero:
      return zero(sign);
    case ParseState::Digit:
    case ParseState::DotDigit:
    case ParseState::EDigit:
      break;
    default:
      return nan();
  }

  int e = (exponentNegative ? -exponent : exponent) - afterPoint + extraDigits;
  if (e < kExponentMin) {
    // Raise the exponent to -1023 by cutting digits off the coefficient;
    // when none remain the value underflows to (positive) zero.
    const int cut = kExponentMin - e;
    accumulator = cut < 20 ? accumulator / kPowersOfTen[cut] : 0;
    if (accumulator == 0) return zero(SignPositive);
    e = kExponentMin;
  }
  if (e >= kExponentMax) {
    // Bring the exponent down to 1022 by scaling the coefficient up. The
    // constructor then cuts the product back to 18 digits, which gives
    // infinity exactly when the value lies beyond the range. A product that
    // does not even fit in 64 bits is beyond the range as well.
    if (accumulator == 0) return zero(sign);
    const int scale = e - (kExponentMax - 1);
    uint64_t scaled;
    if (scale >= 20 || __builtin_mul_overflow(accumulator, kPowersOfTen[scale], &scaled)) {
      return infinity(sign);
    }
    accumulator = scaled;
    e = kExponentMax - 1;
  }
  return Decimal(sign, e, accumulator);
}

std::string Decimal::toString() const {
  if (isInfinity()) return isNegative() ? "-Infinity" : "Infinity";
  if (isNaN()) return "NaN";

  std::string out;
  if (isNegative()) out += '-';

  uint64_t c = coefficient();
  int e = exponent();
  if (e < 0) {
    // Round fractions to 15 significant digits, then drop trailing zeros.
    int lastDropped = 0;
    while (CountDigits(c) > kPrintedDigits) {
      lastDropped = static_cast<int>(c % 10);
      c /= 10;
      ++e;
    }
    if (lastDropped >= 5) ++c;
    while (e < 0 && c != 0 && c % 10 == 0) {
      c /= 10;
      ++e;
    }
  }

  const std::string d = std::to_string(c);
  const int n = static_cast<int>(d.size());
  const int adjusted = e + n - 1;

  if (e > 0 || adjusted < -6) {
    out += d[0];
    const size_t last = d.find_last_not_of('0');
    if (last != std::string::npos && last > 0) {
      out += '.';
      out.append(d, 1, last);
    }
    if (adjusted != 0) {
      out += adjusted < 0 ? "e" : "e+";
      out += std::to_string(adjusted);
    }
  } else if (e == 0) {
    out += d;
  } else if (adjusted >= 0) {
    out.append(d, 0, adjusted + 1);
    out += '.';
    out.append(d, adjusted + 1, std::string::npos);
  } else {
    out += "0.";
    out.append(-adjusted - 1, '0');
    out += d;
  }
  return out;
}

bool Decimal::toString(char* buffer, size_t length) const {
  if (length == 0) return false;
  const std::string text = toString();
  if (text.size() < length) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return true;
  }
  std::memcpy(buffer, text.data(), length - 1);
  buffer[length - 1] = '\0';
  return false;
}

Decimal Decimal::fromDouble(double value) {
  if (std::isnan(value)) return nan();
  if (std::isinf(value)) return infinity(value < 0 ? SignNegative : SignPositive);
  char buffer[64];
  double_conversion::StringBuilder builder(buffer, sizeof(buffer));
  double_conversion::DoubleToStringConverter::EcmaScriptConverter().ToShortest(value, &builder);
  const int length = builder.position();
  return fromString(std::string(builder.Finalize(), length));
}

double Decimal::toDouble() const {
  if (isNaN()) return std::numeric_limits<double>::quiet_NaN();
  if (isInfinity()) {
    return isNegative() ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
  }
  const std::string text = toString();
  const double_conversion::StringToDoubleConverter converter(
      double_conversion::StringToDoubleConverter::NO_FLAGS,
      std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(),
      nullptr, nullptr);
  int processed = 0;
  const double result =
      converter.StringToDouble(text.data(), static_cast<int>(text.size()), &processed);
  return std::isfinite(result) ? result : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace quire
