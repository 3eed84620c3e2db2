// Helpers for the end-to-end tests of the updater binary: temporary trees,
// archives made with the real upq tool, and runs of the real program.
#ifndef VLM_TESTS_UPDATER_HARNESS_H_
#define VLM_TESTS_UPDATER_HARNESS_H_

#include <map>
#include <string>
#include <vector>

namespace updater_test {

struct RunResult {
  int exit_code = -1;  // -1 when the process did not exit normally
  std::string err;     // standard error
  double seconds = 0;
};

// Runs `argv` (argv[0] is the program) with the current environment, minus
// DISPLAY and WAYLAND_DISPLAY unless `display` is given, plus `extra_env`.
RunResult Run(const std::vector<std::string>& argv, const std::string& display = "",
              const std::vector<std::string>& extra_env = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content, int mode = 0644);
bool Exists(const std::string& path);
// Every regular file under `root`: relative path -> content.
std::map<std::string, std::string> Snapshot(const std::string& root);
std::string MakeTempDir();
void RemoveTree(const std::string& path);

// Writes `files` (archive name -> content, each with `mode`) and the manifest
// text as "updatev3.manifest" into an archive at `archive` with upq, passing
// `upq_options` (such as --sign KEY) to it.
void MakeArchive(const std::string& archive, const std::string& manifest,
                 const std::map<std::string, std::string>& files, int mode = 0644,
                 const std::vector<std::string>& upq_options = {});

extern const char* const kUpdater;
extern const char* const kUpq;
extern const char* const kQbdiff;
extern const char* const kMakeUpdate;

}  // namespace updater_test

#endif  // VLM_TESTS_UPDATER_HARNESS_H_
