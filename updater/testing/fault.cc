// Link-time wrappers (-Wl,--wrap=NAME) that fail chosen C library calls.
#include "updater/testing/fault.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
int __real_rename(const char*, const char*);
int __real_remove(const char*);
int __real_unlink(const char*);
int __real_mkdir(const char*, mode_t);
int __real_rmdir(const char*);
int __real_open(const char*, int, ...);
FILE* __real_fopen(const char*, const char*);
FILE* __real_fdopen(int, const char*);
size_t __real_fwrite(const void*, size_t, size_t, FILE*);
ssize_t __real_write(int, const void*, size_t);
int __real_chmod(const char*, mode_t);
int __real_symlink(const char*, const char*);
int __real_posix_fallocate(int, off_t, off_t);
DIR* __real_opendir(const char*);
int __real_fsync(int);
int __real_syncfs(int);
int __real_flock(int, int);
}

namespace vlm_fault {
namespace {

bool armed = false;
bool crash = false;
Crash crash_how = Crash::kExit;
long fail_at = 0;
long calls = 0;
int error_number = ENOSPC;
bool fired = false;
char rule_call[32];
char rule_substring[1024];
int rule_error = 0;

// True when this call is to fail (errno is then set).
bool Inject(const char* call, const char* path) {
  if (rule_error && strcmp(call, rule_call) == 0 &&
      (path ? strstr(path, rule_substring) != nullptr : rule_substring[0] == '\0')) {
    fired = true;
    errno = rule_error;
    return true;
  }
  if (!armed) {
    return false;
  }
  if (++calls == fail_at) {
    if (crash) {
      if (crash_how == Crash::kKill) {
        raise(SIGKILL);
      }
      _exit(kCrashExitStatus);
    }
    fired = true;
    errno = error_number;
    return true;
  }
  return false;
}

}  // namespace

void FailNth(long n, int err) {
  crash = false;
  armed = true;
  fail_at = n;
  calls = 0;
  error_number = err;
  fired = false;
}

void CrashNth(long n, Crash how) {
  FailNth(n);
  crash = true;
  crash_how = how;
}

void FailPath(const char* call, const char* substring, int err) {
  snprintf(rule_call, sizeof(rule_call), "%s", call);
  snprintf(rule_substring, sizeof(rule_substring), "%s", substring);
  rule_error = err;
  fired = false;
}

long Calls() { return calls; }
bool Fired() { return fired; }

void Reset() {
  armed = false;
  crash = false;
  fail_at = 0;
  rule_error = 0;
}

}  // namespace vlm_fault

using vlm_fault::Inject;

extern "C" {

int __wrap_rename(const char* from, const char* to) {
  return Inject("rename", from) ? -1 : __real_rename(from, to);
}
int __wrap_remove(const char* path) { return Inject("remove", path) ? -1 : __real_remove(path); }
int __wrap_unlink(const char* path) { return Inject("unlink", path) ? -1 : __real_unlink(path); }
int __wrap_mkdir(const char* path, mode_t mode) {
  return Inject("mkdir", path) ? -1 : __real_mkdir(path, mode);
}
int __wrap_rmdir(const char* path) { return Inject("rmdir", path) ? -1 : __real_rmdir(path); }
int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  return Inject("open", path) ? -1 : __real_open(path, flags, mode);
}
FILE* __wrap_fopen(const char* path, const char* mode) {
  return Inject("fopen", path) ? nullptr : __real_fopen(path, mode);
}
FILE* __wrap_fdopen(int fd, const char* mode) {
  return Inject("fdopen", nullptr) ? nullptr : __real_fdopen(fd, mode);
}
size_t __wrap_fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  if (size && count && Inject("fwrite", nullptr)) {
    return 0;
  }
  return __real_fwrite(data, size, count, stream);
}
ssize_t __wrap_write(int fd, const void* data, size_t size) {
  return size && Inject("write", nullptr) ? -1 : __real_write(fd, data, size);
}
int __wrap_chmod(const char* path, mode_t mode) {
  return Inject("chmod", path) ? -1 : __real_chmod(path, mode);
}
int __wrap_symlink(const char* target, const char* path) {
  return Inject("symlink", path) ? -1 : __real_symlink(target, path);
}
int __wrap_posix_fallocate(int fd, off_t offset, off_t length) {
  return Inject("posix_fallocate", nullptr) ? ENOSPC : __real_posix_fallocate(fd, offset, length);
}
DIR* __wrap_opendir(const char* path) {
  return Inject("opendir", path) ? nullptr : __real_opendir(path);
}
int __wrap_fsync(int fd) { return Inject("fsync", nullptr) ? -1 : __real_fsync(fd); }
int __wrap_syncfs(int fd) { return Inject("syncfs", nullptr) ? -1 : __real_syncfs(fd); }
int __wrap_flock(int fd, int operation) {
  return Inject("flock", nullptr) ? -1 : __real_flock(fd, operation);
}

}  // extern "C"
