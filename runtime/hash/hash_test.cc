#include "vlm/hash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vlm/poison.h"

namespace {

// Straightforward restatement of the hash over a byte vector, used to check
// the unaligned and tail handling on arbitrary data.
uint32_t ReferenceHash(const std::vector<unsigned char>& bytes) {
  auto step = [](uint32_t h, uint32_t v) {
    return 0x9E3779B9u * (((h << 5) | (h >> 27)) ^ v);
  };
  uint32_t h = 0;
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint32_t lo = 0, hi = 0;
    for (int k = 3; k >= 0; --k) lo = (lo << 8) | bytes[i + k];
    for (int k = 7; k >= 4; --k) hi = (hi << 8) | bytes[i + k];
    h = step(step(step(step(h, lo), hi), 8), 0);
  }
  for (; i < bytes.size(); ++i) h = step(h, bytes[i] >= 0x80 ? 0xFFFFFF00u | bytes[i] : bytes[i]);
  return h;
}

TEST(HashBytes, FixedValues) {
  struct Case {
    int line;
    std::string bytes;
    uint32_t hash;
  } cases[] = {
      {__LINE__, "", 0},
      // Zero bytes in the tail leave the hash at 0 ...
      {__LINE__, std::string(7, '\0'), 0},
      // ... but a whole word brings in its size.
      {__LINE__, std::string(8, '\0'), 0xE8E7F4AEu},
      {__LINE__, "a", 0x9E3779B9u * 0x61u},
      // A high tail byte is sign-extended: 0xFF contributes 0xFFFFFFFF.
      {__LINE__, "\xFF", 0x9E3779B9u * 0xFFFFFFFFu},
      {__LINE__, "\x80", 0x9E3779B9u * 0xFFFFFF80u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.hash, vellum::HashBytes(c.bytes.data(), c.bytes.size()));
  }
}

TEST(HashBytes, MatchesReferenceAtEveryLengthAndAlignment) {
  std::vector<unsigned char> buffer(80);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 37 + 0x71);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; offset + length <= buffer.size(); ++length) {
      std::vector<unsigned char> slice(buffer.begin() + offset, buffer.begin() + offset + length);
      ASSERT_EQ(ReferenceHash(slice), vellum::HashBytes(buffer.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
}

TEST(IsFloat32Representable, Table) {
  const double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    int line;
    double value;
    bool expected;
  } cases[] = {
      {__LINE__, 0.5, true},
      {__LINE__, 16777216.0, true},
      {__LINE__, 0.1, false},
      {__LINE__, 16777217.0, false},  // needs 25 significant bits
      {__LINE__, 0.0, true},
      {__LINE__, -0.0, true},
      {__LINE__, kInf, true},
      {__LINE__, -kInf, true},
      {__LINE__, std::numeric_limits<double>::quiet_NaN(), false},
      {__LINE__, static_cast<double>(std::numeric_limits<float>::max()), true},
      {__LINE__, 1e39, false},  // beyond the float range
      {__LINE__, -1e300, false},
      {__LINE__, static_cast<double>(std::numeric_limits<float>::denorm_min()), true},
      {__LINE__, 1e-46, false},  // below the smallest float denormal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.expected, vellum::IsFloat32Representable(c.value));
  }
}

TEST(SharedData, TwoCharEscapes) {
  const std::string with = "\b\t\n\f\r\"\\";
  const std::string letters = "btnfr\"\\";
  for (int c = 0; c < 256; ++c) {
    size_t at = with.find(static_cast<char>(c));
    char expected = at == std::string::npos ? 0 : letters[at];
    EXPECT_EQ(expected, vellum::detail::gTwoCharEscapes[c]) << "byte " << c;
  }
  EXPECT_EQ(0u, vellum::detail::gChaosFeatures);
  EXPECT_EQ(0u, vellum::detail::gChaosModeCounter);
  EXPECT_EQ(1u, sizeof(vellum::Unused));
  vellum::Unused = 42;  // compiles and discards
}

// Death-test suites run first, so this sees the state before any
// initialisation.
TEST(PoisonDeathTest, ZeroUntilInitialised) {
  EXPECT_EQ(0u, gVellumPoisonValue);
  EXPECT_EQ(0u, gVellumPoisonBase);
  EXPECT_EQ(0u, gVellumPoisonSize);
}

TEST(Poison, ValuesFromPageSize) {
  vlmPoisonValueInit();
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(page, gVellumPoisonSize);
  EXPECT_EQ(0x7FFFFFFFF0DEAFFFull & ~(page - 1), gVellumPoisonBase);
  EXPECT_EQ(gVellumPoisonBase + page / 2 - 1, gVellumPoisonValue);
  if (page == 4096) {
    EXPECT_EQ(0x7FFFFFFFF0DEA000ull, gVellumPoisonBase);
    EXPECT_EQ(0x7FFFFFFFF0DEA7FFull, gVellumPoisonValue);
  }
}

TEST(PoisonDeathTest, ReadThroughPoisonFaults) {
  vlmPoisonValueInit();
  EXPECT_DEATH(
      {
        volatile const char* p = reinterpret_cast<const char*>(gVellumPoisonValue);
        (void)*p;
      },
      "");
}

}  // namespace
