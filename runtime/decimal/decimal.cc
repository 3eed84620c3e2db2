// quire::Decimal arithmetic, comparison and rounding.
#include "vlm/decimal.h"

#include "runtime/decimal/decimal_internal.h"

namespace quire {

using decimal_internal::CountDigits;
using decimal_internal::kMaxCoefficient;
using decimal_internal::kPowersOfTen;

namespace {

Decimal::Sign Invert(Decimal::Sign sign) {
  return sign == Decimal::SignNegative ? Decimal::SignPositive : Decimal::SignNegative;
}

Decimal::Sign ProductSign(const Decimal& lhs, const Decimal& rhs) {
  return lhs.sign() == rhs.sign() ? Decimal::SignPositive : Decimal::SignNegative;
}

}  // namespace

Decimal::EncodedData::EncodedData(Sign sign, int exponent, uint64_t coefficient)
    : m_coefficient(coefficient), m_exponent(0), m_kind(KindFinite), m_sign(sign) {
  if (coefficient == 0) {
    m_kind = KindZero;
    return;
  }
  if (coefficient > kMaxCoefficient && exponent >= kExponentMin && exponent <= kExponentMax) {
    while (coefficient > kMaxCoefficient) {
      coefficient /= 10;
      ++exponent;
    }
  }
  if (exponent > kExponentMax) {
    m_kind = KindInfinity;
    m_coefficient = 0;
    return;
  }
  if (exponent < kExponentMin) {
    m_kind = KindZero;
    m_coefficient = 0;
    return;
  }
  m_coefficient = coefficient;
  m_exponent = static_cast<int16_t>(exponent);
}

Decimal::EncodedData::EncodedData(Sign sign, ValueKind kind)
    : m_coefficient(0),
      m_exponent(0),
      m_kind(kind),
      m_sign(kind == KindNaN ? SignPositive : sign) {}

Decimal::Decimal(int32_t value)
    : m_data(value < 0 ? SignNegative : SignPositive, 0,
             value < 0 ? uint64_t{0} - static_cast<uint64_t>(static_cast<int64_t>(value))
                       : static_cast<uint64_t>(value)) {}

Decimal::Decimal(Sign sign, int exponent, uint64_t coefficient)
    : m_data(sign, exponent, coefficient) {}

Decimal::Decimal(const EncodedData& data) : m_data(data) {}

Decimal::Decimal(const Decimal& other) = default;

Decimal& Decimal::operator=(const Decimal& other) = default;

Decimal Decimal::infinity(Sign sign) {
  return Decimal(EncodedData(sign, EncodedData::KindInfinity));
}

Decimal Decimal::zero(Sign sign) { return Decimal(EncodedData(sign, EncodedData::KindZero)); }

Decimal Decimal::nan() { return Decimal(EncodedData(SignPositive, EncodedData::KindNaN)); }

Decimal::AlignedOperands Decimal::alignOperands(const Decimal& lhs, const Decimal& rhs) {
  const int lhsExponent = lhs.exponent();
  const int rhsExponent = rhs.exponent();
  AlignedOperands result;
  result.lhsCoefficient = lhs.coefficient();
  result.rhsCoefficient = rhs.coefficient();
  result.exponent = lhsExponent < rhsExponent ? lhsExponent : rhsExponent;

  // The operand with the larger exponent is scaled up as far as 18 digits
  // allow; the digits that still do not fit are cut off the other one.
  uint64_t* larger = nullptr;
  uint64_t* smaller = nullptr;
  int shift = 0;
  if (lhsExponent > rhsExponent) {
    larger = &result.lhsCoefficient;
    smaller = &result.rhsCoefficient;
    shift = lhsExponent - rhsExponent;
  } else if (rhsExponent > lhsExponent) {
    larger = &result.rhsCoefficient;
    smaller = &result.lhsCoefficient;
    shift = rhsExponent - lhsExponent;
  }
  if (larger == nullptr || *larger == 0) return result;

  const int overflow = CountDigits(*larger) + shift - kPrecision;
  if (overflow <= 0) {
    *larger *= kPowersOfTen[shift];
  } else {
    *larger *= kPowersOfTen[shift - overflow];
    // Cutting 20 or more digits off a coefficient below 10^18 leaves 0;
    // 10^overflow itself would not fit in 64 bits.
    *smaller = overflow < 20 ? *smaller / kPowersOfTen[overflow] : 0;
    result.exponent += overflow;
  }
  return result;
}

Decimal Decimal::operator+(const Decimal& rhs) const {
  const Decimal& lhs = *this;
  if (lhs.isNaN()) return lhs;
  if (rhs.isNaN()) return rhs;
  if (lhs.isInfinity()) {
    if (rhs.isInfinity() && lhs.sign() != rhs.sign()) return nan();
    return lhs;
  }
  if (rhs.isInfinity()) return rhs;

  const AlignedOperands a = alignOperands(lhs, rhs);
  // Both coefficients are below 10^18, so neither the sum nor the
  // difference can leave the int64_t range.
  const int64_t l = static_cast<int64_t>(a.lhsCoefficient);
  const int64_t r = static_cast<int64_t>(a.rhsCoefficient);
  int64_t result = lhs.sign() == rhs.sign() ? l + r : l - r;
  Sign sign = lhs.sign();
  if (result < 0) {
    result = -result;
    sign = Invert(sign);
  } else if (result == 0 && lhs.isNegative() && rhs.isPositive()) {
    sign = SignPositive;
  }
  return Decimal(sign, a.exponent, static_cast<uint64_t>(result));
}

Decimal Decimal::operator-(const Decimal& rhs) const {
  const Decimal& lhs = *this;
  if (lhs.isNaN()) return lhs;
  if (rhs.isNaN()) return rhs;
  if (lhs.isInfinity()) {
    if (rhs.isInfinity() && lhs.sign() == rhs.sign()) return nan();
    return lhs;
  }
  if (rhs.isInfinity()) return infinity(Invert(rhs.sign()));

  const AlignedOperands a = alignOperands(lhs, rhs);
  const int64_t l = static_cast<int64_t>(a.lhsCoefficient);
  const int64_t r = static_cast<int64_t>(a.rhsCoefficient);
  int64_t result = lhs.sign() == rhs.sign() ? l - r : l + r;
  Sign sign = lhs.sign();
  if (result < 0) {
    result = -result;
    sign = Invert(sign);
  } else if (result == 0 && lhs.isNegative() && rhs.isNegative()) {
    sign = SignPositive;
  }
  return Decimal(sign, a.exponent, static_cast<uint64_t>(result));
}

Decimal Decimal::operator*(const Decimal& rhs) const {
  const Decimal& lhs = *this;
  const Sign sign = ProductSign(lhs, rhs);
  if (lhs.isNaN()) return lhs;
  if (rhs.isNaN()) return rhs;
  if (lhs.isInfinity() || rhs.isInfinity()) {
    if (lhs.isZero() || rhs.isZero()) return nan();
    return infinity(sign);
  }

  unsigned __int128 product =
      static_cast<unsigned __int128>(lhs.coefficient()) * rhs.coefficient();
  int exponent = lhs.exponent() + rhs.exponent();
  while (product >> 64) {
    product /= 10;
    ++exponent;
  }
  return Decimal(sign, exponent, static_cast<uint64_t>(product));
}

Decimal Decimal::operator/(const Decimal& rhs) const {
  const Decimal& lhs = *this;
  const Sign sign = ProductSign(lhs, rhs);
  if (lhs.isNaN()) return lhs;
  if (rhs.isNaN()) return rhs;
  if (lhs.isInfinity()) return rhs.isInfinity() ? nan() : infinity(sign);
  if (rhs.isInfinity()) return zero(sign);
  if (rhs.isZero()) return lhs.isZero() ? nan() : infinity(sign);
  if (lhs.isZero()) return zero(sign);

  // Long division, one decimal digit (or, at first, one whole quotient) at
  // a time, until 18 digits are produced or nothing remains.
  int exponent = lhs.exponent() - rhs.exponent();
  uint64_t remainder = lhs.coefficient();
  const uint64_t divisor = rhs.coefficient();
  uint64_t result = 0;
  for (;;) {
    while (remainder < divisor && result < kMaxCoefficient / 10) {
      remainder *= 10;
      result *= 10;
      --exponent;
    }
    if (remainder < divisor) break;
    const uint64_t quotient = remainder / divisor;
    if (result > kMaxCoefficient - quotient) break;
    result += quotient;
    remainder %= divisor;
    if (remainder == 0) break;
  }
  if (remainder > divisor / 2) ++result;
  return Decimal(sign, exponent, result);
}

Decimal& Decimal::operator+=(const Decimal& rhs) { return *this = *this + rhs; }
Decimal& Decimal::operator-=(const Decimal& rhs) { return *this = *this - rhs; }
Decimal& Decimal::operator*=(const Decimal& rhs) { return *this = *this * rhs; }
Decimal& Decimal::operator/=(const Decimal& rhs) { return *this = *this / rhs; }

Decimal Decimal::operator-() const {
  if (isNaN()) return *this;
  Decimal result(*this);
  result.m_data = isSpecial() || isZero()
                      ? EncodedData(Invert(sign()), m_data.kind())
                      : EncodedData(Invert(sign()), exponent(), coefficient());
  return result;
}

Decimal Decimal::abs() const {
  if (isSpecial() || isZero()) return Decimal(EncodedData(SignPositive, m_data.kind()));
  return Decimal(SignPositive, exponent(), coefficient());
}

Decimal Decimal::compareTo(const Decimal& rhs) const {
  const Decimal difference = *this - rhs;
  switch (difference.m_data.kind()) {
    case EncodedData::KindFinite:
    case EncodedData::KindNaN:
      return difference;
    case EncodedData::KindInfinity:
      return Decimal(difference.isNegative() ? -1 : 1);
    case EncodedData::KindZero:
      break;
  }
  return zero(SignPositive);
}

bool Decimal::operator==(const Decimal& rhs) const {
  if (isNaN() || rhs.isNaN()) return false;
  return m_data == rhs.m_data || compareTo(rhs).isZero();
}

bool Decimal::operator!=(const Decimal& rhs) const {
  if (isNaN() || rhs.isNaN()) return true;
  if (m_data == rhs.m_data) return false;
  const Decimal result = compareTo(rhs);
  return !result.isNaN() && !result.isZero();
}

bool Decimal::operator<(const Decimal& rhs) const {
  const Decimal result = compareTo(rhs);
  return !result.isNaN() && !result.isZero() && result.isNegative();
}

bool Decimal::operator<=(const Decimal& rhs) const {
  if (isNaN() || rhs.isNaN()) return false;
  if (m_data == rhs.m_data) return true;
  const Decimal result = compareTo(rhs);
  return result.isZero() || (!result.isNaN() && result.isNegative());
}

bool Decimal::operator>(const Decimal& rhs) const {
  const Decimal result = compareTo(rhs);
  return !result.isNaN() && !result.isZero() && result.isPositive();
}

bool Decimal::operator>=(const Decimal& rhs) const {
  if (isNaN() || rhs.isNaN()) return false;
  if (m_data == rhs.m_data) return true;
  const Decimal result = compareTo(rhs);
  return result.isZero() || (!result.isNaN() && result.isPositive());
}

Decimal Decimal::ceil() const {
  if (isSpecial() || isZero() || exponent() >= 0) return *this;
  const uint64_t c = coefficient();
  const int digits = CountDigits(c);
  const int drop = -exponent();
  if (digits <= drop) return isPositive() ? Decimal(1) : zero(SignPositive);
  // Here drop < digits <= 18.
  uint64_t result = c / kPowersOfTen[drop];
  if (isPositive() && c % kPowersOfTen[drop] != 0) ++result;
  return Decimal(sign(), 0, result);
}

Decimal Decimal::floor() const {
  if (isSpecial() || isZero() || exponent() >= 0) return *this;
  const uint64_t c = coefficient();
  const int digits = CountDigits(c);
  const int drop = -exponent();
  if (digits < drop) return isNegative() ? Decimal(-1) : zero(SignPositive);
  // Here drop <= digits <= 18.
  uint64_t result = c / kPowersOfTen[drop];
  if (isNegative() && c % kPowersOfTen[drop] != 0) ++result;
  return Decimal(sign(), 0, result);
}

Decimal Decimal::round() const {
  if (isSpecial() || isZero() || exponent() >= 0) return *this;
  const uint64_t c = coefficient();
  const int digits = CountDigits(c);
  const int drop = -exponent();
  if (digits < drop) return zero(SignPositive);
  // Keep one digit beyond the point and round on it, halves away from zero.
  uint64_t result = c / kPowersOfTen[drop - 1];
  result = result % 10 >= 5 ? (result + 10) / 10 : result / 10;
  return Decimal(sign(), 0, result);
}

Decimal Decimal::remainder(const Decimal& rhs) const {
  const Decimal quotient = *this / rhs;
  if (quotient.isSpecial()) return quotient;
  const Decimal truncated = quotient.isNegative() ? quotient.ceil() : quotient.floor();
  return *this - truncated * rhs;
}

}  // namespace quire
