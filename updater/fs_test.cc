#include "updater/fs.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "updater/test_util.h"
#include "updater/testing/fault.h"

namespace {

using vlm_test::Exists;
using vlm_test::LinkTarget;
using vlm_test::LogCapture;
using vlm_test::ModeOf;
using vlm_test::ReadFile;
using vlm_test::TempDir;
using vlm_test::WriteFile;
using Lines = std::vector<std::string>;

class FsTest : public testing::Test {
 protected:
  void SetUp() override { umask(022); }
  void TearDown() override { vlm_fault::Reset(); }

  TempDir dir_;
  LogCapture log_;
};

// Entry names of a directory in the order readdir returns them.
std::vector<std::string> DirOrder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  while (struct dirent* entry = dir ? readdir(dir) : nullptr) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  if (dir) {
    closedir(dir);
  }
  return names;
}

TEST_F(FsTest, EnsureRemove) {
  ASSERT_TRUE(WriteFile(dir_ / "ro", "x", 0444));
  EXPECT_EQ(ensure_remove((dir_ / "ro").c_str()), 0);
  EXPECT_FALSE(Exists(dir_ / "ro"));

  // A link is removed without touching the mode of its target.
  ASSERT_TRUE(WriteFile(dir_ / "outside", "x", 0444));
  ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_EQ(ensure_remove((dir_ / "link").c_str()), 0);
  EXPECT_FALSE(Exists(dir_ / "link"));
  EXPECT_EQ(ModeOf(dir_ / "outside"), 0444);

  EXPECT_EQ(ensure_remove((dir_ / "missing").c_str()), -1);
  ASSERT_EQ(mkdir((dir_ / "full").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(dir_ / "full/f", ""));
  EXPECT_EQ(ensure_remove((dir_ / "full").c_str()), -1);
  EXPECT_EQ(log_.Lines(),
            (Lines{"ensure_remove: failed to remove file: " + dir_ / "missing" + ", rv: -1, err: 2",
                   "ensure_remove: failed to remove file: " + dir_ / "full" + ", rv: -1, err: 39"}));
}

TEST_F(FsTest, EnsureRemoveRecursiveRemovesTreeButNeverFollowsLinks) {
  ASSERT_EQ(mkdir((dir_ / "outside").c_str(), 0555), 0);
  ASSERT_EQ(mkdir((dir_ / "t").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / "t/sub").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(dir_ / "t/sub/ro", "x", 0444));
  ASSERT_TRUE(WriteFile(dir_ / "t/a", "x"));
  ASSERT_EQ(chmod((dir_ / "t/sub").c_str(), 0555), 0);
  ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "t/dirlink").c_str()), 0);
  ASSERT_EQ(chmod((dir_ / "outside").c_str(), 0555), 0);
  ASSERT_TRUE(WriteFile(dir_ / "keep", "k"));
  ASSERT_EQ(symlink((dir_ / "keep").c_str(), (dir_ / "outside-link").c_str()), 0);

  EXPECT_EQ(ensure_remove_recursive((dir_ / "t").c_str()), 0);
  EXPECT_FALSE(Exists(dir_ / "t"));
  EXPECT_EQ(ModeOf(dir_ / "outside"), 0555);

  // A link to a directory given as the root is removed as a link.
  ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "rootlink").c_str()), 0);
  EXPECT_EQ(ensure_remove_recursive((dir_ / "rootlink").c_str()), 0);
  EXPECT_FALSE(Exists(dir_ / "rootlink"));
  EXPECT_TRUE(Exists(dir_ / "outside"));

  // A missing path fails without a message.
  EXPECT_EQ(ensure_remove_recursive((dir_ / "missing").c_str()), -1);
  EXPECT_EQ(log_.Lines(), Lines{});
}

TEST_F(FsTest, EnsureRemoveRecursiveUnopenableDirectoryCountsAsRemoved) {
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0755), 0);
  vlm_fault::FailPath("opendir", "/d", EACCES);
  EXPECT_EQ(ensure_remove_recursive((dir_ / "d").c_str()), 0);
  EXPECT_TRUE(Exists(dir_ / "d"));
  EXPECT_EQ(log_.Lines(), Lines{"ensure_remove_recursive: unable to open directory: " + dir_ / "d" +
                                ", rv: 0, err: 13"});
}

