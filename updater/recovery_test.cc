// An update ended on the spot at every point (as by kill -9 or a power loss),
// then run again: the next run must leave the installation byte-exact new
// when it succeeds and byte-exact old when it fails, with no backup and no
// record left. The recovery itself is also ended at every point. Each run is
// the real worker in a forked child, so that ending it ends only the child.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "updater/actions/update_fixture.h"
#include "updater/state.h"
#include "updater/testing/fault.h"
#include "updater/update_record.h"
#include "updater/update_worker.h"

namespace {

using vlm_fault::Crash;
using vlm_test::Binary;
using vlm_test::MakePatch;
using vlm_test::ReadFile;
using vlm_test::Snapshot;
using vlm_test::Tree;

// How a child run ended.
struct Outcome {
  bool ended_early;  // by the injected crash
  bool succeeded;
};

class RecoveryTest : public vlm_test::UpdateTest {
 protected:
  void MakeOriginalTree() {
    vlm_test::TempDir::RemoveTree(install_);
    mkdir(install_.c_str(), 0755);
    vlm_test::TempDir::RemoveTree(work_);
    mkdir(work_.c_str(), 0755);
    unlink((patch_dir_ + "/update.status").c_str());
    Put("a.txt", "alpha");
    Put("bin/tool", tool_old_, 0755);
    Put("lib/ro.dat", "read-only data", 0444);
    Put("shape", "a file that becomes a directory");
    Put("tree/x", "x");
    Put("tree/sub/y", "y", 0600);
    Put("old/z", "z");
    Put("keep/me", "unchanged");
    ASSERT_EQ(symlink("a.txt", Target("link").c_str()), 0);
  }

  // adds, a patch, removes, a file that becomes a directory, an rmrfdir and
  // an rmdir.
  void MakeUpdate() {
    AddEntry("a.txt", "ALPHA, second edition", 0600);
    AddEntry("tool.patch", MakePatch(tool_old_, tool_new_));
    AddEntry("shape/inner", "now inside a directory");
    AddEntry("new/dir/file", std::string(100000, 'n'), 0755);
    WriteArchive("add \"a.txt\"\n"
                 "patch \"tool.patch\" \"bin/tool\"\n"
                 "remove \"lib/ro.dat\"\n"
                 "remove \"shape\"\n"
                 "add \"shape/inner\"\n"
                 "rmrfdir \"tree/\"\n"
                 "remove \"old/z\"\n"
                 "rmdir \"old/\"\n"
                 "add \"new/dir/file\"\n");
  }

  Tree Expected(const Tree& original) const {
    Tree expected = original;
    expected["a.txt"] = "f 0600 ALPHA, second edition";
    expected["bin/tool"] = "f 0755 " + tool_new_;
    expected.erase("lib/ro.dat");
    expected["shape"] = "d 0755";
    expected["shape/inner"] = "f 0644 now inside a directory";
    for (const char* gone : {"tree", "tree/x", "tree/sub", "tree/sub/y", "old", "old/z"}) {
      expected.erase(gone);
    }
    expected["new"] = "d 0755";
    expected["new/dir"] = "d 0755";
    expected["new/dir/file"] = "f 0755 " + std::string(100000, 'n');
    return expected;
  }

