// A failure injected at every point of a mixed update, one run per point:
// every failed run must leave the installation exactly as it was, and the
// run that meets no failure must produce the new tree.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "updater/actions/update_fixture.h"
#include "updater/testing/fault.h"

namespace {

using vlm_test::Binary;
using vlm_test::MakePatch;
using vlm_test::Snapshot;
using vlm_test::TempDir;
using vlm_test::Tree;

class RollbackTest : public vlm_test::UpdateTest {
 protected:
  void MakeOriginalTree() {
    TempDir::RemoveTree(install_);
    mkdir(install_.c_str(), 0755);
    TempDir::RemoveTree(work_);
    mkdir(work_.c_str(), 0755);
    Put("a.txt", "alpha");
    Put("bin/tool", tool_old_, 0755);
    Put("lib/ro.dat", "read-only data", 0444);
    Put("old/x", "x");
    Put("old/y", "y");
    Put("cond/flag", "");
    Put("cond/p.txt", "patch me if flagged");
    Put("docs/readme", "unchanged");
    ASSERT_EQ(symlink("a.txt", Target("link").c_str()), 0);
  }

  std::string tool_old_ = Binary(20000, 1);
  std::string tool_new_ = Binary(19000, 1) + Binary(3000, 2);
};

TEST_F(RollbackTest, EveryFailurePointRestoresTheInstallation) {
  MakeOriginalTree();
  const Tree original = Snapshot(install_);
  AddEntry("a.txt", "ALPHA, second edition", 0600);
  AddEntry("tool.patch", MakePatch(tool_old_, tool_new_));
  AddEntry("p.patch", MakePatch("patch me if flagged", "patched because flagged"));
  AddEntry("cond/added", "added because flagged");
  AddEntry("new/dir/file", std::string(300000, 'n'), 0755);  // spans several writes
  AddEntry("never", "never added");
  WriteArchive("add \"a.txt\"\n"
               "patch \"tool.patch\" \"bin/tool\"\n"
               "remove \"lib/ro.dat\"\n"
               "remove \"old/x\"\n"
               "remove \"old/y\"\n"
               "rmdir \"old/\"\n"
               "add-if \"cond/flag\" \"cond/added\"\n"
               "patch-if \"cond/flag\" \"p.patch\" \"cond/p.txt\"\n"
               "add \"new/dir/file\"\n"
               "add-if-not \"cond/flag\" \"never\"\n");

  Tree expected = original;
  expected["a.txt"] = "f 0600 ALPHA, second edition";
  expected["bin/tool"] = "f 0755 " + tool_new_;
  expected.erase("lib/ro.dat");
  expected.erase("old/x");
  expected.erase("old/y");
  expected.erase("old");
  expected["cond/added"] = "f 0644 added because flagged";
  expected["cond/p.txt"] = "f 0644 patched because flagged";
  expected["new"] = "d 0755";
  expected["new/dir"] = "d 0755";
  expected["new/dir/file"] = "f 0755 " + std::string(300000, 'n');

  int failed_runs = 0;
  for (long n = 1;; ++n) {
    SCOPED_TRACE("failure injected at wrapped call " + std::to_string(n));
    MakeOriginalTree();
    ASSERT_EQ(gArchiveReader.Open(Archive().c_str()), 0);
    gUpdateSucceeded = false;
    vlm_fault::FailNth(n, n % 2 ? ENOSPC : EIO);
    int rv = ApplyManifest();
    bool fired = vlm_fault::Fired();
    vlm_fault::Reset();
    gArchiveReader.Close();

    Tree after = Snapshot(install_);
    if (!fired) {
      // Past the last call: the clean run.
      EXPECT_EQ(rv, 0);
      EXPECT_TRUE(gUpdateSucceeded);
      EXPECT_TRUE(after == expected);
      break;
    }
    if (rv == 0) {
      // The failure hit a step whose result does not count (a backup that
      // could not be deleted after success, a directory left non-empty, a
      // reservation, a committed record that the next run removes): the new
      // tree, plus at most such leftovers.
      for (auto it = after.begin(); it != after.end();) {
        bool leftover = (it->first.size() > 11 &&
                         it->first.compare(it->first.size() - 11, 11, ".vlm-backup") == 0) ||
                        it->first == ".vlm-update-record";
        it = leftover ? after.erase(it) : std::next(it);
      }
      Tree wanted = expected;
      if (after.count("old")) {  // the rmdir that failed is not fatal
        wanted["old"] = original.at("old");
      }
      EXPECT_TRUE(after == wanted) << "a failure that did not fail the run changed the result";
      continue;
    }
    ++failed_runs;
    EXPECT_FALSE(gUpdateSucceeded);
    Tree restored = vlm_test::WithoutNewDirectories(original, after);
    if (restored != original) {
      for (const auto& [name, value] : original) {
        if (!restored.count(name)) {
          ADD_FAILURE() << "missing after roll-back: " << name;
        } else if (restored.at(name) != value) {
          ADD_FAILURE() << "changed after roll-back: " << name;
        }
      }
      for (const auto& [name, value] : restored) {
        if (!original.count(name)) {
          ADD_FAILURE() << "left behind by roll-back: " << name;
        }
      }
    }
    ASSERT_LT(n, 2000) << "the run does not end";
  }
  EXPECT_GT(failed_runs, 20);
}

}  // namespace
