// End-to-end runs of the updater binary in temporary directories: the three
// kinds of run, their status files, logs and exit codes, argument errors,
// waiting for the caller and the callback launch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/updater_fixture.h"

namespace updater_test {
namespace {

class UpdaterTest : public UpdaterFixture {
 protected:
  void SetUp() override {
    UpdaterFixture::SetUp();
    WriteFile(inst_ + "/keep.txt", "keep\n");
    WriteFile(inst_ + "/a.txt", "old a\n");
    WriteFile(inst_ + "/gone.txt", "gone\n");
    WriteFile(inst_ + "/olddir/x.txt", "x\n");
    WriteFile(inst_ + "/updates/0/download.bin", "in progress\n");
  }
  // A partial update: replaces a.txt, adds sub/new.txt, removes gone.txt and
  // the olddir tree.
  void MakeGoodArchive() {
    MakeArchive(patch_ + "/update.upq",
                "type \"partial\"\n"
                "remove \"gone.txt\"\n"
                "remove \"olddir/x.txt\"\n"
                "rmdir \"olddir/\"\n"
                "add \"a.txt\"\n"
                "add \"sub/new.txt\"\n",
                {{"a.txt", "new a\n"}, {"sub/new.txt", "new file\n"}});
  }
  // Fails in its last action, after every other change was made.
  void MakeFailingArchive() {
    MakeArchive(patch_ + "/update.upq",
                "remove \"gone.txt\"\n"
                "add \"a.txt\"\n"
                "add \"missing-entry.txt\"\n",
                {{"a.txt", "new a\n"}});
  }
};

TEST_F(UpdaterTest, NormalUpdateSucceeds) {
  MakeGoodArchive();
  RunResult r = Updater({patch_, inst_, inst_ + "/updated"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Snapshot(inst_), (std::map<std::string, std::string>{
                                 {"keep.txt", "keep\n"},
                                 {"a.txt", "new a\n"},
                                 {"sub/new.txt", "new file\n"},
                                 {"updates/0/download.bin", "in progress\n"}}));
  EXPECT_FALSE(Exists(inst_ + "/olddir"));
  EXPECT_FALSE(Exists(inst_ + "/updated/updating"));  // scratch directory removed
  std::string log = Log();
  const std::string expected_start = "PATCH DIRECTORY " + patch_ + "\nINSTALLATION DIRECTORY " +
                                     inst_ + "\nWORKING DIRECTORY " + inst_ + "/updated\n";
  EXPECT_EQ(log.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(log.find("\nsucceeded\ncalling QuitProgressUI\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Performing"), std::string::npos);
}

TEST_F(UpdaterTest, ToolkitOptionsAreRemovedBeforeCounting) {
  MakeGoodArchive();
  // With the display option counted, the patch directory would be ":12345".
  RunResult r = Updater({"--display", ":12345", patch_, inst_, inst_ + "/updated"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Status(), "succeeded\n");
}

TEST_F(UpdaterTest, NormalUpdateFailureRollsBack) {
  MakeFailingArchive();
  auto before = Snapshot(inst_);
  RunResult r = Updater({patch_, inst_, inst_ + "/updated"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Snapshot(inst_), before);
  EXPECT_NE(Log().find("\nfailed: 6\ncalling QuitProgressUI\n"), std::string::npos) << Log();
}

TEST_F(UpdaterTest, MissingArchive) {
  RunResult r = Updater({patch_, inst_, inst_ + "/updated"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_NE(Log().find("\nfailed: 6\n"), std::string::npos);
}

TEST_F(UpdaterTest, StagedUpdateThenReplaceRequest) {
  MakeGoodArchive();
  WriteFile(inst_ + "/updated/stale.txt", "left from an earlier attempt\n");
  WriteFile(inst_ + "/updates/last-update.log", "log of the previous update\n");
  auto installed = Snapshot(inst_);

  RunResult staged = Updater({patch_, inst_, inst_ + "/updated", "-1"});
  EXPECT_EQ(staged.exit_code, 0) << staged.err;
  EXPECT_EQ(Status(), "applied\n");
  EXPECT_EQ(Snapshot(inst_ + "/updated"),
            (std::map<std::string, std::string>{
                {"keep.txt", "keep\n"},
                {"a.txt", "new a\n"},
                {"sub/new.txt", "new file\n"},
                {"updates/last-update.log", "log of the previous update\n"}}))
      << "the copy leaves out updated/ and updates/0";
  EXPECT_NE(Log().find("Performing a staged update\n"), std::string::npos);
  // The installation itself is only read.
  installed.erase("updated/stale.txt");
  auto now = Snapshot(inst_);
  for (const auto& [name, content] : installed) EXPECT_EQ(now[name], content) << name;

  // The new log of the staged copy must give way to the installation's own.
  WriteFile(inst_ + "/updated/updates/last-update.log", "staged copy's log\n");
  RunResult replace = Updater({patch_, inst_, inst_ + "/updated", "0/replace"});
  EXPECT_EQ(replace.exit_code, 0) << replace.err;
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Snapshot(inst_), (std::map<std::string, std::string>{
                                 {"keep.txt", "keep\n"},
                                 {"a.txt", "new a\n"},
                                 {"sub/new.txt", "new file\n"},
                                 {"updates/last-update.log", "log of the previous update\n"}}));
  EXPECT_FALSE(Exists(inst_ + ".bak"));
  std::string log = Log();
  EXPECT_NE(log.find("Performing a replace request\n"), std::string::npos);
  EXPECT_NE(log.find("Begin moving destDir (" + inst_ + ") to tmpDir (" + inst_ + ".bak)\n"),
            std::string::npos);
  EXPECT_NE(log.find("Begin moving newDir (" + inst_ + ".bak/updated) to destDir (" + inst_ +
                     ")\nrename_file: proceeding to rename the directory\n"
                     "Now, remove the tmpDir\nsucceeded\n"),
            std::string::npos)
      << log;
}

TEST_F(UpdaterTest, MinusOneWithReplaceIsStaged) {
  MakeGoodArchive();
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "-1/replace"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Status(), "applied\n");
  EXPECT_EQ(ReadFile(inst_ + "/updated/a.txt"), "new a\n");
  EXPECT_EQ(ReadFile(inst_ + "/a.txt"), "old a\n");
}

TEST_F(UpdaterTest, StagedUpdateFailureRemovesWorkingDir) {
  MakeFailingArchive();
  auto before = Snapshot(inst_);
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "-1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_FALSE(Exists(inst_ + "/updated"));
  EXPECT_EQ(Snapshot(inst_), before);
  EXPECT_EQ(Log().find("failed: 6\n"), std::string::npos) << "staged failures log no line";
}

TEST_F(UpdaterTest, ReplaceRequestWithoutStagedCopyRollsBack) {
  WriteFile(inst_ + ".bak/leftover.txt", "from an earlier attempt\n");
  auto before = Snapshot(inst_);
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "0/replace"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "pending");
  EXPECT_EQ(Snapshot(inst_), before);
  EXPECT_FALSE(Exists(inst_ + ".bak"));
  std::string log = Log();
  EXPECT_NE(log.find("Moving newDir to destDir failed, err: 6\n"
                     "Now, try to move tmpDir back to destDir\n"),
            std::string::npos)
      << log;
}

TEST_F(UpdaterTest, ArgumentErrors) {
  const std::string k1024 = "/" + std::string(1023, 'p');
  std::string inst = inst_, patch = patch_;
  const struct {
    int line;
    std::vector<std::string> args;
    std::string err;
    std::string status;  // "" when update.status must not be written
  } kCases[] = {
      {__LINE__, {patch, inst},
       "Usage: updater patch-dir install-dir apply-to-dir [wait-pid [callback-working-dir "
       "callback-path args...]]\n",
       ""},
      {__LINE__, {"rel/patch", inst, inst + "/updated"},
       "The patch directory path is not valid for this application (rel/patch)\n", ""},
      {__LINE__, {k1024, inst, inst + "/updated"},
       "The patch directory path is not valid for this application (" + k1024 + ")\n", ""},
      {__LINE__, {patch, inst + "/../x", inst + "/updated"},
       "The install directory path is not valid for this application (" + inst + "/../x)\n",
       "failed: 75\n"},
      {__LINE__, {patch, k1024, inst + "/updated"},
       "The install directory path is not valid for this application (" + k1024 + ")\n",
       "failed: 75\n"},
      {__LINE__, {patch, inst, inst + "/./updated"},
       "The working directory path is not valid for this application (" + inst +
           "/./updated)\n",
       "failed: 76\n"},
      // Staged updates and replace requests remove the working directory: one
      // that is, or holds, the installation is refused before anything happens.
      {__LINE__, {patch, inst, inst, "-1"},
       "The working directory path is not valid for this application (" + inst + ")\n",
       "failed: 76\n"},
      {__LINE__, {patch, inst, inst + "/", "-1"},
       "The working directory path is not valid for this application (" + inst + "/)\n",
       "failed: 76\n"},
      {__LINE__, {patch, inst, root_, "123/replace"},
       "The working directory path is not valid for this application (" + root_ + ")\n",
       "failed: 76\n"},
      {__LINE__, {patch, inst, "/", "-1"},
       "The working directory path is not valid for this application (/)\n", "failed: 76\n"},
      {__LINE__, {patch, inst, inst + "/updated", "0", root_, "run"},
       "The callback file path is not valid for this application (run)\n", "failed: 77\n"},
      {__LINE__, {patch, inst, inst + "/updated", "0", root_, inst + "2/run"},
       "The callback file must be located in the installation directory (" + inst + "2/run)\n",
       "failed: 78\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    unlink((patch_ + "/update.status").c_str());
    unlink((patch_ + "/update.log").c_str());
    auto before = Snapshot(inst_);
    RunResult r = Updater(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(Exists(patch_ + "/update.status"), !c.status.empty());
    if (!c.status.empty()) {
      EXPECT_EQ(Status(), c.status);
    }
    EXPECT_FALSE(Exists(patch_ + "/update.log"));
    EXPECT_EQ(Snapshot(inst_), before);
  }
}

TEST_F(UpdaterTest, PathLengthLimitIsInclusive) {
  // 1023 characters pass the check (the run then fails on the missing archive).
  const std::string k1023 = "/" + std::string(1022, 'i');
  RunResult r = Updater({patch_, k1023, root_ + "/work"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.find("not valid"), std::string::npos) << r.err;
  EXPECT_EQ(Status(), "failed: 6\n");
}

TEST_F(UpdaterTest, WaitsForCallerThatIsNotItsChild) {
  MakeGoodArchive();
  // The caller is this test's child: for the updater, waitpid fails with
  // ECHILD, and it must still wait until the process has ended.
  pid_t caller = fork();
  if (caller == 0) {
    usleep(800 * 1000);
    _exit(0);
  }
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", std::to_string(caller)});
  int status;
  waitpid(caller, &status, 0);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(r.seconds, 0.7);
  EXPECT_EQ(Status(), "succeeded\n");
}

class CallbackTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    out_ = root_ + "/callback.out";
    // Records its working directory, arguments and the two variables.
    WriteFile(inst_ + "/bin/callback.sh",
              "#!/bin/sh\n"
              "{ pwd; echo \"args:$#:$*\"; echo \"NO_EM_RESTART=${NO_EM_RESTART-unset}\";\n"
              "  echo \"VLM_LAUNCHED_CHILD=${VLM_LAUNCHED_CHILD-unset}\"; } > " +
                  out_ + "\nexit 42\n",
              0755);
  }
  std::string out_;
};

TEST_F(CallbackTest, LaunchedWithItsArgumentsAndEnvironment) {
  MakeGoodArchive();
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "0", root_, inst_ + "/bin/callback.sh",
                         "one", "two words"});
  EXPECT_EQ(r.exit_code, 42) << "the callback replaced the updater";
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(out_), root_ + "\nargs:2:one two words\nNO_EM_RESTART=\nVLM_LAUNCHED_CHILD=1\n");
}

TEST_F(CallbackTest, LaunchedAfterFailureAndWithMissingWorkingDir) {
  MakeFailingArchive();
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "0", root_ + "/missing",
                         inst_ + "/bin/callback.sh"});
  EXPECT_EQ(r.exit_code, 42);
  EXPECT_EQ(Status(), "failed: 6\n");
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
  EXPECT_EQ(ReadFile(out_),
            std::string(cwd) + "\nargs:0:\nNO_EM_RESTART=\nVLM_LAUNCHED_CHILD=1\n");
}

TEST_F(CallbackTest, SixArgumentsLaunchNothing) {
  MakeGoodArchive();
  RunResult r = Updater({patch_, inst_, inst_ + "/updated", "0", root_});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(Exists(out_));
}

}  // namespace
}  // namespace updater_test
