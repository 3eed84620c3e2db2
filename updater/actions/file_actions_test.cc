#include "updater/actions/file_actions.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "updater/actions/update_fixture.h"
#include "updater/testing/fault.h"

namespace {

using vlm_test::Exists;
using vlm_test::HasLine;
using vlm_test::LinkTarget;
using vlm_test::LogCapture;
using vlm_test::ModeOf;
using vlm_test::ReadFile;
using vlm_test::Snapshot;
using vlm_test::Tree;
using Lines = std::vector<std::string>;

class FileActionsTest : public vlm_test::UpdateTest {
 protected:
  void TearDown() override {
    vlm_fault::Reset();
    UpdateTest::TearDown();
  }
  LogCapture log_;
};

TEST_F(FileActionsTest, SuccessfulRunAppliesEveryKeyword) {
  Put("old.txt", "old");
  Put("gone.txt", "bye");
  Put("ro.txt", "read-only", 0444);
  Put("empty/f", "f");
  Put("flag", "");
  ASSERT_EQ(symlink("old.txt", Target("link-to-file").c_str()), 0);
  AddEntry("old.txt", "replaced", 0600);
  AddEntry("new/deep/tool", "#!/bin/sh\n", 0755);
  AddEntry("if-yes", "yes");
  AddEntry("if-no", "no");
  AddEntry("ifnot-yes", "yes");
  AddEntry("ifnot-no", "no");
  EXPECT_EQ(Apply("add \"old.txt\"\n"
                  "add \"new/deep/tool\"\n"
                  "remove \"gone.txt\"\n"
                  "remove \"ro.txt\"\n"
                  "remove \"link-to-file\"\n"  // a link to a file counts as a file
                  "remove \"missing.txt\"\n"
                  "remove \"empty/f\"\n"
                  "rmdir \"empty/\"\n"
                  "rmdir \"missing/\"\n"
                  "add-if \"flag\" \"if-yes\"\n"
                  "add-if \"noflag\" \"if-no\"\n"
                  "add-if-not \"noflag\" \"ifnot-yes\"\n"
                  "add-if-not \"flag\" \"ifnot-no\"\n"),
            0);
  EXPECT_TRUE(gUpdateSucceeded);
  EXPECT_EQ(Snapshot(Target()), (Tree{{"flag", "f 0644 "},
                                      {"if-yes", "f 0644 yes"},
                                      {"ifnot-yes", "f 0644 yes"},
                                      {"new", "d 0755"},
                                      {"new/deep", "d 0755"},
                                      {"new/deep/tool", "f 0755 #!/bin/sh\n"},
                                      {"old.txt", "f 0600 replaced"}}));
  EXPECT_EQ(Scratch(), Lines{});

  Lines lines = log_.Lines();
  // Skipped actions and inactive test actions log nothing after parsing.
  for (const char* absent : {"PREPARE REMOVEFILE missing.txt", "PREPARE REMOVEDIR missing/",
                             "PREPARE ADD if-no", "PREPARE ADD ifnot-no", "FINISH ADD if-no"}) {
    EXPECT_FALSE(HasLine(lines, absent)) << absent;
  }
  for (const char* present :
       {"PREPARE REMOVEFILE gone.txt", "EXECUTE REMOVEFILE gone.txt", "FINISH REMOVEFILE gone.txt",
        "PREPARE REMOVEDIR empty/", "EXECUTE REMOVEDIR empty/", "FINISH REMOVEDIR empty/",
        "PREPARE ADD old.txt", "EXECUTE ADD old.txt", "FINISH ADD old.txt", "PREPARE ADD if-yes"}) {
    EXPECT_TRUE(HasLine(lines, present)) << present;
  }
}

TEST_F(FileActionsTest, FailedRunRestoresEverything) {
  Put("a", "old a", 0640);
  Put("b", "old b");
  Put("dir/c", "old c");
  AddEntry("a", "new a");
  AddEntry("fresh/file", "fresh");
  Tree before = Snapshot(Target());
  // The entry of the last add is missing: Execute fails after the others.
  EXPECT_EQ(Apply("add \"a\"\n"
                  "remove \"b\"\n"
                  "add \"fresh/file\"\n"
                  "remove \"dir/c\"\n"
                  "rmdir \"dir/\"\n"
                  "add \"not-in-archive\"\n"
                  "add \"never-executed\"\n"),
            6);
  EXPECT_FALSE(gUpdateSucceeded);
  EXPECT_EQ(Snapshot(Target()), before) << "directories made for new files go too";

  Lines lines = log_.Lines();
  EXPECT_TRUE(HasLine(lines, "### execution failed"));
  EXPECT_FALSE(HasLine(lines, "EXECUTE ADD never-executed"));
  EXPECT_FALSE(HasLine(lines, "FINISH REMOVEDIR dir/"));
  EXPECT_TRUE(HasLine(lines, "FINISH ADD never-executed"));
  EXPECT_TRUE(HasLine(lines, "backup_restore: backup file doesn't exist: never-executed.vlm-backup"));
}

TEST_F(FileActionsTest, AddThatStopsPartWayLeavesNoNewFile) {
  // The new file is created, then writing its data fails: the failed run
  // must not leave the cut file behind (it has no backup to restore).
  Put("keep", "keep");
  AddEntry("new/file", std::string(600000, 'x'));
  Tree before = Snapshot(Target());
  WriteArchive("add \"new/file\"\n");
  vlm_fault::FailPath("fwrite", "", ENOSPC);
  int rv = RunManifest();
  vlm_fault::Reset();
  EXPECT_NE(rv, 0);
  EXPECT_TRUE(vlm_fault::Fired());
  EXPECT_FALSE(Exists(Target("new/file")));
  EXPECT_EQ(vlm_test::WithoutNewDirectories(before, Snapshot(Target())), before);
}

TEST_F(FileActionsTest, PrepareFailuresChangeNothing) {
  Put("dir/f", "f");
  Put("file", "x");
  ASSERT_EQ(mkdir(Target("linked-dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink("linked-dir", Target("dirlink").c_str()), 0);
  struct Case {
    int line;
    const char* manifest;
    int result;
    const char* log;
  } cases[] = {
      {__LINE__, "remove \"dir\"\n", 47, "path present, but not a file: %T/dir"},
      {__LINE__, "remove \"dirlink\"\n", 47, "path present, but not a file: %T/dirlink"},
      {__LINE__, "rmdir \"file/\"\n", 46, "path present, but not a directory: file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Tree before = Snapshot(Target());
    LogCapture log;
    std::string manifest = std::string("add \"file\"\n") + c.manifest + "add \"file\"\n";
    EXPECT_EQ(Apply(manifest.c_str()), c.result);
    EXPECT_EQ(Snapshot(Target()), before);
    std::string expected = c.log;
    if (expected.find("%T") == 0) {
      expected.replace(0, 2, Target());
    } else if (size_t at = expected.find("%T"); at != std::string::npos) {
      expected.replace(at, 2, Target());
    }
    Lines lines = log.Lines();
    EXPECT_TRUE(HasLine(lines, expected)) << expected;
    for (const std::string& line : lines) {
      EXPECT_NE(line.rfind("EXECUTE", 0), 0u) << line;
      EXPECT_NE(line.rfind("FINISH", 0), 0u) << line;
    }
  }
}

TEST_F(FileActionsTest, RemoveOfDanglingLinkIsSkipped) {
  ASSERT_EQ(symlink("nowhere", Target("dangling").c_str()), 0);
  Put("other", "o");
  EXPECT_EQ(Apply("remove \"dangling\"\nremove \"other\"\n"), 0);
  EXPECT_EQ(LinkTarget(Target("dangling")), "nowhere");
  EXPECT_FALSE(Exists(Target("other")));
}

TEST_F(FileActionsTest, RmdirOfNonEmptyDirectoryIsNotFatal) {
  Put("dir/keep", "k");
  EXPECT_EQ(Apply("rmdir \"dir/\"\n"), 0);
  EXPECT_TRUE(gUpdateSucceeded);
  EXPECT_EQ(ReadFile(Target("dir/keep")), "k");
  EXPECT_TRUE(HasLine(log_.Lines(),
                      "non-fatal error removing directory: dir/, rv: -1, err: 39"));
}

TEST_F(FileActionsTest, StagedUpdateNeverMakesBackups) {
  gStagedUpdate = true;
  Put("a", "old a");
  Put("b", "old b");
  AddEntry("a", "new a");
  // Any rename to a backup name would fail and be seen.
  vlm_fault::FailPath("rename", ".vlm-backup", EIO);
  EXPECT_EQ(Apply("add \"a\"\nremove \"b\"\n"), 0);
  EXPECT_FALSE(vlm_fault::Fired());
  Tree tree = Snapshot(Target());
  tree.erase("updating");  // the scratch directory, removed by the update run
  EXPECT_EQ(tree, (Tree{{"a", "f 0644 new a"}}));
  EXPECT_EQ(Snapshot(install_), Tree{}) << "the installation itself is not touched";
}

TEST_F(FileActionsTest, ParseErrors) {
  struct Case {
    int line;
    const char* manifest;
    const char* log;
  } cases[] = {
      {__LINE__, "remove \"/etc/passwd\"\n", "get_valid_path: path must be relative: /etc/passwd"},
      {__LINE__, "add \"a/../b\"\n", "get_valid_path: paths must not contain '..': a/../b"},
      {__LINE__, "rmdir \"dir\"\n",
       "get_valid_path: directory paths must have a trailing forward slash: dir"},
      {__LINE__, "remove\n", "get_valid_path: unable to determine path: "},
      {__LINE__, "add \"\"\n", "get_valid_path: unable to determine path: \"\""},
      {__LINE__, "add-if \"/abs\" \"f\"\n", "get_valid_path: path must be relative: /abs"},
      {__LINE__, "add-if \"t/..\" \"f\"\n", "get_valid_path: paths must not contain '..': t/.."},
      {__LINE__, "add-if \"t\"\"f\"\n", "get_valid_path: unable to determine path: "},
      {__LINE__, "add-if-not \"t\"\n", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    std::string manifest = std::string("add \"x\"\n") + c.manifest;
    EXPECT_EQ(Apply(manifest.c_str()), 5);
    Lines lines = log.Lines();
    if (c.log) {
      EXPECT_EQ(lines.back(), c.log);
    }
    EXPECT_FALSE(HasLine(lines, "PREPARE ADD x"));
  }
}

// Prepare's permission checks, seen by an unprivileged user.
TEST_F(FileActionsTest, PermissionChecksInPrepare) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to switch to an unprivileged user";
  }
  Put("locked/file", "f");
  Put("locked/sub/x", "x");
  ASSERT_EQ(chmod(Target("locked").c_str(), 0555), 0);
  for (const std::string& dir : {root_.path(), install_}) {
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  }
  ASSERT_EQ(chmod(Target("locked/sub").c_str(), 0555), 0);
  struct Case {
    int line;
    UpdateAction* action;
    const char* arguments;
    int result;
  } cases[] = {
      {__LINE__, new RemoveAction(), "\"locked/file\"", 67},
      {__LINE__, new RmdirAction(), "\"locked/sub/\"", 68},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string arguments = c.arguments;
    ASSERT_EQ(c.action->Parse(arguments.data()), 0);
    pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) {
        _exit(99);
      }
      _exit(c.action->Prepare());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.result);
    delete c.action;
  }
}

}  // namespace
