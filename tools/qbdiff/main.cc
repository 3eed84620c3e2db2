// qbdiff: makes "QBDIFF10" patches and applies them with the updater's own
// applier.
//
//   qbdiff OLD NEW PATCH          write a patch that turns OLD into NEW
//   qbdiff --apply OLD PATCH NEW  rebuild NEW from OLD and PATCH
//
// Outputs are written to a temporary file beside the destination and renamed
// into place only when complete, so a failed run leaves no partial file and
// never clobbers an existing one. An output that exists and is not a regular
// file (a device, a FIFO), or that is one of the inputs, is refused before
// anything is read. Failures print one line on stderr and exit with status 1
// (2 for a usage error).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>

#include "tools/qbdiff/diff.h"
#include "updater/formats/patch.h"
#include "updater/result.h"

namespace {

constexpr char kUsage[] =
    "Usage: qbdiff OLD NEW PATCH\n"
    "       qbdiff --apply OLD PATCH NEW\n"
    "\n"
    "The first form writes a QBDIFF10 patch that turns OLD into NEW; the second\n"
    "rebuilds NEW from OLD and PATCH, after checking OLD's length and checksum\n"
    "against the patch. Files and patches are limited to 4 GiB.\n"
    "\n"
    "  -h, --help  show this help\n";

int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Fail(const char* format, ...) {
  fputs("qbdiff: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  return 1;
}

struct Buffer {
  std::unique_ptr<unsigned char[]> data;
  uint64_t size = 0;
};

// Reads a whole file. On failure returns false with errno set.
bool ReadWholeFile(const char* path, Buffer* buffer) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    errno = EISDIR;
    return false;
  }
  // Regular files are read at their size; other files grow the buffer.
  uint64_t capacity = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 1 << 20;
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[capacity + 1]);
  uint64_t size = 0;
  while (data) {
    if (size == capacity) {
      uint64_t grown = capacity * 2 + (1 << 20);
      std::unique_ptr<unsigned char[]> bigger(new (std::nothrow) unsigned char[grown + 1]);
      if (!bigger) break;
      memcpy(bigger.get(), data.get(), size);
      data = std::move(bigger);
      capacity = grown;
    }
    ssize_t got = read(fd, data.get() + size, capacity - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (got == 0) {
      close(fd);
      buffer->data = std::move(data);
      buffer->size = size;
      return true;
    }
    size += static_cast<uint64_t>(got);
  }
  close(fd);
  errno = ENOMEM;
  return false;
}

// A file written beside its destination and renamed over it on Commit.
class Output {
 public:
  explicit Output(const char* path) : path_(path), temporary_(std::string(path) + ".XXXXXX") {}
  ~Output() {
    if (stream_) fclose(stream_);
    if (!committed_ && opened_) unlink(temporary_.c_str());
  }

  FILE* Open() {
    int fd = mkstemp(temporary_.data());
    if (fd < 0) return nullptr;
    opened_ = true;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    stream_ = fdopen(fd, "wb");
    if (!stream_) close(fd);
    return stream_;
  }

