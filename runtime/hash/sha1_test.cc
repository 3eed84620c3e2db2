#include "vlm/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

// Feeds `data` in pieces whose sizes `next_piece` chooses (0 allowed).
template <typename NextPiece>
std::string Digest(const std::string& data, NextPiece next_piece) {
  vellum::SHA1Sum sum;
  size_t at = 0;
  while (at < data.size()) {
    size_t n = std::min(next_piece(), data.size() - at);
    sum.update(data.data() + at, static_cast<uint32_t>(n));
    at += n;
  }
  vellum::SHA1Sum::Hash out;
  sum.finish(out);
  return Hex(out, sizeof(out));
}

std::string Digest(const std::string& data) {
  return Digest(data, [&] { return data.size(); });
}

std::string OpenSslDigest(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), out, &n, EVP_sha1(), nullptr));
  return Hex(out, n);
}

TEST(SHA1Sum, PublishedVectors) {
  struct Case {
    int line;
    std::string message;
    const char* digest;
  } cases[] = {
      {__LINE__, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {__LINE__, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      // 448 bits: the length field no longer fits in the message's block.
      {__LINE__, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {__LINE__,
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {__LINE__, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.digest, Digest(c.message));
    // One byte at a time, with empty updates in between.
    if (c.message.size() < 1000) {
      int call = 0;
      EXPECT_EQ(c.digest, Digest(c.message, [&] { return size_t(call++ % 2); }));
    }
  }
}

TEST(SHA1Sum, MatchesOpenSslFedInRandomPieces) {
  std::mt19937_64 rng(20261210);
  std::vector<size_t> lengths;
  // Every length around the first block boundaries, where padding spills
  // into a second block, then a spread of larger ones.
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t base : {511, 4095, 65535, 1 << 20}) {
    for (size_t d = 0; d < 3; ++d) lengths.push_back(base + d);
  }
  for (int i = 0; i < 100; ++i) lengths.push_back(rng() % 20000);
  for (size_t length : lengths) {
    std::string data(length, '\0');
    for (char& ch : data) ch = static_cast<char>(rng());
    std::string expected = OpenSslDigest(data);
    ASSERT_EQ(expected, Digest(data)) << "length " << length << ", one piece";
    size_t limit = 1 + rng() % 150;
    ASSERT_EQ(expected, Digest(data, [&] { return size_t(rng() % (limit + 1)); }))
        << "length " << length << ", pieces up to " << limit;
  }
}

}  // namespace
