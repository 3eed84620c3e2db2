// Shared by the archive fuzz targets: the input as a file that upq_open can
// open by path (one memory-backed file per process, rewritten per input).
#ifndef VLM_FUZZ_UPQ_FUZZ_UTIL_H_
#define VLM_FUZZ_UPQ_FUZZ_UTIL_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Replaces the file's contents with `size` bytes and returns its path.
inline const char* InputFile(const uint8_t* data, size_t size) {
  static int fd = -1;
  static char path[64];
  if (fd < 0) {
    fd = memfd_create("upq-fuzz", 0);
    if (fd < 0) abort();
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
  }
  if (ftruncate(fd, 0) != 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  return path;
}

#endif  // VLM_FUZZ_UPQ_FUZZ_UTIL_H_
