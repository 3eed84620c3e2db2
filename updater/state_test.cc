#include "updater/state.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include "updater/test_util.h"
#include "updater/testing/fault.h"

namespace {

using vlm_test::ReadFile;
using vlm_test::TempDir;
using vlm_test::WriteFile;

void SetPatchDir(const std::string& path) {
  snprintf(gPatchDir, sizeof(gPatchDir), "%s", path.c_str());
}

TEST(StateTest, TargetDirFollowsStagedFlag) {
  snprintf(gInstallDir, sizeof(gInstallDir), "/inst");
  snprintf(gWorkingDir, sizeof(gWorkingDir), "/work");
  gStagedUpdate = false;
  EXPECT_STREQ(GetTargetDir(), "/inst");
  gStagedUpdate = true;
  EXPECT_STREQ(GetTargetDir(), "/work");
  gStagedUpdate = false;
}

TEST(StateTest, SetUpdateStatusWritesExactTexts) {
  TempDir dir;
  // The first write creates the missing patch directory and its ancestors.
  SetPatchDir(dir / "a/b/patch");
  const std::string status = dir / "a/b/patch/update.status";
  for (const char* text : {"applying", "failed: 75\n", "pending", "succeeded\n", "applied\n"}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(SetUpdateStatus(text));
    EXPECT_EQ(ReadFile(status), text) << "the whole file is replaced, no line end added";
  }
  EXPECT_EQ(ReadFile(status).size(), 8u);
}

TEST(StateTest, SetUpdateStatusReportsFailures) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "file", "x"));
  SetPatchDir(dir / "file/patch");  // ancestor is a file
  EXPECT_FALSE(SetUpdateStatus("applying"));

  ASSERT_EQ(mkdir((dir / "status-dir").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "status-dir/update.status").c_str(), 0755), 0);
  SetPatchDir(dir / "status-dir");  // the status path is a directory
  EXPECT_FALSE(SetUpdateStatus("applying"));

  SetPatchDir(dir.path());
  vlm_fault::FailPath("fwrite", "", ENOSPC);
  EXPECT_FALSE(SetUpdateStatus("applying"));
  vlm_fault::Reset();
  EXPECT_TRUE(SetUpdateStatus("applying"));
  EXPECT_EQ(ReadFile(dir / "update.status"), "applying");
}

}  // namespace