TEST_F(FsTest, EnsureRemoveRecursiveFailureOfOneEntry) {
  struct Case {
    int line;
    bool continue_on_error;
    bool fail_first;  // else the last entry in directory order fails
    int remaining;    // entries left besides the failing one
    bool rmdir_tried;
  } cases[] = {
      {__LINE__, false, true, 2, false},  // stops at the first failure
      {__LINE__, true, true, 0, true},    // goes on; last entry fine, so rmdir is tried
      {__LINE__, true, false, 0, false},  // last entry failed: no rmdir
      {__LINE__, false, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    std::string d = dir_ / ("d" + std::to_string(c.line));
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    for (const char* name : {"e1", "e2", "e3"}) {
      ASSERT_TRUE(WriteFile(d + "/" + name, "x"));
    }
    std::vector<std::string> order = DirOrder(d);
    std::string failing = c.fail_first ? order.front() : order.back();
    vlm_fault::FailPath("remove", ("/" + failing).c_str(), EIO);
    EXPECT_EQ(ensure_remove_recursive(d.c_str(), c.continue_on_error), -1);
    vlm_fault::Reset();
    EXPECT_EQ(static_cast<int>(DirOrder(d).size()), c.remaining + 1);
    Lines expected{"ensure_remove: failed to remove file: " + d + "/" + failing +
                   ", rv: -1, err: 5"};
    if (c.rmdir_tried) {
      expected.push_back("ensure_remove_recursive: unable to remove directory: " + d +
                         ", rv: -1, err: 39");
    }
    EXPECT_EQ(log.Lines(), expected);
  }
}

TEST_F(FsTest, EnsureParentDir) {
  std::string path = dir_ / "a/b/c/f";
  std::vector<char> buffer(path.begin(), path.end());
  buffer.push_back('\0');
  EXPECT_EQ(ensure_parent_dir(buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data()), path) << "argument restored";
  EXPECT_EQ(ModeOf(dir_ / "a"), 0755);
  EXPECT_EQ(ModeOf(dir_ / "a/b/c"), 0755);
  EXPECT_FALSE(Exists(dir_ / "a/b/c/f"));

  char no_slash[] = "plain";
  EXPECT_EQ(ensure_parent_dir(no_slash), 0);

  // A file where a directory belongs: mkdir of a/f reports "exists" and is
  // accepted, the next level fails.
  ASSERT_TRUE(WriteFile(dir_ / "a/f", ""));
  path = dir_ / "a/f/x/y";
  buffer.assign(path.begin(), path.end());
  buffer.push_back('\0');
  EXPECT_EQ(ensure_parent_dir(buffer.data()), 7);
  EXPECT_EQ(std::string(buffer.data()), path);
  EXPECT_EQ(log_.Lines(), Lines{"ensure_parent_dir: failed to create directory: " + dir_ / "a/f/x" +
                                ", err: 20"});
}

TEST_F(FsTest, RenameFile) {
  ASSERT_TRUE(WriteFile(dir_ / "src", "new"));
  ASSERT_TRUE(WriteFile(dir_ / "dst", "old"));
  EXPECT_EQ(rename_file((dir_ / "src").c_str(), (dir_ / "dst").c_str()), 0);
  EXPECT_EQ(ReadFile(dir_ / "dst"), "new");
  EXPECT_FALSE(Exists(dir_ / "src"));

  // The destination's ancestors are created.
  EXPECT_EQ(rename_file((dir_ / "dst").c_str(), (dir_ / "x/y/dst").c_str()), 0);
  EXPECT_EQ(ReadFile(dir_ / "x/y/dst"), "new");

  // Directories with either flag.
  EXPECT_EQ(rename_file((dir_ / "x").c_str(), (dir_ / "x2").c_str(), false), 0);
  EXPECT_EQ(rename_file((dir_ / "x2").c_str(), (dir_ / "x3").c_str(), true), 0);
  EXPECT_EQ(ReadFile(dir_ / "x3/y/dst"), "new");

  // A fifo: renamed with the flag clear, refused with it set.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(rename_file((dir_ / "fifo").c_str(), (dir_ / "fifo2").c_str(), true), 48);
  EXPECT_EQ(rename_file((dir_ / "fifo").c_str(), (dir_ / "fifo2").c_str(), false), 0);

  EXPECT_EQ(rename_file((dir_ / "missing").c_str(), (dir_ / "m2").c_str()), 6);

  // A non-empty directory in the way cannot be removed.
  ASSERT_TRUE(WriteFile(dir_ / "f", "f"));
  EXPECT_EQ(rename_file((dir_ / "f").c_str(), (dir_ / "x3").c_str()), 62);
  EXPECT_EQ(ReadFile(dir_ / "f"), "f");

  vlm_fault::FailPath("rename", "/f", EXDEV);
  EXPECT_EQ(rename_file((dir_ / "f").c_str(), (dir_ / "g").c_str()), 7);
  vlm_fault::Reset();

  const std::string proceeding = "rename_file: proceeding to rename the directory";
  EXPECT_EQ(log_.Lines(),
            (Lines{proceeding, proceeding,
                   // The current errno: EEXIST from creating the existing parent.
                   "rename_file: path present, but not a file: " + dir_ / "fifo" + ", err: 17",
                   proceeding,
                   "rename_file: failed to read file status info: " + dir_ / "missing" + ", err: 2",
                   "ensure_remove: failed to remove file: " + dir_ / "x3" + ", rv: -1, err: 39",
                   "rename_file: destination file exists and could not be removed: " + dir_ / "x3",
                   "rename_file: failed to rename file - src: " + dir_ / "f" + ", dst:" + dir_ / "g" +
                       ", err: 18"}));
}

TEST_F(FsTest, BackupCommitAndRollBack) {
  const std::string file = dir_ / "file";
  ASSERT_TRUE(WriteFile(file, "old", 0640));
  ASSERT_EQ(backup_create(file.c_str()), 0);
  EXPECT_FALSE(Exists(file));
  EXPECT_EQ(ReadFile(file + ".vlm-backup"), "old");

  // Roll back over a new file: the old one comes back with its mode.
  ASSERT_TRUE(WriteFile(file, "new", 0755));
  backup_conclude(file.c_str(), "file", 1);
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(ModeOf(file), 0640);
  EXPECT_FALSE(Exists(file + ".vlm-backup"));

  // Commit deletes the backup (a read-only one too) and keeps the file.
  ASSERT_EQ(backup_create(file.c_str()), 0);
  ASSERT_EQ(chmod((file + ".vlm-backup").c_str(), 0444), 0);
  ASSERT_TRUE(WriteFile(file, "new"));
  backup_conclude(file.c_str(), "file", 0);
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_FALSE(Exists(file + ".vlm-backup"));

  // A backup that is a dangling link is still a backup.
  ASSERT_EQ(symlink("nowhere", (file + ".vlm-backup").c_str()), 0);
  backup_conclude(file.c_str(), "file", 0);
  EXPECT_FALSE(Exists(file + ".vlm-backup"));

  // Without a backup: commit is silent, roll-back logs the relative name.
  backup_conclude(file.c_str(), "file", 0);
  backup_conclude(file.c_str(), "sub/file", 7);
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(log_.Lines(), Lines{"backup_restore: backup file doesn't exist: sub/file.vlm-backup"});
}

TEST_F(FsTest, OpenWithModeSetsModeOnlyForWritingModes) {
  struct Case {
    const char* mode;
    bool writes;
  } cases[] = {{"r", false},  {"rb", false},  {"rt", false}, {"r+", true},
               {"rb+", true}, {"r+b", true},  {"w", true},   {"wb", true},
               {"wb+", true}, {"a", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string path = dir_ / "f";
    ASSERT_TRUE(WriteFile(path, "x", 0600));
    FILE* stream = open_with_mode(path.c_str(), c.mode, S_IFREG | 0750);
    ASSERT_NE(stream, nullptr);
    fclose(stream);
    EXPECT_EQ(ModeOf(path), c.writes ? 0750 : 0600);
  }
  // Made owner-writable even for reading.
  ASSERT_TRUE(WriteFile(dir_ / "ro", "x", 0444));
  FILE* stream = open_with_mode((dir_ / "ro").c_str(), "rb", S_IFREG | 0444);
  ASSERT_NE(stream, nullptr);
  fclose(stream);
  EXPECT_EQ(ModeOf(dir_ / "ro"), 0644);

  // The whole st_mode is compared: bare permission bits do not match.
  EXPECT_EQ(open_with_mode((dir_ / "g").c_str(), "wb", 0644), nullptr);
  EXPECT_EQ(open_with_mode((dir_ / "missing").c_str(), "rb", S_IFREG | 0644), nullptr);
  EXPECT_EQ(open_with_mode((dir_ / "no/dir").c_str(), "wb", S_IFREG | 0644), nullptr);
  EXPECT_FALSE(Exists(dir_ / "no"));
}

TEST_F(FsTest, EnsureCopyRecursiveCopiesTreeWithModesAndLinks) {
  const std::string src = dir_ / "src";
  ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((src + "/sub").c_str(), 0750), 0);
  ASSERT_EQ(mkdir((src + "/Updated").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(src + "/Updated/f", "skipped"));
  ASSERT_EQ(mkdir((src + "/updates").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((src + "/updates/0").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(src + "/updates/1", "kept"));
  ASSERT_TRUE(WriteFile(src + "/exe", std::string(100000, 'e'), 0755));
  ASSERT_TRUE(WriteFile(src + "/sub/ro", "read-only", 0444));
  ASSERT_TRUE(WriteFile(src + "/sub/empty", "", 0600));
  ASSERT_EQ(symlink("sub/ro", (src + "/rel-link").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere/at/all", (src + "/dangling").c_str()), 0);

  char skip[2][1024];
  snprintf(skip[0], sizeof(skip[0]), "%s/updated", src.c_str());
  snprintf(skip[1], sizeof(skip[1]), "%s/updates/0", src.c_str());
  // The skipped directory is never opened.
  vlm_fault::FailPath("opendir", "pdated", EACCES);
  const std::string dst = dir_ / "dst";
  EXPECT_EQ(ensure_copy_recursive(src.c_str(), dst.c_str(), skip), 0);
  EXPECT_FALSE(vlm_fault::Fired());
  vlm_fault::Reset();

  EXPECT_FALSE(Exists(dst + "/Updated"));
  EXPECT_FALSE(Exists(dst + "/updates/0"));
  EXPECT_EQ(ReadFile(dst + "/updates/1"), "kept");
  EXPECT_EQ(ReadFile(dst + "/exe"), std::string(100000, 'e'));
  EXPECT_EQ(ModeOf(dst + "/exe"), 0755);
  EXPECT_EQ(ModeOf(dst + "/sub"), 0750);
  EXPECT_EQ(ReadFile(dst + "/sub/ro"), "read-only");
  EXPECT_EQ(ModeOf(dst + "/sub/ro"), 0444);
  EXPECT_EQ(ModeOf(src + "/sub/ro"), 0644) << "the source is made owner-writable";
  EXPECT_TRUE(Exists(dst + "/sub/empty"));
  EXPECT_EQ(ReadFile(dst + "/sub/empty"), "");
  EXPECT_EQ(ModeOf(dst + "/sub/empty"), 0600);
  EXPECT_EQ(LinkTarget(dst + "/rel-link"), "sub/ro");
  EXPECT_EQ(LinkTarget(dst + "/dangling"), "/nowhere/at/all");

  // Copying onto an existing tree reuses its directories and replaces files.
  ASSERT_TRUE(WriteFile(src + "/exe", "changed", 0700));
  ASSERT_EQ(unlink((dst + "/rel-link").c_str()), 0);
  ASSERT_EQ(unlink((dst + "/dangling").c_str()), 0);
  EXPECT_EQ(ensure_copy_recursive(src.c_str(), dst.c_str(), nullptr), 0);
  EXPECT_EQ(ReadFile(dst + "/exe"), "changed");
  EXPECT_EQ(ReadFile(dst + "/Updated/f"), "skipped");
  EXPECT_EQ(log_.Lines(), Lines{});
}

TEST_F(FsTest, CopyFailures) {
  ASSERT_TRUE(WriteFile(dir_ / "f", std::string(70000, 'f')));
  EXPECT_EQ(ensure_copy_recursive((dir_ / "missing").c_str(), (dir_ / "x").c_str(), nullptr), 6);
  EXPECT_EQ(ensure_copy((dir_ / "missing").c_str(), (dir_ / "x").c_str()), 6);
  EXPECT_EQ(ensure_copy((dir_ / "f").c_str(), (dir_ / "no/x").c_str()), 7);
  EXPECT_EQ(ensure_copy_recursive(dir_.path().c_str(), (dir_ / "no/x").c_str(), nullptr), 7);

  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  vlm_fault::FailPath("opendir", "/sub", EACCES);
  EXPECT_EQ(ensure_copy_recursive((dir_ / "sub").c_str(), (dir_ / "sub2").c_str(), nullptr), 6);
  vlm_fault::Reset();
  vlm_fault::FailPath("fwrite", "", ENOSPC);
  EXPECT_EQ(ensure_copy((dir_ / "f").c_str(), (dir_ / "g").c_str()), 61);
  vlm_fault::Reset();

  EXPECT_EQ(log_.Lines(),
            (Lines{"ensure_copy_recursive: path doesn't exist: " + dir_ / "missing" +
                       ", rv: -1, err: 2",
                   "ensure_copy: failed to read file status info: " + dir_ / "missing" + ", err: 2",
                   "ensure_copy: failed to open the file for writing: " + dir_ / "no/x" + ", err: 2",
                   "ensure_copy_recursive: could not create destination directory: " +
                       dir_ / "no/x" + ", rv: -1, err: 2",
                   "ensure_copy_recursive: path is not a directory: " + dir_ / "sub" +
                       ", rv: 0, err: 13",
                   "ensure_copy: failed to write the file: " + dir_ / "g" + ", err: 28"}));
}

TEST_F(FsTest, EnsureCopySymlinkRefusesTargetsThatDoNotFit) {
  // 1023 bytes fit the buffer; 1024 would be cut, so the copy is refused.
  const std::string fits(1023, 't');
  const std::string too_long(1024, 't');
  ASSERT_EQ(symlink(fits.c_str(), (dir_ / "fits").c_str()), 0);
  ASSERT_EQ(symlink(too_long.c_str(), (dir_ / "long").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink((dir_ / "fits").c_str(), (dir_ / "fits2").c_str()), 0);
  EXPECT_EQ(LinkTarget(dir_ / "fits2"), fits);
  EXPECT_EQ(ensure_copy_symlink((dir_ / "long").c_str(), (dir_ / "long2").c_str()), 6);
  EXPECT_FALSE(Exists(dir_ / "long2"));
  EXPECT_EQ(ensure_copy_symlink((dir_ / "fits").c_str(), (dir_ / "fits2").c_str()), 6);
  EXPECT_EQ(ensure_copy_symlink((dir_ / "none").c_str(), (dir_ / "none2").c_str()), 6);
  EXPECT_EQ(log_.Lines(),
            (Lines{"ensure_copy_symlink: failed to read the link: " + dir_ / "long" + ", err: 36",
                   "ensure_copy_symlink: failed to create the new link: " + dir_ / "fits2" +
                       ", target: " + fits + " err: 17",
                   "ensure_copy_symlink: failed to read the link: " + dir_ / "none" + ", err: 2"}));
}

}  // namespace
