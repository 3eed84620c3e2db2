// End-to-end runs of the updater on installations that hold update-keys.pem:
// tampered archives and broken key files refused with the installation
// untouched, signed archives applied, unsigned installations unchanged, key
// rotation through an update.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/updater_fixture.h"
#include "updater/formats/upq_format.h"
#include "updater/formats/upq_key_test_util.h"

namespace updater_test {
namespace {

using upq_test::Key;

constexpr int kKeys = 8;
constexpr size_t kSignatureRecord = 8 + 64;  // identifier, length, bytes

uint32_t Be32At(const std::string& s, size_t at) {
  return upq_load_be32(reinterpret_cast<const unsigned char*>(s.data() + at));
}
void SetBe32(std::string* s, size_t at, uint32_t v) {
  upq_store_be32(reinterpret_cast<unsigned char*>(&(*s)[at]), v);
}
void SetBe64(std::string* s, size_t at, uint64_t v) {
  upq_store_be64(reinterpret_cast<unsigned char*>(&(*s)[at]), v);
}

// Replaces the signature records of a writer-made archive (count at 16,
// Ed25519 records after it) by `records` with `count`, and moves everything
// after them: the header's index offset and total size and every index
// entry's data offset. The result is well formed; only the signatures tell.
std::string ReplaceSignatures(const std::string& archive, uint32_t count,
                              const std::string& records) {
  size_t old_end = kUpqSignatureCountField + 4 + Be32At(archive, 16) * kSignatureRecord;
  std::string out = archive.substr(0, 16);
  out.resize(20);
  SetBe32(&out, 16, count);
  out += records + archive.substr(old_end);
  int64_t delta = static_cast<int64_t>(out.size()) - static_cast<int64_t>(archive.size());
  uint32_t index = static_cast<uint32_t>(Be32At(archive, 4) + delta);
  SetBe32(&out, 4, index);
  SetBe64(&out, 8, out.size());
  uint32_t index_size = Be32At(out, index);
  for (size_t pos = index + 4; pos < index + 4 + index_size;) {
    SetBe32(&out, pos, static_cast<uint32_t>(Be32At(out, pos) + delta));
    pos += 12 + strlen(out.c_str() + pos + 12) + 1;
  }
  return out;
}

class SignedUpdateTest : public UpdaterFixture {
 protected:
  static void SetUpTestSuite() {
    keys_dir_ = new std::string(MakeTempDir());
    for (int i = 0; i < kKeys; ++i) {
      Key key = upq_test::NewEd25519Key();
      ASSERT_TRUE(key);
      ASSERT_TRUE(upq_test::WritePrivatePem(Private(i), key.get()));
      ASSERT_TRUE(upq_test::WritePublicPem(Public(i), key.get()));
    }
    ASSERT_TRUE(upq_test::WritePublicPem(*keys_dir_ + "/rsa.pub", upq_test::NewRsaKey().get()));
  }
  static void TearDownTestSuite() {
    RemoveTree(*keys_dir_);
    delete keys_dir_;
  }
  static std::string Private(int i) { return *keys_dir_ + "/" + std::to_string(i) + ".key"; }
  static std::string Public(int i) { return *keys_dir_ + "/" + std::to_string(i) + ".pub"; }

  void SetUp() override {
    UpdaterFixture::SetUp();
    WriteFile(inst_ + "/keep.txt", "keep\n");
    WriteFile(inst_ + "/a.txt", "old a\n");
    mkdir(patch_.c_str(), 0755);
  }
  // The installation trusts the public keys `trusted` (none: no key file).
  void Trust(const std::vector<int>& trusted) {
    std::string pem;
    for (int i : trusted) pem += ReadFile(Public(i));
    WriteFile(inst_ + "/update-keys.pem", pem);
  }

  // update.upq: replaces a.txt and adds sub/new.txt (and `more`), with a
  // product-information block, signed by `signers` in order.
  std::string MakeUpdate(const std::vector<int>& signers,
                         std::map<std::string, std::string> more = {}) {
    std::vector<std::string> options = {"--channel=release", "--product-version=2.0"};
    for (int i : signers) {
      options.push_back("--sign");
      options.push_back(Private(i));
    }
    std::string manifest = "type \"partial\"\nadd \"a.txt\"\nadd \"sub/new.txt\"\n";
    for (const auto& [name, content] : more) manifest += "add \"" + name + "\"\n";
    more["a.txt"] = "new a\n";
    more["sub/new.txt"] = "new file\n";
    MakeArchive(patch_ + "/update.upq", manifest, more, 0644, options);
    return ReadFile(patch_ + "/update.upq");
  }

