#include "updater/actions/manifest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "updater/actions/action_list.h"
#include "updater/actions/update_fixture.h"

namespace {

using vlm_test::Exists;
using vlm_test::HasLine;
using vlm_test::LogCapture;
using vlm_test::Snapshot;
using vlm_test::Tree;
using vlm_test::WriteFile;
using Lines = std::vector<std::string>;

class ManifestTest : public vlm_test::UpdateTest {
 protected:
  LogCapture log_;
};

// Parses `text` and returns the actions' PREPARE lines, the result and the
// log; the list is prepared only when parsing succeeded.
struct Parsed {
  int result;
  int count;
  Lines log;
};

Parsed ParseAndPrepare(const std::string& text) {
  LogCapture log;
  std::string copy = text;
  ActionList list;
  Parsed parsed;
  parsed.result = ParseManifest(copy.data(), &list);
  parsed.count = list.count();
  if (parsed.result == 0) {
    parsed.result = list.Prepare();
  }
  parsed.log = log.Lines();
  return parsed;
}

TEST_F(ManifestTest, LineRules) {
  Put("a", "a");
  Put("b", "b");
  struct Case {
    int line;
    std::string text;
    int result;
    int count;
    Lines log;
  } cases[] = {
      {__LINE__, "remove \"a\"\nremove \"b\"\n", 0, 2,
       {"PREPARE REMOVEFILE a", "PREPARE REMOVEFILE b"}},
      {__LINE__, "remove \"a\"\r\n\r\nremove \"b\"\r\n", 0, 2,
       {"PREPARE REMOVEFILE a", "PREPARE REMOVEFILE b"}},
      {__LINE__, "remove \"a\"\rremove \"b\"", 0, 2,  // old Mac line ends, no final one
       {"PREPARE REMOVEFILE a", "PREPARE REMOVEFILE b"}},
      {__LINE__, "# comment\n#remove \"a\"\nremove \"b\"\n# trailing", 0, 1,
       {"PREPARE REMOVEFILE b"}},
      {__LINE__, "\t remove\t\"a\"\n", 0, 1, {"PREPARE REMOVEFILE a"}},
      {__LINE__, "remove \"a\"\n  \t\nremove \"b\"\n", 5, 1,
       {"DoUpdate: token not found in manifest"}},
      {__LINE__, "  # not a comment\n", 5, 0, {"DoUpdate: unknown token: #"}},
      {__LINE__, "delete \"a\"\n", 5, 0, {"DoUpdate: unknown token: delete"}},
      {__LINE__, "REMOVE \"a\"\n", 5, 0, {"DoUpdate: unknown token: REMOVE"}},
      {__LINE__, "type \"partial\"\nremove \"a\"\n", 0, 1,
       {"UPDATE TYPE partial", "PREPARE REMOVEFILE a"}},
      {__LINE__, "type\nremove \"a\"\n", 0, 1, {"UPDATE TYPE ", "PREPARE REMOVEFILE a"}},
      {__LINE__, "remove \"a\"\ntype \"partial\"\n", 5, 1, {"DoUpdate: unknown token: type"}},
      {__LINE__, "# c\ntype \"partial\"\ntype \"partial\"\n", 5, 0,
       {"UPDATE TYPE partial", "DoUpdate: unknown token: type"}},
      {__LINE__, "", 1, 0, {"empty action list"}},
      {__LINE__, "\n\r\n# only a comment\n", 1, 0, {"empty action list"}},
      {__LINE__, "rmrfdir \"missing/\"\n", 1, 0, {"empty action list"}},
      {__LINE__, "rmrfdir \"a\"\n", 5, 0, {}},
      {__LINE__, "rmrfdir\n", 5, 0, {}},
      {__LINE__, "remove \"a\"\nremove \"/b\"\n", 5, 1,
       {"get_valid_path: path must be relative: /b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Parsed parsed = ParseAndPrepare(c.text);
    EXPECT_EQ(parsed.result, c.result);
    EXPECT_EQ(parsed.count, c.count);
    EXPECT_EQ(parsed.log, c.log);
  }
}

TEST_F(ManifestTest, CompleteUpdateAddsPrecompleteRemovalsFirst) {
  Put("a", "a");
  Put("b", "b");
  Put("d/c", "c");
  ASSERT_TRUE(WriteFile(Target("precomplete"),
                        "remove \"a\"\r\n# comment\nremove-cc \"ignored\"\nremove \"d/c\"\n"
                        "rmdir \"d/\"\n"));
  Parsed parsed = ParseAndPrepare("type \"complete\"\nremove \"b\"\n");
  EXPECT_EQ(parsed.result, 0);
  EXPECT_EQ(parsed.log, (Lines{"UPDATE TYPE complete", "PREPARE REMOVEFILE a",
                               "PREPARE REMOVEFILE d/c", "PREPARE REMOVEDIR d/",
                               "PREPARE REMOVEFILE b"}));

  // Two blanks before the value: the value is the second blank.
  parsed = ParseAndPrepare("type  \"complete\"\nremove \"b\"\n");
  EXPECT_EQ(parsed.log, (Lines{"UPDATE TYPE  ", "PREPARE REMOVEFILE b"}));

  struct Case {
    int line;
    const char* precomplete;
    int result;
    const char* log;
  } cases[] = {
      {__LINE__, "remove \"a\"\n \n", 5, "AddPreCompleteActions: token not found in manifest"},
      {__LINE__, "add \"a\"\n", 5, "AddPreCompleteActions: unknown token: add"},
      {__LINE__, "remove \"../a\"\n", 5, "get_valid_path: paths must not contain '..': ../a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(WriteFile(Target("precomplete"), c.precomplete));
    parsed = ParseAndPrepare("type \"complete\"\n");
    EXPECT_EQ(parsed.result, c.result);
    EXPECT_EQ(parsed.log.back(), c.log);
  }
}

TEST_F(ManifestTest, CompleteUpdateWithoutPrecomplete) {
  EXPECT_EQ(Apply("type \"complete\"\n"), 1);
  EXPECT_EQ(log_.Lines(),
            (Lines{"UPDATE TYPE complete",
                   "GetManifestContents: error opening manifest file: " + Target("precomplete"),
                   "AddPreCompleteActions: error getting contents of precomplete manifest",
                   "empty action list"}));
}

TEST_F(ManifestTest, CompleteUpdateRuns) {
  Put("a", "a");
  Put("b", "b");
  Put("keep", "k");
  ASSERT_TRUE(WriteFile(Target("precomplete"), "remove \"a\"\nremove \"b\"\n"));
  EXPECT_EQ(Apply("type \"complete\"\n"), 0);
  EXPECT_EQ(Snapshot(Target()), (Tree{{"keep", "f 0644 k"}, {"precomplete", "f 0644 remove \"a\"\nremove \"b\"\n"}}));
}

TEST_F(ManifestTest, FailedCompleteUpdateKeepsFilesItRemovedAndAddedAgain) {
  // precomplete removes "a" and the update adds it again; a later failure
  // rolls the removal back first, and the add must then leave the restored
  // original alone.
  Put("a", "old a", 0640);
  Put("b", "old b");
  ASSERT_TRUE(WriteFile(Target("precomplete"), "remove \"a\"\nremove \"b\"\n"));
  AddEntry("a", "new a");
  AddEntry("b", "new b");
  Tree before = Snapshot(Target());
  EXPECT_EQ(Apply("type \"complete\"\nadd \"a\"\nadd \"b\"\nadd \"not-in-archive\"\n"), 6);
  EXPECT_EQ(vlm_test::WithoutNewDirectories(before, Snapshot(Target())), before);
}

TEST_F(ManifestTest, RmrfdirRemovesBottomUp) {
  Put("tree/a", "a");
  Put("tree/sub/b", "b");
  Put("tree/sub/deeper/c", "c");
  ASSERT_EQ(mkdir(Target("tree/empty").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../../keep", Target("tree/sub/link").c_str()), 0);
  Put("keep", "k");
  EXPECT_EQ(Apply("rmrfdir \"tree/\"\nrmrfdir \"missing/\"\n"), 0);
  EXPECT_EQ(Snapshot(Target()), (Tree{{"keep", "f 0644 k"}}));

  // The order: every entry before its directory, the root last.
  Lines prepared;
  for (const std::string& line : log_.Lines()) {
    if (line.rfind("PREPARE ", 0) == 0) {
      prepared.push_back(line.substr(line.find(' ', 8) + 1));
    }
  }
  ASSERT_EQ(prepared.size(), 8u);
  EXPECT_EQ(prepared.back(), "tree/");
  auto position = [&](const std::string& name) {
    return std::find(prepared.begin(), prepared.end(), name) - prepared.begin();
  };
  EXPECT_LT(position("tree/sub/deeper/c"), position("tree/sub/deeper/"));
  EXPECT_LT(position("tree/sub/deeper/"), position("tree/sub/"));
  EXPECT_LT(position("tree/sub/b"), position("tree/sub/"));
  EXPECT_LT(position("tree/a"), position("tree/"));
  EXPECT_LT(position("tree/sub/link"), position("tree/sub/"));
  EXPECT_LT(position("tree/empty/"), position("tree/"));
}

TEST_F(ManifestTest, ManifestEntries) {
  Put("a", "a");
  // Only the older name: used as the fallback.
  WriteArchive("remove \"a\"\n", "updatev2.manifest");
  EXPECT_EQ(RunManifest(), 0);
  EXPECT_FALSE(Exists(Target("a")));
  EXPECT_FALSE(Exists(work_ + "/updating/update.manifest"));

  // Both: the newer one wins.
  Put("a", "a");
  Put("b", "b");
  entries_.push_back({"updatev2.manifest", "remove \"b\"\n", 0644});
  WriteArchive("remove \"a\"\n");
  EXPECT_EQ(RunManifest(), 0);
  EXPECT_FALSE(Exists(Target("a")));
  EXPECT_TRUE(Exists(Target("b")));

  // Neither.
  entries_.clear();
  AddEntry("other", "x");
  LogCapture log;
  WriteArchive(nullptr);
  EXPECT_EQ(RunManifest(), 6);
  EXPECT_TRUE(HasLine(log.Lines(), "DoUpdate: error extracting manifest file"));
}

}  // namespace
