// Pending-update detection of the example engine.
#include "update_check.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string InstallDir() {
  char exe[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (length <= 0) return "";
  exe[length] = '\0';
  std::string path = exe;
  return path.substr(0, path.rfind('/'));
}

std::string ReadText(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return "";
  char buffer[256];
  size_t length = fread(buffer, 1, sizeof(buffer), file);
  fclose(file);
  std::string text(buffer, length);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

bool StartPendingUpdate(int argc, char** argv, void (*say)(const char* format, ...)) {
  std::string install = InstallDir();
  if (install.empty()) return false;
  std::string patch = install + "/updates/0";
  std::string status = ReadText(patch + "/update.status");
  if (status.empty()) return false;
  // "applying" is what a run that was killed, or lost its machine, leaves:
  // the updater is started again and repairs the installation first.
  const bool interrupted = status == "applying";
  if (status != "pending" && !interrupted) {
    say("update in %s: status \"%s\"", patch.c_str(), status.c_str());
    return false;
  }
  std::string updater = install + "/updater";
  if (access((patch + "/update.upq").c_str(), R_OK) != 0 || access(updater.c_str(), X_OK) != 0) {
    say("update pending in %s, but update.upq or the updater is missing", patch.c_str());
    return false;
  }

  // updater patch-dir install-dir apply-to-dir wait-pid callback-dir callback args...
  std::string pid = std::to_string(getpid());
  std::string callback = install + "/tarvelin";
  std::vector<std::string> args = {updater, patch, install, install, pid, install, callback};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  std::vector<char*> vector;
  for (auto& arg : args) vector.push_back(arg.data());
  vector.push_back(nullptr);

  if (interrupted) {
    say("update interrupted in %s: starting %s again and exiting", patch.c_str(),
        updater.c_str());
  } else {
    say("update pending in %s: starting %s and exiting", patch.c_str(), updater.c_str());
  }
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    say("cannot start the updater");
    return false;
  }
  if (child == 0) {
    execv(vector[0], vector.data());
    _exit(127);
  }
  return true;
}
