/* LD_PRELOAD shim for the progress-window tests: every rename() first sleeps
 * VLM_TEST_RENAME_DELAY_MS milliseconds, so that an update with many
 * replaced files takes long enough for the window to appear. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int rename(const char* from, const char* to) {
  static int (*real_rename)(const char*, const char*);
  if (!real_rename) {
    real_rename = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  }
  const char* delay = getenv("VLM_TEST_RENAME_DELAY_MS");
  if (delay) {
    usleep((useconds_t)atoi(delay) * 1000);
  }
  return real_rename(from, to);
}
