// Constants and byte-level encoding of the "QBDIFF10" patch file, shared by
// the applier (patch.cc) and the qbdiff tool that writes patches. The format
// in prose: docs/qbdiff-format.md.
//
// All integers are big-endian. Header (32 bytes): tag, sourceLength,
// sourceCrc, newLength, controlLength, diffLength, extraLength; then the
// control, difference and extra blocks, back to back, and nothing after them.
#ifndef VLM_UPDATER_FORMATS_PATCH_FORMAT_H_
#define VLM_UPDATER_FORMATS_PATCH_FORMAT_H_

#include <cstdint>
#include <cstring>

#include "updater/formats/patch.h"

inline constexpr char kPatchTag[] = "QBDIFF10";  // 8 bytes, no terminator on disk
inline constexpr size_t kPatchTagLength = 8;
inline constexpr size_t kPatchHeaderSize = 32;

// Header field offsets.
inline constexpr size_t kPatchSourceLengthOffset = 8;
inline constexpr size_t kPatchSourceCrcOffset = 12;
inline constexpr size_t kPatchNewLengthOffset = 16;
inline constexpr size_t kPatchControlLengthOffset = 20;
inline constexpr size_t kPatchDiffLengthOffset = 24;
inline constexpr size_t kPatchExtraLengthOffset = 28;

// One control triple: addLength, copyLength (unsigned), seekOffset (signed).
inline constexpr size_t kControlTripleSize = 12;

// The largest length any field can state; the whole patch file, header
// included, must stay within it as well.
inline constexpr uint64_t kPatchMaxLength = UINT32_MAX;

struct ControlTriple {
  uint32_t addLength;   // bytes formed by adding difference bytes to source bytes
  uint32_t copyLength;  // bytes then copied from the extra block
  int32_t seekOffset;   // further move of the source cursor after the add
};

inline uint32_t LoadBigEndian32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBigEndian32(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value >> 24);
  p[1] = static_cast<unsigned char>(value >> 16);
  p[2] = static_cast<unsigned char>(value >> 8);
  p[3] = static_cast<unsigned char>(value);
}

inline void DecodePatchHeader(const unsigned char* raw, PatchHeader* header) {
  memcpy(header->tag, raw, kPatchTagLength);
  header->sourceLength = LoadBigEndian32(raw + kPatchSourceLengthOffset);
  header->sourceCrc = LoadBigEndian32(raw + kPatchSourceCrcOffset);
  header->newLength = LoadBigEndian32(raw + kPatchNewLengthOffset);
  header->controlLength = LoadBigEndian32(raw + kPatchControlLengthOffset);
  header->diffLength = LoadBigEndian32(raw + kPatchDiffLengthOffset);
  header->extraLength = LoadBigEndian32(raw + kPatchExtraLengthOffset);
}

inline void EncodePatchHeader(const PatchHeader& header, unsigned char* raw) {
  memcpy(raw, header.tag, kPatchTagLength);
  StoreBigEndian32(raw + kPatchSourceLengthOffset, header.sourceLength);
  StoreBigEndian32(raw + kPatchSourceCrcOffset, header.sourceCrc);
  StoreBigEndian32(raw + kPatchNewLengthOffset, header.newLength);
  StoreBigEndian32(raw + kPatchControlLengthOffset, header.controlLength);
  StoreBigEndian32(raw + kPatchDiffLengthOffset, header.diffLength);
  StoreBigEndian32(raw + kPatchExtraLengthOffset, header.extraLength);
}

inline ControlTriple DecodeControlTriple(const unsigned char* raw) {
  return ControlTriple{LoadBigEndian32(raw), LoadBigEndian32(raw + 4),
                       static_cast<int32_t>(LoadBigEndian32(raw + 8))};
}

inline void EncodeControlTriple(const ControlTriple& triple, unsigned char* raw) {
  StoreBigEndian32(raw, triple.addLength);
  StoreBigEndian32(raw + 4, triple.copyLength);
  StoreBigEndian32(raw + 8, static_cast<uint32_t>(triple.seekOffset));
}

#endif  // VLM_UPDATER_FORMATS_PATCH_FORMAT_H_
