// The "QBDIFF10" applier and the CRC-32/BZIP2 source checksum.
//
// The three blocks are read with one read into one buffer; the difference
// block doubles as the work area for the added bytes, so applying needs no
// memory beyond the blocks and the source. Every triple is checked against
// what remains of the source, the difference block and the extra block
// before it is used; positions are 64-bit so no sum can wrap.
#include "updater/formats/patch.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "updater/formats/patch_format.h"
#include "updater/result.h"

// libbz2 exports the table of its block CRC but does not declare it.
extern "C" const unsigned int BZ2_crc32Table[256];

uint32_t crc32(const unsigned char* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc = (crc << 8) ^ BZ2_crc32Table[(crc >> 24) ^ data[i]];
  }
  return ~crc;
}

int ReadPatchHeader(FILE* patch, PatchHeader* header) {
  unsigned char raw[kPatchHeaderSize];
  if (fread(raw, 1, sizeof(raw), patch) != sizeof(raw)) {
    return kPatchReadFailed;
  }
  DecodePatchHeader(raw, header);

  struct stat info;
  if (fstat(fileno(patch), &info) != 0) {
    return kPatchReadFailed;
  }
  if (memcmp(header->tag, kPatchTag, kPatchTagLength) != 0) {
    return kPatchMalformed;
  }
  // The whole 64-bit file size is compared, so a file that is 4 GiB (or any
  // multiple of it) longer than its header says is refused as well.
  uint64_t expected = kPatchHeaderSize + static_cast<uint64_t>(header->controlLength) +
                      header->diffLength + header->extraLength;
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) != expected) {
    return kPatchMalformed;
  }
  return 0;
}

int ApplyPatch(PatchHeader* header, FILE* patch, const unsigned char* source, FILE* out) {
  const uint64_t controlLength = header->controlLength;
  const uint64_t diffLength = header->diffLength;
  const uint64_t extraLength = header->extraLength;
  const uint64_t sourceLength = header->sourceLength;

  // A control block of whole triples, at least one: checked before anything
  // is read or written.
  if (controlLength == 0 || controlLength % kControlTripleSize != 0) {
    return kPatchMalformed;
  }

  const uint64_t total = controlLength + diffLength + extraLength;
  if (total > SIZE_MAX) {
    return kPatchNoMemory;
  }
  unsigned char* blocks = static_cast<unsigned char*>(malloc(static_cast<size_t>(total)));
  if (!blocks) {
    return kPatchNoMemory;
  }
  if (fread(blocks, 1, static_cast<size_t>(total), patch) != total) {
    free(blocks);
    return kPatchReadFailed;
  }

  const unsigned char* control = blocks;
  const unsigned char* const controlEnd = blocks + controlLength;
  unsigned char* diff = blocks + controlLength;
  const unsigned char* const diffEnd = diff + diffLength;
  const unsigned char* extra = diffEnd;
  const unsigned char* const extraEnd = extra + extraLength;
  uint64_t position = 0;  // source cursor, always within [0, sourceLength]

  int result = 0;
  while (control < controlEnd) {
    const ControlTriple triple = DecodeControlTriple(control);
    const uint64_t add = triple.addLength;
    const uint64_t copy = triple.copyLength;

    if (add > sourceLength - position || add > static_cast<uint64_t>(diffEnd - diff)) {
      result = kPatchMalformed;
      break;
    }
    if (add != 0) {
      const unsigned char* from = source + position;
      for (uint64_t i = 0; i < add; ++i) {
        diff[i] = static_cast<unsigned char>(diff[i] + from[i]);
      }
      if (fwrite(diff, 1, add, out) != add) {
        result = kPatchedFileWriteShort;
        break;
      }
    }

    if (copy > static_cast<uint64_t>(extraEnd - extra)) {
      result = kPatchMalformed;
      break;
    }
    if (copy != 0 && fwrite(extra, 1, copy, out) != copy) {
      result = kPatchedFileWriteShort;
      break;
    }

    // position + add <= sourceLength < 2^32 and |seekOffset| < 2^31: no wrap.
    const int64_t next = static_cast<int64_t>(position + add) + triple.seekOffset;
    if (next < 0 || static_cast<uint64_t>(next) > sourceLength) {
      result = kPatchMalformed;
      break;
    }
    position = static_cast<uint64_t>(next);
    diff += add;
    extra += copy;
    control += kControlTripleSize;
  }
  free(blocks);

  // A buffered stream may only discover at the flush that the disk is full.
  if (result == 0 && fflush(out) != 0) {
    result = kPatchedFileWriteShort;
  }
  return result;
}
