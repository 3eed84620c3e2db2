#include "tests/updater_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/updater_fixture.h"

namespace fs = std::filesystem;

namespace updater_test {

const char* const kUpdater = VLM_UPDATER_BIN;
const char* const kUpq = VLM_UPQ_BIN;
const char* const kQbdiff = VLM_QBDIFF_BIN;
const char* const kMakeUpdate = VLM_MAKE_UPDATE;

RunResult Run(const std::vector<std::string>& argv, const std::string& display,
              const std::vector<std::string>& extra_env) {
  RunResult result;
  char err_name[] = "/tmp/updater-stderrXXXXXX";
  int err_fd = mkstemp(err_name);
  if (err_fd < 0) {
    ADD_FAILURE() << "mkstemp";
    return result;
  }
  unlink(err_name);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (strncmp(*e, "DISPLAY=", 8) != 0 && strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0) {
      env.push_back(*e);
    }
  }
  if (!display.empty()) {
    env.push_back("DISPLAY=" + display);
  }
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err_fd, 2);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  lseek(err_fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(err_fd, buffer, sizeof(buffer))) > 0) result.err.append(buffer, n);
  close(err_fd);
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), root).string()] = ReadFile(entry.path().string());
    }
  }
  return files;
}

std::string MakeTempDir() {
  char name[] = "/tmp/updater-e2eXXXXXX";
  if (!mkdtemp(name)) ADD_FAILURE() << "mkdtemp";
  return name;
}

void RemoveTree(const std::string& path) {
  // Make everything writable first: tests create read-only entries.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(path, ec); it != fs::end(it); it.increment(ec)) {
    if (!it->is_symlink()) chmod(it->path().c_str(), 0755);
  }
  fs::remove_all(path, ec);
}

void MakeArchive(const std::string& archive, const std::string& manifest,
                 const std::map<std::string, std::string>& files, int mode,
                 const std::vector<std::string>& upq_options) {
  std::string stage = MakeTempDir();
  std::vector<std::string> argv = {kUpq, "-c", archive, "-C", stage};
  argv.insert(argv.end(), upq_options.begin(), upq_options.end());
  WriteFile(stage + "/updatev3.manifest", manifest);
  argv.push_back("updatev3.manifest");
  for (const auto& [name, content] : files) {
    WriteFile(stage + "/" + name, content, mode);
    argv.push_back(name);
  }
  fs::create_directories(fs::path(archive).parent_path());
  RunResult r = Run(argv);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  RemoveTree(stage);
}

void UpdaterFixture::SetUp() {
  root_ = MakeTempDir();
  inst_ = root_ + "/inst";
  patch_ = root_ + "/patch";
}

void UpdaterFixture::TearDown() { RemoveTree(root_); }

RunResult UpdaterFixture::Updater(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kUpdater};
  argv.insert(argv.end(), args.begin(), args.end());
  return updater_test::Run(argv);
}

}  // namespace updater_test
