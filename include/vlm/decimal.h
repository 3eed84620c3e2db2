// quire::Decimal: decimal floating point with 18 significant digits.
//
// A value is (-1)^sign x coefficient x 10^exponent with a coefficient below
// 10^18 and an exponent in -1023..1023, or one of the specials zero (signed),
// infinity (signed) and NaN. Decimal fractions such as 0.1 are exact. All
// arithmetic is integer arithmetic on the coefficient; digits beyond the
// precision are cut off unless an operation says it rounds. Results that
// leave the exponent range become infinity or zero; invalid operations
// (infinity - infinity, 0 / 0, ...) give NaN.
//
// Decimals are plain values: copy them freely and use them from any thread.
// Nothing here allocates except toString() and the std::string arguments.
// fromString() accepts untrusted text: anything outside its grammar gives
// NaN.
#ifndef VLM_DECIMAL_H_
#define VLM_DECIMAL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quire {

class Decimal {
 public:
  enum Sign {
    SignPositive,
    SignNegative,
  };

  // The raw encoding of a Decimal.
  class EncodedData {
   public:
    enum ValueKind {
      KindInfinity,
      KindFinite,
      KindNaN,
      KindZero,
    };

    // A finite value or zero, normalised: a coefficient of 10^18 or more is
    // cut to 18 digits (raising the exponent), then an exponent above 1023
    // gives infinity and one below -1023 gives zero, with `sign`.
    EncodedData(Sign sign, int exponent, uint64_t coefficient);
    // A special value: infinity, NaN (always positive) or zero.
    EncodedData(Sign sign, ValueKind kind);

    // Equal when all four fields are equal (so 1 and 10e-1 differ).
    bool operator==(const EncodedData& other) const {
      return m_coefficient == other.m_coefficient &&
             m_exponent == other.m_exponent && m_kind == other.m_kind &&
             m_sign == other.m_sign;
    }
    bool operator!=(const EncodedData& other) const { return !(*this == other); }

    uint64_t coefficient() const { return m_coefficient; }
    int exponent() const { return m_exponent; }
    ValueKind kind() const { return m_kind; }
    Sign sign() const { return m_sign; }
    bool isFinite() const { return m_kind == KindFinite || m_kind == KindZero; }
    bool isInfinity() const { return m_kind == KindInfinity; }
    bool isNaN() const { return m_kind == KindNaN; }
    bool isZero() const { return m_kind == KindZero; }
    bool isSpecial() const { return m_kind == KindInfinity || m_kind == KindNaN; }

   private:
    uint64_t m_coefficient;
    int16_t m_exponent;
    ValueKind m_kind;
    Sign m_sign;
  };

  using ValueKind = EncodedData::ValueKind;
  static constexpr ValueKind KindInfinity = EncodedData::KindInfinity;
  static constexpr ValueKind KindFinite = EncodedData::KindFinite;
  static constexpr ValueKind KindNaN = EncodedData::KindNaN;
  static constexpr ValueKind KindZero = EncodedData::KindZero;

  // Two coefficients brought to one exponent by alignOperands().
  struct AlignedOperands {
    uint64_t lhsCoefficient;
    uint64_t rhsCoefficient;
    int exponent;
  };

  static constexpr int kPrecision = 18;
  static constexpr int kExponentMax = 1023;
  static constexpr int kExponentMin = -1023;

  Decimal(int32_t value = 0);
  // As EncodedData(sign, exponent, coefficient).
  Decimal(Sign sign, int exponent, uint64_t coefficient);
  explicit Decimal(const EncodedData& data);
  Decimal(const Decimal& other);
  Decimal& operator=(const Decimal& other);

  Decimal& operator+=(const Decimal& rhs);
  Decimal& operator-=(const Decimal& rhs);
  Decimal& operator*=(const Decimal& rhs);
  Decimal& operator/=(const Decimal& rhs);

  Decimal operator-() const;
  Decimal operator+(const Decimal& rhs) const;
  Decimal operator-(const Decimal& rhs) const;
  Decimal operator*(const Decimal& rhs) const;
  Decimal operator/(const Decimal& rhs) const;

  // Every comparison with a NaN is false except !=.
  bool operator==(const Decimal& rhs) const;
  bool operator!=(const Decimal& rhs) const;
  bool operator<(const Decimal& rhs) const;
  bool operator<=(const Decimal& rhs) const;
  bool operator>(const Decimal& rhs) const;
  bool operator>=(const Decimal& rhs) const;

  // this - rhs, with an infinite difference turned into -1 or 1 and a zero
  // one into positive zero; NaN when the two are not comparable.
  Decimal compareTo(const Decimal& rhs) const;

  Decimal abs() const;
  // Round toward positive infinity, toward negative infinity, and to the
  // nearest integer with halves away from zero.
  Decimal ceil() const;
  Decimal floor() const;
  Decimal round() const;
  // this - trunc(this / rhs) x rhs: the result has the sign of this.
  Decimal remainder(const Decimal& rhs) const;

  const EncodedData& value() const { return m_data; }
  uint64_t coefficient() const { return m_data.coefficient(); }
  int exponent() const { return m_data.exponent(); }
  Sign sign() const { return m_data.sign(); }
  bool isFinite() const { return m_data.isFinite(); }
  bool isInfinity() const { return m_data.isInfinity(); }
  bool isNaN() const { return m_data.isNaN(); }
  bool isZero() const { return m_data.isZero(); }
  bool isSpecial() const { return m_data.isSpecial(); }
  bool isNegative() const { return m_data.sign() == SignNegative; }
  bool isPositive() const { return m_data.sign() == SignPositive; }

  static Decimal infinity(Sign sign);
  static Decimal zero(Sign sign);
  static Decimal nan();

  // Brings two finite or zero operands to the smaller exponent, as far as 18
  // digits allow; beyond that the smaller operand loses its low digits.
  static AlignedOperands alignOperands(const Decimal& lhs, const Decimal& rhs);

  // Parses [+|-] digits [. digits] [e|E [+|-] digits] (also ".5" but not
  // "5." or "-.5"), without blanks. Digits beyond 18 are cut off; exponents
  // out of range give infinity or zero; anything else gives NaN.
  static Decimal fromString(const std::string& text);

  // The shortest round-trip text of a double, parsed as by fromString();
  // infinities and NaN map to the specials.
  static Decimal fromDouble(double value);

  // Plain notation where it is short ("1.5", "0.000001", "100"), otherwise
  // scientific ("1e+21", "1.23e-8"); "Infinity", "-Infinity", "NaN", "-0".
  // A value with a negative exponent is rounded to 15 significant digits.
  std::string toString() const;

  // Writes toString() with a terminating NUL into buffer[0..length).
  // Returns false, with the text cut to fit, when it does not fit; with a
  // length of 0 it writes nothing and returns false.
  bool toString(char* buffer, size_t length) const;

  // The nearest double to toString(); NaN for NaN and for values beyond the
  // double range, +-infinity for the infinities.
  double toDouble() const;

 private:
  EncodedData m_data;
};

}  // namespace quire

#endif  // VLM_DECIMAL_H_
