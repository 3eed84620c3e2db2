#include "updater/actions/patch_actions.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "updater/actions/action_list.h"
#include "updater/actions/update_fixture.h"
#include "updater/formats/patch.h"
#include "updater/testing/fault.h"

namespace {

using vlm_test::HasLine;
using vlm_test::LogCapture;
using vlm_test::MakePatch;
using vlm_test::ModeOf;
using vlm_test::ReadFile;
using vlm_test::Snapshot;
using vlm_test::Tree;
using Lines = std::vector<std::string>;

// Deterministic "binary" content with some structure.
std::string Blob(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<char>((i % 64 < 48) ? (i / 64) & 0xff : (x >> 24));
  }
  return data;
}

void SetBigEndian(std::string* data, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    (*data)[offset + i] = static_cast<char>(value >> (24 - 8 * i));
  }
}

class PatchActionsTest : public vlm_test::UpdateTest {
 protected:
  void SetUp() override {
    UpdateTest::SetUp();
    old_ = Blob(50000, 1);
    new_ = old_;
    new_.replace(1000, 300, Blob(300, 7));
    new_ += "tail added by the new version";
  }
  void TearDown() override {
    vlm_fault::Reset();
    UpdateTest::TearDown();
  }
  std::string old_, new_;
  LogCapture log_;
};

TEST_F(PatchActionsTest, PatchKeepsModeAndCleansUp) {
  Put("bin/tool", old_, 0751);
  Put("lib/data", "", 0600);  // an empty source: length 0, checksum 0
  Put("flag", "");
  Put("cond", "abc");
  AddEntry("tool.patch", MakePatch(old_, new_));
  AddEntry("empty.patch", MakePatch("", "now filled"));
  AddEntry("cond.patch", MakePatch("abc", "abcd"));
  EXPECT_EQ(Apply("patch \"tool.patch\" \"bin/tool\"\n"
                  "patch-if \"noflag\" \"cond.patch\" \"cond\"\n"
                  "patch-if \"flag\" \"cond.patch\" \"cond\"\n"
                  "patch \"empty.patch\" \"lib/data\"\n"),
            0);
  EXPECT_EQ(ReadFile(Target("bin/tool")), new_);
  EXPECT_EQ(ModeOf(Target("bin/tool")), 0751);
  EXPECT_EQ(ReadFile(Target("lib/data")), "now filled");
  EXPECT_EQ(ModeOf(Target("lib/data")), 0600);
  EXPECT_EQ(ReadFile(Target("cond")), "abcd");
  EXPECT_EQ(Scratch(), Lines{}) << "no temporary patch files left";
  Tree tree = Snapshot(Target());
  for (const auto& [name, value] : tree) {
    EXPECT_EQ(name.find(".vlm-backup"), std::string::npos) << name;
  }
  Lines lines = log_.Lines();
  for (const char* line : {"PREPARE PATCH bin/tool", "EXECUTE PATCH bin/tool",
                           "FINISH PATCH bin/tool", "PREPARE PATCH cond"}) {
    EXPECT_TRUE(HasLine(lines, line)) << line;
  }
}

TEST_F(PatchActionsTest, PatchFilesAreNumberedInPrepareOrder) {
  Put("a", "a");
  Put("b", "b");
  Put("flag", "");
  AddEntry("p", MakePatch("a", "A"));
  AddEntry("q", MakePatch("b", "B"));
  WriteArchive(nullptr);
  ASSERT_EQ(gArchiveReader.Open(Archive().c_str()), 0);
  mkdir((work_ + "/updating").c_str(), 0755);
  std::string lines[] = {"\"p\" \"a\"", "\"flag-missing\" \"p\" \"a\"", "\"q\" \"b\""};
  ActionList list;
  list.Append(new PatchAction());
  list.Append(new PatchIfAction());
  list.Append(new PatchAction());
  UpdateAction* action = list.first();
  for (std::string& line : lines) {
    ASSERT_EQ(action->Parse(line.data()), 0);
    action = action->next;
  }
  ASSERT_EQ(list.Prepare(), 0);
  // Two consecutive numbers: the inactive patch-if took none. (The counter
  // belongs to the process, so earlier tests moved it on.)
  Lines scratch = Scratch();
  ASSERT_EQ(scratch.size(), 2u);
  int first = std::stoi(scratch[0]);
  int second = std::stoi(scratch[1]);
  EXPECT_EQ(std::min(first, second) + 1, std::max(first, second));
  EXPECT_EQ(scratch[0], std::to_string(first) + ".patch");
  ASSERT_EQ(list.Execute(), 0);
  list.Finish(0);
  EXPECT_EQ(Scratch(), Lines{});
  EXPECT_EQ(ReadFile(Target("a")), "A");
  EXPECT_EQ(ReadFile(Target("b")), "B");
}

