// The decoder path: the input is one entry's stored bytes, extracted through
// the updater's reader. The same bytes also go through the decoder directly
// in small pieces; both must agree on success and on the decoded bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <lzma.h>

#include "fuzz/upq_fuzz_util.h"
#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"
#include "updater/formats/xz_decoder.h"

namespace {

// Decoded output as a count and a CRC-32, so bombs cost no memory.
struct Digest {
  uint64_t size = 0;
  uint32_t crc = 0;
  void Add(const uint8_t* data, size_t n) {
    size += n;
    crc = lzma_crc32(data, n, crc);
  }
};

FILE* DigestStream(Digest* digest) {
  cookie_io_functions_t io = {};
  io.write = [](void* cookie, const char* data, size_t n) -> ssize_t {
    static_cast<Digest*>(cookie)->Add(reinterpret_cast<const uint8_t*>(data), n);
    return static_cast<ssize_t>(n);
  };
  return fopencookie(digest, "wb", io);
}

std::vector<uint8_t> WrapInArchive(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out(24, 0);
  memcpy(out.data(), kUpqMagic, 4);
  out.insert(out.end(), data, data + size);
  uint8_t index[4 + 12 + 2];
  upq_store_be32(index, 14);
  upq_store_be32(index + 4, 24);
  upq_store_be32(index + 8, static_cast<uint32_t>(size));
  upq_store_be32(index + 12, 0644);
  index[16] = 'e';
  index[17] = 0;
  upq_store_be32(out.data() + 4, static_cast<uint32_t>(out.size()));
  out.insert(out.end(), index, index + sizeof(index));
  return out;
}

XzStatus DecodeInPieces(const uint8_t* data, size_t size, size_t piece, Digest* digest) {
  XzDecoder decoder;
  XzStatus status = xz_decoder_init(&decoder);
  uint8_t out[777];
  size_t fed = 0, in_pos = 0, in_size = 0;
  while (status == kXzOk) {
    if (in_pos == in_size && fed < size) {
      in_size = size - fed < piece ? size - fed : piece;
      fed += in_size;
      in_pos = 0;
    }
    size_t out_pos = 0;
    status = xz_decoder_run(&decoder, data + fed - in_size, &in_pos, in_size, out, &out_pos,
                            sizeof(out));
    digest->Add(out, out_pos);
  }
  xz_decoder_end(&decoder);
  return status;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Random bytes rarely carry valid CRC-32s; this copy gets the stream
// header's and the first block header's fixed up, so the fuzzer reaches the
// filter-chain and dictionary checks and the block data behind them.
std::vector<uint8_t> FixHeaderCrcs(const uint8_t* data, size_t size) {
  std::vector<uint8_t> b(data, data + size);
  if (size < 12) return b;
  StoreLe32(&b[8], lzma_crc32(&b[6], 2, 0));
  if (size > 12 && b[12] != 0) {
    size_t header = (size_t{b[12]} + 1) * 4;
    if (12 + header <= size) StoreLe32(&b[12 + header - 4], lzma_crc32(&b[12], header - 4, 0));
  }
  return b;
}

void CheckOne(const uint8_t* data, size_t size) {
  std::vector<uint8_t> archive = WrapInArchive(data, size);
  if (gArchiveReader.Open(InputFile(archive.data(), archive.size())) != 0) abort();
  Digest via_reader;
  FILE* stream = DigestStream(&via_reader);
  int result = gArchiveReader.ExtractToStream("e", stream);
  fclose(stream);
  gArchiveReader.Close();
  if (result != 0 && result != 39 && result != 40) abort();
  if (size == 0 && result != 40) abort();

  Digest direct;
  XzStatus status = DecodeInPieces(data, size, 1 + size % 13, &direct);
  if ((status == kXzStreamEnd) != (result == 0)) abort();
  if (result == 0 && (direct.size != via_reader.size || direct.crc != via_reader.crc)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckOne(data, size);
  std::vector<uint8_t> fixed = FixHeaderCrcs(data, size);
  if (size >= 12 && memcmp(fixed.data(), data, size) != 0) CheckOne(fixed.data(), size);
  return 0;
}
