// Constants of the update archive ("UPQ1") and the byte-level helpers that the
// reader, the writer and the tools share. The format in prose:
// docs/upq-format.md.
//
// All integers in an archive are unsigned big-endian; offsets are absolute
// from the start of the file and 32-bit, so an archive ends below 4 GiB.
#ifndef VLM_UPDATER_FORMATS_UPQ_FORMAT_H_
#define VLM_UPDATER_FORMATS_UPQ_FORMAT_H_

#include <cstddef>
#include <cstdint>

// File header.
constexpr char kUpqMagic[4] = {'U', 'P', 'Q', '1'};
constexpr uint32_t kUpqMagicSize = 4;
constexpr uint32_t kUpqIndexOffsetField = 4;  // 4 bytes
constexpr uint32_t kUpqTotalSizeField = 8;    // 8 bytes
constexpr uint32_t kUpqSignatureCountField = 16;  // 4 bytes
// The older layout ends its header here: entry data starts at offset 8.
constexpr uint32_t kUpqLegacyHeaderSize = 8;
constexpr uint32_t kUpqMaxSignatures = 8;

// Signatures: algorithm identifier (4), length L (4), L bytes. The one
// algorithm defined is Ed25519 (identifier 1, 64-byte signatures). The signed
// message is the context string below (with its NUL) followed by the SHA-512
// digest of every archive byte except the signature bytes themselves.
constexpr uint32_t kUpqSignatureHeaderSize = 8;
constexpr uint32_t kUpqSignatureEd25519 = 1;
constexpr uint32_t kUpqEd25519SignatureSize = 64;
constexpr char kUpqSignatureContext[] = "UPQ1 update archive signature";
constexpr size_t kUpqSignatureContextSize = sizeof(kUpqSignatureContext);  // with the NUL
constexpr size_t kUpqSignedDigestSize = 64;  // SHA-512
constexpr size_t kUpqSignedMessageSize = kUpqSignatureContextSize + kUpqSignedDigestSize;

// Additional blocks: size (4, counting the 8 header bytes), identifier (4),
// payload.
constexpr uint32_t kUpqBlockHeaderSize = 8;
constexpr uint32_t kUpqProductInfoBlockId = 1;
constexpr uint32_t kUpqProductInfoBlockSize = 104;
constexpr size_t kUpqMaxChannelLength = 63;  // bytes before the NUL
constexpr size_t kUpqMaxVersionLength = 31;  // bytes before the NUL

// Index: size N (4) at the index offset, then N bytes of entries. An entry is
// offset (4), length (4), flags (4) and a NUL-terminated name.
constexpr uint32_t kUpqIndexSizeField = 4;
constexpr uint32_t kUpqIndexEntryFixedSize = 12;
// The loader wants this many bytes left at the start of every entry: the
// fixed fields, the NUL and one more byte. An empty name is therefore fine
// in the middle of the index but not as its last entry.
constexpr uint32_t kUpqIndexEntryMinRemaining = 14;

// Limits that follow from the field widths: the reader positions the stream
// at a 32-bit offset and counts an entry's bytes in a signed 32-bit integer.
constexpr uint64_t kUpqMaxArchiveOffset = UINT32_MAX;
constexpr uint32_t kUpqMaxEntryLength = INT32_MAX;

// Lookup hash: 256 buckets.
constexpr uint32_t kUpqBucketCount = 256;

inline uint32_t upq_name_hash(const char* name) {
  uint32_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    h = h * 37 + *p;
  }
  return h % kUpqBucketCount;
}

// Entry data: one complete .xz stream per entry, decoded with these limits.
constexpr uint32_t kUpqMaxDictionarySize = 64u << 20;  // 67108864, inclusive

// The reader's two transfer buffers and their fallback size.
constexpr size_t kUpqTransferBufferSize = 262144;
constexpr size_t kUpqSmallTransferBufferSize = 1024;

inline uint32_t upq_load_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
         uint32_t{p[3]};
}

inline void upq_store_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline void upq_store_be64(unsigned char* p, uint64_t v) {
  upq_store_be32(p, static_cast<uint32_t>(v >> 32));
  upq_store_be32(p + 4, static_cast<uint32_t>(v));
}

inline uint64_t upq_load_be64(const unsigned char* p) {
  return (uint64_t{upq_load_be32(p)} << 32) | upq_load_be32(p + 4);
}

// Walks an index buffer in order and calls `visit` for every entry; stops at
// the first nonzero result of `visit` and returns it. Returns -1 when the
// index is malformed (an entry starting with fewer than 14 bytes left, or a
// name without its NUL inside the index), after visiting the entries before
// the fault. An index of 0 bytes is malformed. 0 when every entry was visited.
using UpqIndexVisitor = int (*)(void* context, uint32_t offset, uint32_t length,
                                uint32_t flags, const char* name, size_t name_length);
int upq_walk_index(const unsigned char* index, size_t size, UpqIndexVisitor visit,
                   void* context);

#endif  // VLM_UPDATER_FORMATS_UPQ_FORMAT_H_
