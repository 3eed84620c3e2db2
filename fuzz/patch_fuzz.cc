// Fuzz target for the patch reader and applier: the input is a whole patch
// file. It is applied, as the patch action would after its source checks, to
// a generated source of the length the header states (up to 1 MiB).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "updater/formats/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = fopen("/dev/null", "wb");
  int fd = memfd_create("patch", MFD_CLOEXEC);
  if (fd < 0) return 0;
  FILE* patch = fdopen(fd, "w+b");
  if (!patch) {
    close(fd);
    return 0;
  }
  if (fwrite(data, 1, size, patch) != size || fflush(patch) != 0) {
    fclose(patch);
    return 0;
  }
  rewind(patch);

  PatchHeader header;
  if (ReadPatchHeader(patch, &header) == 0 && header.sourceLength <= (1u << 20)) {
    std::vector<unsigned char> source(header.sourceLength);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 131);
    (void)ApplyPatch(&header, patch, source.data(), sink);  // any result is fine
  }
  fclose(patch);
  return 0;
}
