// End-to-end runs of the real upq binary in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "updater/formats/upq_test_util.h"

namespace {

using namespace upq_test;

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

class UpqTool : public testing::Test {
 protected:
  ToolRun Upq(const std::string& args) {
    std::string cmd = std::string(UPQ_BINARY) + " " + args + " >" + (dir_ / "stdout") +
                      " 2>" + (dir_ / "stderr");
    int raw = std::system(cmd.c_str());
    Bytes out = ReadFile(dir_ / "stdout");
    Bytes err = ReadFile(dir_ / "stderr");
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(out.begin(), out.end()),
            std::string(err.begin(), err.end())};
  }

  void MakeFile(const std::string& rel, const Bytes& data, mode_t mode) {
    std::string path = dir_ / rel;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, data);
    chmod(path.c_str(), mode);
  }

  static int Lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  TempDir dir_;
};

TEST_F(UpqTool, CreateListExtractRoundTrip) {
  const Bytes exe = ReadFile("/proc/self/exe");
  MakeFile("src/bin/tool", exe, 0755);
  MakeFile("src/lib/data.txt", TextBytes(70000, 1), 0640);
  MakeFile("src/updatev3.manifest", ToBytes("type \"complete\"\n"), 0644);
  const std::string a = dir_ / "a.upq";
  ToolRun r = Upq("-c " + a + " -C " + dir_.path() + "/src --x86 --check=crc32 -1 -T 2"
              " --channel=beta --product-version=130.0b2 .");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  r = Upq("-t " + a);
  ASSERT_EQ(r.status, 0) << r.err;
  // Directory contents in name order; mode, stored size, name.
  ASSERT_EQ(Lines(r.out), 3) << r.out;
  EXPECT_NE(r.out.find("0755 "), std::string::npos);
  EXPECT_EQ(r.out.find(" bin/tool\n"), r.out.find('\n') - 9);
  EXPECT_NE(r.out.find("0640 "), std::string::npos);
  EXPECT_NE(r.out.find(" updatev3.manifest\n"), std::string::npos);

  r = Upq("-t " + a + " -v");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("product: channel beta, version 130.0b2\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find(" " + std::to_string(exe.size()) + " bin/tool\n"), std::string::npos);

  r = Upq("-x " + a + " -C " + dir_.path() + "/out");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out/bin/tool"), exe);
  EXPECT_EQ(ReadFile(dir_ / "out/lib/data.txt"), TextBytes(70000, 1));
  struct stat st;
  ASSERT_EQ(stat((dir_ / "out/bin/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  // Named entries only.
  r = Upq("-x " + a + " -C " + dir_.path() + "/some lib/data.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "some/lib/data.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "some/bin"));
}

// A list file gives each entry its encodings; the smallest is kept, --encode
// writes the same streams to files, and --stored puts them into an archive
// as they are. --filters shows what each entry was stored with.
TEST_F(UpqTool, PerEntryEncodings) {
  const Bytes exe = ReadFile("/proc/self/exe");
  MakeFile("src/bin/tool", exe, 0755);
  MakeFile("src/data.txt", TextBytes(70000, 1), 0640);
  MakeFile("src/tiny", ToBytes("tiny\n"), 0644);
  const std::string d = dir_.path();
  WriteFile(dir_ / "list", ToBytes("--dict=fit|--dict=fit --x86\tbin/tool\n"
                                   "--lc=0 --lp=4 --pb=0 --dict=fit --check=crc32\tdata.txt\n"
                                   "tiny\n"));
  ToolRun r = Upq("-c " + d + "/a.upq -C " + d + "/src -1 --list " + d + "/list");
  ASSERT_EQ(r.status, 0) << r.err;
  r = Upq("-t " + d + "/a.upq --filters");
  ASSERT_EQ(r.status, 0) << r.err;
  // The x86 filter wins on a real executable; the dictionaries shrink to the
  // entries (70000 bytes fit in 96 KiB); "tiny" has the command line's -1 as it is.
  EXPECT_NE(r.out.find(" " + std::to_string(exe.size()) + " x86,lzma2(dict="), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" 70000 lzma2(dict=96KiB,lc=0,lp=4,pb=0),crc32 data.txt\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" 5 lzma2(dict=1MiB),crc64 tiny\n"), std::string::npos) << r.out;
  ASSERT_EQ(Upq("-x " + d + "/a.upq -C " + d + "/out").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "out/bin/tool"), exe);
  EXPECT_EQ(ReadFile(dir_ / "out/data.txt"), TextBytes(70000, 1));

  r = Upq("--encode " + d + "/streams -C " + d + "/src -1 --list " + d + "/list");
  ASSERT_EQ(r.status, 0) << r.err;
  // stored size, original size, chosen encoding, name
  EXPECT_NE(r.out.find(" " + std::to_string(exe.size()) + " 2 bin/tool\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" 70000 1 data.txt\n"), std::string::npos) << r.out;
  EXPECT_EQ(Lines(r.out), 3);
  WriteFile(dir_ / "stored", ToBytes("--stored\tbin/tool\n--stored\tdata.txt\n--stored\ttiny\n"));
  r = Upq("-c " + d + "/b.upq -C " + d + "/streams --list " + d + "/stored");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "b.upq"), ReadFile(dir_ / "a.upq"));
}

TEST_F(UpqTool, ExtractionStaysInsideTheDirectory) {
  const Bytes xz = XzEncode(ToBytes("evil"));
  WriteFile(dir_ / "bad.upq", BuildArchive({{"../escaped", xz},
                                            {"/tmp/absolute-upq-test", xz},
                                            {"a/../../escaped2", xz},
                                            {"ok/file", XzEncode(ToBytes("fine"))}}));
  // A link planted at a destination is replaced, not written through.
  std::filesystem::create_directories(dir_ / "out/ok");
  WriteFile(dir_ / "victim", ToBytes("untouched"));
  std::filesystem::create_symlink(dir_ / "victim", dir_ / "out/ok/file");

  ToolRun r = Upq("-x " + (dir_ / "bad.upq") + " -C " + (dir_ / "out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.err), 3) << r.err;
  EXPECT_NE(r.err.find("../escaped: refusing"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "escaped"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "escaped2"));
  EXPECT_FALSE(std::filesystem::exists("/tmp/absolute-upq-test"));
  EXPECT_EQ(ReadFile(dir_ / "out/ok/file"), ToBytes("fine"));
  EXPECT_FALSE(std::filesystem::is_symlink(dir_ / "out/ok/file"));
  EXPECT_EQ(ReadFile(dir_ / "victim"), ToBytes("untouched"));
}

// Each failure: non-zero exit and exactly one line on stderr saying why.
TEST_F(UpqTool, FailuresGiveOneLine) {
  MakeFile("src/f", ToBytes("x"), 0644);
  std::filesystem::create_symlink("f", dir_ / "src/link");
  Bytes truncated = XzEncode(TextBytes(5000, 2));
  Bytes trailing = XzEncode(TextBytes(5000, 2));
  trailing.push_back(0);
  WriteFile(dir_ / "src/trailing.xz", trailing);
  truncated.resize(truncated.size() / 2);
  WriteFile(dir_ / "trunc.upq", BuildArchive({{"e", truncated}}));
  WriteFile(dir_ / "src/trunc.xz", truncated);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  WriteFile(dir_ / "bogus.list", ToBytes("-9 --bogus\tf\n"));
  WriteFile(dir_ / "lclp.list", ToBytes("-9|--lc=4 --lp=1\tf\n"));
  WriteFile(dir_ / "mixed.list", ToBytes("-1|--stored\tf\n"));
  WriteFile(dir_ / "notupq", ToBytes("just some text, long enough for a header"));
  const std::string d = dir_.path();
  const struct {
    int line;
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {__LINE__, "-x " + d + "/missing.upq", 1, "No such file"},
      {__LINE__, "-t " + d + "/notupq", 1, "not an update archive"},
      {__LINE__, "-x " + d + "/trunc.upq -C " + d + "/o", 1, "truncated"},
      {__LINE__, "-t " + d + "/trunc.upq -v", 1, "truncated"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src link", 1, "symbolic link"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src nothing", 1, "No such file"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src /etc/passwd", 1, "relative"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --channel=x f", 1, "both"},
      {__LINE__, "-c " + d + "/n.upq", 2, "no files"},
      {__LINE__, "-c " + d + "/n.upq --check=sha256 f", 2, "--check"},
      // Encodings the updater's reader would refuse are refused here.
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --lc=4 --lp=1 f", 1, "lc + lp at most 4"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --dict=67108865 f", 1, "64 MiB"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --dict=4095 f", 1, "4 KiB to 64 MiB"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --lc=5 f", 2, "0 to 4"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --stored f", 1, "not a stream the updater"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --stored trunc.xz", 1, "truncated"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --stored trailing.xz", 1, "bytes follow"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --list " + d + "/missing", 1,
       "No such file"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --list " + d + "/bogus.list", 1,
       "bogus.list:1: --bogus is not an encoding option"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --list " + d + "/lclp.list", 1,
       "lc + lp at most 4"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --list " + d + "/mixed.list", 1,
       "--stored cannot be one of several"},
      {__LINE__, "--encode " + d + "/enc -C " + d + "/src f", 2, "--list"},
      // An existing path that is not a regular file is never replaced.
      {__LINE__, "-c " + d + "/fifo -C " + d + "/src f", 1, "not a regular file"},
      {__LINE__, "-c /dev/null -C " + d + "/src f", 1, "not a regular file"},
      {__LINE__, "--bogus", 2, "unknown option"},
      {__LINE__, "", 2, "one of -c, -t or -x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ToolRun r = Upq(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "n.upq"));

  ToolRun help = Upq("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: upq", 0), 0u);
}

// Keys made by the openssl command line, as the README tells publishers; the
// fingerprints are checked against its DER output.
class UpqSigning : public UpqTool {
 protected:
  void SetUp() override {
    MakeFile("src/updatev3.manifest", ToBytes("type \"partial\"\nadd \"f\"\n"), 0644);
    MakeFile("src/f", TextBytes(5000, 3), 0644);
    for (const char* name : {"k1", "k2", "k3"}) {
      const std::string key = dir_ / name;
      ASSERT_EQ(Shell("openssl genpkey -algorithm ed25519 -out " + key + ".pem && "
                      "openssl pkey -in " + key + ".pem -pubout -out " + key + ".pub"),
                0);
    }
  }
  int Shell(const std::string& command) { return std::system(command.c_str()); }
  std::string Fingerprint(const char* name) {
    std::string out = dir_ / "fp";
    Shell("openssl pkey -pubin -in " + (dir_ / name) + ".pub -outform DER | sha256sum >" + out);
    Bytes text = ReadFile(out);
    return std::string(text.begin(), text.begin() + 64);
  }
};

TEST_F(UpqSigning, SignVerifyList) {
  const std::string d = dir_.path();
  ToolRun r = Upq("-c " + d + "/s.upq -C " + d + "/src --sign " + d + "/k1.pem --sign " + d +
                  "/k2.pem updatev3.manifest f");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(Upq("-c " + d + "/u.upq -C " + d + "/src f").status, 0);

  r = Upq("--verify " + d + "/k2.pub " + d + "/s.upq");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, d + "/s.upq: signature 2 of 2 verified with key sha256:" +
                       Fingerprint("k2") + "\n");
  const std::string both = d + "/both.pub";
  ASSERT_EQ(Shell("cat " + d + "/k3.pub " + d + "/k1.pub >" + both), 0);
  r = Upq("--verify " + both + " " + d + "/s.upq");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("signature 1 of 2 verified with key sha256:" + Fingerprint("k1")),
            std::string::npos);

  r = Upq("-t " + d + "/s.upq");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("0644")),
            "signature 1: algorithm 1 (ed25519), 64 bytes\n"
            "signature 2: algorithm 1 (ed25519), 64 bytes\n");
  r = Upq("-t " + d + "/s.upq --keys " + d + "/k1.pub");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("0644")),
            "signature 1: algorithm 1 (ed25519), 64 bytes, key sha256:" + Fingerprint("k1") +
                "\nsignature 2: algorithm 1 (ed25519), 64 bytes, verified by none of the keys\n");
  EXPECT_EQ(Lines(r.out), 4);
  // An unsigned archive lists as it always did: entries only.
  r = Upq("-t " + d + "/u.upq");
  EXPECT_EQ(r.out.rfind("0644 ", 0), 0u) << r.out;
  EXPECT_EQ(Lines(r.out), 1);

  r = Upq("-x " + d + "/s.upq -C " + d + "/out");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out/f"), TextBytes(5000, 3));
}

