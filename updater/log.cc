// The update log: lines collect in a temporary file and are copied into the
// destination in one piece at Finish.
#include "updater/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>

UpdateLogger& UpdateLogger::GetPrimaryLog() {
  // A function-local static: created once, guarded by the compiler, and
  // destroyed at exit (the destructor finishes the log).
  static UpdateLogger primary;
  return primary;
}

UpdateLogger::~UpdateLogger() { Finish(); }

void UpdateLogger::Init(const char* dir, const char* file) {
  if (stream_) {
    return;
  }
  int length = snprintf(destination_, sizeof(destination_), "%s/%s", dir, file);
  if (length <= 0 || length >= static_cast<int>(sizeof(destination_))) {
    return;
  }
  stream_ = tmpfile();
}

void UpdateLogger::Printf(const char* format, ...) {
  if (!stream_) {
    return;
  }
  va_list args;
  va_start(args, format);
  vfprintf(stream_, format, args);
  va_end(args);
  fputc('\n', stream_);
}

void UpdateLogger::Finish() {
  if (!stream_) {
    return;
  }
  fflush(stream_);
  rewind(stream_);
  // Never through a link: the log is written in the patch directory itself.
  int fd = open(destination_, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  FILE* destination = fd >= 0 ? fdopen(fd, "wb+") : nullptr;
  if (!destination) {
    if (fd >= 0) {
      close(fd);
    }
    fclose(stream_);
    stream_ = nullptr;
    return;
  }
  char block[1024];
  while (!feof(stream_)) {
    size_t read = fread(block, 1, sizeof(block), stream_);
    if (ferror(stream_)) {
      fclose(destination);
      fclose(stream_);
      stream_ = nullptr;
      return;
    }
    size_t done = 0;
    while (done < read) {
      size_t written = fwrite(block + done, 1, read - done, destination);
      if (written == 0) {
        fclose(destination);
        fclose(stream_);
        stream_ = nullptr;
        return;
      }
      done += written;
    }
  }
  fclose(destination);
  fclose(stream_);
  stream_ = nullptr;
}
