// Test helpers shared by the updater's unit tests: a temporary directory that
// removes itself, small file helpers, and a capture of the update log.
#ifndef VLM_UPDATER_TEST_UTIL_H_
#define VLM_UPDATER_TEST_UTIL_H_

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "updater/log.h"

namespace vlm_test {

// mkdtemp under $TMPDIR (or /tmp); removed with everything in it, whatever
// the modes inside, when the object goes away.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vlm-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) {
      path_ = buffer.data();
    }
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  static void RemoveTree(const std::string& path) {
    if (path.empty()) {
      return;
    }
    // Make every directory writable and searchable first, then remove.
    nftw(path.c_str(),
         [](const char* p, const struct stat* st, int type, struct FTW*) {
           if (type == FTW_D || type == FTW_DNR) {
             chmod(p, st->st_mode | 0700);
           }
           return 0;
         },
         16, FTW_PHYS);
    nftw(path.c_str(),
         [](const char* p, const struct stat*, int, struct FTW*) {
           remove(p);
           return 0;
         },
         16, FTW_PHYS | FTW_DEPTH);
  }

 private:
  std::string path_;
};

inline bool WriteFile(const std::string& path, const std::string& content, int mode = 0644) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ok = close(fd) == 0 && ok;
  return ok && chmod(path.c_str(), mode) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Permission bits (07777) of a path, without following a link; -1 if missing.
inline int ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

inline std::string LinkTarget(const std::string& path) {
  char target[4096];
  ssize_t n = readlink(path.c_str(), target, sizeof(target));
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

// Collects the update log from construction to Lines(): the log is started
// into a private directory and finished to read it back.
class LogCapture {
 public:
  LogCapture() {
    UpdateLogger::GetPrimaryLog().Finish();
    UpdateLogger::GetPrimaryLog().Init(dir_.path().c_str(), "update.log");
  }
  ~LogCapture() { UpdateLogger::GetPrimaryLog().Finish(); }

  // Finishes the log and returns its lines; logging stops.
  std::vector<std::string> Lines() {
    UpdateLogger::GetPrimaryLog().Finish();
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_ / "update.log"));
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

 private:
  TempDir dir_;
};

}  // namespace vlm_test

#endif  // VLM_UPDATER_TEST_UTIL_H_
