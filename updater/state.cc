// The updater's process-wide state and the status file writer.
#include "updater/state.h"

#include <stdio.h>
#include <string.h>

#include "updater/fs.h"

char gPatchDir[kMaxPath];
char gInstallDir[kMaxPath];
char gWorkingDir[kMaxPath];
bool gStagedUpdate = false;
bool gReplaceRequest = false;
bool gUpdateSucceeded = false;

const char* GetTargetDir() { return gStagedUpdate ? gWorkingDir : gInstallDir; }

bool SetUpdateStatus(const char* status) {
  char path[kMaxPath] = {};
  snprintf(path, sizeof(path), "%s/update.status", gPatchDir);
  if (ensure_parent_dir(path) != 0) {
    return false;
  }
  FILE* file = fopen(path, "wb+");
  if (!file) {
    return false;
  }
  size_t length = strlen(status);
  bool written = fwrite(status, length, 1, file) == 1;
  // The text sits in the stream's buffer until the close: a close that
  // fails (a full disk) means the status did not reach the file.
  if (fclose(file) != 0) {
    written = false;
  }
  return written;
}
