#include <double-conversion/double-conversion.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "runtime/decimal/decimal_test_util.h"
#include "vlm/decimal.h"

namespace {

using quire::Decimal;
using quire::testing_util::D;

constexpr auto P = Decimal::SignPositive;
constexpr auto N = Decimal::SignNegative;

TEST(DecimalFromString, AcceptedTexts) {
  struct Case {
    int line;
    std::string text;
    Decimal expected;  // compared by encoding
  } cases[] = {
      {__LINE__, "0", Decimal::zero(P)},
      {__LINE__, "-0", Decimal::zero(N)},
      {__LINE__, "000", Decimal::zero(P)},
      {__LINE__, "+7", Decimal(P, 0, 7)},
      {__LINE__, ".5", Decimal(P, -1, 5)},
      {__LINE__, "1e5", Decimal(P, 5, 1)},
      {__LINE__, "1E+5", Decimal(P, 5, 1)},
      {__LINE__, "-25e-3", Decimal(N, -3, 25)},
      {__LINE__, "0012", Decimal(P, 0, 12)},
      {__LINE__, "1.50", Decimal(P, -2, 150)},
      {__LINE__, "0.05", Decimal(P, -2, 5)},
      {__LINE__, "0e5", Decimal::zero(P)},
      // Integer digits beyond 18 raise the exponent; fraction digits beyond
      // 18 are dropped, and zeros after the point count among the 18.
      {__LINE__, "123456789012345678901", Decimal(P, 3, 123456789012345678ull)},
      {__LINE__, "12345678901234567890e-5", Decimal(P, -3, 123456789012345678ull)},
      {__LINE__, "1.23456789012345678901", Decimal(P, -17, 123456789012345678ull)},
      // Leading zeros after the point take none of the 18 digits.
      {__LINE__, "0.000000000000000000001", Decimal(P, -21, 1)},
      {__LINE__, "-0.00000123456789012345678901", Decimal(N, -23, 123456789012345678ull)},
      {__LINE__, "0.000000000000000000000e5", Decimal::zero(P)},
      // The exponent range.
      {__LINE__, "1e-1023", Decimal(P, -1023, 1)},
      {__LINE__, "1e-1024", Decimal::zero(P)},
      // Below -1023 the coefficient gives up digits before the value
      // becomes zero.
      {__LINE__, "1000e-1025", Decimal(P, -1023, 10)},
      {__LINE__, "-123456e-1026", Decimal(N, -1023, 123)},
      {__LINE__, "-1e-1024", Decimal::zero(P)},
      {__LINE__, "1e1023", Decimal(P, 1022, 10)},
      {__LINE__, "9.99999999999999999e1040", Decimal(P, 1023, 999999999999999999ull)},
      // Short texts near the top of the range: the value decides, not the
      // number of digits written.
      {__LINE__, "2e1040", Decimal(P, 1023, 200000000000000000ull)},
      {__LINE__, "-1e1040", Decimal(N, 1023, 100000000000000000ull)},
      {__LINE__, "1.5e1041", Decimal::infinity(P)},
      {__LINE__, "1e1041", Decimal::infinity(P)},
      {__LINE__, "1e1042", Decimal::infinity(P)},
      {__LINE__, "-1e1042", Decimal::infinity(N)},
      {__LINE__, "1e-1042", Decimal::zero(P)},
      {__LINE__, "0e1042", Decimal::zero(P)},
      {__LINE__, "-0e1042", Decimal::zero(N)},
      // Digits after the point must not let the scaled coefficient wrap
      // around 64 bits (it would give about 1.55e1040).
      {__LINE__, "2.00000000000000000e1041", Decimal::infinity(P)},
      {__LINE__, "-2.00000000000000000e1041", Decimal::infinity(N)},
      // Zero stays zero however large its exponent.
      {__LINE__, "0e1041", Decimal::zero(P)},
      {__LINE__, "-0.000e1040", Decimal::zero(N)},
      // A huge exponent ends the parse at once: no overflow of the exponent,
      // and what follows is not looked at.
      {__LINE__, "1e99999999999999999999999", Decimal::infinity(P)},
      {__LINE__, "-1e-99999999999999999999999", Decimal::zero(P)},
      {__LINE__, "1e1042junk", Decimal::infinity(P)},
      // ... unless cut-off digits or leading zeros bring the value back
      // into range.
      {__LINE__, "1" + std::string(30, '0') + "e-1042", Decimal(P, -1023, 100000000000ull)},
      {__LINE__, "0.01e1042", Decimal(P, 1023, 100000000000000000ull)},
      {__LINE__, "0.01e1042x", Decimal::nan()},
      // Very long texts: the digit counts saturate instead of overflowing.
      {__LINE__, "0." + std::string(1500, '0') + "1e1041", Decimal(P, -460, 1)},
      {__LINE__, "1" + std::string(3000000, '0'), Decimal::infinity(P)},
      {__LINE__, "-0." + std::string(3000000, '0') + "1", Decimal::zero(P)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << c.line << ": \"" << c.text << '"');
    Decimal d = Decimal::fromString(c.text);
    EXPECT_EQ(c.expected.value(), d.value()) << "got " << d.toString();
  }
}

TEST(DecimalFromString, RejectedTexts) {
  const std::string cases[] = {
      "", "+", "-", ".", "-.5", "+.5", "5.", "-0.", "1e", "1e+", "1e-", "e5", ".e", " 1",
      "1 ", "1 2", "1.2.3", "1e5.5", "1e5e5", "--1", "+-1", "1e+-5", "abc", "0x10", "1,5",
      "Infinity", "NaN", "inf", std::string("1\0", 2), "\xff", "12a",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(testing::Message() << '"' << text << '"');
    EXPECT_TRUE(Decimal::fromString(text).isNaN());
  }
}

TEST(DecimalToString, Forms) {
  struct Case {
    int line;
    Decimal value;
    const char* text;
  } cases[] = {
      {__LINE__, Decimal(P, -1, 15), "1.5"},
      {__LINE__, Decimal(P, -2, 5), "0.05"},
      {__LINE__, Decimal(P, 21, 1), "1e+21"},
      {__LINE__, Decimal(P, -10, 123), "1.23e-8"},
      {__LINE__, Decimal(P, -6, 1), "0.000001"},
      {__LINE__, Decimal(P, -7, 1), "1e-7"},
      {__LINE__, Decimal(N, -7, 12345), "-0.0012345"},
      {__LINE__, Decimal(P, -2, 12345), "123.45"},
      {__LINE__, Decimal(P, 0, 100), "100"},
      {__LINE__, Decimal(P, 2, 1), "1e+2"},
      {__LINE__, Decimal(P, 2, 1200), "1.2e+5"},
      {__LINE__, Decimal(P, -2, 1200), "12"},
      {__LINE__, Decimal::zero(P), "0"},
      {__LINE__, Decimal::zero(N), "-0"},
      {__LINE__, Decimal::infinity(P), "Infinity"},
      {__LINE__, Decimal::infinity(N), "-Infinity"},
      {__LINE__, Decimal::nan(), "NaN"},
      // Integers keep all 18 digits ...
      {__LINE__, Decimal(P, 0, 123456789012345678ull), "123456789012345678"},
      {__LINE__, Decimal(N, 5, 123456789012345678ull), "-1.23456789012345678e+22"},
      // ... fractions are rounded to 15.
      {__LINE__, Decimal(P, -18, 123456789012345678ull), "0.123456789012346"},
      {__LINE__, Decimal(P, -18, 999999999999999999ull), "1"},
      {__LINE__, Decimal(P, -17, 100000000000000049ull), "1"},
      {__LINE__, Decimal(P, -1023, 1), "1e-1023"},
      {__LINE__, Decimal(P, 1023, 999999999999999999ull), "9.99999999999999999e+1040"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.text, c.value.toString());
  }
}

TEST(DecimalToString, IntoBuffer) {
  const Decimal value(P, -1, 15);  // "1.5"
  struct Case {
    int line;
    size_t length;
    bool fits;
    const char* written;
  } cases[] = {
      {__LINE__, 1, false, ""},
      {__LINE__, 3, false, "1."},
      {__LINE__, 4, true, "1.5"},
      {__LINE__, 10, true, "1.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(c.fits, value.toString(buffer, c.length));
    EXPECT_STREQ(c.written, buffer);
    EXPECT_EQ('#', buffer[c.length]);  // nothing past the given length
  }
  // A length of 0 writes nothing at all.
  char untouched = '#';
  EXPECT_FALSE(value.toString(&untouched, 0));
  EXPECT_EQ('#', untouched);
}

TEST(DecimalDouble, Conversions) {
  const double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    int line;
    double value;
    const char* text;  // toString() of fromDouble(value)
  } cases[] = {
      {__LINE__, 0.1, "0.1"},
      {__LINE__, -1.5, "-1.5"},
      {__LINE__, 1e21, "1e+21"},
      {__LINE__, 123456789.0, "123456789"},
      {__LINE__, 5e-324, "5e-324"},
      {__LINE__, 1.7976931348623157e308, "1.7976931348623157e+308"},
      // The shortest text of -0 is "0".
      {__LINE__, -0.0, "0"},
      {__LINE__, kInf, "Infinity"},
      {__LINE__, -kInf, "-Infinity"},
      {__LINE__, std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Decimal d = Decimal::fromDouble(c.value);
    EXPECT_EQ(c.text, d.toString());
    double back = d.toDouble();
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(back));
    } else {
      EXPECT_EQ(c.value, back);
    }
  }
  // Beyond the double range: NaN, not infinity.
  EXPECT_TRUE(std::isnan(D("1e400").toDouble()));
  EXPECT_TRUE(std::isnan(D("-1e400").toDouble()));
  EXPECT_EQ(0.0, D("1e-400").toDouble());
  EXPECT_TRUE(std::signbit(D("-0").toDouble()));
  EXPECT_EQ(-kInf, Decimal::infinity(N).toDouble());
  EXPECT_NEAR(1.0 / 3, (D("1") / D("3")).toDouble(), 1e-15);
}

// Doubles with at most 15 significant digits survive fromDouble and
// toDouble, even though toString() rounds fractions to 15 digits.
TEST(DecimalDouble, RandomRoundTrips) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 15);
    uint64_t mantissa = 1 + rng() % 9;
    for (int k = 1; k < digits; ++k) mantissa = mantissa * 10 + rng() % 10;
    const int exponent = static_cast<int>(rng() % 600) - 300;
    char text[64];
    std::snprintf(text, sizeof(text), "%s%llue%d", rng() % 2 ? "-" : "",
                  static_cast<unsigned long long>(mantissa), exponent);
    const double x = std::strtod(text, nullptr);
    const double back = Decimal::fromDouble(x).toDouble();
    ASSERT_EQ(x, back) << text;
  }
}

}  // namespace
