// SHA-1 (FIPS 180-4).
//
// The compression function keeps the 16-word message schedule as a ring in
// mW and runs all 80 rounds unrolled, so the five working variables stay in
// registers and rotate by renaming instead of by moves. update() compresses
// whole blocks straight from the caller's bytes and only copies into mBlock
// what does not fill a block.
#include "vlm/sha1.h"

#include <cassert>
#include <cstring>

namespace vellum {
namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return __builtin_bswap32(v);
}

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof(v));
}

inline uint32_t Choose(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t Parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t Majority(uint32_t b, uint32_t c, uint32_t d) {
  return (b & c) | (d & (b | c));
}

// W[t] for t >= 16, computed in place in the ring.
#define SCHEDULE(t)                                                        \
  (w[(t) & 15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^             \
                          w[((t) + 2) & 15] ^ w[(t) & 15],                 \
                      1))

#define ROUND(a, b, c, d, e, f, k, wt)          \
  do {                                          \
    e += Rotl(a, 5) + f(b, c, d) + (k) + (wt);  \
    b = Rotl(b, 30);                            \
  } while (0)

#define R0(a, b, c, d, e, t) ROUND(a, b, c, d, e, Choose, 0x5A827999u, w[t])
#define R1(a, b, c, d, e, t) ROUND(a, b, c, d, e, Choose, 0x5A827999u, SCHEDULE(t))
#define R2(a, b, c, d, e, t) ROUND(a, b, c, d, e, Parity, 0x6ED9EBA1u, SCHEDULE(t))
#define R3(a, b, c, d, e, t) ROUND(a, b, c, d, e, Majority, 0x8F1BBCDCu, SCHEDULE(t))
#define R4(a, b, c, d, e, t) ROUND(a, b, c, d, e, Parity, 0xCA62C1D6u, SCHEDULE(t))

// Five rounds starting at t, with the working variables renamed each round.
#define FIVE(R, t)               \
  R(a, b, c, d, e, (t));         \
  R(e, a, b, c, d, (t) + 1);     \
  R(d, e, a, b, c, (t) + 2);     \
  R(c, d, e, a, b, (t) + 3);     \
  R(b, c, d, e, a, (t) + 4)

void Compress(uint32_t* __restrict h, uint32_t* __restrict w,
              const uint8_t* __restrict block) {
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian32(block + 4 * i);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  FIVE(R0, 0);
  FIVE(R0, 5);
  FIVE(R0, 10);
  R0(a, b, c, d, e, 15);
  R1(e, a, b, c, d, 16);
  R1(d, e, a, b, c, 17);
  R1(c, d, e, a, b, 18);
  R1(b, c, d, e, a, 19);
  FIVE(R2, 20);
  FIVE(R2, 25);
  FIVE(R2, 30);
  FIVE(R2, 35);
  FIVE(R3, 40);
  FIVE(R3, 45);
  FIVE(R3, 50);
  FIVE(R3, 55);
  FIVE(R4, 60);
  FIVE(R4, 65);
  FIVE(R4, 70);
  FIVE(R4, 75);
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

#undef FIVE
#undef R0
#undef R1
#undef R2
#undef R3
#undef R4
#undef ROUND
#undef SCHEDULE

}  // namespace

SHA1Sum::SHA1Sum()
    : mBlock(),
      mSize(0),
      mH{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u},
      mW(),
      mDone(false) {}

void SHA1Sum::update(const void* data, uint32_t length) {
  assert(!mDone);
  if (length == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(mSize % 64);
  mSize += length;

  if (used != 0) {
    size_t take = 64 - used;
    if (length < take) {
      std::memcpy(mBlock + used, p, length);
      return;
    }
    std::memcpy(mBlock + used, p, take);
    Compress(mH, mW, mBlock);
    p += take;
    length -= static_cast<uint32_t>(take);
  }
  for (; length >= 64; p += 64, length -= 64) Compress(mH, mW, p);
  if (length != 0) std::memcpy(mBlock, p, length);
}

void SHA1Sum::finish(Hash& out) {
  assert(!mDone);
  uint64_t bits = mSize * 8;
  size_t used = static_cast<size_t>(mSize % 64);
  mBlock[used++] = 0x80;
  if (used > 56) {
    std::memset(mBlock + used, 0, 64 - used);
    Compress(mH, mW, mBlock);
    used = 0;
  }
  std::memset(mBlock + used, 0, 56 - used);
  StoreBigEndian32(mBlock + 56, static_cast<uint32_t>(bits >> 32));
  StoreBigEndian32(mBlock + 60, static_cast<uint32_t>(bits));
  Compress(mH, mW, mBlock);
  for (int i = 0; i < 5; ++i) StoreBigEndian32(out + 4 * i, mH[i]);
  mDone = true;
}

}  // namespace vellum