TEST_F(PatchActionsTest, SourceMismatchLeavesFileUntouched) {
  const std::string patch = MakePatch(old_, new_);
  std::string changed = old_;
  changed[100] ^= 1;
  // Checksums as the messages print them: signed decimal.
  auto crc_text = [](const std::string& data) {
    return std::to_string(static_cast<int>(
        crc32(reinterpret_cast<const unsigned char*>(data.data()), data.size())));
  };
  struct Case {
    int line;
    std::string installed;  // null-like: "<missing>"
    int result;
    std::string log;
  } cases[] = {
      {__LINE__, old_ + "x", 2,
       "LoadSourceFile: destination file size 50001 does not match expected size 50000"},
      {__LINE__, changed, 4,
       "LoadSourceFile: destination file crc " + crc_text(changed) +
           " does not match expected crc " + crc_text(old_)},
      {__LINE__, "<missing>", 6, "unable to open destination file: f, err: 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    entries_.clear();
    unlink(Target("f").c_str());
    if (c.installed != "<missing>") {
      Put("f", c.installed, 0640);
    }
    Put("other", "other");
    AddEntry("f.patch", patch);
    AddEntry("other", "new other");
    Tree before = Snapshot(Target());
    LogCapture log;
    EXPECT_EQ(Apply("add \"other\"\npatch \"f.patch\" \"f\"\n"), c.result);
    EXPECT_EQ(Snapshot(Target()), before);
    EXPECT_EQ(Scratch(), Lines{});
    Lines lines = log.Lines();
    EXPECT_TRUE(HasLine(lines, c.log)) << c.log;
    EXPECT_EQ(HasLine(lines, "LoadSourceFile failed"), c.result != 6);
  }
}

TEST_F(PatchActionsTest, BadPatchEntries) {
  Put("f", old_);
  std::string patch = MakePatch(old_, new_);
  std::string bad_tag = patch;
  bad_tag[0] = 'q';
  std::string long_file = patch + "x";
  // A triple that reaches past the source: the first add length.
  std::string bad_triple = patch;
  SetBigEndian(&bad_triple, 32, 0x7fffffff);
  struct Case {
    int line;
    const char* manifest;
    std::string entry;
    int result;
  } cases[] = {
      {__LINE__, "patch \"missing.patch\" \"f\"\n", "", 6},  // Prepare: not in the archive
      {__LINE__, "patch \"p\" \"f\"\n", bad_tag, 41},
      {__LINE__, "patch \"p\" \"f\"\n", long_file, 41},
      {__LINE__, "patch \"p\" \"f\"\n", bad_triple, 41},  // fails in ApplyPatch, rolled back
      {__LINE__, "patch \"p\" \"f\"\n", patch.substr(0, 20), 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    entries_.clear();
    AddEntry("p", c.entry.empty() ? "unused" : c.entry);
    Tree before = Snapshot(Target());
    EXPECT_EQ(Apply(c.manifest), c.result);
    EXPECT_EQ(Snapshot(Target()), before);
    EXPECT_EQ(Scratch(), Lines{});
  }
}

TEST_F(PatchActionsTest, OutputShorterThanNewLengthIsNotPadded) {
  // newLength only sizes the reservation; the file ends where the output
  // does.
  Put("f", old_);
  std::string patch = MakePatch(old_, new_);
  SetBigEndian(&patch, 16, static_cast<uint32_t>(new_.size() + 100000));
  AddEntry("p", patch);
  EXPECT_EQ(Apply("patch \"p\" \"f\"\n"), 0);
  EXPECT_EQ(ReadFile(Target("f")), new_);
}

TEST_F(PatchActionsTest, StagedPatchKeepsNoBackup) {
  gStagedUpdate = true;
  Put("f", old_, 0700);
  AddEntry("p", MakePatch(old_, new_));
  vlm_fault::FailPath("rename", ".vlm-backup", EIO);
  EXPECT_EQ(Apply("patch \"p\" \"f\"\n"), 0);
  EXPECT_FALSE(vlm_fault::Fired());
  Tree tree = Snapshot(Target());
  tree.erase("updating");  // the scratch directory, removed by the update run
  EXPECT_EQ(tree.size(), 1u);
  EXPECT_TRUE(ReadFile(Target("f")) == new_);
  EXPECT_EQ(ModeOf(Target("f")), 0700);
}

TEST_F(PatchActionsTest, ParseErrors) {
  const char* manifests[] = {
      "patch\n",
      "patch \"p\"\n",
      "patch \"p\" \n",        // separator but no path
      "patch \"p\"\"f\"\n",   // no separator
      "patch \"unterminated\n",
      "patch \"p\" \"/abs\"\n",
      "patch-if \"flag\" \"p\"\n",
      "patch-if \"flag\"\n",
      "patch-if \"../flag\" \"p\" \"f\"\n",
  };
  for (const char* manifest : manifests) {
    SCOPED_TRACE(manifest);
    EXPECT_EQ(Apply(manifest), 5);
    EXPECT_EQ(Scratch(), Lines{});
  }
}

}  // namespace
