#include "updater/actions/action.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "updater/state.h"
#include "updater/test_util.h"

namespace {

using vlm_test::LogCapture;

TEST(GetValidPathTest, Table) {
  const std::string long_path(1024, 'p');
  struct Case {
    int line;
    std::string text;
    bool is_dir;
    const char* path;  // null: rejected
    const char* rest;  // text left at the cursor (null: none)
    std::string log;
  } cases[] = {
      {__LINE__, "\"a/b c.txt\" tail", false, "a/b c.txt", " tail", ""},  // blank kept
      {__LINE__, "plain", false, "plain", nullptr, ""},                   // quotes optional
      {__LINE__, "\"\"\"x\"", false, "x", "", ""},                       // leading quotes skipped
      {__LINE__, "\"open", false, "open", nullptr, ""},                  // no closing quote
      {__LINE__, "\"dir/\"", true, "dir", "", ""},
      {__LINE__, "\"dir\"", true, nullptr, "",
       "get_valid_path: directory paths must have a trailing forward slash: dir"},
      {__LINE__, "\"/etc/passwd\"", false, nullptr, "",
       "get_valid_path: path must be relative: /etc/passwd"},
      {__LINE__, "\"a/../b\"", false, nullptr, "", "get_valid_path: paths must not contain '..': a/../b"},
      {__LINE__, "\"a/..\"", false, nullptr, "", "get_valid_path: paths must not contain '..': a/.."},
      {__LINE__, "\"\"", false, nullptr, nullptr, "get_valid_path: unable to determine path: \"\""},
      {__LINE__, "", false, nullptr, nullptr, "get_valid_path: unable to determine path: "},
      {__LINE__, "\"" + long_path.substr(1) + "\"", false, long_path.c_str() + 1, "", ""},
      {__LINE__, "\"" + long_path + "\"", false, nullptr, "",
       "get_valid_path: path is too long: " + long_path},
      {__LINE__, "\"" + long_path + "/\"", true, nullptr, "",
       "get_valid_path: path is too long: " + long_path},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    char* cursor = text.data();
    char* path = get_valid_path(&cursor, c.is_dir);
    if (c.path) {
      ASSERT_NE(path, nullptr);
      EXPECT_STREQ(path, c.path);
      EXPECT_GE(path, text.data());  // points into the text
      EXPECT_LT(path, text.data() + text.size());
    } else {
      EXPECT_EQ(path, nullptr);
    }
    if (c.rest) {
      ASSERT_NE(cursor, nullptr);
      EXPECT_STREQ(cursor, c.rest);
    } else {
      EXPECT_EQ(cursor, nullptr);
    }
    std::vector<std::string> expected;
    if (!c.log.empty()) {
      expected.push_back(c.log);
    }
    EXPECT_EQ(log.Lines(), expected);
  }
  // A null cursor (no argument text) is a missing path.
  LogCapture log;
  char* cursor = nullptr;
  EXPECT_EQ(get_valid_path(&cursor, false), nullptr);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"get_valid_path: unable to determine path: "});
}

TEST(QuotedValueTest, SeparatorBetweenTwoValues) {
  struct Case {
    int line;
    std::string text;
    int result;
    const char* second;  // value read after the separator
  } cases[] = {
      {__LINE__, "\"a\" \"b\"", 0, "b"},
      {__LINE__, "\"a\"\t\"b\"", 0, "b"},
      {__LINE__, "\"a\"  \"b\"", 0, "b"},
      {__LINE__, "\"a\"\"b\"", 0, nullptr},  // no separator: "b" is taken as one
      {__LINE__, "\"a\"", 5, nullptr},
      {__LINE__, "\"a\"\"\"", 5, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    char* cursor = text.data();
    ASSERT_STREQ(get_quoted_value(&cursor), "a");
    EXPECT_EQ(skip_separator(&cursor), c.result);
    if (c.result == 0) {
      char* second = get_quoted_value(&cursor);
      if (c.second) {
        EXPECT_STREQ(second, c.second);
      } else {
        EXPECT_EQ(second, nullptr);
      }
    }
  }
  char* none = nullptr;
  EXPECT_EQ(skip_separator(&none), 5);
}

TEST(JoinTargetPathTest, UsesTargetDirectoryOfTheMode) {
  snprintf(gInstallDir, sizeof(gInstallDir), "/opt/app");
  snprintf(gWorkingDir, sizeof(gWorkingDir), "/opt/app/updated");
  for (bool staged : {false, true}) {
    gStagedUpdate = staged;
    char* path = join_target_path("dir/file");
    EXPECT_STREQ(path, staged ? "/opt/app/updated/dir/file" : "/opt/app/dir/file");
    free(path);
  }
  gStagedUpdate = false;
}

}  // namespace
