// The updater's process-wide state and the status file writer.
#include "updater/state.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "updater/fs.h"

char gPatchDir[kMaxPath];
char gInstallDir[kMaxPath];
char gWorkingDir[kMaxPath];
bool gStagedUpdate = false;
bool gReplaceRequest = false;
bool gUpdateSucceeded = false;
volatile sig_atomic_t gStopSignal = 0;

const char* GetTargetDir() { return gStagedUpdate ? gWorkingDir : gInstallDir; }

bool SetUpdateStatus(const char* status) {
  char path[kMaxPath] = {};
  char temp[kMaxPath] = {};
  snprintf(path, sizeof(path), "%s/update.status", gPatchDir);
  int length = snprintf(temp, sizeof(temp), "%s/.update.status.new", gPatchDir);
  if (length <= 0 || length >= kMaxPath || ensure_parent_dir(path) != 0) {
    return false;
  }
  // The new text goes into a fresh file (never through a link, with the
  // mode 0666 less the umask), flushed, then renamed over the old one: the
  // file always holds one whole status, also after a power loss.
  unlink(temp);
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return false;
  }
  struct stat old;
  if (geteuid() == 0 && lstat(path, &old) == 0 && S_ISREG(old.st_mode)) {
    // Run as root, the updater keeps the file its user's.
    (void)!fchown(fd, old.st_uid, old.st_gid);
  }
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    close(fd);
    unlink(temp);
    return false;
  }
  size_t size = strlen(status);
  bool written = fwrite(status, size, 1, file) == 1 && fflush(file) == 0 && fsync(fd) == 0;
  if (fclose(file) != 0) {
    written = false;
  }
  if (!written || rename(temp, path) != 0) {
    unlink(temp);
    return false;
  }
  return true;
}
