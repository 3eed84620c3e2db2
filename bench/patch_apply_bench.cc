// Times ReadPatchHeader + ApplyPatch alone: the source is read into memory
// first (as the patch action does), the patch is read from its file and the
// output written to a file. Prints one line: "<new bytes> <seconds>
// <peak RSS KiB>". Run by bench/qbdiff_bench.py.
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <vector>

#include "updater/formats/patch.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: patch_apply_bench OLD PATCH OUT\n");
    return 2;
  }
  FILE* old = fopen(argv[1], "rb");
  FILE* patch = fopen(argv[2], "rb");
  FILE* out = fopen(argv[3], "wb");
  if (!old || !patch || !out) {
    perror("patch_apply_bench: open");
    return 1;
  }
  fseek(old, 0, SEEK_END);
  std::vector<unsigned char> source(static_cast<size_t>(ftell(old)));
  rewind(old);
  if (fread(source.data(), 1, source.size(), old) != source.size()) {
    fprintf(stderr, "patch_apply_bench: short read of %s\n", argv[1]);
    return 1;
  }
  fclose(old);

  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  PatchHeader header;
  int result = ReadPatchHeader(patch, &header);
  if (result == 0) result = ApplyPatch(&header, patch, source.data(), out);
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (result != 0 || fclose(out) != 0) {
    fprintf(stderr, "patch_apply_bench: applying failed: %d\n", result);
    return 1;
  }
  fclose(patch);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("%u %.6f %ld\n", header.newLength,
         (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9, usage.ru_maxrss);
  return 0;
}
