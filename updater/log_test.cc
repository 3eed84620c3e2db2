#include "updater/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "updater/test_util.h"

namespace {

using vlm_test::Exists;
using vlm_test::ReadFile;
using vlm_test::TempDir;
using vlm_test::WriteFile;

UpdateLogger& Log() { return UpdateLogger::GetPrimaryLog(); }

TEST(UpdateLoggerTest, CollectsUntilFinishAndReplacesOldLog) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "update.log", "an older and much longer log text\n"));
  LOG("before init");  // dropped
  Log().Init(dir.path().c_str(), "update.log");
  LOG("first %d", 1);
  LOG("second: %s, err: %d", "x", 2);
  EXPECT_EQ(ReadFile(dir / "update.log"), "an older and much longer log text\n")
      << "nothing may reach the destination before Finish";
  Log().Finish();
  EXPECT_EQ(ReadFile(dir / "update.log"), "first 1\nsecond: x, err: 2\n");
  LOG("after finish");  // dropped
  Log().Finish();       // no effect without a stream
  EXPECT_EQ(ReadFile(dir / "update.log"), "first 1\nsecond: x, err: 2\n");
}

TEST(UpdateLoggerTest, CopiesManyBlocks) {
  TempDir dir;
  Log().Init(dir.path().c_str(), "update.log");
  std::string expected;
  for (int i = 0; i < 500; ++i) {
    LOG("line %04d %s", i, std::string(i % 37, 'x').c_str());
    expected += "line " + std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) +
                " " + std::string(i % 37, 'x') + "\n";
  }
  Log().Finish();
  EXPECT_GT(expected.size(), 3u * 1024);
  EXPECT_EQ(ReadFile(dir / "update.log"), expected);
}

TEST(UpdateLoggerTest, EmptyRunLeavesEmptyLog) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "update.log", "old"));
  Log().Init(dir.path().c_str(), "update.log");
  Log().Finish();
  EXPECT_TRUE(Exists(dir / "update.log"));
  EXPECT_EQ(ReadFile(dir / "update.log"), "");
}

TEST(UpdateLoggerTest, SecondInitKeepsFirstDestination) {
  TempDir first, second;
  Log().Init(first.path().c_str(), "update.log");
  Log().Init(second.path().c_str(), "update.log");
  LOG("line");
  Log().Finish();
  EXPECT_EQ(ReadFile(first / "update.log"), "line\n");
  EXPECT_FALSE(Exists(second / "update.log"));
}

// Creates directories below `base` until the path is exactly `length` bytes.
std::string MakeDirOfLength(const std::string& base, size_t length) {
  std::string path = base;
  mkdir(path.c_str(), 0755);
  while (path.size() < length) {
    size_t part = std::min<size_t>(200, length - path.size() - 1);
    if (part == 0) {  // one byte left: lengthen the last component instead
      path += "x";
    } else {
      path += "/" + std::string(part, 'd');
    }
    mkdir(path.c_str(), 0755);
  }
  return path;
}

TEST(UpdateLoggerTest, DestinationMustFitThePathBuffer) {
  TempDir dir;
  const std::string name = "update.log";
  // "<dir>/update.log" of 1023 bytes fits; of 1024 bytes it does not.
  std::string fits = MakeDirOfLength(dir / "a", 1023 - 1 - name.size());
  std::string too_long = MakeDirOfLength(dir / "b", 1024 - 1 - name.size());
  ASSERT_EQ(fits.size() + 1 + name.size(), 1023u);

  Log().Init(too_long.c_str(), name.c_str());
  LOG("dropped");
  Log().Finish();
  EXPECT_FALSE(Exists(too_long + "/" + name));

  Log().Init(fits.c_str(), name.c_str());
  LOG("kept");
  Log().Finish();
  EXPECT_EQ(ReadFile(fits + "/" + name), "kept\n");
}

TEST(UpdateLoggerTest, UnopenableDestinationLosesLinesQuietly) {
  TempDir dir;
  Log().Init((dir / "missing").c_str(), "update.log");
  LOG("lost");
  Log().Finish();
  EXPECT_FALSE(Exists(dir / "missing"));
}

TEST(UpdateLoggerTest, EarlyExitStillWritesTheLog) {
  TempDir dir;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Log().Init(dir.path().c_str(), "update.log");
    LOG("written at exit");
    exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
  EXPECT_EQ(ReadFile(dir / "update.log"), "written at exit\n");
}

}  // namespace
