#include "updater/read_strings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class ReadStringsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/readstringsXXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { unlink(path_.c_str()); }

  void Write(const std::string& text) {
    FILE* file = fopen(path_.c_str(), "wb");
    ASSERT_TRUE(file);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
  }

  std::string path_;
};

TEST_F(ReadStringsTest, IniRules) {
  const std::string kLong(700, 'x');
  const struct {
    int line;
    std::string text;
    int result;
    std::string title;
    std::string info;
  } kCases[] = {
      {__LINE__, "[Strings]\nTitle=Software Update\nInfo=Please wait\n", 0, "Software Update",
       "Please wait"},
      {__LINE__, "[Strings]\r\nTitle=T\r\nInfo=I\r\n", 0, "T", "I"},  // CRLF line ends
      {__LINE__, "[Strings]\nTitle = T\nInfo=I\n", 5, "", "I"},  // the key is "Title "
      {__LINE__, "[Strings] x\nTitle=T\nInfo=I\n", 5, "", ""},  // trailing text: no section
      {__LINE__, "[Strings] \t\nTitle=T\nInfo=I\n", 0, "T", "I"},  // trailing blanks only
      {__LINE__, "[Strings]\nTitle=a=b\nInfo==\n", 0, "a=b", "="},  // split at the first '='
      {__LINE__, "[strings]\nTitle=T\nInfo=I\n", 5, "", ""},  // names are case-sensitive
      {__LINE__, "[Strings]\ntitle=T\nInfo=I\n", 5, "", "I"},  // keys are case-sensitive
      {__LINE__, "Title=T\nInfo=I\n[Strings]\n", 5, "", ""},  // outside the section
      {__LINE__, "[Strings]\nTitle=T\n[Other]\nInfo=I\n", 5, "T", ""},
      {__LINE__, "[Strings\nTitle=T\nInfo=I\n", 0, "T", "I"},  // no ']': name to line end
      {__LINE__, "# c\n; c\n  \t[Strings]\n\n\n  Title=T\n\tInfo=I", 0, "T", "I"},
      {__LINE__, "[Strings]\n#Title=X\n;Info=Y\nTitle=T\nInfo=I\n", 0, "T", "I"},
      {__LINE__, "[Strings]\n  #Title=X\nTitle=T\nInfo=I\n", 0, "T", "I"},  // key "#Title"
      {__LINE__, "[Strings]\nTitle\nInfo=I\n", 5, "", "I"},  // no '=' assigns nothing
      // Assignments are counted, not keys: Title twice passes with an empty Info.
      {__LINE__, "[Strings]\nTitle=A\nTitle=B\n", 0, "B", ""},
      {__LINE__, "[Strings]\nTitle=" + kLong + "\nInfo=I\n", 0, kLong.substr(0, 599), "I"},
      {__LINE__, "", 6, "", ""},  // empty counts as unreadable
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    Write(c.text);
    StringTable table;
    EXPECT_EQ(ReadStrings(path_.c_str(), &table), c.result);
    EXPECT_EQ(table.title, c.title);
    EXPECT_EQ(table.info, c.info);
  }
}

TEST_F(ReadStringsTest, MissingFile) {
  StringTable table;
  EXPECT_EQ(ReadStrings("/nonexistent/updater.ini", &table), 6);
}

}  // namespace
