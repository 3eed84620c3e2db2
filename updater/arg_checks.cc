// Path checks of the updater's command line.
#include "updater/arg_checks.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "updater/result.h"

bool IsValidArgPath(const char* path) {
  return strlen(path) < static_cast<size_t>(kMaxPath) && path[0] == '/' && !strstr(path, "..") && !strstr(path, "./");
}

void CopyDirArg(char* destination, const char* path) {
  snprintf(destination, kMaxPath, "%s", path);
  char* last_slash = strrchr(destination, '/');
  if (last_slash && last_slash[1] == '\0') {
    *last_slash = '\0';
  }
}

bool IsCallbackInInstallDir(const char* callback, const char* install_dir) {
  size_t length = strlen(install_dir);
  if (strncmp(callback, install_dir, length) != 0) {
    return false;
  }
  // After step 6 the stored directory may still end in '/' (from "//"); then
  // the prefix itself ends at a separator.
  char next = callback[length];
  return next == '\0' || next == '/' || (length > 0 && install_dir[length - 1] == '/');
}

namespace {

// Folds runs of '/' and drops a trailing one, so that textual comparison sees
// "/opt//app/" and "/opt/app" as the same directory. "/" becomes "".
std::string Normalize(const char* path) {
  std::string out;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' && !out.empty() && out.back() == '/') {
      continue;
    }
    out.push_back(*p);
  }
  if (!out.empty() && out.back() == '/') {
    out.pop_back();
  }
  return out;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool WorkingDirContainsInstallation(const char* working_dir, const char* install_dir) {
  std::string working = Normalize(working_dir);
  std::string install = Normalize(install_dir);
  if (install.compare(0, working.size(), working) == 0 &&
      (install.size() == working.size() || install[working.size()] == '/')) {
    return true;
  }

  // Another spelling of the same place: walk the installation directory's
  // real path upwards and compare each ancestor with the working directory.
  struct stat working_stat;
  if (stat(working_dir, &working_stat) != 0 || !S_ISDIR(working_stat.st_mode)) {
    return false;  // what does not exist cannot hold the installation
  }
  char resolved[PATH_MAX];
  if (!realpath(install_dir, resolved)) {
    return false;
  }
  std::string ancestor = resolved;
  for (;;) {
    struct stat ancestor_stat;
    if (stat(ancestor.empty() ? "/" : ancestor.c_str(), &ancestor_stat) == 0 &&
        SameFile(ancestor_stat, working_stat)) {
      return true;
    }
    if (ancestor.empty()) {
      return false;
    }
    ancestor.erase(ancestor.rfind('/'));
  }
}
