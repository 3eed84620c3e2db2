#include "vlm/lz4.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using vellum::Compression::LZ4;

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Text-like data with many repeats, so that LZ4 finds matches.
std::string CompressibleBytes(std::mt19937& rng, size_t n) {
  static const char* kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon "};
  std::string s;
  while (s.size() < n) s += kWords[rng() % 5];
  s.resize(n);
  return s;
}

std::string Compress(const std::string& input) {
  std::string out(LZ4::maxCompressedSize(input.size()), '\0');
  size_t n = LZ4::compress(input.data(), input.size(), out.data());
  EXPECT_GT(n, 0u);
  out.resize(n);
  return out;
}

TEST(LZ4, RoundTripsThroughBothDecoders) {
  std::mt19937 rng(7);
  for (size_t size : {0, 1, 15, 16, 255, 256, 4096, 65537, 300000}) {
    for (bool compressible : {false, true}) {
      SCOPED_TRACE(testing::Message() << size << (compressible ? " compressible" : " random"));
      std::string input = compressible ? CompressibleBytes(rng, size) : RandomBytes(rng, size);
      std::string packed = Compress(input);
      if (compressible && size >= 4096) {
        EXPECT_LT(packed.size(), size / 2);
      }

      std::string fast(size, 'x');
      ASSERT_TRUE(LZ4::decompress(packed.data(), fast.data(), size));
      EXPECT_EQ(input, fast);

      std::string safe(size + 10, 'x');
      size_t produced = 12345;
      ASSERT_TRUE(LZ4::decompress(packed.data(), packed.size(), safe.data(), safe.size(), &produced));
      EXPECT_EQ(size, produced);
      EXPECT_EQ(input, safe.substr(0, size));
    }
  }
}

TEST(LZ4, SafeDecompressIntoTooSmallBufferFails) {
  std::mt19937 rng(8);
  std::string input = CompressibleBytes(rng, 10000);
  std::string packed = Compress(input);
  std::vector<char> out(input.size() - 1);
  size_t produced = 12345;
  EXPECT_FALSE(LZ4::decompress(packed.data(), packed.size(), out.data(), out.size(), &produced));
  EXPECT_EQ(0u, produced);
  // A truncated block fails the same way.
  out.resize(input.size());
  produced = 12345;
  EXPECT_FALSE(LZ4::decompress(packed.data(), packed.size() - 1, out.data(), out.size(), &produced));
  EXPECT_EQ(0u, produced);
}

TEST(LZ4, CompressLimitedOutput) {
  std::mt19937 rng(9);
  std::string input = CompressibleBytes(rng, 10000);
  std::string packed = Compress(input);
  std::string out(packed.size() + 100, '\0');
  // Exactly enough room gives the same block as compress().
  EXPECT_EQ(packed.size(), LZ4::compressLimitedOutput(input.data(), input.size(), out.data(), packed.size()));
  EXPECT_EQ(packed, out.substr(0, packed.size()));
  // One byte less does not fit, and nothing is written past the limit.
  std::fill(out.begin(), out.end(), '\x55');
  EXPECT_EQ(0u, LZ4::compressLimitedOutput(input.data(), input.size(), out.data(), packed.size() - 1));
  EXPECT_EQ(std::string(out.size() - packed.size() + 1, '\x55'), out.substr(packed.size() - 1));
  EXPECT_EQ(0u, LZ4::compressLimitedOutput(input.data(), input.size(), out.data(), 0));
}

// The library takes int sizes: larger inputs must fail without touching the
// buffers (they are far smaller than the sizes claimed), and larger output
// capacities are clamped rather than truncated.
TEST(LZ4, SizesBeyondIntRange) {
  char small[64] = {};
  const size_t kTooBig[] = {LZ4::kMaxInputSize + 1, size_t(INT_MAX) + 1, size_t(UINT_MAX) + 2, SIZE_MAX};
  for (size_t size : kTooBig) {
    SCOPED_TRACE(size);
    EXPECT_EQ(0u, LZ4::maxCompressedSize(size));
    EXPECT_EQ(0u, LZ4::compress(small, size, small));
    EXPECT_EQ(0u, LZ4::compressLimitedOutput(small, size, small, sizeof(small)));
    size_t produced = 12345;
    if (size > size_t(INT_MAX)) {
      EXPECT_FALSE(LZ4::decompress(small, size, small, sizeof(small), &produced));
      EXPECT_EQ(0u, produced);
      EXPECT_FALSE(LZ4::decompress(small, small, size));
    }
  }

  std::string input = "hello hello hello hello hello hello";
  std::string packed = Compress(input);
  std::string out(input.size(), '\0');
  size_t produced = 0;
  // 2^32 + 10 would truncate to 10 and fail; clamped, it succeeds.
  EXPECT_TRUE(LZ4::decompress(packed.data(), packed.size(), out.data(), (size_t(1) << 32) + 10, &produced));
  EXPECT_EQ(input.size(), produced);
  EXPECT_EQ(input, out);
  std::string packed2(packed.size(), '\0');
  EXPECT_EQ(packed.size(), LZ4::compressLimitedOutput(input.data(), input.size(), packed2.data(), (size_t(1) << 32) + 1));
  EXPECT_EQ(packed, packed2);
}

}  // namespace
