#include "vlm/decimal.h"

#include <gtest/gtest.h>

#include <climits>

#include "runtime/decimal/decimal_test_util.h"

namespace {

using quire::Decimal;
using quire::testing_util::D;

using Kind = Decimal::EncodedData::ValueKind;

void ExpectEncoding(const Decimal& d, Decimal::Sign sign, int exponent, uint64_t coefficient,
                    Kind kind) {
  EXPECT_EQ(kind, d.value().kind());
  EXPECT_EQ(sign, d.sign());
  EXPECT_EQ(exponent, d.exponent());
  EXPECT_EQ(coefficient, d.coefficient());
}

TEST(Decimal, Construction) {
  const auto P = Decimal::SignPositive;
  const auto N = Decimal::SignNegative;
  struct Case {
    int line;
    Decimal value;
    Decimal::Sign sign;
    int exponent;
    uint64_t coefficient;
    Kind kind;
  } cases[] = {
      {__LINE__, Decimal(P, 3, 12), P, 3, 12, Decimal::KindFinite},
      {__LINE__, Decimal(P, 0, 10000000000000000000ull), P, 2, 100000000000000000ull,
       Decimal::KindFinite},
      // Normalising past 1023 overflows.
      {__LINE__, Decimal(N, 1023, 1000000000000000000ull), N, 0, 0, Decimal::KindInfinity},
      {__LINE__, Decimal(P, 1024, 1), P, 0, 0, Decimal::KindInfinity},
      {__LINE__, Decimal(N, -1024, 5), N, 0, 0, Decimal::KindZero},
      // A zero coefficient ignores the exponent.
      {__LINE__, Decimal(P, 2000, 0), P, 0, 0, Decimal::KindZero},
      {__LINE__, Decimal(N, -5, 0), N, 0, 0, Decimal::KindZero},
      {__LINE__, Decimal(INT_MIN), N, 0, 2147483648ull, Decimal::KindFinite},
      {__LINE__, Decimal(INT_MAX), P, 0, 2147483647ull, Decimal::KindFinite},
      {__LINE__, Decimal(0), P, 0, 0, Decimal::KindZero},
      {__LINE__, Decimal::nan(), P, 0, 0, Decimal::KindNaN},
      {__LINE__, -Decimal::nan(), P, 0, 0, Decimal::KindNaN},
      {__LINE__, Decimal::infinity(N), N, 0, 0, Decimal::KindInfinity},
      {__LINE__, -Decimal(0), N, 0, 0, Decimal::KindZero},
      {__LINE__, Decimal::infinity(N).abs(), P, 0, 0, Decimal::KindInfinity},
      {__LINE__, Decimal(-5).abs(), P, 0, 5, Decimal::KindFinite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ExpectEncoding(c.value, c.sign, c.exponent, c.coefficient, c.kind);
  }
  Decimal copy(Decimal(P, -2, 5));
  Decimal assigned;
  assigned = copy;
  EXPECT_EQ(copy.value(), Decimal(P, -2, 5).value());
  EXPECT_EQ(assigned.value(), copy.value());
  EXPECT_EQ(Decimal(Decimal(N, 7, 3).value()).value(), Decimal(N, 7, 3).value());
}

TEST(Decimal, AlignOperands) {
  struct Case {
    int line;
    const char* lhs;
    const char* rhs;
    uint64_t lhsCoefficient;
    uint64_t rhsCoefficient;
    int exponent;
  } cases[] = {
      {__LINE__, "12", "3e-2", 1200, 3, -2},
      {__LINE__, "3e-2", "12", 3, 1200, -2},
      // Only 18 digits: the smaller operand loses its low digits.
      {__LINE__, "1e20", "1", 100000000000000000ull, 0, 3},
      {__LINE__, "123", "4567e-18", 123000000000000000ull, 4, -15},
      // A zero on the larger-exponent side stays as it is.
      {__LINE__, "0", "5e-3", 0, 5, -3},
      // Exponents 2000 apart: the division by 10^1983 gives 0 rather than
      // a power of ten that wrapped around.
      {__LINE__, "1e1000", "999999999999999999e-1000", 100000000000000000ull, 0, 983},
      {__LINE__, "999999999999999999e-1000", "1e1000", 0, 100000000000000000ull, 983},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Decimal::AlignedOperands a = Decimal::alignOperands(D(c.lhs), D(c.rhs));
    EXPECT_EQ(c.lhsCoefficient, a.lhsCoefficient);
    EXPECT_EQ(c.rhsCoefficient, a.rhsCoefficient);
    EXPECT_EQ(c.exponent, a.exponent);
  }
}

TEST(Decimal, Arithmetic) {
  struct Case {
    int line;
    const char* lhs;
    char op;
    const char* rhs;
    const char* expected;  // toString() of the result
  } cases[] = {
      {__LINE__, "0.1", '+', "0.2", "0.3"},
      {__LINE__, "1", '+', "-1", "0"},
      {__LINE__, "-1", '+', "1", "0"},
      {__LINE__, "-0", '+', "-0", "-0"},
      {__LINE__, "-0", '+', "0", "0"},
      {__LINE__, "999999999999999999", '+', "1", "1e+18"},
      {__LINE__, "123456789012345678", '+', "1", "123456789012345679"},
      {__LINE__, "1e1000", '+', "1e-1000", "1e+1000"},
      // 10e1023 is still a valid encoding: only 18-digit overflow renormalises.
      {__LINE__, "1e1023", '+', "9e1023", "1e+1024"},
      {__LINE__, "999999999999999999e1023", '+', "1e1023", "Infinity"},
      {__LINE__, "inf", '+', "-inf", "NaN"},
      {__LINE__, "inf", '+', "inf", "Infinity"},
      {__LINE__, "-inf", '+', "5", "-Infinity"},
      {__LINE__, "5", '+', "-inf", "-Infinity"},
      {__LINE__, "nan", '+', "1", "NaN"},
      {__LINE__, "1", '+', "nan", "NaN"},

      {__LINE__, "0.3", '-', "0.1", "0.2"},
      {__LINE__, "1", '-', "3", "-2"},
      {__LINE__, "-1", '-', "-1", "0"},
      {__LINE__, "-0", '-', "0", "-0"},
      {__LINE__, "5", '-', "inf", "-Infinity"},
      {__LINE__, "5", '-', "-inf", "Infinity"},
      {__LINE__, "inf", '-', "inf", "NaN"},
      {__LINE__, "inf", '-', "-inf", "Infinity"},
      {__LINE__, "-inf", '-', "5", "-Infinity"},

      {__LINE__, "1.5", '*', "2", "3"},
      {__LINE__, "-2", '*', "3", "-6"},
      {__LINE__, "-2", '*', "0", "-0"},
      {__LINE__, "0.001", '*', "0.001", "0.000001"},
      // The 128-bit product is cut to 18 digits.
      {__LINE__, "999999999999999999", '*', "999999999999999999", "9.99999999999999998e+35"},
      {__LINE__, "1e1000", '*', "1e1000", "Infinity"},
      {__LINE__, "-1e-1000", '*', "1e-1000", "-0"},
      {__LINE__, "inf", '*', "0", "NaN"},
      {__LINE__, "0", '*', "-inf", "NaN"},
      {__LINE__, "-inf", '*', "2", "-Infinity"},
      {__LINE__, "inf", '*', "-inf", "-Infinity"},

      {__LINE__, "1", '/', "3", "0.333333333333333"},
      {__LINE__, "2", '/', "3", "0.666666666666667"},
      {__LINE__, "1", '/', "7", "0.142857142857143"},
      {__LINE__, "10", '/', "4", "2.5"},
      {__LINE__, "-1", '/', "8", "-0.125"},
      {__LINE__, "999999999999999999", '/', "1", "999999999999999999"},
      {__LINE__, "1e-1000", '/', "1e1000", "0"},
      {__LINE__, "1", '/', "0", "Infinity"},
      {__LINE__, "-1", '/', "0", "-Infinity"},
      {__LINE__, "0", '/', "0", "NaN"},
      {__LINE__, "0", '/', "-5", "-0"},
      {__LINE__, "inf", '/', "inf", "NaN"},
      {__LINE__, "-inf", '/', "2", "-Infinity"},
      {__LINE__, "5", '/', "-inf", "-0"},
      {__LINE__, "nan", '/', "0", "NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << c.line << ": " << c.lhs << ' ' << c.op << ' '
                                    << c.rhs);
    Decimal lhs = D(c.lhs), rhs = D(c.rhs), result, compound = lhs;
    switch (c.op) {
      case '+': result = lhs + rhs; compound += rhs; break;
      case '-': result = lhs - rhs; compound -= rhs; break;
      case '*': result = lhs * rhs; compound *= rhs; break;
      case '/': result = lhs / rhs; compound /= rhs; break;
    }
    EXPECT_EQ(c.expected, result.toString());
    EXPECT_EQ(result.value(), compound.value());
  }
  // Exact decimal fractions, and the full-precision quotient.
  EXPECT_EQ((D("0.1") + D("0.2")).value(), D("0.3").value());
  Decimal third = D("1") / D("3");
  EXPECT_EQ(333333333333333333ull, third.coefficient());
  EXPECT_EQ(-18, third.exponent());
}

TEST(Decimal, Comparisons) {
  struct Case {
    int line;
    const char* lhs;
    const char* rhs;
    // ==, !=, <, <=, >, >=
    bool eq, ne, lt, le, gt, ge;
  } cases[] = {
      {__LINE__, "1", "1.0", true, false, false, true, false, true},
      {__LINE__, "1", "2", false, true, true, true, false, false},
      {__LINE__, "2", "1", false, true, false, false, true, true},
      {__LINE__, "-1", "1", false, true, true, true, false, false},
      {__LINE__, "0", "-0", true, false, false, true, false, true},
      {__LINE__, "0.1", "0.10000000000000001", false, true, true, true, false, false},
      {__LINE__, "1e1000", "1e-1000", false, true, false, false, true, true},
      {__LINE__, "nan", "nan", false, true, false, false, false, false},
      {__LINE__, "nan", "1", false, true, false, false, false, false},
      {__LINE__, "1", "nan", false, true, false, false, false, false},
      // Identical infinities are equal, although their difference is NaN.
      {__LINE__, "inf", "inf", true, false, false, true, false, true},
      {__LINE__, "inf", "-inf", false, true, false, false, true, true},
      {__LINE__, "-inf", "1e1000", false, true, true, true, false, false},
      {__LINE__, "5", "inf", false, true, true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << c.line << ": " << c.lhs << " vs " << c.rhs);
    Decimal lhs = D(c.lhs), rhs = D(c.rhs);
    EXPECT_EQ(c.eq, lhs == rhs);
    EXPECT_EQ(c.ne, lhs != rhs);
    EXPECT_EQ(c.lt, lhs < rhs);
    EXPECT_EQ(c.le, lhs <= rhs);
    EXPECT_EQ(c.gt, lhs > rhs);
    EXPECT_EQ(c.ge, lhs >= rhs);
  }
  EXPECT_EQ("1", D("inf").compareTo(D("-inf")).toString());
  EXPECT_EQ("-1", D("-inf").compareTo(D("5")).toString());
  EXPECT_EQ("0", D("-0").compareTo(D("0")).toString());
  EXPECT_EQ("-0.5", D("1").compareTo(D("1.5")).toString());
}

TEST(Decimal, Rounding) {
  struct Case {
    int line;
    const char* value;
    const char* ceil;
    const char* floor;
    const char* round;
  } cases[] = {
      {__LINE__, "-0.5", "0", "-1", "-1"},
      {__LINE__, "0.5", "1", "0", "1"},
      {__LINE__, "0.04", "1", "0", "0"},
      {__LINE__, "-0.05", "0", "-1", "0"},
      {__LINE__, "1.5", "2", "1", "2"},
      {__LINE__, "-1.5", "-1", "-2", "-2"},
      {__LINE__, "2.4", "3", "2", "2"},
      {__LINE__, "-2.4", "-2", "-3", "-2"},
      // round keeps the sign of a negative value that rounds to zero.
      {__LINE__, "-0.4", "0", "-1", "-0"},
      {__LINE__, "0.999999999999999999", "1", "0", "1"},
      {__LINE__, "123456789012345.678", "123456789012346", "123456789012345",
       "123456789012346"},
      {__LINE__, "7", "7", "7", "7"},
      {__LINE__, "1e5", "1e+5", "1e+5", "1e+5"},
      {__LINE__, "-0", "-0", "-0", "-0"},
      {__LINE__, "-inf", "-Infinity", "-Infinity", "-Infinity"},
      {__LINE__, "nan", "NaN", "NaN", "NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << c.line << ": " << c.value);
    Decimal d = D(c.value);
    EXPECT_EQ(c.ceil, d.ceil().toString());
    EXPECT_EQ(c.floor, d.floor().toString());
    EXPECT_EQ(c.round, d.round().toString());
  }
  EXPECT_EQ(Decimal::SignPositive, D("-0.5").ceil().sign());
}

TEST(Decimal, Remainder) {
  struct Case {
    int line;
    const char* lhs;
    const char* rhs;
    const char* expected;
  } cases[] = {
      {__LINE__, "7", "3", "1"},
      {__LINE__, "-7", "3", "-1"},
      {__LINE__, "7", "-3", "1"},
      {__LINE__, "5.5", "2", "1.5"},
      {__LINE__, "0.3", "0.1", "0"},
      {__LINE__, "0", "3", "0"},
      {__LINE__, "5", "inf", "NaN"},
      {__LINE__, "inf", "3", "Infinity"},
      // The quotient's infinity is returned as it is.
      {__LINE__, "5", "0", "Infinity"},
      {__LINE__, "nan", "3", "NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << c.line << ": " << c.lhs << " rem " << c.rhs);
    EXPECT_EQ(c.expected, D(c.lhs).remainder(D(c.rhs)).toString());
  }
}

}  // namespace