  RunResult Updater(const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = {kUpdater, patch_, inst_, inst_ + "/updated"};
    argv.insert(argv.end(), args.begin(), args.end());
    return updater_test::Run(argv);
  }

  void ExpectApplied() {
    EXPECT_EQ(Status(), "succeeded\n") << Log();
    EXPECT_EQ(ReadFile(inst_ + "/a.txt"), "new a\n");
    EXPECT_EQ(ReadFile(inst_ + "/sub/new.txt"), "new file\n");
  }

  static std::string* keys_dir_;
};

std::string* SignedUpdateTest::keys_dir_;

TEST_F(SignedUpdateTest, TamperedArchivesAreRefused) {
  Trust({0});
  const std::string one = MakeUpdate({0});
  const std::string two = MakeUpdate({0, 1});
  const std::string other = MakeUpdate({1});
  const std::string unsigned_archive = MakeUpdate({});
  const uint32_t index = Be32At(one, 4);
  const uint32_t first_entry = Be32At(one, index + 4);
  const size_t block = 20 + kSignatureRecord + 4;  // the product-information block
  std::string junk_record(8, '\0');
  junk_record[3] = 1;     // Ed25519
  junk_record[7] = 64;    // 64 bytes
  junk_record += std::string(64, 'j');
  auto flip = [](std::string s, size_t at) {
    s[at] ^= 0x01;
    return s;
  };
  const struct {
    int line;
    std::string archive;
    const char* reason;  // in the log line
  } cases[] = {
      // The total size: a field the updater reads nowhere else.
      {__LINE__, flip(one, 15), "no signature verifies"},
      {__LINE__, flip(one, 19), "not signed"},  // the count becomes 0
      {__LINE__, flip(one, 23), "no signature verifies"},  // identifier 1 -> 0
      {__LINE__, flip(one, 27), "no signature verifies"},  // length 64 -> 65
      {__LINE__, flip(one, 28 + 10), "no signature verifies"},
      {__LINE__, flip(one, block + 8 + 2), "no signature verifies"},  // channel text
      {__LINE__, flip(one, first_entry + 5), "no signature verifies"},
      {__LINE__, flip(one, one.size() - 3), "no signature verifies"},  // a name in the index
      // A signature appended after the valid one; the other of two removed
      // (either changes the count that the remaining valid one covers).
      {__LINE__, ReplaceSignatures(one, 2, one.substr(20, kSignatureRecord) + junk_record),
       "no signature verifies"},
      {__LINE__, ReplaceSignatures(two, 1, two.substr(20, kSignatureRecord)),
       "no signature verifies"},
      {__LINE__, one.substr(0, one.size() - 10), "malformed"},  // truncated: no index
      {__LINE__, one + "x", "no signature verifies"},
      {__LINE__, other, "no signature verifies"},
      {__LINE__, unsigned_archive, "not signed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WriteFile(patch_ + "/update.upq", c.archive);
    auto before = Snapshot(inst_);
    RunResult r = Updater();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Status(), "failed: 95\n");
    EXPECT_EQ(Snapshot(inst_), before);
    EXPECT_FALSE(Exists(inst_ + "/updated/updating"));
    std::string log = Log();
    size_t line = log.find("\nCheckUpdateSignature: ");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_NE(log.find(c.reason, line), std::string::npos) << log;
    EXPECT_EQ(log.find("UPDATE TYPE"), std::string::npos) << "the manifest was read";
  }

  // A staged update is refused before the installation is copied.
  WriteFile(patch_ + "/update.upq", other);
  auto before = Snapshot(inst_);
  RunResult r = Updater({"-1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 95\n");
  EXPECT_FALSE(Exists(inst_ + "/updated"));
  EXPECT_EQ(Snapshot(inst_), before);
}

TEST_F(SignedUpdateTest, BrokenKeyFilesFailClosed) {
  MakeUpdate({0});
  const struct {
    int line;
    std::string content;  // "/": a directory where the file belongs
    const char* reason;
  } cases[] = {
      {__LINE__, "", "malformed"},
      {__LINE__, "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAI not PEM\n", "malformed"},
      {__LINE__, ReadFile(*keys_dir_ + "/rsa.pub"), "not Ed25519"},
      {__LINE__, ReadFile(Public(0)) + ReadFile(*keys_dir_ + "/rsa.pub"), "not Ed25519"},
      {__LINE__, ReadFile(Private(0)), "not a \"PUBLIC KEY\""},
      {__LINE__, "/", "could not read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    RemoveTree(inst_ + "/update-keys.pem");
    if (c.content == "/") {
      ASSERT_EQ(mkdir((inst_ + "/update-keys.pem").c_str(), 0755), 0);
    } else {
      WriteFile(inst_ + "/update-keys.pem", c.content);
    }
    auto before = Snapshot(inst_);
    RunResult r = Updater();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Status(), "failed: 96\n");
    EXPECT_EQ(Snapshot(inst_), before);
    std::string log = Log();
    size_t line = log.find("\nCheckUpdateSignature: ");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_NE(log.find(c.reason, line), std::string::npos) << log;
  }
}

TEST_F(SignedUpdateTest, SignedArchivesAreApplied) {
  const struct {
    int line;
    std::vector<int> signers;
    std::vector<int> trusted;
    const char* verified;  // "signature N of M"
  } cases[] = {
      {__LINE__, {0}, {0}, "signature 1 of 1"},
      {__LINE__, {0, 1, 2}, {0}, "signature 1 of 3"},  // the valid one first
      {__LINE__, {1, 2, 0}, {0}, "signature 3 of 3"},  // ... and last
      {__LINE__, {1}, {0, 1}, "signature 1 of 1"},     // the second key of the file
      {__LINE__, {0, 1, 2, 3, 4, 5, 6, 7}, {7}, "signature 8 of 8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WriteFile(inst_ + "/a.txt", "old a\n");
    RemoveTree(inst_ + "/sub");
    Trust(c.trusted);
    MakeUpdate(c.signers);
    RunResult r = Updater();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ExpectApplied();
    EXPECT_NE(Log().find(std::string("\nCheckUpdateSignature: ") + c.verified +
                         " verified with key sha256:"),
              std::string::npos)
        << Log();
  }

  // A staged update reads the keys of the installation, not of the copy.
  WriteFile(inst_ + "/a.txt", "old a\n");
  Trust({3});
  MakeUpdate({3});
  RunResult r = Updater({"-1"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Status(), "applied\n");
  EXPECT_EQ(ReadFile(inst_ + "/updated/a.txt"), "new a\n");
  EXPECT_EQ(ReadFile(inst_ + "/a.txt"), "old a\n");
}

// Without update-keys.pem nothing changes: signed and unsigned archives are
// applied and the log is the same, line for line, with no word of signatures.
TEST_F(SignedUpdateTest, UnsignedInstallationIsUnchanged) {
  std::string logs[2];
  for (int signed_archive = 0; signed_archive < 2; ++signed_archive) {
    SCOPED_TRACE(signed_archive);
    WriteFile(inst_ + "/a.txt", "old a\n");
    RemoveTree(inst_ + "/sub");
    MakeUpdate(signed_archive ? std::vector<int>{0} : std::vector<int>{});
    RunResult r = Updater();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ExpectApplied();
    logs[signed_archive] = Log();
  }
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(logs[0].find("Signature"), std::string::npos) << logs[0];
}

// A replace request applies no archive and checks nothing, not even a key
// file that would fail every update.
TEST_F(SignedUpdateTest, ReplaceRequestChecksNothing) {
  ASSERT_EQ(mkdir((inst_ + "/update-keys.pem").c_str(), 0755), 0);
  WriteFile(inst_ + "/updated/a.txt", "staged a\n");
  WriteFile(inst_ + "/updated/update-keys.pem", "");
  RunResult r = Updater({"0/replace"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(inst_ + "/a.txt"), "staged a\n");
  EXPECT_EQ(Log().find("CheckUpdateSignature"), std::string::npos);
}

// An update may ship the next key file: the keys before the update verify
// it, the new ones every update after it.
TEST_F(SignedUpdateTest, KeyRotation) {
  Trust({0});
  MakeUpdate({0}, {{"update-keys.pem", ReadFile(Public(1))}});
  RunResult r = Updater();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ExpectApplied();
  EXPECT_EQ(ReadFile(inst_ + "/update-keys.pem"), ReadFile(Public(1)));

  MakeUpdate({0});
  r = Updater();
  EXPECT_EQ(Status(), "failed: 95\n") << "the old key no longer counts";
  MakeUpdate({1});
  r = Updater();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Status(), "succeeded\n");
}

TEST_F(SignedUpdateTest, MakeUpdatePassesSigningThrough) {
  Trust({2});
  std::string old_tree = root_ + "/old", new_tree = root_ + "/new";
  WriteFile(old_tree + "/a.txt", "old a\n");
  WriteFile(new_tree + "/a.txt", "new a\n");
  WriteFile(new_tree + "/sub/new.txt", "new file\n");
  RunResult made = updater_test::Run({"/usr/bin/env", "python3", kMakeUpdate, "--sign", Private(5), "--sign",
                        Private(2), old_tree, new_tree, patch_ + "/update.upq"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunResult r = Updater();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ExpectApplied();
  EXPECT_NE(Log().find("CheckUpdateSignature: signature 2 of 2 verified"), std::string::npos);
}

}  // namespace
}  // namespace updater_test
