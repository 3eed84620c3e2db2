// End-to-end runs of the updater binary against unlucky or hostile
// situations: a file that becomes a directory, a backup name that would be
// cut, a very long directory path, a FIFO in the installation, a linked
// status file or log, an interrupted replace request, a second updater and
// a stop signal. None may leave a broken installation or write through a
// link.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/updater_fixture.h"

namespace updater_test {
namespace {

class UpdaterSafetyTest : public UpdaterFixture {
 protected:
  void SetUp() override {
    UpdaterFixture::SetUp();
    WriteFile(inst_ + "/keep.txt", "keep\n");
  }
  bool IsDir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

};

TEST_F(UpdaterSafetyTest, FailedShapeChangeBringsTheFileBack) {
  WriteFile(inst_ + "/x", "a file\n");
  // "x" becomes a directory, then the last action fails.
  MakeArchive(patch_ + "/update.upq",
              "remove \"x\"\nadd \"x/y\"\nadd \"missing\"\n", {{"x/y", "inside\n"}});
  auto before = Snapshot(inst_);
  RunResult r = Updater({patch_, inst_, root_ + "/work"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Snapshot(inst_), before);
  EXPECT_FALSE(IsDir(inst_ + "/x"));
  EXPECT_FALSE(Exists(inst_ + "/x.vlm-backup"));
}

TEST_F(UpdaterSafetyTest, ABackupNameThatWouldBeCutFailsBeforeAnyChange) {
  // A file whose backup name ("<path>.vlm-backup") does not fit 1023 bytes;
  // cut, it would name the unrelated file "<path>.vlm".
  std::string dir = inst_;
  while (dir.size() < 1000 - 201) dir += "/" + std::string(200, 'd');
  std::string file = dir + "/" + std::string(1016 - dir.size() - 1, 'f');
  ASSERT_EQ(file.size(), 1016u);
  WriteFile(file, "old\n");
  WriteFile(file + ".vl", "unrelated\n");
  std::string relative = file.substr(inst_.size() + 1);
  MakeArchive(patch_ + "/update.upq", "add \"" + relative + "\"\n", {{relative, "new\n"}});
  auto before = Snapshot(inst_);
  RunResult r = Updater({patch_, inst_, root_ + "/work"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 7\n");
  EXPECT_EQ(Snapshot(inst_), before);
}

TEST_F(UpdaterSafetyTest, StagedCopyOfAVeryLongDirectoryPathFailsCleanly) {
  std::string dir = inst_;
  while (dir.size() < 1022 - 201) dir += "/" + std::string(200, 'd');
  dir += "/" + std::string(1022 - dir.size() - 1, 'e');
  ASSERT_EQ(dir.size(), 1022u);
  WriteFile(dir + "/f", "deep\n");  // the file's own path is cut already
  MakeArchive(patch_ + "/update.upq", "add \"keep.txt\"\n", {{"keep.txt", "new\n"}});
  // The working directory is as long as the installation's path.
  std::string work = root_ + "/wrk_";
  RunResult r = Updater({patch_, inst_, work, "-1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 92\n");
  EXPECT_FALSE(Exists(work));
}

TEST_F(UpdaterSafetyTest, StagedCopyRefusesAFifoWithoutOpeningIt) {
  ASSERT_EQ(mkfifo((inst_ + "/pipe").c_str(), 0644), 0);
  MakeArchive(patch_ + "/update.upq", "add \"keep.txt\"\n", {{"keep.txt", "new\n"}});
  RunResult r = Updater({patch_, inst_, root_ + "/work", "-1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_NE(Log().find("ensure_copy: not a regular file: " + inst_ + "/pipe"), std::string::npos);
  EXPECT_FALSE(Exists(root_ + "/work"));
}

TEST_F(UpdaterSafetyTest, LinkedStatusOrLogIsRefusedAndNothingIsWritten) {
  for (const char* name : {"update.status", "update.log"}) {
    SCOPED_TRACE(name);
    RemoveTree(patch_);
    WriteFile(patch_ + "/placeholder", "");
    MakeArchive(patch_ + "/update.upq", "add \"keep.txt\"\n", {{"keep.txt", "new\n"}});
    WriteFile(root_ + "/victim", "precious\n");
    ASSERT_EQ(symlink((root_ + "/victim").c_str(), (patch_ + "/" + name).c_str()), 0);
    auto before = Snapshot(inst_);
    RunResult r = Updater({patch_, inst_, root_ + "/work"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(root_ + "/victim"), "precious\n");
    EXPECT_EQ(Snapshot(inst_), before);
    for (const char* other : {"update.status", "update.log"}) {
      if (std::string(other) != name) {
        EXPECT_FALSE(Exists(patch_ + "/" + other));
      }
    }
  }
}

TEST_F(UpdaterSafetyTest, AnInterruptedReplaceIsPutBackFirst) {
  // Killed between its two renames: no installation, the old one at .bak
  // with the staged copy inside.
  WriteFile(inst_ + "/updated/keep.txt", "staged\n");
  ASSERT_EQ(rename(inst_.c_str(), (inst_ + ".bak").c_str()), 0);
  patch_ = inst_ + "/updates/0";
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "0/replace"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(inst_ + "/keep.txt"), "staged\n");
  EXPECT_FALSE(Exists(inst_ + ".bak"));
  EXPECT_NE(Log().find("moved " + inst_ + ".bak back"),
            std::string::npos);
}

TEST_F(UpdaterSafetyTest, ASecondUpdaterDoesNotApply) {
  MakeArchive(patch_ + "/update.upq", "add \"keep.txt\"\n", {{"keep.txt", "new\n"}});
  // Another updater holds the installation's lock.
  int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  RunResult r = Updater({patch_, inst_, root_ + "/work"});
  close(fd);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Another updater is already running for this installation (" + inst_ + ")\n");
  EXPECT_FALSE(Exists(patch_ + "/update.status"));
  EXPECT_FALSE(Exists(patch_ + "/update.log"));
  EXPECT_EQ(ReadFile(inst_ + "/keep.txt"), "keep\n");
}

TEST_F(UpdaterSafetyTest, StopSignalRollsBackAndSkipsTheCallback) {
  // Forty replaced files, each rename slowed down: the run takes seconds.
  std::string manifest;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 40; ++i) {
    std::string name = "f" + std::to_string(i);
    WriteFile(inst_ + "/" + name, "old " + name);
    manifest += "add \"" + name + "\"\n";
    files[name] = "new " + name;
  }
  MakeArchive(patch_ + "/update.upq", manifest, files);
  auto before = Snapshot(inst_);
  const std::string marker = root_ + "/callback-ran";
  WriteFile(inst_ + "/callback.sh", "#!/bin/sh\ntouch " + marker + "\n", 0755);
  before = Snapshot(inst_);

  pid_t pid = fork();
  if (pid == 0) {
    setenv("LD_PRELOAD", VLM_SLOW_RENAME_SHIM, 1);
    setenv("VLM_TEST_RENAME_DELAY_MS", "50", 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    execl(kUpdater, kUpdater, patch_.c_str(), inst_.c_str(), (root_ + "/work").c_str(), "0",
          root_.c_str(), (inst_ + "/callback.sh").c_str(), "arg", static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(600 * 1000);
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(Status(), "failed: 90\n");
  EXPECT_EQ(Snapshot(inst_), before);
  EXPECT_NE(Log().find("stopped by signal 15"), std::string::npos) << Log();
  EXPECT_FALSE(Exists(marker)) << "a process asked to stop launched the callback";
}

}  // namespace
}  // namespace updater_test
