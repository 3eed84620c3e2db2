// The qbdiff command line: round trip, help, and one clear stderr line with a
// non-zero status for every failure, leaving no output file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

class QbdiffCliTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/qbdiff_cli_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  // Runs qbdiff with `args`; returns its exit status, stdout and stderr in
  // the files "out" and "err".
  int Run(const std::string& args) const {
    std::string command = std::string(QBDIFF_PATH) + " " + args + " >" + Path("out") + " 2>" +
                          Path("err");
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The failure message: exactly one line starting with "qbdiff: ".
  void ExpectOneErrorLine() const {
    std::string err = Read("err");
    EXPECT_EQ(err.rfind("qbdiff: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }

  fs::path dir_;
};

TEST_F(QbdiffCliTest, MakesAndAppliesAPatch) {
  std::mt19937 rng(1);
  std::string old(100000, '\0');
  for (char& c : old) c = static_cast<char>(rng());
  std::string newer = old.substr(0, 40000) + "inserted" + old.substr(40100);
  Write("old", old);
  Write("new", newer);
  ASSERT_EQ(Run(Path("old") + " " + Path("new") + " " + Path("patch")), 0) << Read("err");
  EXPECT_EQ(Read("patch").substr(0, 8), "QBDIFF10");
  ASSERT_EQ(Run("--apply " + Path("old") + " " + Path("patch") + " " + Path("rebuilt")), 0)
      << Read("err");
  EXPECT_TRUE(Read("rebuilt") == newer);
  EXPECT_EQ(Read("err"), "");
  // Only the three inputs and the result remain: no temporary files.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 6);
}

TEST_F(QbdiffCliTest, Help) {
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_EQ(Read("out").rfind("Usage: qbdiff OLD NEW PATCH\n", 0), 0u);
  EXPECT_EQ(Run("-h"), 0);
}

TEST_F(QbdiffCliTest, FailuresPrintOneLineAndLeaveNoOutput) {
  Write("old", "the old file");
  Write("new", "the new file");
  ASSERT_EQ(Run(Path("old") + " " + Path("new") + " " + Path("patch")), 0);
  Write("other", "not the old file");
  const std::string patch = Read("patch");
  Write("truncated", patch.substr(0, patch.size() - 1));
  Write("bad-tag", "QBDIFF11" + patch.substr(8));
  std::string badSeek = patch;
  badSeek[32 + 8] = '\x80';  // seekOffset of the first triple: far negative
  Write("bad-seek", badSeek);

  struct Case {
    int line;
    std::string args;
    int status;
  } cases[] = {
      {__LINE__, "", 2},
      {__LINE__, "a b", 2},
      {__LINE__, "--apply a b", 2},
      {__LINE__, "--bogus a b", 2},
      {__LINE__, Path("missing") + " " + Path("new") + " " + Path("result"), 1},
      {__LINE__, Path("old") + " " + dir_.string() + " " + Path("result"), 1},
      {__LINE__, Path("old") + " " + Path("new") + " " + Path("no-dir/result"), 1},
      {__LINE__, "--apply " + Path("other") + " " + Path("patch") + " " + Path("result"), 1},
      {__LINE__, "--apply " + Path("missing") + " " + Path("patch") + " " + Path("result"), 1},
      {__LINE__, "--apply " + Path("old") + " " + Path("missing") + " " + Path("result"), 1},
      {__LINE__, "--apply " + Path("old") + " " + Path("truncated") + " " + Path("result"), 1},
      {__LINE__, "--apply " + Path("old") + " " + Path("bad-tag") + " " + Path("result"), 1},
      {__LINE__, "--apply " + Path("old") + " " + Path("bad-seek") + " " + Path("result"), 1},
      {__LINE__, "--apply " + Path("old") + " " + Path("patch") + " /dev/full/x", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Run(c.args), c.status);
    ExpectOneErrorLine();
    EXPECT_FALSE(fs::exists(Path("result")));
  }
  // Temporary outputs are gone as well.
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find("result"), std::string::npos);
  }
}

// Outputs the final rename would wrongly replace: a path that is not a
// regular file (a device, a FIFO) or that names one of the inputs. Each is
// refused before anything is written, and every path stays what it was.
TEST_F(QbdiffCliTest, RefusesOutputsThatAreNotNewRegularFiles) {
  Write("old", "the old file");
  Write("new", "the new file");
  ASSERT_EQ(Run(Path("old") + " " + Path("new") + " " + Path("patch")), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  // Through a link, so that a regression replaces the link, not the device.
  fs::create_symlink("/dev/null", Path("null"));
  fs::create_hard_link(Path("old"), Path("old-link"));
  fs::create_symlink(Path("new"), Path("new-link"));
  const std::string old = Path("old"), newer = Path("new"), patch = Path("patch");

  struct Case {
    int line;
    std::string args;
  } cases[] = {
      {__LINE__, old + " " + newer + " " + Path("null")},
      {__LINE__, old + " " + newer + " " + Path("fifo")},
      {__LINE__, old + " " + newer + " " + dir_.string()},  // a directory
      {__LINE__, old + " " + newer + " " + old},
      {__LINE__, old + " " + newer + " " + newer},
      {__LINE__, old + " " + newer + " " + Path("old-link")},  // same inode
      {__LINE__, old + " " + newer + " " + Path("new-link")},
      {__LINE__, "--apply " + old + " " + patch + " " + Path("null")},
      {__LINE__, "--apply " + old + " " + patch + " " + Path("fifo")},
      {__LINE__, "--apply " + old + " " + patch + " " + old},
      {__LINE__, "--apply " + old + " " + patch + " " + patch},
      {__LINE__, "--apply " + old + " " + patch + " " + Path("old-link")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Run(c.args), 1);
    ExpectOneErrorLine();
    EXPECT_EQ(Read("old"), "the old file");
    EXPECT_EQ(Read("new"), "the new file");
    EXPECT_EQ(Read("patch").substr(0, 8), "QBDIFF10");
    EXPECT_TRUE(fs::is_fifo(Path("fifo")));
    EXPECT_TRUE(fs::is_symlink(Path("null")));
    EXPECT_TRUE(fs::is_symlink(Path("new-link")));
  }
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  // No temporary file was left beside any of them.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 9);
}

}  // namespace
