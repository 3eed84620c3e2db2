// The restricted .xz decoder, fed in awkward pieces, against liblzma's own
// buffer decoder as the oracle.
#include "updater/formats/xz_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "updater/formats/upq_test_util.h"

namespace {

using namespace upq_test;

struct Outcome {
  XzStatus status;
  Bytes out;
  size_t calls;
};

// Runs the decoder over `xz` handing it at most `in_piece` input bytes and
// `out_piece` output bytes per call, as the reader's loop does: fresh input
// only once the previous piece is used up. Bounded, so a hang shows as a
// failure.
Outcome Decode(const Bytes& xz, size_t in_piece, size_t out_piece) {
  XzDecoder d;
  Outcome o{xz_decoder_init(&d), {}, 0};
  if (o.status != kXzOk) {
    xz_decoder_end(&d);
    return o;
  }
  size_t fed = 0, in_pos = 0, in_size = 0;
  Bytes out(out_piece);
  for (; o.calls < 100 * (xz.size() + 100); ++o.calls) {
    if (in_pos == in_size && fed < xz.size()) {
      in_size = std::min(in_piece, xz.size() - fed);
      fed += in_size;
      in_pos = 0;
    }
    size_t out_pos = 0;
    static const uint8_t kNothing[1] = {};
    const uint8_t* in = xz.empty() ? kNothing : xz.data() + fed - in_size;
    o.status = xz_decoder_run(&d, in, &in_pos, in_size, out.data(),
                              &out_pos, out.size());
    o.out.insert(o.out.end(), out.begin(), out.begin() + out_pos);
    if (o.status != kXzOk) break;
  }
  xz_decoder_end(&d);
  return o;
}

Bytes EncodeMultiBlock(const Bytes& plain, uint64_t block_size, lzma_check check) {
  lzma_mt mt = {};
  mt.threads = 1;
  mt.block_size = block_size;
  mt.preset = 1;
  mt.check = check;
  lzma_stream s = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_stream_encoder_mt(&s, &mt), LZMA_OK);
  Bytes out(lzma_stream_buffer_bound(plain.size()) + 4096);
  s.next_in = plain.data();
  s.avail_in = plain.size();
  s.next_out = out.data();
  s.avail_out = out.size();
  EXPECT_EQ(lzma_code(&s, LZMA_FINISH), LZMA_STREAM_END);
  out.resize(out.size() - s.avail_out);
  lzma_end(&s);
  return out;
}

TEST(XzDecoder, AnyPieceSizesGiveTheSameBytes) {
  const Bytes plain = TextBytes(200000, 11);
  const struct {
    int line;
    Bytes xz;
  } streams[] = {
      {__LINE__, XzEncode(plain)},
      {__LINE__, XzEncode(plain, LZMA_CHECK_CRC32, true)},
      {__LINE__, XzEncode({}, LZMA_CHECK_NONE)},
      // Several blocks: the index must match every one of them.
      {__LINE__, EncodeMultiBlock(plain, 30000, LZMA_CHECK_CRC64)},
  };
  const size_t pieces[][2] = {{1, 1}, {1, 65536}, {7, 13}, {4096, 1}, {1 << 20, 1 << 20}};
  for (const auto& s : streams) {
    SCOPED_TRACE(s.line);
    Bytes want = s.xz == XzEncode({}, LZMA_CHECK_NONE) ? Bytes{} : plain;
    for (const auto& p : pieces) {
      SCOPED_TRACE(testing::Message() << p[0] << "/" << p[1]);
      if (p[0] * p[1] == 1 && s.xz.size() > 50000) continue;  // slow and adds nothing
      Outcome o = Decode(s.xz, p[0], p[1]);
      ASSERT_EQ(o.status, kXzStreamEnd) << xz_status_text(o.status);
      EXPECT_EQ(o.out, want);
    }
  }
}

TEST(XzDecoder, EveryTruncationFailsAndNeverHangs) {
  const Bytes xz = EncodeMultiBlock(TextBytes(3000, 12), 1000, LZMA_CHECK_CRC32);
  for (size_t keep = 0; keep < xz.size(); ++keep) {
    SCOPED_TRACE(keep);
    Bytes cut(xz.begin(), xz.begin() + keep);
    for (size_t piece : {size_t{1}, size_t{64}}) {
      Outcome o = Decode(cut, piece, 256);
      ASSERT_EQ(o.status, kXzNoProgress) << xz_status_text(o.status);
    }
  }
}

TEST(XzDecoder, ContainerFaultsAreCorrupt) {
  const Bytes plain = TextBytes(10000, 13);
  const Bytes good = EncodeMultiBlock(plain, 4000, LZMA_CHECK_CRC64);
  ASSERT_EQ(Decode(good, 100, 100).status, kXzStreamEnd);
  // Flip each byte of the last 80 (index, footer and the end of the last
  // block): no flip may go unnoticed except in the block padding or the
  // index padding, which the format requires to be zero and is checked too.
  for (size_t i = good.size() - 80; i < good.size(); ++i) {
    SCOPED_TRACE(i);
    Bytes bad = good;
    bad[i] ^= 0x01;
    Outcome o = Decode(bad, 33, 4096);
    EXPECT_NE(o.status, kXzStreamEnd);
    EXPECT_NE(o.status, kXzOk);
  }
  // The oracle agrees on the good stream.
  Bytes oracle(plain.size());
  uint64_t memlimit = UINT64_MAX;
  size_t in_pos = 0, out_pos = 0;
  ASSERT_EQ(lzma_stream_buffer_decode(&memlimit, 0, nullptr, good.data(), &in_pos, good.size(),
                                      oracle.data(), &out_pos, oracle.size()),
            LZMA_OK);
  EXPECT_EQ(oracle, Decode(good, 100, 100).out);
}

}  // namespace
