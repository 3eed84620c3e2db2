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

// CRC-32/BZIP2 of `length` bytes (0 for none).
uint32_t crc32(const unsigned char* data, size_t length);

// Reads and checks the 32-byte header; 0, 6 or 41. On success the stream is
// positioned right after the header.
int ReadPatchHeader(FILE* patch, PatchHeader* header);

// Rebuilds the new file from `source` (exactly header->sourceLength bytes,
// already checked by the caller) into `out`; 0, 6, 12, 41 or 64.
int ApplyPatch(PatchHeader* header, FILE* patch, const unsigned char* source, FILE* out);

#endif  // VLM_UPDATER_FORMATS_PATCH_H_