  // Closes and renames into place; false with errno set on failure.
  bool Commit() {
    FILE* stream = stream_;
    stream_ = nullptr;
    if (fclose(stream) != 0) return false;
    if (rename(temporary_.c_str(), path_) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  const char* path_;
  std::string temporary_;
  FILE* stream_ = nullptr;
  bool opened_ = false;
  bool committed_ = false;
};

// Refuses an output path that the rename would wrongly replace: one that
// exists and is not a regular file (renaming over /dev/null would replace the
// device), or one that names an input (same path, or the same file through
// another name). Returns 0 when the output may be written.
int CheckOutput(const char* output, const char* input1, const char* input2) {
  for (const char* input : {input1, input2}) {
    if (strcmp(output, input) == 0) return Fail("the output %s is also an input", output);
  }
  struct stat target;
  if (stat(output, &target) != 0) return 0;  // absent (or unreachable: creating it will tell)
  if (!S_ISREG(target.st_mode)) {
    return Fail("%s exists and is not a regular file; refusing to replace it", output);
  }
  for (const char* input : {input1, input2}) {
    struct stat source;
    if (stat(input, &source) == 0 && source.st_dev == target.st_dev &&
        source.st_ino == target.st_ino) {
      return Fail("the output %s is the same file as the input %s", output, input);
    }
  }
  return 0;
}

int MakePatch(const char* oldPath, const char* newPath, const char* patchPath) {
  if (CheckOutput(patchPath, oldPath, newPath) != 0) return 1;
  Buffer old, newer;
  if (!ReadWholeFile(oldPath, &old)) return Fail("cannot read %s: %s", oldPath, strerror(errno));
  if (!ReadWholeFile(newPath, &newer)) {
    return Fail("cannot read %s: %s", newPath, strerror(errno));
  }
  Output output(patchPath);
  FILE* out = output.Open();
  if (!out) return Fail("cannot create %s: %s", patchPath, strerror(errno));
  switch (WriteDiffPatch(old.data.get(), old.size, newer.data.get(), newer.size, out)) {
    case DiffResult::kOk:
      break;
    case DiffResult::kTooLarge:
      return Fail("%s and %s need a patch beyond the format's 4 GiB limit", oldPath, newPath);
    case DiffResult::kNoMemory:
      return Fail("out of memory while comparing %s and %s", oldPath, newPath);
    case DiffResult::kWriteFailed:
      return Fail("cannot write %s: %s", patchPath, strerror(errno));
  }
  if (!output.Commit()) return Fail("cannot write %s: %s", patchPath, strerror(errno));
  return 0;
}

int ApplyPatchFile(const char* oldPath, const char* patchPath, const char* newPath) {
  if (CheckOutput(newPath, oldPath, patchPath) != 0) return 1;
  Buffer old;
  if (!ReadWholeFile(oldPath, &old)) return Fail("cannot read %s: %s", oldPath, strerror(errno));
  FILE* patch = fopen(patchPath, "rb");
  if (!patch) return Fail("cannot read %s: %s", patchPath, strerror(errno));
  std::unique_ptr<FILE, int (*)(FILE*)> closer(patch, fclose);

  PatchHeader header;
  int result = ReadPatchHeader(patch, &header);
  if (result == kPatchReadFailed) return Fail("cannot read the header of %s", patchPath);
  if (result != 0) return Fail("%s is not a QBDIFF10 patch, or its length is wrong", patchPath);
  if (old.size != header.sourceLength) {
    return Fail("%s does not fit %s: its length is %llu, the patch expects %u", oldPath,
                patchPath, static_cast<unsigned long long>(old.size), header.sourceLength);
  }
  uint32_t crc = crc32(old.data.get(), old.size);
  if (crc != header.sourceCrc) {
    return Fail("%s does not fit %s: its checksum is %08x, the patch expects %08x", oldPath,
                patchPath, crc, header.sourceCrc);
  }

  Output output(newPath);
  FILE* out = output.Open();
  if (!out) return Fail("cannot create %s: %s", newPath, strerror(errno));
  result = ApplyPatch(&header, patch, old.data.get(), out);
  switch (result) {
    case 0:
      break;
    case kPatchReadFailed:
      return Fail("cannot read the blocks of %s", patchPath);
    case kPatchNoMemory:
      return Fail("out of memory for the blocks of %s", patchPath);
    case kPatchMalformed:
      return Fail("%s is malformed: a control triple reaches beyond its data", patchPath);
    case kPatchedFileWriteShort:
      return Fail("cannot write %s: %s", newPath, strerror(errno));
    default:
      return Fail("applying %s failed: %d", patchPath, result);
  }
  if (!output.Commit()) return Fail("cannot write %s: %s", newPath, strerror(errno));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 5 && strcmp(argv[1], "--apply") == 0) {
    return ApplyPatchFile(argv[2], argv[3], argv[4]);
  }
  if (argc == 4 && argv[1][0] != '-') {
    return MakePatch(argv[1], argv[2], argv[3]);
  }
  fputs("qbdiff: expected OLD NEW PATCH or --apply OLD PATCH NEW (see qbdiff --help)\n", stderr);
  return 2;
}