TEST_F(UpqSigning, FailuresGiveOneLine) {
  const std::string d = dir_.path();
  ASSERT_EQ(Upq("-c " + d + "/s.upq -C " + d + "/src --sign " + d + "/k1.pem f").status, 0);
  ASSERT_EQ(Upq("-c " + d + "/u.upq -C " + d + "/src f").status, 0);
  Bytes flipped = ReadFile(d + "/s.upq");
  flipped[flipped.size() / 2] ^= 0x20;
  WriteFile(d + "/t.upq", flipped);
  std::string nine;
  for (int i = 0; i < 9; ++i) nine += " --sign " + d + "/k1.pem";
  const struct {
    int line;
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {__LINE__, "--verify " + d + "/k1.pub " + d + "/u.upq", 1, "not signed"},
      {__LINE__, "--verify " + d + "/k2.pub " + d + "/s.upq", 1, "none of 1 signatures"},
      {__LINE__, "--verify " + d + "/k1.pub " + d + "/t.upq", 1, "none of 1 signatures"},
      {__LINE__, "--verify " + d + "/k1.pub " + d + "/missing.upq", 1, "No such file"},
      {__LINE__, "--verify " + d + "/k1.pem " + d + "/s.upq", 1, "not a \"PUBLIC KEY\""},
      {__LINE__, "--verify " + d + "/none.pub " + d + "/s.upq", 1, "No such file"},
      {__LINE__, "-t " + d + "/s.upq --keys " + d + "/src/f", 1, "no PEM public key"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src --sign " + d + "/k1.pub f", 1,
       "not a PEM private key"},
      {__LINE__, "-c " + d + "/n.upq -C " + d + "/src" + nine + " f", 2, "at most 8"},
      {__LINE__, "-t " + d + "/s.upq --sign " + d + "/k1.pem", 2, "--sign goes with -c"},
      {__LINE__, "--verify " + d + "/k1.pub", 2, "one archive"},
      {__LINE__, "--verify " + d + "/k1.pub -t " + d + "/s.upq", 2, "--verify goes alone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ToolRun r = Upq(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "n.upq"));
}

}  // namespace
