// The "QBDIFF10" binary patch: header reading, the source checksum and the
// applier. Sources are held in memory; the patch and the output are streams.
// The format and its constants: docs/qbdiff-format.md, patch_format.h.
#ifndef VLM_UPDATER_FORMATS_PATCH_H_
#define VLM_UPDATER_FORMATS_PATCH_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct PatchHeader {
  char tag[8];
  uint32_t sourceLength;
  uint32_t sourceCrc;
  uint32_t newLength;
  uint32_t controlLength;
  uint32_t diffLength;
  uint32_t extraLength;
};

// CRC-32/BZIP2 of `length` bytes (0 for none): the checksum of a patch's
// source.
uint32_t crc32(const unsigned char* data, size_t length);

// Reads and checks the 32-byte header; 0, 6 or 41. 6: fewer than 32 bytes, or
// the stream has no file descriptor whose size can be read. 41: a tag other
// than "QBDIFF10", or a file whose size is not exactly 32 plus the three block
// lengths. On success the stream is positioned right after the header.
[[nodiscard]] int ReadPatchHeader(FILE* patch, PatchHeader* header);

// Rebuilds the new file from `source` (exactly header->sourceLength bytes,
// already checked by the caller; may be null when that is 0) into `out`,
// reading the three blocks from `patch` (positioned after the header) with
// one read into one buffer. Returns 0, 6 (blocks truncated), 12 (no memory
// for the blocks), 41 (malformed) or 64 (`out` took fewer bytes than
// written, also when the final flush fails).
//
// A control block that is empty or not made of whole 12-byte triples is
// refused before anything is read or written. Each triple is checked before
// its bytes are produced: an add reaching past the source or the difference
// block, a copy past the extra block, or a seek that leaves the source
// (before its start or past its end) gives 41, and the bytes of earlier
// triples stay in `out`. newLength takes no part. Not thread-safe per stream;
// does not log.
[[nodiscard]] int ApplyPatch(PatchHeader* header, FILE* patch, const unsigned char* source, FILE* out);

#endif  // VLM_UPDATER_FORMATS_PATCH_H_
