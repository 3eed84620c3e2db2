// The signatures section parser and the covered-bytes walk on arbitrary
// files. Besides "no crash, no hang, no out-of-bounds access" it checks that
// a parsed section has at most 8 records lying back to back from offset 20
// and ending before the index, and that the walk hands over exactly the
// file's bytes less the signature bytes.
#include <cstdint>
#include <cstdlib>

#include "fuzz/upq_fuzz_util.h"
#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

int Count(void* context, const unsigned char*, size_t size) {
  *static_cast<uint64_t*>(context) += size;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UpqArchive* archive = upq_open(InputFile(data, size));
  Check(archive != nullptr);
  UpqSignatureSection section;
  int parsed = upq_read_signatures(archive, &section);
  Check(parsed >= -1 && parsed <= 1);
  if (parsed == 1) {
    Check(section.count <= kUpqMaxSignatures);
    uint64_t pos = kUpqSignatureCountField + 4;
    uint64_t signature_bytes = 0;
    for (uint32_t i = 0; i < section.count; ++i) {
      Check(section.slots[i].offset == pos + kUpqSignatureHeaderSize);
      pos = section.slots[i].offset + section.slots[i].length;
      signature_bytes += section.slots[i].length;
    }
    Check(section.end == pos && section.end <= upq_load_be32(data + kUpqIndexOffsetField) &&
          section.end <= size);
    // An odd buffer size, so reads end at every kind of boundary.
    unsigned char buffer[13];
    uint64_t covered = 0;
    Check(upq_read_signed_bytes(archive, &section, Count, &covered, buffer, sizeof(buffer)) ==
          0);
    Check(covered == size - signature_bytes);
  }
  upq_release(archive);
  return 0;
}