  // One run of the worker in a child: ended at wrapped call `crash_at` (0:
  // never), and with `fail_path` set, every open of a path containing it
  // fails (the add of new/dir/file, the last action, then fails).
  Outcome RunChild(long crash_at, Crash how = Crash::kExit, const char* fail_path = nullptr) {
    pid_t child = fork();
    if (child == 0) {
      gUpdateSucceeded = false;
      if (fail_path) {
        vlm_fault::FailPath("open", fail_path, EACCES);
      }
      if (crash_at > 0) {
        vlm_fault::CrashNth(crash_at, how);
      }
      UpdateWorker();
      _exit(gUpdateSucceeded ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    Outcome outcome;
    outcome.ended_early = (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
                          (WIFEXITED(status) && WEXITSTATUS(status) == vlm_fault::kCrashExitStatus);
    outcome.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return outcome;
  }

  std::string Status() const { return ReadFile(patch_dir_ + "/update.status"); }
  bool Committed() const {
    return ReadFile(install_ + "/" + kRecordName).find("state committed") != std::string::npos;
  }

  std::string tool_old_ = Binary(20000, 1);
  std::string tool_new_ = Binary(19000, 1) + Binary(3000, 2);
};

TEST_F(RecoveryTest, EveryInterruptionIsRepairedByTheNextRun) {
  MakeOriginalTree();
  const Tree original = Snapshot(install_);
  const Tree expected = Expected(original);
  MakeUpdate();

  long points = 0;
  for (long n = 1;; ++n) {
    SCOPED_TRACE("run ended at wrapped call " + std::to_string(n));
    MakeOriginalTree();
    Outcome first = RunChild(n, n % 2 ? Crash::kExit : Crash::kKill);
    if (!first.ended_early) {
      ASSERT_TRUE(first.succeeded);
      ASSERT_TRUE(Snapshot(install_) == expected);
      break;
    }
    ++points;
    if (Status() == "succeeded\n") {
      // Only the last steps remained; the engine does not start it again.
      // A committed record may be left, which the next update removes.
      Tree after = Snapshot(install_);
      if (after.erase(kRecordName)) {
        EXPECT_TRUE(Committed());
      }
      EXPECT_TRUE(after == expected);
      continue;
    }
    Outcome second = RunChild(0);
    EXPECT_TRUE(second.succeeded);
    EXPECT_EQ(Status(), "succeeded\n");
    EXPECT_TRUE(Snapshot(install_) == expected) << "the next run did not repair the installation";
  }
  EXPECT_GT(points, 50);
  RecordProperty("interruption_points", static_cast<int>(points));
}

TEST_F(RecoveryTest, ARunThatFailsAfterAnInterruptionLeavesTheOldTree) {
  MakeOriginalTree();
  const Tree original = Snapshot(install_);
  const Tree expected = Expected(original);
  MakeUpdate();

  for (long n = 1;; ++n) {
    SCOPED_TRACE("run ended at wrapped call " + std::to_string(n));
    MakeOriginalTree();
    Outcome first = RunChild(n);
    if (!first.ended_early) {
      break;
    }
    if (Status() == "succeeded\n") {
      continue;
    }
    // A run that had committed is completed (its archive is the one asked
    // for again); any other is undone, and the new run then fails.
    const bool committed = Committed();
    Outcome second = RunChild(0, Crash::kExit, "new/dir/file");
    EXPECT_EQ(second.succeeded, committed);
    EXPECT_TRUE(Snapshot(install_) == (committed ? expected : original));
  }
}

TEST_F(RecoveryTest, AnInterruptedRecoveryIsRepairedToo) {
  MakeOriginalTree();
  const Tree original = Snapshot(install_);
  const Tree expected = Expected(original);
  MakeUpdate();

  // Every 5th point of the first run that leaves a record, then every point
  // of the second run until its recovery is done.
  int recoveries = 0;
  int recovery_runs = 0;
  for (long n = 1;; n += 5) {
    MakeOriginalTree();
    if (!RunChild(n).ended_early) {
      break;
    }
    if (ReadFile(install_ + "/" + kRecordName).empty() || Status() == "succeeded\n") {
      continue;  // nothing to recover
    }
    ++recoveries;
    for (long m = 1;; ++m) {
      SCOPED_TRACE("first run ended at " + std::to_string(n) + ", second at " +
                   std::to_string(m));
      if (m > 1) {
        MakeOriginalTree();
        ASSERT_TRUE(RunChild(n).ended_early);
      }
      // The record carries its run's id: it changes when the repair is done
      // and the second run has written its own.
      const std::string record = ReadFile(install_ + "/" + kRecordName);
      Outcome second = RunChild(m, m % 2 ? Crash::kKill : Crash::kExit);
      ++recovery_runs;
      const bool recovered = ReadFile(install_ + "/" + kRecordName) != record;
      if (second.ended_early && Status() != "succeeded\n") {
        Outcome third = RunChild(0);
        EXPECT_TRUE(third.succeeded);
        EXPECT_TRUE(Snapshot(install_) == expected);
      }
      if (!second.ended_early || recovered) {
        break;
      }
    }
  }
  EXPECT_GT(recoveries, 5);
  RecordProperty("interrupted_recoveries", recoveries);
  RecordProperty("recovery_runs", recovery_runs);
}

TEST_F(RecoveryTest, ARecordOfAnotherInstallationIsDropped) {
  MakeOriginalTree();
  MakeUpdate();
  const Tree original = Snapshot(install_);
  // A record from another directory (a copy of an installation carries it).
  ASSERT_TRUE(vlm_test::WriteFile(install_ + "/" + kRecordName,
                                  "vlm-update-record 1\ninstall 1 2\nrun 0\narchive 0 0\n"
                                  "state uncommitted\nF 0 - 5 a.txt\nend\n"));
  Outcome run = RunChild(0);
  EXPECT_TRUE(run.succeeded);
  EXPECT_TRUE(Snapshot(install_) == Expected(original));
}

TEST_F(RecoveryTest, AMalformedRecordStopsTheRunWithoutChanges) {
  MakeOriginalTree();
  MakeUpdate();
  for (const char* text : {"garbage", "vlm-update-record 1\ninstall 1 2\n",
                           "vlm-update-record 1\ninstall 1 2\nrun 0\narchive 0 0\nstate x\nend\n"}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(vlm_test::WriteFile(install_ + "/" + kRecordName, text));
    const Tree before = Snapshot(install_);
    Outcome run = RunChild(0);
    EXPECT_FALSE(run.succeeded);
    EXPECT_EQ(Status(), "failed: 93\n");
    EXPECT_TRUE(Snapshot(install_) == before);
  }
}

}  // namespace
