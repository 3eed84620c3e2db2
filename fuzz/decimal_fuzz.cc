// Decimal::fromString must never crash on any text, must keep the order of
// magnitude of what it parses (a huge exponent gives infinity or zero, never
// a wrapped value), and fromString(toString(x)) must give x back whenever x
// has at most 15 significant digits (toString rounds fractions to 15).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vlm/decimal.h"

namespace {

using quire::Decimal;

[[noreturn]] void Fail(const char* what, const std::string& text, const Decimal& d) {
  std::fprintf(stderr, "decimal fuzz: %s: input \"%s\" gave %s (coefficient %llu, exponent %d)\n",
               what, text.c_str(), d.toString().c_str(),
               static_cast<unsigned long long>(d.coefficient()), d.exponent());
  std::abort();
}

// What an accepted text says about its value, read independently of the
// parser: sign, first significant digit and the decimal position of that
// digit (saturated far beyond the exponent range).
struct Magnitude {
  bool negative = false;
  bool nonZero = false;
  int firstDigit = 0;
  int64_t order = 0;
};

Magnitude ReadMagnitude(const std::string& text) {
  Magnitude m;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) m.negative = text[i++] == '-';
  // Mantissa: the first non-zero digit's order is the count of integer
  // digits after it, or minus one more than the zeros after the point
  // before it.
  bool seenPoint = false;
  int64_t integerDigitsAfterFirst = 0;
  int64_t zerosAfterPoint = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      seenPoint = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (m.nonZero) {
      if (!seenPoint) ++integerDigitsAfterFirst;
    } else if (c != '0') {
      m.nonZero = true;
      m.firstDigit = c - '0';
      if (seenPoint) m.order = -zerosAfterPoint - 1;
    } else if (seenPoint) {
      ++zerosAfterPoint;
    }
  }
  if (m.nonZero && m.order == 0) m.order = integerDigitsAfterFirst;  // first digit before the point
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t exponent = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < 1000000) exponent = exponent * 10 + (text[i] - '0');
    }
    m.order += negative ? -exponent : exponent;
  }
  return m;
}

int SignificantDigits(uint64_t coefficient) {
  while (coefficient != 0 && coefficient % 10 == 0) coefficient /= 10;
  int n = 0;
  for (; coefficient != 0; coefficient /= 10) ++n;
  return n;
}

int LeadingDigit(uint64_t coefficient) {
  while (coefficient >= 10) coefficient /= 10;
  return static_cast<int>(coefficient);
}

void CheckMagnitude(const std::string& text, const Decimal& d) {
  const Magnitude m = ReadMagnitude(text);
  if (!m.nonZero) {
    if (!d.isZero()) Fail("a text without non-zero digits is not zero", text, d);
    return;
  }
  if (d.isInfinity()) {
    if (m.order < 1041) Fail("infinity for a value in range", text, d);
    if (d.isNegative() != m.negative) Fail("infinity with the wrong sign", text, d);
    return;
  }
  if (d.isZero()) {
    if (m.order >= -1023) Fail("zero for a value in range", text, d);
    return;
  }
  const int digits = static_cast<int>(std::to_string(d.coefficient()).size());
  if (d.exponent() + digits - 1 != m.order) Fail("order of magnitude changed", text, d);
  if (LeadingDigit(d.coefficient()) != m.firstDigit) Fail("leading digit changed", text, d);
  if (d.isNegative() != m.negative) Fail("sign changed", text, d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Decimal d = Decimal::fromString(text);
  const std::string printed = d.toString();

  if (!d.isNaN()) CheckMagnitude(text, d);

  if (d.isZero() || (d.value().kind() == Decimal::KindFinite &&
                     SignificantDigits(d.coefficient()) <= 15)) {
    const Decimal back = Decimal::fromString(printed);
    if (!(back == d) || back.isNegative() != d.isNegative()) Fail("toString does not round-trip", text, d);
  }

  // The bounded form agrees with the string form at every length.
  char buffer[64];
  const size_t length = size % sizeof(buffer);
  const bool fits = d.toString(buffer, length);
  if (fits != (printed.size() < length)) Fail("toString(buffer) misreports the fit", text, d);
  if (length > 0 && std::strncmp(buffer, printed.c_str(), length - 1) != 0) {
    Fail("toString(buffer) wrote other text", text, d);
  }

  // Arithmetic on arbitrary operands must not crash either.
  const Decimal other = Decimal::fromString(text.substr(size / 2));
  (void)(d + other);
  (void)(d - other);
  (void)(d * other);
  (void)(d / other);
  (void)d.remainder(other);
  (void)d.round();
  (void)d.toDouble();
  return 0;
}
