#include "updater/arg_checks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(IsValidArgPath, Cases) {
  const std::string k1023 = "/" + std::string(1022, 'a');
  const struct {
    int line;
    std::string path;
    bool valid;
  } kCases[] = {
      {__LINE__, "/opt/app", true},
      {__LINE__, "/opt/app/", true},  // a trailing slash is allowed
      {__LINE__, "/opt/.app", true},
      {__LINE__, "/opt/app.", true},  // "." at the end is no "./"
      {__LINE__, "/", true},
      {__LINE__, k1023, true},
      {__LINE__, k1023 + "b", false},  // 1024 characters
      {__LINE__, "/opt/./app", false},
      {__LINE__, "/opt/../app", false},
      {__LINE__, "/opt/x./y", false},  // "./" anywhere
      {__LINE__, "/opt/a..b", false},  // ".." anywhere
      {__LINE__, "relative/dir", false},
      {__LINE__, "", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(IsValidArgPath(c.path.c_str()), c.valid);
  }
}

TEST(CopyDirArg, RemovesOneTrailingSlash) {
  const struct {
    int line;
    const char* in;
    const char* out;
  } kCases[] = {
      {__LINE__, "/opt/app", "/opt/app"},
      {__LINE__, "/opt/app/", "/opt/app"},
      {__LINE__, "/opt/app//", "/opt/app/"},  // only one
      {__LINE__, "/", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    char buffer[1024];
    CopyDirArg(buffer, c.in);
    EXPECT_STREQ(buffer, c.out);
  }
}

TEST(IsCallbackInInstallDir, NeedsSeparatorAfterPrefix) {
  const struct {
    int line;
    const char* callback;
    const char* install;
    bool inside;
  } kCases[] = {
      {__LINE__, "/opt/app/run", "/opt/app", true},
      {__LINE__, "/opt/app/bin/run", "/opt/app", true},
      {__LINE__, "/opt/app2/run", "/opt/app", false},  // a bare prefix is outside
      {__LINE__, "/opt/ap", "/opt/app", false},
      {__LINE__, "/opt/app", "/opt/app", true},
      {__LINE__, "/opt/app/run", "/opt/app/", true},  // stored from "/opt/app//"
      {__LINE__, "/opt/other", "/opt/app", false},
      {__LINE__, "/anything", "", true},  // installation "/"
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(IsCallbackInInstallDir(c.callback, c.install), c.inside);
  }
}

TEST(WorkingDirContainsInstallation, Spellings) {
  const struct {
    int line;
    const char* working;
    const char* install;
    bool contains;
  } kCases[] = {
      {__LINE__, "/opt/app", "/opt/app", true},
      {__LINE__, "/opt/app/", "/opt/app", true},
      {__LINE__, "/opt", "/opt/app", true},
      {__LINE__, "/", "/opt/app", true},
      {__LINE__, "//opt//", "/opt/app", true},
      {__LINE__, "/opt/app/updated", "/opt/app", false},  // the usual staging place
      {__LINE__, "/opt/ap", "/opt/app", false},
      {__LINE__, "/opt/app2", "/opt/app", false},
      {__LINE__, "/tmp/stage", "/opt/app", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(WorkingDirContainsInstallation(c.working, c.install), c.contains);
  }
}

TEST(WorkingDirContainsInstallation, SymbolicLinkToAncestor) {
  char root[] = "/tmp/argchecksXXXXXX";
  ASSERT_TRUE(mkdtemp(root));
  std::string base = root;
  ASSERT_EQ(mkdir((base + "/parent").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((base + "/parent/app").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((base + "/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(symlink((base + "/parent").c_str(), (base + "/link").c_str()), 0);
  EXPECT_TRUE(WorkingDirContainsInstallation((base + "/link").c_str(),
                                             (base + "/parent/app").c_str()));
  EXPECT_FALSE(WorkingDirContainsInstallation((base + "/elsewhere").c_str(),
                                              (base + "/parent/app").c_str()));
  std::string cleanup = "rm -rf " + base;
  ASSERT_EQ(system(cleanup.c_str()), 0);
}

}  // namespace
